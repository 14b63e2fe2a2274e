#include "render/top/state.h"

#include <algorithm>
#include <array>

namespace karvo::render::top {
namespace {

using platform::KeyCode;

constexpr std::array<std::uint32_t, 9> kIntervalSteps = {100, 200, 500, 1000, 2000, 5000, 10000, 30000, 60000};

template <class E>
E next_of(E value, std::size_t count) {
    return static_cast<E>((static_cast<std::size_t>(value) + 1) % count);
}

TopState to_first_row(TopState state) {
    state.selected = 0;
    state.scroll = 0;
    return state;
}

// All GPUs sits before the first and after the last.
std::optional<std::size_t> step_gpu(std::optional<std::size_t> gpu, std::size_t count, bool forward) {
    if (count == 0) return std::nullopt;
    if (!gpu || *gpu >= count) return forward ? std::optional<std::size_t>(0) : std::optional<std::size_t>(count - 1);
    if (forward) return *gpu + 1 < count ? std::optional<std::size_t>(*gpu + 1) : std::nullopt;
    return *gpu > 0 ? std::optional<std::size_t>(*gpu - 1) : std::nullopt;
}

TopState move_selection(TopState state, std::ptrdiff_t by, const KeyContext& context) {
    if (context.rows == 0) return settle(state, context);
    const auto last = static_cast<std::ptrdiff_t>(context.rows - 1);
    const std::ptrdiff_t target = std::clamp(static_cast<std::ptrdiff_t>(state.selected) + by, std::ptrdiff_t{0}, last);
    state.selected = static_cast<std::size_t>(target);
    return settle(state, context);
}

}  // namespace

std::uint32_t step_interval(std::uint32_t ms, bool up) {
    if (up) {
        for (const std::uint32_t step : kIntervalSteps)
            if (step > ms) return step;
        return kMaxIntervalMs;
    }
    for (auto step = kIntervalSteps.rbegin(); step != kIntervalSteps.rend(); ++step)
        if (*step < ms) return *step;
    return kMinIntervalMs;
}

TopState settle(TopState state, const KeyContext& context) {
    const std::size_t page = std::max<std::size_t>(context.page, 1);
    if (context.rows == 0) {
        state.selected = 0;
        state.scroll = 0;
        return state;
    }
    state.selected = std::min(state.selected, context.rows - 1);
    if (state.selected < state.scroll) state.scroll = state.selected;
    if (state.selected >= state.scroll + page) state.scroll = state.selected - page + 1;
    // No blank rows at the end while earlier rows are out of view.
    if (state.scroll + page > context.rows) state.scroll = context.rows > page ? context.rows - page : 0;
    if (state.gpu && *state.gpu >= context.gpus) state.gpu.reset();
    return state;
}

TopState apply_key(TopState state, const platform::Key& key, const KeyContext& context) {
    const bool character = key.code == KeyCode::character;
    const char32_t ch = character ? key.ch : 0;
    if (key.code == KeyCode::interrupt || ch == U'q' || ch == U'Q') {
        state.quit = true;
        return state;
    }
    if (state.help) {
        // The help closes with any key; only the quit keys above act as well.
        state.help = false;
        return state;
    }
    if (key.code == KeyCode::escape) {
        state.quit = true;
        return state;
    }
    const auto page = static_cast<std::ptrdiff_t>(std::max<std::size_t>(context.page, 1));
    switch (key.code) {
        case KeyCode::up: return move_selection(state, -1, context);
        case KeyCode::down: return move_selection(state, 1, context);
        case KeyCode::page_up: return move_selection(state, -page, context);
        case KeyCode::page_down: return move_selection(state, page, context);
        case KeyCode::home: return move_selection(state, -static_cast<std::ptrdiff_t>(context.rows), context);
        case KeyCode::end: return move_selection(state, static_cast<std::ptrdiff_t>(context.rows), context);
        case KeyCode::left:
        case KeyCode::back_tab:
        case KeyCode::right:
        case KeyCode::tab: {
            const bool forward = key.code == KeyCode::right || key.code == KeyCode::tab;
            state.gpu = step_gpu(state.gpu, context.gpus, forward);
            return to_first_row(state);
        }
        default: break;
    }
    switch (ch) {
        case U'?':
        case U'h': state.help = true; break;
        case U's':
            state.sort = next_of(state.sort, 5);
            state.reversed = false;
            return to_first_row(state);
        case U'r':
            state.reversed = !state.reversed;
            return to_first_row(state);
        case U'a':
            state.gpu.reset();
            return to_first_row(state);
        case U'g': state.graph = next_of(state.graph, 4); break;
        case U'f':
            state.filter = next_of(state.filter, 3);
            return to_first_row(state);
        case U'p':
        case U' ': state.paused = !state.paused; break;
        case U'+':
        case U'=': state.interval_ms = step_interval(state.interval_ms, true); break;
        case U'-':
        case U'_': state.interval_ms = step_interval(state.interval_ms, false); break;
        default: break;
    }
    return state;
}

}  // namespace karvo::render::top
