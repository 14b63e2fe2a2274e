#include "render/top/model.h"

#include <algorithm>
#include <unordered_map>

#include "render/display_text.h"
#include "render/table.h"

namespace karvo::render::top {
namespace {

// The same GPU in another pass: by PCI address, by index when there is none.
const GpuDevice* same_gpu(const DeviceList& devices, const GpuDevice& device) {
    for (const GpuDevice& d : devices) {
        const bool same = device.bdf.empty() ? d.bdf.empty() && d.index == device.index : d.bdf == device.bdf;
        if (same) return &d;
    }
    return nullptr;
}

// Names A to Z, ignoring ASCII case (without copying them: the table sorts often).
int compare_names(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto lower = [](char c) { return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
        const unsigned char x = lower(a[i]), y = lower(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Negative, zero or positive as a sorts before, with or after b in the column's own order.
int compare(const ProcessRow& a, const ProcessRow& b, SortKey key) {
    auto descending = [](std::int64_t x, std::int64_t y) { return x > y ? -1 : x < y ? 1 : 0; };
    switch (key) {
        case SortKey::vram: return descending(a.vram_mb, b.vram_mb);
        case SortKey::gtt: return descending(a.gtt_mb, b.gtt_mb);
        case SortKey::gpu_percent:
            // Rows without a rate go after those with one, even 0 %.
            return descending(a.gpu_percent ? std::int64_t{*a.gpu_percent} : -1,
                              b.gpu_percent ? std::int64_t{*b.gpu_percent} : -1);
        case SortKey::pid: return a.pid < b.pid ? -1 : a.pid > b.pid ? 1 : 0;
        case SortKey::name: return compare_names(a.name, b.name);
    }
    return 0;
}

bool passes(const ProcessRow& row, const TopState& state) {
    if (state.gpu && row.gpu_position != *state.gpu) return false;
    switch (state.filter) {
        case Filter::all: return true;
        case Filter::compute: return row.kind == ProcessKind::compute;
        case Filter::graphics: return row.kind == ProcessKind::graphics;
    }
    return true;
}

}  // namespace

std::vector<ProcessRow> process_rows(const Sample& now, const Sample* before) {
    std::vector<ProcessRow> rows;
    const std::uint64_t wall_ns = before != nullptr && now.time_ns > before->time_ns ? now.time_ns - before->time_ns : 0;
    for (std::size_t position = 0; position < now.devices.size(); ++position) {
        const GpuDevice& device = now.devices[position];
        std::unordered_map<std::uint32_t, const GpuProcess*> earlier;
        if (const GpuDevice* then = before != nullptr ? same_gpu(before->devices, device) : nullptr) {
            for (const GpuProcess& p : then->processes) earlier.emplace(p.pid, &p);
        }
        for (const GpuProcess& p : device.processes) {
            ProcessRow row;
            row.gpu_position = position;
            row.gpu_index = device.index;
            row.pid = p.pid;
            row.kind = p.proc_type;
            row.vram_mb = p.mem_used_mb;
            row.gtt_mb = p.gtt_used_mb;
            const auto found = earlier.find(p.pid);
            if (found != earlier.end()) {
                const auto& then = found->second->busy_ns;
                row.gpu_percent = busy_percent(p.busy_ns, then, {Engine::gfx, Engine::compute}, wall_ns);
                row.dec_percent = busy_percent(p.busy_ns, then, {Engine::dec}, wall_ns);
                row.enc_percent = busy_percent(p.busy_ns, then, {Engine::enc}, wall_ns);
            }
            row.name = display_text(p.name);
            row.container = display_text(container_text(p));
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

std::vector<std::size_t> table_order(const std::vector<ProcessRow>& rows, const TopState& state) {
    std::vector<std::size_t> order;
    order.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (passes(rows[i], state)) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const ProcessRow &x = rows[a], &y = rows[b];
        int order_of = compare(x, y, state.sort);
        if (state.reversed) order_of = -order_of;
        if (order_of != 0) return order_of < 0;
        if (x.gpu_position != y.gpu_position) return x.gpu_position < y.gpu_position;
        if (x.pid != y.pid) return x.pid < y.pid;
        return a < b;
    });
    return order;
}

void Monitor::add(Sample sample) {
    rows_ = process_rows(sample, current_ ? &*current_ : nullptr);
    history_.add(sample.devices, sample.time_ns);
    current_ = std::move(sample);
}

std::optional<RowIdentity> selected_row(const Monitor& monitor, const TopState& state) {
    const std::vector<std::size_t> order = table_order(monitor.rows(), state);
    if (state.selected >= order.size()) return std::nullopt;
    const ProcessRow& row = monitor.rows()[order[state.selected]];
    return RowIdentity{row.gpu_index, row.pid};
}

TopState reselect(const Monitor& monitor, TopState state, const std::optional<RowIdentity>& row) {
    if (!row) return state;
    const std::vector<std::size_t> order = table_order(monitor.rows(), state);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const ProcessRow& candidate = monitor.rows()[order[i]];
        if (candidate.gpu_index == row->gpu_index && candidate.pid == row->pid) {
            state.selected = i;
            break;
        }
    }
    return state;
}

}  // namespace karvo::render::top
