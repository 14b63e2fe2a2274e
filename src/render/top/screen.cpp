#include "render/top/screen.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "common/numfmt.h"
#include "render/display_text.h"
#include "render/top/graph.h"

namespace karvo::render::top {
namespace {

constexpr int kMinTableRows = 3;   // process rows kept under the header before anything else goes
constexpr int kMaxGraphRows = 12;
constexpr int kNameMin = 12;       // the process name column never gets narrower

// ---- text pieces ----------------------------------------------------------

std::string gib(std::uint64_t mb) {
    std::string out;
    numfmt::append_double_fixed(out, static_cast<double>(mb) / 1024.0, 1);
    return out;
}

// "3.0/24.0G", or in MB below 1 GB: "300/512M".
std::string memory_pair(std::uint64_t used_mb, std::uint64_t total_mb) {
    if (total_mb < 1024) return numfmt::unsigned_text(used_mb) + "/" + numfmt::unsigned_text(total_mb) + "M";
    return gib(used_mb) + "/" + gib(total_mb) + "G";
}

// A process's memory: "2048M", or "97.7G" from 100000 MB on.
std::string memory_cell(std::uint64_t mb) {
    if (mb < 100000) return numfmt::unsigned_text(mb) + "M";
    return gib(mb) + "G";
}

std::string whole(float value) { return numfmt::float_fixed(value, 0); }

// "1s", "0.5s", "1.25s".
std::string interval_text(std::uint32_t ms) {
    std::string out = numfmt::unsigned_text(ms / 1000);
    std::uint32_t rest = ms % 1000;
    if (rest != 0) {
        std::string digits = numfmt::unsigned_text(rest + 1000).substr(1);
        while (digits.back() == '0') digits.pop_back();
        out += "." + digits;
    }
    return out + "s";
}

std::string_view ellipsis(const Look& look) { return look.ascii ? "~" : "\u2026"; }

Style plain() { return Style{}; }
Style bold() { return Style{Color::none, true}; }
Style colored(const Look& look, Color color) { return Style{look.color ? color : Color::none}; }

// Right-aligned text ending at column `end`.
void put_right(Frame& f, int end, int y, std::string_view text, const Style& style) {
    f.put(end - text_width(text), y, text, style, end);
}

// ---- GPU panels -------------------------------------------------------------

const GpuDevice* device_at(const Screen& s, std::size_t position) {
    const auto& current = s.monitor.current();
    if (!current || position >= current->devices.size()) return nullptr;
    return &current->devices[position];
}

// [█████▌    ] with `cells` cells inside the brackets.
void draw_bar(Frame& f, int x, int y, int cells, double fraction, Color color, const Look& look) {
    fraction = std::clamp(std::isnan(fraction) ? 0.0 : fraction, 0.0, 1.0);
    const Style style = colored(look, fraction >= 0.9 ? Color::red : color);
    f.put_char(x, y, U'[', plain(), f.width());
    const int halves = static_cast<int>(std::lround(fraction * cells * 2));
    for (int i = 0; i < cells; ++i) {
        const int filled = std::clamp(halves - 2 * i, 0, 2);
        char32_t ch = U' ';
        if (filled == 2) ch = look.ascii ? U'|' : U'\u2588';
        if (filled == 1) ch = look.ascii ? U'|' : U'\u258C';
        f.put_char(x + 1 + i, y, ch, style, f.width());
    }
    f.put_char(x + 1 + cells, y, U']', plain(), f.width());
}

std::string percent_text(const std::optional<std::uint32_t>& value) {
    return value ? numfmt::unsigned_text(*value) + "%" : std::string("-");
}

std::string temperature_text(const GpuDevice& d, const Look& look) {
    if (!d.temp_edge_c && !d.temp_hotspot_c) return {};
    std::string out = d.temp_edge_c ? whole(*d.temp_edge_c) : std::string("-");
    if (d.temp_hotspot_c) out += "/" + whole(*d.temp_hotspot_c);
    return out + (look.ascii ? "C" : "\u00B0C");
}

// The second panel line's pieces, most wanted first.
std::vector<std::string> detail_pieces(const GpuDevice& d, const Look& look) {
    std::vector<std::string> pieces;
    if (d.gtt_total_mb != 0) pieces.push_back("GTT " + memory_pair(d.gtt_used_mb, d.gtt_total_mb));
    if (std::string t = temperature_text(d, look); !t.empty()) pieces.push_back(std::move(t));
    if (d.power_w) {
        std::string power = whole(*d.power_w);
        if (d.power_cap_w) power += "/" + whole(*d.power_cap_w);
        pieces.push_back(power + "W");
    }
    if (d.gfx_clock_mhz || d.mem_clock_mhz) {
        std::string clocks = d.gfx_clock_mhz ? numfmt::unsigned_text(*d.gfx_clock_mhz) : std::string("-");
        if (d.mem_clock_mhz) clocks += "/" + numfmt::unsigned_text(*d.mem_clock_mhz);
        pieces.push_back(clocks + "MHz");
    }
    if (d.fan_rpm || d.fan_percent) {
        std::string fan = "fan";
        if (d.fan_rpm) fan += " " + numfmt::unsigned_text(*d.fan_rpm) + "rpm";
        if (d.fan_percent) fan += " " + numfmt::unsigned_text(*d.fan_percent) + "%";
        pieces.push_back(fan);
    }
    if (d.pcie_width != 0) {
        std::string link = "PCIe x" + numfmt::unsigned_text(d.pcie_width);
        if (d.pcie_speed_gt != 0) link += " " + numfmt::unsigned_text(d.pcie_speed_gt) + "GT/s";
        pieces.push_back(link);
    }
    return pieces;
}

// Puts pieces from column x, two blanks apart, as many as fit whole.
int put_pieces(Frame& f, int x, int y, const std::vector<std::string>& pieces, int end) {
    for (const std::string& piece : pieces) {
        const int w = text_width(piece);
        const int at = x == 0 ? x : x + 2;
        if (at + w > end) continue;
        x = f.put(at, y, piece, plain(), end);
    }
    return x;
}

// Index, name and the two bars on row y; the name takes `name_width` columns.
void draw_panel_line(Frame& f, int y, const GpuDevice& d, int name_width, bool compact, const Look& look) {
    const int width = f.width();
    put_right(f, 2, y, numfmt::unsigned_text(d.index), bold());
    f.put(3, y, fit_text(display_text(d.market_name), name_width, ellipsis(look)), bold(), 3 + name_width);
    const std::string use = percent_text(d.gfx_util_percent);
    const std::string memory = d.vram_total_mb != 0 ? memory_pair(d.vram_used_mb, d.vram_total_mb) : "-";
    // "GPU [bar] 100%  VRAM [bar] 191.9/192.0G" in what is left of the line;
    // the same bar width for every GPU, so the bars line up.
    const int fixed = 4 + 2 + 5 + 7 + 2 + 1 + 12;
    int x = 3 + name_width + 2;
    std::vector<std::string> extras;
    if (compact) {
        if (std::string t = temperature_text(d, look); !t.empty()) extras.push_back(std::move(t));
        if (d.power_w) extras.push_back(whole(*d.power_w) + "W");
    }
    int extra_width = 0;
    for (const std::string& e : extras) extra_width += 2 + text_width(e);
    int bar = (width - x - fixed - extra_width) / 2;
    if (bar < 4) {
        extras.clear();
        bar = std::max((width - x - fixed) / 2, 4);
    }
    bar = std::min(bar, 40);
    x = f.put(x, y, "GPU ", plain());
    const double use_fraction = d.gfx_util_percent ? *d.gfx_util_percent / 100.0 : 0.0;
    draw_bar(f, x, y, bar, use_fraction, Color::green, look);
    x += bar + 2;
    put_right(f, x + 5, y, use, plain());
    x = f.put(x + 5, y, "  VRAM ", plain());
    const double vram_fraction =
        d.vram_total_mb != 0 ? static_cast<double>(d.vram_used_mb) / static_cast<double>(d.vram_total_mb) : 0.0;
    draw_bar(f, x, y, bar, vram_fraction, Color::blue, look);
    x = f.put(x + bar + 3, y, memory, plain());
    put_pieces(f, x, y, extras, width);
}

int name_column(const Screen& s, const Layout& layout, int width) {
    int longest = 8;
    for (const std::size_t position : layout.gpus)
        if (const GpuDevice* d = device_at(s, position))
            longest = std::max(longest, text_width(display_text(d->market_name)));
    const int room = layout.compact ? std::clamp(width - 62, 8, 20) : std::clamp(width - 54, 12, 30);
    return std::min(longest, room);
}

void draw_panels(Frame& f, const Screen& s, const Layout& layout) {
    const int name_width = name_column(s, layout, f.width());
    int y = layout.panel_top;
    for (const std::size_t position : layout.gpus) {
        const GpuDevice* d = device_at(s, position);
        if (d == nullptr) continue;
        draw_panel_line(f, y++, *d, name_width, layout.compact, s.look);
        if (!layout.compact) {
            const std::vector<std::string> pieces = detail_pieces(*d, s.look);
            if (pieces.empty()) f.put(5, y, "no further figures reported", plain());
            else put_pieces(f, 3, y, pieces, f.width());
            ++y;
        }
    }
    if (layout.gpus_left_out != 0) {
        f.put(3, y, "+" + numfmt::unsigned_text(layout.gpus_left_out) + " more GPU(s): Left/Right or Tab shows one",
              plain());
    }
}

// ---- graph ------------------------------------------------------------------

struct GraphPlan {
    std::string title;
    std::vector<Strip> strips;
};

GraphPlan graph_plan(const Screen& s, int plot_columns) {
    const auto& current = s.monitor.current();
    const History& history = s.monitor.history();
    const GpuDevice* chosen = s.state.gpu ? device_at(s, *s.state.gpu) : nullptr;
    if (!chosen && current && current->devices.size() == 1) chosen = &current->devices.front();
    const SeriesRings* rings = chosen != nullptr ? history.gpu(*chosen) : &history.all();
    auto ring = [&](Series series) { return rings != nullptr ? &(*rings)[series] : nullptr; };
    const std::size_t shown = samples_shown(plot_columns, s.look);
    auto recent = [&](Series series) { return ring(series) != nullptr ? recent_max(*ring(series), shown) : 0.0f; };
    const std::string scope = chosen != nullptr ? "GPU " + numfmt::unsigned_text(chosen->index) : "all GPUs";
    GraphPlan plan;
    switch (s.state.graph) {
        case GraphKind::use:
            plan.title = "GPU use and VRAM (%), " + scope + (chosen != nullptr ? "" : ": mean use, VRAM of all");
            plan.strips = {{"GPU", ring(Series::gpu_use), 100.0f, Color::green},
                           {"VRAM", ring(Series::vram), 100.0f, Color::blue}};
            break;
        case GraphKind::temperature: {
            const float top = scale_top(std::max(recent(Series::edge), recent(Series::hotspot)), 10.0f, 100.0f);
            plan.title = std::string(s.look.ascii ? "Temperature (C)" : "Temperature (\u00B0C)") + ", " + scope +
                         (chosen != nullptr ? "" : ": hottest");
            plan.strips = {{"Edge", ring(Series::edge), top, Color::magenta},
                           {"Hot", ring(Series::hotspot), top, Color::red}};
            break;
        }
        case GraphKind::power: {
            const float cap = rings != nullptr ? rings->power_cap : 0.0f;
            const float top = std::max(cap, scale_top(recent(Series::power), 10.0f, 10.0f));
            plan.title = "Board power (W), " + scope + (chosen != nullptr ? "" : ": total") +
                         (cap > 0.0f ? "; the scale ends at the limit" : "");
            plan.strips = {{"Power", ring(Series::power), top, Color::cyan}};
            break;
        }
        case GraphKind::clocks:
            plan.title = "Clocks (MHz), " + scope + (chosen != nullptr ? "" : ": highest");
            plan.strips = {{"GFX", ring(Series::gfx_clock), scale_top(recent(Series::gfx_clock), 100.0f, 100.0f),
                            Color::green},
                           {"MEM", ring(Series::mem_clock), scale_top(recent(Series::mem_clock), 100.0f, 100.0f),
                            Color::blue}};
            break;
    }
    return plan;
}

void draw_rule(Frame& f, int y, std::string_view left, std::string_view right, const Look& look) {
    const int width = f.width();
    f.fill(0, y, width, look.ascii ? U'-' : U'\u2500', plain());
    f.put(1, y, " " + std::string(left) + " ", bold(), width - 1);
    if (!right.empty() && text_width(left) + text_width(right) + 8 < width)
        put_right(f, width - 1, y, " " + std::string(right) + " ", plain());
}

void draw_graph_block(Frame& f, const Screen& s, const Layout& layout) {
    const int width = f.width();
    const GraphPlan plan = graph_plan(s, width - kGraphGutter);
    draw_rule(f, layout.graph_top, fit_text(plan.title, width - 14, ellipsis(s.look)), "g: next", s.look);
    draw_graph(f, 0, layout.graph_top + 1, width, layout.graph_rows, plan.strips, s.monitor.history().times(), s.look);
}

// ---- process table ------------------------------------------------------

enum class Col : std::uint8_t { pid, gpu, type, vram, gtt, busy, dec, enc, name, container };

struct Column {
    Col id;
    std::string_view title;
    int width;  // 0: shares what is left
    bool right;
};

constexpr std::array<Column, 10> kColumns = {{
    {Col::pid, "PID", 7, true},
    {Col::gpu, "GPU", 3, true},
    {Col::type, "T", 1, false},
    {Col::vram, "VRAM", 7, true},
    {Col::gtt, "GTT", 7, true},
    {Col::busy, "GPU%", 5, true},
    {Col::dec, "DEC%", 5, true},
    {Col::enc, "ENC%", 5, true},
    {Col::name, "NAME", 0, false},
    {Col::container, "CONTAINER/POD", 0, false},
}};

std::optional<Col> sort_column(SortKey key) {
    switch (key) {
        case SortKey::vram: return Col::vram;
        case SortKey::gpu_percent: return Col::busy;
        case SortKey::gtt: return Col::gtt;
        case SortKey::pid: return Col::pid;
        case SortKey::name: return Col::name;
    }
    return std::nullopt;
}

// The columns that fit, in table order, with the widths of the name and container columns.
struct TableColumns {
    std::vector<Column> columns;
    int name_width = 0;
    int container_width = 0;
};

TableColumns table_columns(int width, bool any_container, Col sorted) {
    // Wanted in this order once PID, VRAM and NAME are in.
    constexpr std::array<Col, 7> kOptional = {Col::type, Col::gpu, Col::busy, Col::gtt, Col::dec, Col::enc, Col::container};
    std::vector<Col> chosen = {Col::pid, Col::vram, Col::name};
    if (sorted != Col::pid && sorted != Col::vram && sorted != Col::name) chosen.push_back(sorted);
    auto fixed_width = [&](const std::vector<Col>& cols) {
        int used = 0;
        for (const Column& c : kColumns)
            if (std::find(cols.begin(), cols.end(), c.id) != cols.end()) used += c.width + 1;
        return used;
    };
    for (const Col optional : kOptional) {
        if (std::find(chosen.begin(), chosen.end(), optional) != chosen.end()) continue;
        std::vector<Col> trial = chosen;
        trial.push_back(optional);
        if (optional == Col::container) {
            if (any_container && width - fixed_width(trial) >= 2 * 16 + 1) chosen = trial;
            continue;
        }
        if (width - fixed_width(trial) >= kNameMin + 4) chosen = trial;
    }
    TableColumns out;
    for (const Column& c : kColumns)
        if (std::find(chosen.begin(), chosen.end(), c.id) != chosen.end()) out.columns.push_back(c);
    const int flexible = width - fixed_width(chosen);
    if (std::find(chosen.begin(), chosen.end(), Col::container) != chosen.end()) {
        out.name_width = std::max(flexible / 2, 16);
        out.container_width = flexible - out.name_width - 1;
    } else {
        out.name_width = std::max(flexible, 1);
    }
    return out;
}

std::string rate_cell(const std::optional<std::uint32_t>& value) {
    return value ? numfmt::unsigned_text(*value) : std::string("-");
}

std::string cell_text(const ProcessRow& row, Col col) {
    switch (col) {
        case Col::pid: return numfmt::unsigned_text(row.pid);
        case Col::gpu: return numfmt::unsigned_text(row.gpu_index);
        case Col::type: return row.kind == ProcessKind::compute ? "C" : "G";
        case Col::vram: return memory_cell(row.vram_mb);
        case Col::gtt: return memory_cell(row.gtt_mb);
        case Col::busy: return rate_cell(row.gpu_percent);
        case Col::dec: return rate_cell(row.dec_percent);
        case Col::enc: return rate_cell(row.enc_percent);
        case Col::name: return row.name;
        case Col::container: return row.container;
    }
    return {};
}

void draw_table(Frame& f, const Screen& s, const Layout& layout) {
    const int width = f.width();
    const std::vector<ProcessRow>& rows = s.monitor.rows();
    const std::vector<std::size_t> order = table_order(rows, s.state);
    bool any_container = false;
    for (const std::size_t i : order) any_container = any_container || !rows[i].container.empty();
    const Col sorted = *sort_column(s.state.sort);
    const TableColumns table = table_columns(width, any_container, sorted);
    // Largest first is "down" for the numbers, A to Z is "up" for PID and name.
    const bool natural_descending = sorted != Col::pid && sorted != Col::name;
    const bool descending = natural_descending != s.state.reversed;
    const std::string_view arrow = s.look.ascii ? (descending ? "v" : "^") : (descending ? "\u25BC" : "\u25B2");

    auto widths = [&](const Column& c) {
        return c.id == Col::name ? table.name_width : c.id == Col::container ? table.container_width : c.width;
    };
    // Header: the sort column underlined with its arrow.
    int x = 0;
    const int header = layout.table_top;
    for (const Column& c : table.columns) {
        const int w = widths(c);
        std::string title(c.title);
        const bool is_sorted = c.id == sorted;
        if (is_sorted) title = c.right ? std::string(arrow) + title : title + std::string(arrow);
        Style style = bold();
        style.underline = is_sorted;
        if (c.right) put_right(f, x + w, header, title, style);
        else f.put(x, header, title, style, x + w);
        x += w + 1;
    }
    // Which rows are in view, when not all are.
    if (order.size() > static_cast<std::size_t>(layout.table_rows) && layout.table_rows > 0) {
        const std::size_t first = std::min(s.state.scroll, order.size() - 1);
        const std::size_t last = std::min(first + static_cast<std::size_t>(layout.table_rows), order.size());
        const std::string where = numfmt::unsigned_text(first + 1) + "-" + numfmt::unsigned_text(last) + " of " +
                                  numfmt::unsigned_text(order.size());
        put_right(f, width - 1, header, " " + where, plain());
    }
    if (order.empty()) {
        const std::string_view what = s.state.filter == Filter::compute    ? "no compute processes"
                                      : s.state.filter == Filter::graphics ? "no graphics processes"
                                                                           : "no processes";
        f.put(2, header + 1, what, plain());
        return;
    }
    for (int line = 0; line < layout.table_rows; ++line) {
        const std::size_t index = s.state.scroll + static_cast<std::size_t>(line);
        if (index >= order.size()) break;
        const ProcessRow& row = rows[order[index]];
        const int y = header + 1 + line;
        x = 0;
        for (const Column& c : table.columns) {
            const int w = widths(c);
            const std::string text = fit_text(cell_text(row, c.id), w, ellipsis(s.look));
            Style style;
            if (c.id == Col::type) style = colored(s.look, row.kind == ProcessKind::compute ? Color::magenta : Color::cyan);
            if (c.right) put_right(f, x + w, y, text, style);
            else f.put(x, y, text, style, x + w);
            x += w + 1;
        }
        if (index == s.state.selected) f.restyle(0, y, width, [](Style& st) { st.reverse = true; });
    }
}

// ---- title line and help ----------------------------------------------------

void draw_title(Frame& f, const Screen& s) {
    const int width = f.width();
    const auto& current = s.monitor.current();
    const std::string_view help = "? help";
    const int end = width - text_width(help) - 2;
    int x = f.put(0, 0, "karvo top", bold(), end);
    auto piece = [&](const std::string& text, const Style& style) {
        if (x + 2 + text_width(text) <= end) x = f.put(x + 2, 0, text, style, end);
    };
    if (current) {
        const std::size_t count = current->devices.size();
        const GpuDevice* chosen = s.state.gpu ? device_at(s, *s.state.gpu) : nullptr;
        if (chosen != nullptr) {
            piece("GPU " + numfmt::unsigned_text(chosen->index) + " (" + numfmt::unsigned_text(*s.state.gpu + 1) +
                      " of " + numfmt::unsigned_text(count) + ")",
                  plain());
        } else {
            piece(count == 1 ? std::string("1 GPU") : "all " + numfmt::unsigned_text(count) + " GPUs", plain());
        }
    }
    piece("every " + interval_text(s.state.interval_ms), plain());
    if (s.state.paused) piece("PAUSED", Style{Color::none, true, true});
    if (s.state.filter != Filter::all)
        piece(s.state.filter == Filter::compute ? "compute only" : "graphics only", plain());
    if (current) piece(current->clock, plain());
    if (width >= text_width(help) + 12) put_right(f, width - 1, 0, help, plain());
}

void draw_help(Frame& f, const Screen& s) {
    const int width = f.width();
    const int height = f.height();
    const auto& keys = key_help();
    std::vector<std::pair<std::string, std::string>> lines;
    int key_width = 0;
    for (const KeyHelp& k : keys) {
        const std::string_view shown = s.look.ascii ? k.ascii_keys : k.keys;
        key_width = std::max(key_width, text_width(shown));
        lines.emplace_back(std::string(shown), std::string(k.does));
    }
    int does_width = 0;
    for (const auto& line : lines) does_width = std::max(does_width, text_width(line.second));
    const int box_width = std::min(width - 2, key_width + 2 + does_width + 4);
    const int inner = box_width - 4;
    const bool with_message = !s.monitor.message().empty();
    const int box_height = std::min(height, static_cast<int>(lines.size()) + 4 + (with_message ? 2 : 0));
    const int left = (width - box_width) / 2;
    const int top = std::max(0, (height - box_height) / 2);
    const bool ascii = s.look.ascii;
    for (int y = top; y < top + box_height; ++y) f.fill(left, y, box_width, U' ', plain());
    const char32_t h = ascii ? U'-' : U'\u2500', v = ascii ? U'|' : U'\u2502';
    f.fill(left + 1, top, box_width - 2, h, plain());
    f.fill(left + 1, top + box_height - 1, box_width - 2, h, plain());
    for (int y = top + 1; y < top + box_height - 1; ++y) {
        f.put_char(left, y, v, plain(), width);
        f.put_char(left + box_width - 1, y, v, plain(), width);
    }
    f.put_char(left, top, ascii ? U'+' : U'\u250C', plain(), width);
    f.put_char(left + box_width - 1, top, ascii ? U'+' : U'\u2510', plain(), width);
    f.put_char(left, top + box_height - 1, ascii ? U'+' : U'\u2514', plain(), width);
    f.put_char(left + box_width - 1, top + box_height - 1, ascii ? U'+' : U'\u2518', plain(), width);
    f.put(left + 2, top, " Keys of karvo top ", bold(), left + box_width - 2);
    int y = top + 1;
    const int key_column = std::min(key_width, inner / 2);
    for (const auto& [shown, does] : lines) {
        if (y >= top + box_height - 2) break;
        f.put(left + 2, y, fit_text(shown, key_column, ellipsis(s.look)), bold(), left + 2 + key_column);
        f.put(left + 4 + key_column, y, fit_text(does, inner - key_column - 2, ellipsis(s.look)), plain(),
              left + 2 + inner);
        ++y;
    }
    if (with_message && y + 2 < top + box_height) {
        ++y;
        f.put(left + 2, y++, fit_text("Last message: " + s.monitor.message(), inner, ellipsis(s.look)), plain(),
              left + 2 + inner);
    }
    f.put(left + 2, top + box_height - 2, fit_text("Any key closes this help.", inner, ellipsis(s.look)), plain(),
          left + 2 + inner);
}

void draw_notice(Frame& f, std::string_view text) {
    const int y = f.height() / 2;
    const std::string shown = fit_text(text, f.width() - 2, "~");
    f.put(std::max(0, (f.width() - text_width(shown)) / 2), y, shown, plain());
}

}  // namespace

const std::vector<KeyHelp>& key_help() {
    static const std::vector<KeyHelp> kKeys = {
        {"q  Esc  Ctrl-C", "q  Esc  Ctrl-C", "quit"},
        {"?  h", "?  h", "this help (any key closes it)"},
        {"s", "s", "next sort column: VRAM, GPU %, GTT, PID, name"},
        {"r", "r", "reverse the order (first: VRAM, largest first)"},
        {"\u2191 \u2193 PgUp PgDn Home End", "Up Down PgUp PgDn Home End", "move the selection"},
        {"\u2190 \u2192  Tab", "Left Right  Tab", "previous / next GPU: its panel, graph, processes"},
        {"a", "a", "all GPUs"},
        {"g", "g", "next graph: use, temperature, power, clocks"},
        {"f", "f", "filter processes: all, compute, graphics"},
        {"p  Space", "p  Space", "pause or resume sampling"},
        {"+  -", "+  -", "interval up or down, 0.1 to 60 s"},
        {"Ctrl-L", "Ctrl-L", "draw the whole screen again"},
    };
    return kKeys;
}

Layout plan_layout(const Screen& s, int width, int height) {
    Layout layout;
    if (width < kMinColumns || height < kMinRows) {
        layout.too_small = true;
        return layout;
    }
    const auto& current = s.monitor.current();
    const std::size_t count = current ? current->devices.size() : 0;
    if (s.state.gpu && *s.state.gpu < count) {
        layout.gpus = {*s.state.gpu};
    } else {
        for (std::size_t i = 0; i < count; ++i) layout.gpus.push_back(i);
    }
    const int available = height - 1;  // below the title line
    const int table_least = 1 + kMinTableRows;
    const int gpus = static_cast<int>(layout.gpus.size());
    const int graph_wanted = std::clamp(height / 4, 2, kMaxGraphRows);
    auto place = [&](bool compact, int graph_rows, int panel_lines, int extra_line) {
        layout.compact = compact;
        layout.graph_rows = graph_rows;
        const int panel_rows = panel_lines + extra_line;
        layout.graph_top = layout.panel_top + panel_rows;
        layout.table_top = layout.graph_top + (graph_rows > 0 ? graph_rows + 2 : 0);
        layout.table_rows = height - layout.table_top - 1;
    };
    bool placed = false;
    for (const bool compact : {false, true}) {
        const int lines = gpus * (compact ? 1 : 2);
        for (int graph = graph_wanted; graph >= 2 && !placed; --graph) {
            if (lines + graph + 2 + table_least <= available) {
                place(compact, graph, lines, 0);
                placed = true;
            }
        }
        if (placed) break;
    }
    if (!placed && gpus + table_least <= available) {
        place(true, 0, gpus, 0);
        placed = true;
    }
    if (!placed) {
        // Not every GPU fits: one line says how many were left out.
        const int fit = std::max(available - table_least - 1, 1);
        layout.gpus_left_out = layout.gpus.size() - static_cast<std::size_t>(fit);
        layout.gpus.resize(static_cast<std::size_t>(fit));
        place(true, 0, fit, 1);
    }
    return layout;
}

KeyContext key_context(const Screen& s, int width, int height) {
    KeyContext context;
    const auto& current = s.monitor.current();
    context.gpus = current ? current->devices.size() : 0;
    context.rows = table_order(s.monitor.rows(), s.state).size();
    const Layout layout = plan_layout(s, width, height);
    context.page = layout.table_rows > 0 ? static_cast<std::size_t>(layout.table_rows) : 1;
    return context;
}

Frame frame(const Screen& s, int width, int height) {
    Frame f(width, height);
    if (width <= 0 || height <= 0) return f;
    const Layout layout = plan_layout(s, width, height);
    if (layout.too_small) {
        const std::string needed = "karvo top needs " + numfmt::unsigned_text(kMinColumns) + "x" +
                                   numfmt::unsigned_text(kMinRows) + " (now " + numfmt::unsigned_text(width) + "x" +
                                   numfmt::unsigned_text(height) + ")";
        // The last column of the last row stays blank (see encode.h).
        f.put(0, 0, fit_text(needed, height == 1 ? width - 1 : width, "~"), plain());
        return f;
    }
    draw_title(f, s);
    const auto& current = s.monitor.current();
    if (!current) {
        draw_notice(f, "Waiting for the first discovery pass...");
    } else if (current->devices.empty()) {
        draw_notice(f, "No AMD GPU in the last pass (" + current->clock + "); still looking");
    } else {
        draw_panels(f, s, layout);
        if (layout.graph_rows > 0) draw_graph_block(f, s, layout);
        draw_table(f, s, layout);
    }
    if (s.state.help) draw_help(f, s);
    // The bottom-right cell is never written to the terminal (see encode.h): keep it blank here too.
    f.put_char(width - 1, height - 1, U' ', plain(), width);
    return f;
}

}  // namespace karvo::render::top
