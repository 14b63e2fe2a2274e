#include "common/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace karvo::json {
namespace {

Value parsed(std::string_view text) {
    auto result = parse(text);
    EXPECT_TRUE(result.ok()) << "input: " << text << "\nerror: " << (result.ok() ? "" : result.error().long_form());
    return result.ok() ? std::move(result).value() : Value();
}

std::string error_of(std::string_view text) {
    auto result = parse(text);
    if (result.ok()) {
        ADD_FAILURE() << "accepted: " << text;
        return {};
    }
    return result.error().long_form();
}

TEST(JsonReader, Literals) {
    EXPECT_TRUE(parsed("null").is_null());
    EXPECT_EQ(parsed("true").as_bool(), true);
    EXPECT_EQ(parsed("false").as_bool(), false);
    EXPECT_EQ(parsed(" \t\r\n true \n").as_bool(), true);
    for (const char* bad : {"nul", "tru", "nulll", "True", "NULL", "nan", "NaN", "Infinity", "-Infinity", "undefined"})
        error_of(bad);
}

TEST(JsonReader, IntegersWithoutSignAreUnsigned) {
    EXPECT_EQ(parsed("0").type(), Type::unsigned_integer);
    EXPECT_EQ(parsed("0").as_u64(), 0u);
    EXPECT_EQ(parsed("4293918720").as_u64(), 4293918720u);
    EXPECT_EQ(parsed("18446744073709551615").as_u64(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(parsed("18446744073709551615").as_i64(), std::nullopt);
    EXPECT_EQ(parsed("9223372036854775807").as_i64(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parsed("12").as_double(), 12.0);
}

TEST(JsonReader, IntegersWithMinusAreNegative) {
    EXPECT_EQ(parsed("-1").type(), Type::negative_integer);
    EXPECT_EQ(parsed("-1").as_i64(), -1);
    EXPECT_EQ(parsed("-1").as_u64(), std::nullopt);
    EXPECT_EQ(parsed("-9223372036854775808").as_i64(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parsed("-0").type(), Type::negative_integer);
    EXPECT_EQ(parsed("-0").as_u64(), std::nullopt);
}

TEST(JsonReader, FractionsExponentsAndOversizedIntegersAreOtherNumbers) {
    const auto check = [](std::string_view text, double expected) {
        const Value value = parsed(text);
        EXPECT_EQ(value.type(), Type::other_number) << text;
        EXPECT_EQ(value.as_u64(), std::nullopt) << text;
        EXPECT_EQ(value.as_i64(), std::nullopt) << text;
        EXPECT_EQ(value.as_double(), expected) << text;
    };
    check("1.5", 1.5);
    check("-0.25", -0.25);
    check("1e3", 1000.0);
    check("1E+2", 100.0);
    check("25e-2", 0.25);
    check("1.0", 1.0);
    check("18446744073709551616", 18446744073709551616.0);
    check("-9223372036854775809", -9223372036854775809.0);
    check("1e400", std::numeric_limits<double>::infinity());
    check("-1e400", -std::numeric_limits<double>::infinity());
    check("123456789012345678901234567890123456789e300", std::numeric_limits<double>::infinity());
    check("1e-400", 0.0);
    check("0.000000000000000000000000000001e-380", 0.0);
    check("1e99999999999999999999", std::numeric_limits<double>::infinity());
}

TEST(JsonReader, MalformedNumbers) {
    for (const char* bad : {"01", "-01", "00", "-", "+1", "1.", ".5", "1e", "1e+", "1E-", "0x10", "1.e3", "--1", "1_000",
                            "- 1", "1 .5", "[1.]", "\xd9\xa3"})
        error_of(bad);
}

TEST(JsonReader, StringEscapes) {
    EXPECT_EQ(*parsed(R"("plain")").as_string(), "plain");
    EXPECT_EQ(*parsed(R"("")").as_string(), "");
    EXPECT_EQ(*parsed(R"("\"\\\/\b\f\n\r\t")").as_string(), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(*parsed(R"("PCI\\VEN_1002&DEV_744C")").as_string(), "PCI\\VEN_1002&DEV_744C");
    EXPECT_EQ(*parsed(R"("\u0041\u00e9\u20AC")").as_string(), "A\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(*parsed(R"("\uD83D\uDE00")").as_string(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(*parsed(R"("\udbff\udfff")").as_string(), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(parsed(R"("a\u0000b")").as_string()->size(), 3u);
}

TEST(JsonReader, UnpairedSurrogateEscapesBecomeReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(*parsed(R"("\uD800")").as_string(), fffd);
    EXPECT_EQ(*parsed(R"("x\uD800y")").as_string(), "x" + fffd + "y");
    EXPECT_EQ(*parsed(R"("\uDC00")").as_string(), fffd);
    EXPECT_EQ(*parsed(R"("\uD800\u0041")").as_string(), fffd + "A");
    EXPECT_EQ(*parsed(R"("\uD800\uD83D\uDE00")").as_string(), fffd + "\xF0\x9F\x98\x80");
    EXPECT_EQ(*parsed(R"("\uDE00\uD83D")").as_string(), fffd + fffd);
    EXPECT_EQ(*parsed(R"("\uD800\n")").as_string(), fffd + "\n");
}

TEST(JsonReader, MalformedStrings) {
    for (const char* bad : {R"("abc)", R"(")", R"("\")", R"("\x")", R"("\u12")", R"("\u12G4")", R"("\U0041")",
                            R"("\uD800\u12")", "'single'", "\"tab\there\"", "\"line\nbreak\"", "\"\x01\""})
        error_of(bad);
    EXPECT_EQ(*parsed("\"a\x7f\"").as_string(), "a\x7f") << "DEL is not a control character";
}

TEST(JsonReader, StringsMustBeValidUtf8) {
    EXPECT_EQ(*parsed("\"Radeon\xE2\x84\xA2 \xF0\x9F\x98\x80\"").as_string(), "Radeon\xE2\x84\xA2 \xF0\x9F\x98\x80");
    for (const char* bad : {"\"\xff\"", "\"\x80\"", "\"\xC0\xAF\"", "\"\xE0\x80\xAF\"", "\"\xED\xA0\x80\"",
                            "\"\xF4\x90\x80\x80\"", "\"\xE2\x82\"", "\"\xF0\x9F\x98\"", "\"\xC3\""})
        EXPECT_NE(error_of(bad).find("invalid UTF-8 in string"), std::string::npos) << bad;
}

TEST(JsonReader, ObjectsKeepMembersInOrder) {
    const Value value = parsed(R"( { "b" : 1 , "a" : [true, null], "c": {"d": "e"}, "": 0 } )");
    ASSERT_TRUE(value.is_object());
    const auto& members = *value.as_object();
    ASSERT_EQ(members.size(), 4u);
    EXPECT_EQ(members[0].name, "b");
    EXPECT_EQ(members[1].name, "a");
    EXPECT_EQ(members[2].name, "c");
    EXPECT_EQ(members[3].name, "");
    EXPECT_EQ(value.find("a")->as_array()->size(), 2u);
    EXPECT_TRUE((*value.find("a")->as_array())[1].is_null());
    EXPECT_EQ(*value.find("c")->find("d")->as_string(), "e");
    EXPECT_EQ(value.find("A"), nullptr);
    EXPECT_EQ(value.find("d"), nullptr);
    EXPECT_EQ(parsed("[]").find("a"), nullptr);
}

TEST(JsonReader, DuplicateNamesAreKeptAndTheLastOneIsFound) {
    const Value value = parsed(R"({"Name": "first", "Name": "second"})");
    EXPECT_EQ(value.as_object()->size(), 2u);
    EXPECT_EQ(*value.find("Name")->as_string(), "second");
}

TEST(JsonReader, EmptyContainers) {
    EXPECT_TRUE(parsed("[]").as_array()->empty());
    EXPECT_TRUE(parsed("[ \n ]").as_array()->empty());
    EXPECT_TRUE(parsed("{}").as_object()->empty());
    EXPECT_TRUE(parsed("{\t}").as_object()->empty());
}

TEST(JsonReader, MalformedStructures) {
    for (const char* bad : {"", "   ", "[", "]", "[1", "[1,]", "[,1]", "[1 2]", "{", "}", "{\"a\"}", "{\"a\" 1}",
                            "{\"a\":}", "{\"a\":1,}", "{a:1}", "{1:1}", "{\"a\":1 \"b\":2}", "[}", "{]", "[1:2]"})
        error_of(bad);
}

TEST(JsonReader, OnlyWhiteSpaceMayFollowTheValue) {
    for (const std::string bad : {"[] x", "1 2", "{}}", "[]]", "null null", "\"a\"\"b\"", "0 /* c */", "[],"})
        EXPECT_NE(error_of(bad).find("unexpected characters after the value"), std::string::npos) << bad;
    EXPECT_NE(error_of(std::string("[]\0", 3)).find("unexpected characters after the value"), std::string::npos);
    // White space is exactly blank, tab, line feed and carriage return.
    for (const char* bad : {"\f[]", "[]\v", "\xC2\xA0[]", "\xEF\xBB\xBF[]"}) error_of(bad);
}

TEST(JsonReader, NestingUpToTheLimit) {
    const std::string arrays = std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']');
    EXPECT_TRUE(parsed(arrays).is_array());

    std::string objects;
    for (std::size_t i = 0; i < kMaxDepth; ++i) objects += "{\"a\":";
    objects += "1";
    objects += std::string(kMaxDepth, '}');
    EXPECT_TRUE(parsed(objects).is_object());
}

TEST(JsonReader, NestingBeyondTheLimitIsAnError) {
    const std::string arrays = std::string(kMaxDepth + 1, '[') + std::string(kMaxDepth + 1, ']');
    EXPECT_EQ(error_of(arrays), "invalid JSON at line 1, column 129: arrays and objects nested more than 128 deep");

    std::string mixed;
    for (std::size_t i = 0; i <= kMaxDepth; ++i) mixed += i % 2 == 0 ? "[" : "{\"k\":";
    EXPECT_NE(error_of(mixed).find("nested more than 128 deep"), std::string::npos);

    // Endless nesting fails at the limit rather than overflowing the stack.
    EXPECT_NE(error_of(std::string(16u << 20, '[')).find("nested more than 128 deep"), std::string::npos);
}

TEST(JsonReader, ErrorsNameLineAndColumn) {
    EXPECT_EQ(error_of("[1,\n  x]"), "invalid JSON at line 2, column 3: expected a value");
    EXPECT_EQ(error_of("{\"a\":1 \"b\":2}"), "invalid JSON at line 1, column 8: expected ',' or '}'");
    EXPECT_EQ(error_of("[1 2]"), "invalid JSON at line 1, column 4: expected ',' or ']'");
    EXPECT_EQ(error_of("[] x"), "invalid JSON at line 1, column 4: unexpected characters after the value");
    EXPECT_EQ(error_of(""), "invalid JSON at line 1, column 1: unexpected end of input, expected a value");
    EXPECT_EQ(error_of("[1,\r\n"), "invalid JSON at line 2, column 1: unexpected end of input, expected a value");
    EXPECT_EQ(error_of("\"unterminated"), "invalid JSON at line 1, column 1: unterminated string");
    EXPECT_EQ(error_of(R"(["\q"])"), "invalid JSON at line 1, column 3: invalid escape sequence");
    // Columns count characters, not bytes.
    EXPECT_EQ(error_of("[\"\xC3\xA9\xE2\x82\xAC\" x]"), "invalid JSON at line 1, column 7: expected ',' or ']'");
    EXPECT_EQ(error_of("[\"ok\", \"\xC3\x28\"]"), "invalid JSON at line 1, column 9: invalid UTF-8 in string");
}

TEST(JsonReader, LargeDocuments) {
    std::string many = "[";
    for (int i = 0; i < 100000; ++i) many += i == 0 ? "{\"n\":1}" : ",{\"n\":1}";
    many += "]";
    EXPECT_EQ(parsed(many).as_array()->size(), 100000u);

    const std::string long_text(8u << 20, 'x');
    EXPECT_EQ(parsed("\"" + long_text + "\"").as_string()->size(), long_text.size());
}

TEST(JsonReader, ArbitraryBytesNeverCrash) {
    std::uint32_t state = 12345;
    const std::string alphabet = "[]{}\",:\\u0123456789eE+-.tfnrulas \n\t\xC3\xA9\xff";
    for (int round = 0; round < 20000; ++round) {
        std::string input;
        const int length = static_cast<int>(state % 40);
        for (int i = 0; i < length; ++i) {
            state = state * 1103515245u + 12345u;
            input += alphabet[(state >> 16) % alphabet.size()];
        }
        state = state * 1103515245u + 12345u;
        (void)parse(input);
    }
}

TEST(JsonReader, ValuesCopyAndMove) {
    Value original = parsed(R"({"list": [1, "two", {"three": 3}]})");
    Value copy = original;
    Value moved = std::move(original);
    EXPECT_EQ(*(*copy.find("list")->as_array())[1].as_string(), "two");
    EXPECT_EQ((*moved.find("list")->as_array())[2].find("three")->as_u64(), 3u);
}

}  // namespace
}  // namespace karvo::json
