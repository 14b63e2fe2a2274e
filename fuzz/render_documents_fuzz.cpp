// Any device list: the JSON document parses back (both layouts) with every
// string and number intact, and the table is valid UTF-8 without control
// characters. The Prometheus text writes a process type as it is (it is one of
// discovery's own codes), so it is checked on lists whose process types are
// such codes: then each sample stays on its own line and the text is valid
// UTF-8 whatever the names hold. The CSV queries keep one line per row and
// carry no control character, whatever the names hold.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/json_reader.h"
#include "common/text.h"
#include "render/figures.h"
#include "render/json.h"
#include "render/metrics.h"
#include "render/query.h"
#include "render/table.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    template <class T>
    T number() {
        T value{};
        unsigned char bytes[sizeof(T)] = {};
        for (auto& b : bytes) b = byte();
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    std::string text() {
        const std::size_t length = byte() % 48;
        std::string out;
        for (std::size_t i = 0; i < length && pos_ < size_; ++i) out += static_cast<char>(data_[pos_++]);
        return out;
    }
    template <class T>
    std::optional<T> maybe() {
        if (byte() & 1) return number<T>();
        return std::nullopt;
    }
    bool done() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

karvo::DeviceList make_list(Input& in) {
    karvo::DeviceList list;
    const std::size_t devices = in.byte() % 4;
    for (std::size_t i = 0; i < devices; ++i) {
        karvo::GpuDevice d;
        d.index = in.number<std::uint32_t>();
        d.market_name = in.text();
        d.device_id = in.number<std::uint64_t>();
        d.gfx_version = in.text();
        d.vram_type = in.text();
        d.vram_total_mb = in.number<std::uint32_t>();
        d.vram_used_mb = in.number<std::uint32_t>();
        d.vram_pinned_mb = in.number<std::uint32_t>();
        d.pcie_width = in.number<std::uint16_t>();
        d.driver_version = in.text();
        d.temp_edge_c = in.maybe<float>();
        d.temp_hotspot_c = in.maybe<float>();
        d.temp_vram_c = in.maybe<float>();
        d.gfx_clock_mhz = in.maybe<std::uint32_t>();
        d.mem_clock_mhz = in.maybe<std::uint32_t>();
        d.gfx_util_percent = in.maybe<std::uint32_t>();
        d.power_w = in.maybe<float>();
        d.gtt_total_mb = in.number<std::uint32_t>();
        d.fan_percent = in.maybe<std::uint32_t>();
        d.voltage_soc_mv = in.maybe<std::uint32_t>();
        d.energy_j = in.maybe<double>();
        if (const std::uint8_t reasons = in.byte(); reasons & 0x80) {
            d.throttle.emplace();
            for (std::size_t r = 0; r < karvo::kThrottleReasons.size(); ++r)
                if (reasons & (1u << r)) d.throttle->push_back(karvo::kThrottleReasons[r]);
        }
        d.ecc_uncorrectable = in.maybe<std::uint64_t>();
        d.backend = in.text();
        const std::size_t processes = in.byte() % 30;
        for (std::size_t p = 0; p < processes && !in.done(); ++p) {
            karvo::GpuProcess proc;
            proc.pid = in.number<std::uint32_t>();
            proc.name = in.text();
            proc.mem_used_mb = in.number<std::uint32_t>();
            proc.proc_type = in.byte() & 1 ? karvo::ProcessKind::compute : karvo::ProcessKind::graphics;
            proc.gtt_used_mb = in.number<std::uint32_t>();
            if (const std::uint8_t engines = in.byte(); engines & 0x80) {
                proc.busy_ns.emplace();
                for (std::size_t e = 0; e < karvo::kEngineCount; ++e)
                    if (engines & (1u << e)) proc.busy_ns->ns[e] = in.number<std::uint64_t>();
            }
            proc.pod = in.text();
            d.processes.push_back(std::move(proc));
        }
        list.push_back(std::move(d));
    }
    return list;
}

void check_string(const karvo::json::Value* value, const std::string& original) {
    check(value != nullptr && value->as_string() != nullptr);
    check(*value->as_string() == karvo::text::utf8_lossy(original));
}

void check_float(const karvo::json::Value* value, const std::optional<float>& original) {
    check(value != nullptr);
    if (!original || !std::isfinite(*original)) {
        check(value->is_null());
        return;
    }
    const auto parsed = value->as_double();
    check(parsed && static_cast<float>(*parsed) == *original);
}

void check_json(const std::string& text, const karvo::DeviceList& list) {
    auto parsed = karvo::json::parse(text);
    check(parsed.ok());
    const auto* devices = parsed->as_array();
    check(devices != nullptr && devices->size() == list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const karvo::GpuDevice& d = list[i];
        const karvo::json::Value& v = (*devices)[i];
        check(v.as_object() != nullptr && v.as_object()->size() == 45);
        check(v.find("index")->as_u64() == d.index);
        check(v.find("device_id")->as_u64() == d.device_id);
        check_string(v.find("market_name"), d.market_name);
        check_string(v.find("backend"), d.backend);
        check_float(v.find("temp_edge_c"), d.temp_edge_c);
        check_float(v.find("power_w"), d.power_w);
        const auto* energy = v.find("energy_j");
        if (!d.energy_j || !std::isfinite(*d.energy_j)) {
            check(energy->is_null());
        } else {
            check(energy->as_double() == *d.energy_j);
        }
        const auto* throttle = v.find("throttle");
        check(d.throttle ? throttle->as_array() != nullptr && throttle->as_array()->size() == d.throttle->size()
                         : throttle->is_null());
        const auto* processes = v.find("processes")->as_array();
        check(processes != nullptr && processes->size() == d.processes.size());
        for (std::size_t p = 0; p < d.processes.size(); ++p) {
            check_string((*processes)[p].find("name"), d.processes[p].name);
            check_string((*processes)[p].find("proc_type"),
                         std::string(karvo::render::process_kind_code(d.processes[p].proc_type)));
            check_string((*processes)[p].find("pod"), d.processes[p].pod);
            const auto* busy = (*processes)[p].find("busy_ns");
            check(d.processes[p].busy_ns ? busy->as_object() != nullptr : busy->is_null());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const karvo::DeviceList list = make_list(in);

    check_json(karvo::render::render_json_compact(list), list);
    check_json(karvo::render::render_json_pretty(list), list);

    const std::string metrics = karvo::render::render_metrics(list, 0.25);
    // Every line is a HELP or TYPE line or one sample; one process-memory
    // sample per process.
    std::size_t processes = 0, process_samples = 0;
    for (const auto& d : list) processes += d.processes.size();
    std::string_view rest = metrics;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        check(end != std::string_view::npos);
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        check(line.starts_with("# HELP amd_gpu_") || line.starts_with("# TYPE amd_gpu_") ||
              line.starts_with("amd_gpu_"));
        process_samples += line.starts_with("amd_gpu_process_mem_mb{");
    }
    check(process_samples == processes && metrics.find('\r') == std::string::npos);
    check(karvo::text::is_valid_utf8(metrics));

    // A watch refresh compared with itself a second earlier.
    const karvo::render::PreviousPass previous{list, 1};
    karvo::render::TableOptions watch{true, 1};
    watch.busy_columns = true;
    watch.previous = &previous;
    watch.now_ns = 1000000001;
    for (const auto& options : {karvo::render::TableOptions{false, std::nullopt},
                                karvo::render::TableOptions{true, std::nullopt}, watch}) {
        const std::string table = karvo::render::render_table(list, options, "2026-01-31 23:59:58");
        check(karvo::text::is_valid_utf8(table));
        for (char c : table) check(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
        check(table.find('\x7f') == std::string::npos);
    }

    // The CSV queries reach a terminal too: one line per row, no control character.
    const karvo::platform::WallTime time{2026, 1, 31, 23, 59, 58, 7};
    for (const auto& [kind, fields] :
         {std::pair{karvo::render::QueryKind::gpus, "index,name,gfx_version,vram_type,driver_version,backend,"
                                                    "temperature.gpu,temp_edge_c,memory.used,throttle"},
          std::pair{karvo::render::QueryKind::apps, "pid,process_name,pod,type,used_memory,busy_ns,gpu_name"}}) {
        const auto query = karvo::render::parse_query(kind, fields);
        check(query.ok());
        const std::string csv = karvo::render::query_rows(*query, list, time);
        check(karvo::text::is_valid_utf8(csv));
        std::size_t lines = 0;
        for (char c : csv) {
            check(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != '\x7f'));
            lines += c == '\n';
        }
        std::size_t rows = 0;
        for (const auto& d : list) rows += kind == karvo::render::QueryKind::gpus ? 1 : d.processes.size();
        check(lines == rows);
    }
    return 0;
}
