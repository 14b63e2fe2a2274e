#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/files.h"
#include "platform/host.h"
#include "fixtures/temp_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace karvo::platform {
namespace {

TEST(Files, ListsReadsAndBoundsWhatIsThere) {
    testing::TempDir dir;
    const std::string top = dir.path().string();
    dir.write("a", "0x1002\n");
    dir.write("b", std::string(10000, 'x'));
    std::filesystem::create_directory(dir.path() / "sub");

    auto names = list_folder(top);
    ASSERT_TRUE(names.has_value());
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{"a", "b", "sub"}));

    EXPECT_EQ(read_file_prefix(top + "/a", 64), "0x1002\n");
    EXPECT_EQ(read_file_prefix(top + "/b", 5000)->size(), 5000u);
    EXPECT_EQ(read_file_prefix(top + "/b", 0), "");
    EXPECT_TRUE(path_exists(top + "/sub"));

    // Nothing, never an error or a hang, for what is missing or not a regular file.
    EXPECT_FALSE(list_folder(top + "/missing").has_value());
    EXPECT_FALSE(list_folder(top + "/a").has_value());
    EXPECT_FALSE(read_file_prefix(top + "/missing", 64).has_value());
    EXPECT_FALSE(read_file_prefix(top + "/sub", 64).has_value());
    EXPECT_FALSE(path_exists(top + "/missing"));
    EXPECT_FALSE(read_link(top + "/a").has_value());
}

TEST(Files, LinksAreReadAsWrittenAndSpecialFilesRefused) {
    if (kWindowsHost) GTEST_SKIP() << "Linux trees only";
#ifndef _WIN32
    testing::TempDir dir;
    const std::string top = dir.path().string();
    std::filesystem::create_symlink("/dev/dri/renderD128", dir.path() / "fd3");
    std::filesystem::create_symlink("../../../0000:03:00.0", dir.path() / "device");
    EXPECT_EQ(read_link(top + "/fd3"), "/dev/dri/renderD128");
    EXPECT_EQ(read_link(top + "/device"), "../../../0000:03:00.0");
    EXPECT_FALSE(path_exists(top + "/fd3"));  // a dangling link

    ASSERT_EQ(::mkfifo((top + "/fifo").c_str(), 0600), 0);
    EXPECT_FALSE(read_file_prefix(top + "/fifo", 64).has_value());  // refused at once, no writer needed
    EXPECT_FALSE(read_file_prefix("/dev/zero", 64).has_value());
#endif
}

}  // namespace
}  // namespace karvo::platform
