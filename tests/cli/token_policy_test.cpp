#include "cli/token_policy.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace karvo::cli {
namespace {

constexpr std::string_view kWarning =
    "warning: --token is visible in process listings; prefer --token-file or KARVO_TOKEN env\n";
constexpr std::string_view kToken16 = "0123456789abcdef";

// An in-memory environment and file system that records what was consulted.
struct FakeWorld {
    std::map<std::string, std::string> variables;
    std::map<std::string, std::string> files;
    std::vector<std::string> variables_read;
    std::vector<std::string> files_read;
    std::string warnings;

    TokenEnvironment environment() {
        return TokenEnvironment{
            [this](std::string_view name) -> std::optional<std::string> {
                variables_read.emplace_back(name);
                const auto it = variables.find(std::string(name));
                if (it == variables.end()) return std::nullopt;
                return it->second;
            },
            [this](const std::string& path) -> Result<std::string> {
                files_read.push_back(path);
                const auto it = files.find(path);
                if (it == files.end()) return Error("No such file or directory (os error 2)");
                return it->second;
            },
            [this](std::string_view line) { warnings += line; },
        };
    }

    Result<std::optional<std::string>> resolve(const Args& args) { return resolve_token(args, environment()); }
};

Args with_token(std::optional<std::string> token, std::optional<std::string> token_file = std::nullopt) {
    Args args;
    args.serve = 8080;
    args.token = std::move(token);
    args.token_file = std::move(token_file);
    return args;
}

std::string error_of(const Result<std::optional<std::string>>& result) {
    if (result.ok()) {
        ADD_FAILURE() << "expected an error";
        return {};
    }
    return result.error().long_form();
}

TEST(ReadTokenFileTest, TrimsAndChecksTheLength) {
    FakeWorld world;
    world.files["crlf"] = "  0123456789abcdef0123456789abcdef\r\n";
    world.files["exact"] = std::string(kToken16);
    world.files["short"] = "\t0123456789abcde\n";
    world.files["empty"] = "";
    world.files["unicode-blanks"] = "\xE3\x80\x80" "0123456789abcdef" "\xC2\xA0\xE2\x80\xA8";
    world.files["inner"] = "0123 4567 89ab cdef";
    const TokenEnvironment env = world.environment();

    EXPECT_EQ(*read_token_file("crlf", env), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(*read_token_file("exact", env), kToken16);
    EXPECT_EQ(*read_token_file("unicode-blanks", env), kToken16);
    EXPECT_EQ(*read_token_file("inner", env), "0123 4567 89ab cdef");
    EXPECT_EQ(read_token_file("short", env).error().long_form(),
              "token in short too short (need >=16 chars, use `openssl rand -hex 32`)");
    EXPECT_EQ(read_token_file("empty", env).error().long_form(),
              "token in empty too short (need >=16 chars, use `openssl rand -hex 32`)");
}

TEST(ReadTokenFileTest, LengthCountsBytesNotCharacters) {
    FakeWorld world;
    world.files["five-euros"] = "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC";  // 15 bytes
    world.files["six-euros"] = "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC";
    const TokenEnvironment env = world.environment();
    EXPECT_FALSE(read_token_file("five-euros", env).ok());
    EXPECT_EQ(read_token_file("six-euros", env)->size(), 18u);
}

TEST(ReadTokenFileTest, ReadFailuresAndInvalidUtf8) {
    FakeWorld world;
    world.files["latin1"] = "0123456789abcdef\xE9";
    const TokenEnvironment env = world.environment();
    EXPECT_EQ(read_token_file("/no/such", env).error().long_form(),
              "read token file /no/such: No such file or directory (os error 2)");
    EXPECT_EQ(read_token_file("latin1", env).error().long_form(),
              "read token file latin1: stream did not contain valid UTF-8");
    // A path that is not UTF-8 itself still gives a valid UTF-8 message.
    EXPECT_EQ(read_token_file("bad\xff", env).error().long_form(),
              "read token file bad\xEF\xBF\xBD: No such file or directory (os error 2)");
    // The reading error's own causes stay in the one message.
    TokenEnvironment chained = env;
    chained.read_file = [](const std::string&) -> Result<std::string> {
        return Error("Access is denied. (os error 5)");
    };
    EXPECT_EQ(read_token_file("x", chained).error().message(), "read token file x: Access is denied. (os error 5)");
    EXPECT_TRUE(read_token_file("x", chained).error().causes().empty());
}

TEST(ResolveTokenTest, NoSourceGivesNoToken) {
    FakeWorld world;
    const auto result = world.resolve(with_token(std::nullopt));
    ASSERT_TRUE(result.ok());
    EXPECT_FALSE(result.value().has_value());
    EXPECT_TRUE(world.warnings.empty());
}

TEST(ResolveTokenTest, TokenFileOptionWinsAndNothingElseIsConsulted) {
    FakeWorld world;
    world.files["opt"] = "file-token-aaaaaaaa\n";
    world.variables["KARVO_TOKEN_FILE"] = "env";
    world.variables["KARVO_TOKEN"] = "short";
    const auto result = world.resolve(with_token("x", "opt"));  // --token too short, never examined
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(*result.value(), "file-token-aaaaaaaa");
    EXPECT_TRUE(world.warnings.empty());
    EXPECT_TRUE(world.variables_read.empty());
    EXPECT_EQ(world.files_read, std::vector<std::string>{"opt"});
}

TEST(ResolveTokenTest, TokenFileOptionPathIsUsedAsWritten) {
    FakeWorld world;
    world.files[" spaced "] = std::string(kToken16);
    EXPECT_EQ(*world.resolve(with_token(std::nullopt, " spaced ")).value(), kToken16);

    FakeWorld failing;
    EXPECT_EQ(error_of(failing.resolve(with_token(std::string(kToken16), "missing"))),
              "read token file missing: No such file or directory (os error 2)");
    EXPECT_TRUE(failing.warnings.empty());
}

TEST(ResolveTokenTest, TokenFileVariableIsTrimmedAndComesBeforeTheTokenOption) {
    FakeWorld world;
    world.files["/run/secret"] = "env-file-token-bbbbbbbb";
    world.variables["KARVO_TOKEN_FILE"] = "  /run/secret\n";
    const auto result = world.resolve(with_token("option-token-ccccccc"));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(*result.value(), "env-file-token-bbbbbbbb");
    EXPECT_TRUE(world.warnings.empty());
    EXPECT_EQ(world.files_read, std::vector<std::string>{"/run/secret"});

    FakeWorld failing;
    failing.variables["KARVO_TOKEN_FILE"] = " gone ";
    EXPECT_EQ(error_of(failing.resolve(with_token(std::nullopt))),
              "read token file gone: No such file or directory (os error 2)");
}

TEST(ResolveTokenTest, BlankTokenFileVariableIsSkipped) {
    FakeWorld world;
    world.variables["KARVO_TOKEN_FILE"] = " \t\xE2\x80\x83 ";
    world.variables["KARVO_TOKEN"] = "env-token-dddddddd";
    EXPECT_EQ(*world.resolve(with_token(std::nullopt)).value(), "env-token-dddddddd");
    EXPECT_TRUE(world.files_read.empty());

    FakeWorld with_option;
    with_option.variables["KARVO_TOKEN_FILE"] = "";
    with_option.variables["KARVO_TOKEN"] = "env-token-dddddddd";
    EXPECT_EQ(*with_option.resolve(with_token("option-token-eeeeee")).value(), "option-token-eeeeee");
    EXPECT_EQ(with_option.warnings, kWarning);
}

TEST(ResolveTokenTest, TokenOptionWarnsThenTrimsThenChecksTheLength) {
    FakeWorld world;
    world.variables["KARVO_TOKEN"] = "ignored-env-token-ffff";
    const auto result = world.resolve(with_token("  " + std::string(kToken16) + "\t "));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(*result.value(), kToken16);
    EXPECT_EQ(world.warnings, kWarning);

    for (const std::string too_short : {"0123456789abcde", "", "   ", "  0123456789abcde  "}) {
        SCOPED_TRACE(too_short);
        FakeWorld short_world;
        EXPECT_EQ(error_of(short_world.resolve(with_token(too_short))),
                  "--token too short (need >=16 chars, use `openssl rand -hex 32`)");
        EXPECT_EQ(short_world.warnings, kWarning);
    }
}

TEST(ResolveTokenTest, TokenVariable) {
    FakeWorld world;
    world.variables["KARVO_TOKEN"] = "\n" + std::string(kToken16) + "\n";
    EXPECT_EQ(*world.resolve(with_token(std::nullopt)).value(), kToken16);
    EXPECT_TRUE(world.warnings.empty());

    FakeWorld blank;
    blank.variables["KARVO_TOKEN"] = " \r\n ";
    const auto none = blank.resolve(with_token(std::nullopt));
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none.value().has_value());

    FakeWorld too_short;
    too_short.variables["KARVO_TOKEN"] = "0123456789abcde";
    EXPECT_EQ(error_of(too_short.resolve(with_token(std::nullopt))), "KARVO_TOKEN too short (need >=16 chars)");
}

TEST(ResolveTokenTest, TokensOverFourKilobytesAreRefusedFromEverySource) {
    const std::string longest(4096, 't');
    const std::string too_long(4097, 't');
    for (const std::string& token : {longest, too_long}) {
        for (int source = 0; source < 4; ++source) {
            SCOPED_TRACE(std::to_string(token.size()) + " bytes from source " + std::to_string(source));
            FakeWorld world;
            world.files["t"] = " " + token + "\n";
            Args args = with_token(source == 2 ? std::optional<std::string>(token) : std::nullopt,
                                   source == 0 ? std::optional<std::string>("t") : std::nullopt);
            if (source == 1) world.variables["KARVO_TOKEN_FILE"] = "t";
            if (source == 3) world.variables["KARVO_TOKEN"] = token;
            const auto result = world.resolve(args);
            if (token.size() == 4096) {
                EXPECT_EQ(*result.value(), token);
            } else {
                EXPECT_EQ(error_of(result), "token too long (max 4096 bytes)");
            }
        }
    }
}

// The source that decided is reported, whether it gave a token or an error
// (the service refuses a token given as text either way).
TEST(ResolveTokenTest, TheSourceThatDecidedIsReported) {
    const struct {
        std::map<std::string, std::string> variables;
        std::optional<std::string> token, token_file;
        TokenSource source;
    } cases[] = {
        {{}, std::nullopt, std::nullopt, TokenSource::none},
        {{{"KARVO_TOKEN", "  "}}, std::nullopt, std::nullopt, TokenSource::none},
        {{{"KARVO_TOKEN", "0123456789abcdef"}}, std::nullopt, std::nullopt, TokenSource::text_variable},
        {{{"KARVO_TOKEN", "short"}}, std::nullopt, std::nullopt, TokenSource::text_variable},
        {{{"KARVO_TOKEN", "0123456789abcdef"}}, "0123456789abcdef", std::nullopt, TokenSource::text_option},
        {{{"KARVO_TOKEN_FILE", "f"}}, "0123456789abcdef", std::nullopt, TokenSource::file_variable},
        {{{"KARVO_TOKEN_FILE", "f"}}, std::nullopt, "f", TokenSource::file_option},
    };
    for (const auto& c : cases) {
        FakeWorld world;
        world.variables = c.variables;
        world.files["f"] = std::string(kToken16);
        TokenSource source = TokenSource::file_option;
        (void)resolve_token(with_token(c.token, c.token_file), world.environment(), &source);
        EXPECT_EQ(source, c.source);
    }
}

}  // namespace
}  // namespace karvo::cli
