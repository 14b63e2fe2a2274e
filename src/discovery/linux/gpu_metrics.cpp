#include "discovery/linux/gpu_metrics.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace karvo::discovery::linux {
namespace {

// Little-endian unsigned integer of `width` bytes (1 to 8) at `at`; the caller
// has checked that the bytes are there. Byte by byte, so neither the host's
// byte order nor the (often odd) offset matters.
std::uint64_t read_le(std::string_view bytes, std::size_t at, std::size_t width) {
    unsigned char raw[8] = {};
    std::memcpy(raw, bytes.data() + at, width);
    std::uint64_t value = 0;
    for (std::size_t k = width; k-- > 0;) value = value << 8 | raw[k];
    return value;
}

constexpr std::uint64_t all_ones(std::size_t width) {
    return width >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * width)) - 1;
}

// Readings beyond these are not measurements but garbage.
constexpr float kMaxTemperatureC = 200;
constexpr double kMaxPowerW = 5000;
constexpr std::uint64_t kMaxClockMhz = 20000;
constexpr std::uint64_t kMaxFanRpm = 50000;
constexpr std::uint64_t kMaxVoltageMv = 5000;
constexpr std::uint64_t kMaxPcieWidth = 32;
constexpr std::uint64_t kMaxPcieSpeedGt = 128;
// Some APU firmware (Renoir) fills the milliwatt socket power field in watts:
// an APU socket that answers draws far more than this many milliwatts.
constexpr std::uint64_t kApuWattsBelow = 200;

// Discrete cards (1.x): whole degrees, percent, watts. APUs (2.x): centi-degrees,
// centi-percent, milliwatts. 3.0: as 2.x, but activity is percent on some
// firmware and centi-percent on other.
enum class Units { discrete, apu, apu3 };

std::optional<float> temperature(Units units, std::uint64_t raw) {
    const float c = units == Units::discrete ? static_cast<float>(raw) : static_cast<float>(raw) / 100.0f;
    if (c > kMaxTemperatureC) return std::nullopt;
    return c;
}

std::optional<std::uint32_t> activity(Units units, std::uint64_t raw) {
    const bool centi = units == Units::apu || (units == Units::apu3 && raw > 100);
    if (raw > (centi ? 10000u : 100u)) return std::nullopt;
    return static_cast<std::uint32_t>(centi ? (raw + 50) / 100 : raw);
}

std::optional<float> power(Units units, std::uint64_t raw) {
    double watts = static_cast<double>(raw);
    if (units == Units::apu3 || (units == Units::apu && raw >= kApuWattsBelow)) watts /= 1000;
    if (watts > kMaxPowerW) return std::nullopt;
    return static_cast<float>(watts);
}

// Counts 2^-16 J. A 64-bit field holding 0xFFFFFFFF is a 32-bit "unsupported"
// (RDNA4), not a count; a counter the firmware leaves at 0 (RDNA3 laptop
// parts) never counts either.
std::optional<double> energy(std::uint64_t raw, std::size_t width) {
    if (raw == 0 || (width == 8 && raw == 0xFFFFFFFFu)) return std::nullopt;
    return static_cast<double>(raw) / 65536.0;
}

std::optional<std::uint32_t> at_most(std::uint64_t raw, std::uint64_t limit) {
    if (raw > limit) return std::nullopt;
    return static_cast<std::uint32_t>(raw);
}

std::optional<std::uint32_t> pcie_width(std::uint64_t lanes) {
    if (lanes == 0 || lanes > kMaxPcieWidth) return std::nullopt;
    return static_cast<std::uint32_t>(lanes);
}

std::optional<std::uint32_t> pcie_speed(std::uint64_t gt) {
    if (gt == 0 || gt > kMaxPcieSpeedGt) return std::nullopt;
    return static_cast<std::uint32_t>(gt);
}

// indep_throttle_status: the same bits on every chip, grouped the way a user
// reads them. Bits outside the four groups (PPM, FIT, new ones) are "other".
std::vector<std::string> throttle_reasons(std::uint64_t bits) {
    constexpr std::uint64_t kPower = 0xFFull;
    constexpr std::uint64_t kCurrent = 0xFFull << 16;
    constexpr std::uint64_t kThermal = 0x3FFFull << 32;
    constexpr std::uint64_t kProchot = 0x3ull << 46;
    std::vector<std::string> reasons;
    if (bits & kPower) reasons.emplace_back("power");
    if (bits & kCurrent) reasons.emplace_back("current");
    if (bits & kThermal) reasons.emplace_back("thermal");
    if (bits & kProchot) reasons.emplace_back("prochot");
    if (bits & ~(kPower | kCurrent | kThermal | kProchot)) reasons.emplace_back("other");
    return reasons;
}

// The chip-specific throttle_status only tells whether anything throttles.
std::vector<std::string> any_throttle(std::uint64_t bits) {
    return bits != 0 ? std::vector<std::string>{"other"} : std::vector<std::string>{};
}

// Sets `out` from the first source that gives a value.
template <class T>
void take(std::optional<T>& out, std::optional<T> value) {
    if (!out) out = std::move(value);
}

// ---- Fixed layouts --------------------------------------------------------

struct Field {
    std::uint16_t offset = 0;
    std::uint8_t width = 0;  // 0: the layout has no such field
    std::uint8_t count = 1;  // elements of an array
};
constexpr Field u8(std::uint16_t at) { return {at, 1, 1}; }
constexpr Field u16(std::uint16_t at, std::uint8_t count = 1) { return {at, 2, count}; }
constexpr Field u32(std::uint16_t at) { return {at, 4, 1}; }
constexpr Field u64(std::uint16_t at) { return {at, 8, 1}; }

struct Layout {
    std::uint8_t format = 0;
    std::uint8_t content = 0;
    std::uint16_t size = 0;  // structure_size of this layout
    // Another layout once shipped under the same revision with another size
    // and agrees with this one only below this byte (0: layouts of one
    // revision only ever grew at the end).
    std::uint16_t agrees_below = 0;
    Units units = Units::discrete;
    Field temp_edge, temp_hotspot, temp_vram;
    Field gfx_activity, mem_activity, media_activity;  // media: the busiest engine
    Field power, energy;
    Field gfx_clock, gfx_clock_avg, mem_clock, mem_clock_avg;  // current: first valid element
    Field fan, voltage_gfx, voltage_soc, voltage_mem;
    Field throttle, indep_throttle;
    Field pcie_width, pcie_speed;  // lanes; 0.1 GT/s
};

// Offsets of the driver's gpu_metrics_vX_Y structures (natural alignment).
constexpr Layout v1_1(std::uint8_t content, std::uint16_t size) {
    return {.format = 1, .content = content, .size = size, .temp_edge = u16(4), .temp_hotspot = u16(6),
            .temp_vram = u16(8), .gfx_activity = u16(16), .mem_activity = u16(18), .media_activity = u16(20),
            .power = u16(22), .energy = u64(24), .gfx_clock = u16(54), .gfx_clock_avg = u16(40),
            .mem_clock = u16(58), .mem_clock_avg = u16(44), .fan = u16(72), .throttle = u32(68),
            .pcie_width = u16(74), .pcie_speed = u16(76)};
}
constexpr Layout v1_3() {
    Layout l = v1_1(3, 120);
    l.voltage_soc = u16(104);
    l.voltage_gfx = u16(106);
    l.voltage_mem = u16(108);
    l.indep_throttle = u64(112);
    return l;
}
// MI300 and later (1.4 to 1.8): no edge temperature, instantaneous power.
constexpr Layout mi300(std::uint8_t content, std::uint16_t size, std::uint16_t energy_at, std::uint16_t throttle_at,
                       std::uint16_t pcie_at, std::uint16_t gfxclk_at, std::uint16_t uclk_at) {
    Layout l{.format = 1, .content = content, .size = size, .temp_hotspot = u16(4), .temp_vram = u16(6),
             .gfx_activity = u16(12), .mem_activity = u16(14), .power = u16(10), .energy = u64(energy_at),
             .gfx_clock = u16(gfxclk_at, 8), .mem_clock = u16(uclk_at), .pcie_width = u16(pcie_at),
             .pcie_speed = u16(static_cast<std::uint16_t>(pcie_at + 2))};
    if (throttle_at != 0) l.throttle = u32(throttle_at);
    if (content <= 5) l.media_activity = u16(16, 4);  // vcn_activity[4]
    return l;
}
constexpr Layout v2_1(std::uint8_t content, std::uint16_t size) {
    Layout l{.format = 2, .content = content, .size = size, .units = Units::apu, .temp_edge = u16(4),
             .gfx_activity = u16(28), .media_activity = u16(30), .power = u16(40), .gfx_clock = u16(76),
             .gfx_clock_avg = u16(64), .mem_clock = u16(80), .mem_clock_avg = u16(68), .throttle = u32(108)};
    if (content >= 2) l.indep_throttle = u64(120);
    if (content >= 4) {
        l.voltage_soc = u16(154);
        l.voltage_gfx = u16(156);
    }
    return l;
}

constexpr std::array kLayouts{
    Layout{.format = 1, .content = 0, .size = 80, .temp_edge = u16(16), .temp_hotspot = u16(18),
           .temp_vram = u16(20), .gfx_activity = u16(28), .mem_activity = u16(30), .media_activity = u16(32),
           .power = u16(34), .energy = u32(36), .gfx_clock = u16(54), .gfx_clock_avg = u16(40),
           .mem_clock = u16(58), .mem_clock_avg = u16(44), .fan = u16(72), .throttle = u32(68),
           .pcie_width = u8(74), .pcie_speed = u8(75)},
    v1_1(1, 96),
    v1_1(2, 104),
    v1_3(),
    mi300(4, 288, 24, 40, 48, 240, 280),
    mi300(5, 360, 88, 104, 112, 312, 352),
    // A short-lived 384-byte 1.6 differs in ways not worth trusting any of it.
    [] {
        Layout l = mi300(6, 1664, 16, 0, 60, 264, 304);
        l.agrees_below = 4;
        return l;
    }(),
    mi300(7, 2208, 24, 0, 68, 296, 336),
    mi300(8, 3872, 24, 0, 68, 296, 336),
    Layout{.format = 2, .content = 0, .size = 120, .units = Units::apu, .temp_edge = u16(16),
           .gfx_activity = u16(40), .media_activity = u16(42), .power = u16(44), .gfx_clock = u16(80),
           .gfx_clock_avg = u16(68), .mem_clock = u16(84), .mem_clock_avg = u16(72), .throttle = u32(112)},
    v2_1(1, 120),
    v2_1(2, 128),
    v2_1(3, 152),
    v2_1(4, 168),
    // 3.0 was 224 bytes at first; both forms agree on bytes 0-167.
    Layout{.format = 3, .content = 0, .size = 264, .agrees_below = 168, .units = Units::apu3, .temp_edge = u16(4),
           .gfx_activity = u16(42), .media_activity = u16(44), .power = u32(112), .gfx_clock_avg = u16(174),
           .mem_clock_avg = u16(186)},
};

// The bytes of a table that may be trusted.
class Table {
public:
    Table(std::string_view bytes, std::size_t end) : bytes_(bytes), end_(end) {}

    // Element `k` of a field: nothing when the layout lacks it, the bytes do
    // not reach it, or it holds all ones.
    std::optional<std::uint64_t> get(Field field, std::size_t k = 0) const {
        if (field.width == 0 || k >= field.count) return std::nullopt;
        const std::size_t at = field.offset + k * field.width;
        if (at + field.width > end_) return std::nullopt;
        const std::uint64_t value = read_le(bytes_, at, field.width);
        if (value == all_ones(field.width)) return std::nullopt;
        return value;
    }

private:
    std::string_view bytes_;
    std::size_t end_;
};

template <class F>
auto convert(std::optional<std::uint64_t> raw, F f) -> decltype(f(std::uint64_t{})) {
    if (!raw) return std::nullopt;
    return f(*raw);
}

void read_layout(const Layout& l, const Table& t, GpuMetrics& m) {
    const Units u = l.units;
    const auto temp = [u](std::uint64_t raw) { return temperature(u, raw); };
    const auto busy = [u](std::uint64_t raw) { return activity(u, raw); };
    const auto clock = [](std::uint64_t raw) { return at_most(raw, kMaxClockMhz); };

    m.temp_edge_c = convert(t.get(l.temp_edge), temp);
    m.temp_hotspot_c = convert(t.get(l.temp_hotspot), temp);
    m.temp_vram_c = convert(t.get(l.temp_vram), temp);
    m.gfx_util_percent = convert(t.get(l.gfx_activity), busy);
    m.mem_util_percent = convert(t.get(l.mem_activity), busy);
    for (std::size_t k = 0; k < l.media_activity.count; ++k) {
        const auto percent = convert(t.get(l.media_activity, k), busy);
        if (percent && (!m.media_util_percent || *percent > *m.media_util_percent)) m.media_util_percent = percent;
    }
    m.power_w = convert(t.get(l.power), [u](std::uint64_t raw) { return power(u, raw); });
    m.energy_j = convert(t.get(l.energy), [&](std::uint64_t raw) { return energy(raw, l.energy.width); });
    for (std::size_t k = 0; k < l.gfx_clock.count; ++k) take(m.gfx_clock_mhz, convert(t.get(l.gfx_clock, k), clock));
    take(m.gfx_clock_mhz, convert(t.get(l.gfx_clock_avg), clock));
    take(m.mem_clock_mhz, convert(t.get(l.mem_clock), clock));
    take(m.mem_clock_mhz, convert(t.get(l.mem_clock_avg), clock));
    m.fan_rpm = convert(t.get(l.fan), [](std::uint64_t raw) { return at_most(raw, kMaxFanRpm); });
    const auto volts = [](std::uint64_t raw) { return at_most(raw, kMaxVoltageMv); };
    m.voltage_gfx_mv = convert(t.get(l.voltage_gfx), volts);
    m.voltage_soc_mv = convert(t.get(l.voltage_soc), volts);
    m.voltage_mem_mv = convert(t.get(l.voltage_mem), volts);
    if (l.indep_throttle.width != 0) {
        m.throttle = convert(t.get(l.indep_throttle), [](std::uint64_t bits) {
            return std::optional<std::vector<std::string>>(throttle_reasons(bits));
        });
    } else {
        m.throttle = convert(t.get(l.throttle), [](std::uint64_t bits) {
            return std::optional<std::vector<std::string>>(any_throttle(bits));
        });
    }
    m.pcie_width = convert(t.get(l.pcie_width), pcie_width);
    m.pcie_speed_gt = convert(t.get(l.pcie_speed), [](std::uint64_t raw) { return pcie_speed(raw / 10); });
}

// ---- 1.9: tagged records --------------------------------------------------

namespace unit {
constexpr unsigned kNone = 0, kMhz = 1, kCelsius = 2, kWatt = 3, kGtPerS = 6, kTenthGtPerS = 7, kPercent = 10;
}

// Where a record's attribute goes and the unit it comes in.
struct RecordTarget {
    unsigned id;
    unsigned unit;
};
constexpr std::array kRecords{
    RecordTarget{0, unit::kCelsius},  // hotspot temperature
    RecordTarget{1, unit::kCelsius},  // memory temperature
    RecordTarget{3, unit::kWatt},     // current socket power
    RecordTarget{4, unit::kPercent},  // gfx activity
    RecordTarget{5, unit::kPercent},  // umc activity
    RecordTarget{7, unit::kNone},     // energy accumulator
    RecordTarget{16, unit::kNone},    // PCIe width
    RecordTarget{17, unit::kTenthGtPerS},
    RecordTarget{33, unit::kMhz},  // current gfxclk
    RecordTarget{37, unit::kMhz},  // current uclk
};

// A known attribute's first valid instance into the result (an earlier
// record of the same attribute wins). A unit that contradicts the attribute
// drops it; "none" stands for the usual unit.
void take_record(const RecordTarget& target, unsigned unit_code, std::uint64_t raw, std::size_t width,
                 GpuMetrics& m) {
    if (target.id == 17 && unit_code == unit::kGtPerS) {
        take(m.pcie_speed_gt, pcie_speed(raw));
        return;
    }
    if (unit_code != target.unit && unit_code != unit::kNone) return;
    const Units u = Units::discrete;
    switch (target.id) {
    case 0: take(m.temp_hotspot_c, temperature(u, raw)); break;
    case 1: take(m.temp_vram_c, temperature(u, raw)); break;
    case 3: take(m.power_w, power(u, raw)); break;
    case 4: take(m.gfx_util_percent, activity(u, raw)); break;
    case 5: take(m.mem_util_percent, activity(u, raw)); break;
    case 7: take(m.energy_j, energy(raw, width)); break;
    case 16: take(m.pcie_width, pcie_width(raw)); break;
    case 17: take(m.pcie_speed_gt, pcie_speed(raw / 10)); break;
    case 33: take(m.gfx_clock_mhz, at_most(raw, kMaxClockMhz)); break;
    case 37: take(m.mem_clock_mhz, at_most(raw, kMaxClockMhz)); break;
    default: break;
    }
}

// attr_count (s32) at 4, then the records from 8: a u64 encoding (bits 0-9
// instances, 10-19 attribute, 20-23 value type, 24-31 unit) and the values,
// unpadded. Every record takes at least 8 bytes, so a wild count costs no
// more steps than the bytes allow; a record cut short or of an unknown type
// (whose size is unknown) ends the walk.
void read_records(std::string_view bytes, std::size_t end, GpuMetrics& m) {
    if (end < 8) return;
    const auto count = static_cast<std::int32_t>(read_le(bytes, 4, 4));
    std::size_t at = 8;
    for (std::int32_t k = 0; k < count && end - at >= 8; ++k) {
        const std::uint64_t encoding = read_le(bytes, at, 8);
        at += 8;
        const std::size_t instances = encoding & 0x3FF;
        const unsigned id = (encoding >> 10) & 0x3FF;
        const unsigned type = (encoding >> 20) & 0xF;
        const unsigned unit_code = (encoding >> 24) & 0xFF;
        if (type > 7) return;
        const std::size_t width = std::size_t{1} << (type / 2);  // u8 s8 u16 s16 u32 s32 u64 s64
        const bool is_signed = type % 2 == 1;
        if (instances * width > end - at) return;
        const auto target = std::find_if(kRecords.begin(), kRecords.end(),
                                         [id](const RecordTarget& r) { return r.id == id; });
        if (target != kRecords.end()) {
            for (std::size_t i = 0; i < instances; ++i) {
                const std::uint64_t raw = read_le(bytes, at + i * width, width);
                const bool negative = is_signed && (raw >> (8 * width - 1)) != 0;
                if (raw == all_ones(width) || negative) continue;
                take_record(*target, unit_code, raw, width, m);
                break;
            }
        }
        at += instances * width;
    }
}

}  // namespace

GpuMetrics parse_gpu_metrics(std::string_view bytes) {
    GpuMetrics m;
    if (bytes.size() < 4) return m;
    const std::size_t structure_size = read_le(bytes, 0, 2);
    m.format_revision = static_cast<std::uint8_t>(bytes[2]);
    m.content_revision = static_cast<std::uint8_t>(bytes[3]);
    // Fewer bytes than announced: the read was cut short; only what arrived counts.
    std::size_t end = std::min(bytes.size(), structure_size);

    if (m.format_revision == 1 && m.content_revision == 9) {
        read_records(bytes, end, m);
        return m;
    }
    const auto layout = std::find_if(kLayouts.begin(), kLayouts.end(), [&](const Layout& l) {
        return l.format == m.format_revision && l.content == m.content_revision;
    });
    if (layout == kLayouts.end()) return m;
    // A size the layout does not have: only the bytes both forms share.
    end = std::min<std::size_t>(end, layout->size);
    if (structure_size != layout->size && layout->agrees_below != 0)
        end = std::min<std::size_t>(end, layout->agrees_below);
    read_layout(*layout, Table(bytes, end), m);
    return m;
}

}  // namespace karvo::discovery::linux
