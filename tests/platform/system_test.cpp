#include <gtest/gtest.h>

#include <cstring>

#include "platform/library.h"
#include "platform/system.h"
#include "support/special_files.h"
#include "fixtures/temp_dir.h"

namespace karvo::platform {
namespace {

TEST(ReadFile, ReturnsTheBytesUnchanged) {
    testing::TempDir dir;
    const std::string bytes("line one\r\nline two\n\0\xFF end", 25);
    const auto result = read_file(dir.write("data.bin", bytes));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(*result, bytes);
}

TEST(ReadFile, MissingFileGivesTheSystemTextAndCode) {
    testing::TempDir dir;
    const auto result = read_file((dir.path() / "missing.txt").string());
    ASSERT_FALSE(result.ok());
    const std::string& message = result.error().message();
    EXPECT_TRUE(message.ends_with(" (os error 2)")) << message;
    EXPECT_GT(message.size(), std::string(" (os error 2)").size());
}

TEST(ReadFile, FolderIsAnError) {
    testing::TempDir dir;
    const auto result = read_file(dir.path().string());
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error().message().find("(os error "), std::string::npos);
}

TEST(ReadRegularFile, RefusesWhatIsNoRegularFileAndKeepsTheLimit) {
    testing::TempDir dir;
    const std::string limit(1000, 'x');
    EXPECT_EQ(*read_regular_file(dir.write("exact", limit), 1000), limit);
    EXPECT_EQ(*read_regular_file(dir.write("empty", ""), 1000), "");
    std::vector<std::pair<std::string, std::string_view>> refused = {
        {dir.write("over", limit + "y"), kFileTooLarge},
        {dir.path().string(), kNotRegularFile},
        {testing::device_path(), kNotRegularFile},
    };
    if (const auto fifo = testing::make_fifo(dir.path())) refused.emplace_back(*fifo, kNotRegularFile);
    for (const auto& [path, reason] : refused) {
        SCOPED_TRACE(path);
        const auto result = read_regular_file(path, 1000);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().long_form(), reason);
    }
    const auto missing = read_regular_file((dir.path() / "missing").string(), 1000);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().long_form(), os_error_text(2));
}

TEST(Environment, UnsetEmptyAndUnicodeValues) {
    set_env("KARVO_TEST_VAR", std::nullopt);
    EXPECT_FALSE(get_env("KARVO_TEST_VAR").has_value());
    set_env("KARVO_TEST_VAR", std::string("  caf\xC3\xA9 \xF0\x9F\x98\x80  "));
    EXPECT_EQ(get_env("KARVO_TEST_VAR"), std::string("  caf\xC3\xA9 \xF0\x9F\x98\x80  "));
    set_env("KARVO_TEST_VAR", std::nullopt);
    EXPECT_FALSE(get_env("KARVO_TEST_VAR").has_value());
}

TEST(Time, ZeroSleepsReturnAtOnceAndTheClockMoves) {
    const auto before = monotonic_ns();
    sleep_seconds(0);
    sleep_milliseconds(5);
    EXPECT_GE(monotonic_ns() - before, 4'000'000u);
}

TEST(HeapAlloc, NullForSizesBelowOneElseABlockToFree) {
    EXPECT_EQ(heap_alloc(0), nullptr);
    EXPECT_EQ(heap_alloc(-5), nullptr);
    void* block = heap_alloc(16);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5A, 16);
    heap_free(block);
    heap_free(nullptr);
}

TEST(Library, MissingLibraryFailsWithTheLoaderText) {
    const auto result = Library::open("karvo-no-such-library-xyz");
    ASSERT_FALSE(result.ok());
    const std::string& message = result.error().message();
    EXPECT_TRUE(message == "dlopen failed" || message.starts_with("LoadLibraryExW failed")) << message;
}

TEST(Library, OpenFirstKeepsTheLastError) {
    const std::vector<std::string> names = {"karvo-missing-one", "karvo-missing-two"};
    const auto result = Library::open_first(names);
    ASSERT_FALSE(result.ok());
    ASSERT_FALSE(result.error().long_form().empty());
}

TEST(Library, SystemLibraryResolvesAndMissingSymbolsAreErrors) {
    // The C runtime / kernel library is always there: libc on POSIX, kernel32 on Windows.
    auto library = Library::open_system(executable_file_name("x") == "x" ? "libc.so.6" : "kernel32.dll");
    ASSERT_TRUE(library.ok()) << library.error().long_form();
    EXPECT_EQ(library->find("karvo_no_such_symbol"), nullptr);
    const auto missing = library->resolve("karvo_no_such_symbol");
    ASSERT_FALSE(missing.ok());
    const std::string& message = missing.error().message();
    EXPECT_TRUE(message == "dlsym failed" || message.starts_with("GetProcAddress failed")) << message;
}

}  // namespace
}  // namespace karvo::platform
