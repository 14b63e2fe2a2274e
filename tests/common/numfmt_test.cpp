#include "common/numfmt.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace karvo::numfmt {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string json(float value) {
    std::string out;
    if (!append_float_json(out, value)) return "<none>";
    return out;
}

TEST(Integers, DecimalAndHex) {
    EXPECT_EQ(unsigned_text(0), "0");
    EXPECT_EQ(unsigned_text(4294967296ull), "4294967296");
    EXPECT_EQ(unsigned_text(18446744073709551615ull), "18446744073709551615");

    const auto hex = [](std::uint64_t v, unsigned digits) {
        std::string out = "x";
        append_hex(out, v, digits);
        return out;
    };
    EXPECT_EQ(hex(0x744c, 4), "x744c");
    EXPECT_EQ(hex(0x1, 4), "x0001");
    EXPECT_EQ(hex(0, 4), "x0000");
    EXPECT_EQ(hex(0xABCDEF12u, 4), "xabcdef12");
    EXPECT_EQ(hex(0, 0), "x0");
}

TEST(FloatJson, PlainRangeUsesShortestDigits) {
    EXPECT_EQ(json(45.0f), "45.0");
    EXPECT_EQ(json(100.0f), "100.0");
    EXPECT_EQ(json(45.5f), "45.5");
    EXPECT_EQ(json(45.25f), "45.25");
    EXPECT_EQ(json(0.5f), "0.5");
    EXPECT_EQ(json(0.1f), "0.1");
    EXPECT_EQ(json(-1.5f), "-1.5");
    EXPECT_EQ(json(71.3f), "71.3");
    EXPECT_EQ(json(123456.79f), "123456.79");
    EXPECT_EQ(json(0.000123f), "0.000123");
    EXPECT_EQ(json(0.000001f), "0.000001");      // exponent -6: still plain
    EXPECT_EQ(json(1e12f), "1000000000000.0");   // exponent 12: still plain
    EXPECT_EQ(json(4.5e12f), "4500000000000.0");
    EXPECT_EQ(json(16777216.0f), "16777216.0");
}

TEST(FloatJson, ZerosKeepTheirSign) {
    EXPECT_EQ(json(0.0f), "0.0");
    EXPECT_EQ(json(-0.0f), "-0.0");
}

TEST(FloatJson, ExponentFormOutsideThePlainRange) {
    EXPECT_EQ(json(1e13f), "1e+13");
    EXPECT_EQ(json(2.5e14f), "2.5e+14");
    EXPECT_EQ(json(1.5e-7f), "1.5e-7");
    EXPECT_EQ(json(1e-7f), "1e-7");
    EXPECT_EQ(json(-2.5e14f), "-2.5e+14");
    EXPECT_EQ(json(3.4028235e38f), "3.4028235e+38");
    EXPECT_EQ(json(std::numeric_limits<float>::denorm_min()), "1e-45");
    EXPECT_EQ(json(1.17549435e-38f), "1.1754944e-38");
}

TEST(FloatJson, NonFiniteWritesNothing) {
    std::string out = "keep";
    EXPECT_FALSE(append_float_json(out, kNaN));
    EXPECT_FALSE(append_float_json(out, kInf));
    EXPECT_FALSE(append_float_json(out, -kInf));
    EXPECT_EQ(out, "keep");
}

TEST(FloatPlain, NoExponentNoTrailingPointZero) {
    EXPECT_EQ(float_plain(45.0f), "45");
    EXPECT_EQ(float_plain(51.0f), "51");
    EXPECT_EQ(float_plain(45.5f), "45.5");
    EXPECT_EQ(float_plain(12.25f), "12.25");
    EXPECT_EQ(float_plain(0.1f), "0.1");
    EXPECT_EQ(float_plain(0.0f), "0");
    EXPECT_EQ(float_plain(-0.0f), "-0");
    EXPECT_EQ(float_plain(-3.5f), "-3.5");
    EXPECT_EQ(float_plain(1e20f), "1" + std::string(20, '0'));
    EXPECT_EQ(float_plain(1.5e-7f), "0.00000015");
    EXPECT_EQ(float_plain(3.4028235e38f), "34028235" + std::string(31, '0'));
    EXPECT_EQ(float_plain(kNaN), "NaN");
    EXPECT_EQ(float_plain(kInf), "inf");
    EXPECT_EQ(float_plain(-kInf), "-inf");
}

TEST(FloatFixed, ExactTiesGoToTheEvenNeighbour) {
    EXPECT_EQ(float_fixed(64.5f, 0), "64");
    EXPECT_EQ(float_fixed(65.5f, 0), "66");
    EXPECT_EQ(float_fixed(0.5f, 0), "0");
    EXPECT_EQ(float_fixed(1.5f, 0), "2");
    EXPECT_EQ(float_fixed(2.5f, 0), "2");
    EXPECT_EQ(float_fixed(-2.5f, 0), "-2");
    EXPECT_EQ(float_fixed(12.25f, 1), "12.2");
    EXPECT_EQ(float_fixed(12.75f, 1), "12.8");
    EXPECT_EQ(float_fixed(0.25f, 1), "0.2");
}

TEST(FloatFixed, NonTiesRoundToNearestOfTheExactValue) {
    // 12.35f is 12.3500003814..., above the tie.
    EXPECT_EQ(float_fixed(12.35f, 1), "12.4");
    // 0.15f is 0.1500000059604..., above the tie; 0.45f is 0.4499999880790..., below.
    EXPECT_EQ(float_fixed(0.15f, 1), "0.2");
    EXPECT_EQ(float_fixed(0.45f, 1), "0.4");
    EXPECT_EQ(float_fixed(64.49f, 0), "64");
    EXPECT_EQ(float_fixed(64.51f, 0), "65");
    EXPECT_EQ(float_fixed(212.25f, 1), "212.2");
    EXPECT_EQ(float_fixed(45.0f, 0), "45");
    EXPECT_EQ(float_fixed(45.0f, 1), "45.0");
    EXPECT_EQ(float_fixed(-0.4f, 0), "-0");
    EXPECT_EQ(float_fixed(1e20f, 0), "100000002004087734272");
}

TEST(FloatFixed, NonFiniteAndManyDecimals) {
    EXPECT_EQ(float_fixed(kNaN, 0), "NaN");
    EXPECT_EQ(float_fixed(kInf, 1), "inf");
    EXPECT_EQ(float_fixed(-kInf, 1), "-inf");
    EXPECT_EQ(float_fixed(1.5f, 200), "1.5" + std::string(199, '0'));
    const std::string tiny = float_fixed(std::numeric_limits<float>::denorm_min(), 160);
    ASSERT_EQ(tiny.size(), 162u);
    EXPECT_EQ(tiny.substr(0, 4), "0.00");
    EXPECT_EQ(tiny.substr(150), "500000000000");  // 2^-149 ends in ...45 at decimal 149
    EXPECT_EQ(tiny[150], '5');
}

TEST(Percent, HalvesAwayFromZeroAndLimits) {
    EXPECT_EQ(round_percent(0.5), 1u);
    EXPECT_EQ(round_percent(1.5), 2u);
    EXPECT_EQ(round_percent(2.5), 3u);
    EXPECT_EQ(round_percent(33.3333), 33u);
    EXPECT_EQ(round_percent(0.49), 0u);
    EXPECT_EQ(round_percent(-5.0), 0u);
    EXPECT_EQ(round_percent(std::nan("")), 0u);
    EXPECT_EQ(round_percent(4294967294.5), 4294967295u);
    EXPECT_EQ(round_percent(1e300), 4294967295u);
    EXPECT_EQ(round_percent(std::numeric_limits<double>::infinity()), 4294967295u);
}

TEST(Percent, OfUsedAndTotal) {
    EXPECT_EQ(percent_of(2048, 8192), 25u);
    EXPECT_EQ(percent_of(1, 3), 33u);
    EXPECT_EQ(percent_of(2, 3), 67u);
    EXPECT_EQ(percent_of(1, 200), 1u);  // 0.5 rounds up
    EXPECT_EQ(percent_of(9, 8), 113u);  // used above total is shown as it is
    EXPECT_EQ(percent_of(1, 0), 0u);
    EXPECT_EQ(percent_of(4294967295u, 1), 4294967295u);
}

// Every layout must read back as the float it came from.
TEST(FloatRoundTrip, JsonAndPlainFormsReadBackExactly) {
    const float samples[] = {0.1f, 1.0f / 3.0f, 45.25f, 1e-6f, 9.99999e-7f, 1e12f, 9.999999e12f, 1e13f,
                             123456789.0f, 3.4028235e38f, 1.4e-45f, 2.2250738e-38f, 7e-10f, 65504.0f};
    for (float v : samples) {
        for (float s : {v, -v}) {
            std::string text;
            ASSERT_TRUE(append_float_json(text, s));
            float back = 0;
            auto r = std::from_chars(text.data(), text.data() + text.size(), back);
            EXPECT_EQ(r.ec, std::errc()) << text;
            EXPECT_EQ(r.ptr, text.data() + text.size()) << text;
            EXPECT_EQ(std::memcmp(&back, &s, sizeof s), 0) << text;

            text = float_plain(s);
            EXPECT_EQ(text.find('e'), std::string::npos) << text;
            r = std::from_chars(text.data(), text.data() + text.size(), back);
            EXPECT_EQ(r.ptr, text.data() + text.size()) << text;
            EXPECT_EQ(std::memcmp(&back, &s, sizeof s), 0) << text;
        }
    }
}

}  // namespace
}  // namespace karvo::numfmt
