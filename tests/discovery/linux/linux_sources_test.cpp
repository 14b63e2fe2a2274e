// The Linux sources in the pass's source table, over test trees: which are
// asked, and why one that did not answer did not.
#include <gtest/gtest.h>

#include <string>

#include "discovery/linux/containers.h"
#include "discovery/linux/linux_pass.h"
#include "discovery/sources/source_ledger.h"
#include "fixtures/card_builder.h"
#include "fixtures/process_builder.h"
#include "platform/host.h"
#include "support/source_table.h"

namespace karvo::discovery::linux {
namespace {

using karvo::testing::CardBuilder;
using karvo::testing::ProcessBuilder;
using karvo::testing::source_table;
using karvo::testing::SysTree;

constexpr const char* kBdf = "0000:03:00.0";

// The driver's device information naming `device_id` (its first field).
platform::AmdgpuInfo driver_answer(std::uint32_t device_id) {
    std::string info(platform::kAmdgpuDeviceInfoBytes, '\0');
    for (int i = 0; i < 4; ++i) info[static_cast<std::size_t>(i)] = static_cast<char>(device_id >> (8 * i) & 0xFF);
    return {info, {}};
}

class LinuxSources : public ::testing::Test {
protected:
    void SetUp() override {
        if (platform::kWindowsHost) GTEST_SKIP() << "Linux trees (symbolic links) only";
    }
};

// The card scan, the process walk and the containers, as the pass runs them,
// with the driver's answer given by the test.
std::string table_of(const SysTree& tree, std::optional<platform::AmdgpuInfo> driver) {
    const SourceLedger ledger;
    const Root root{tree.root()};
    CardScan scan = scan_cards(root, [] { return std::optional<std::uint32_t>(); },
                               [&](const std::string&) { return driver; });
    attach_processes(root, scan.cards, scan.devices);
    attribute_containers(root, scan.devices);
    return source_table(ledger);
}

// A card awake with its render node and KFD node, and one process using it
// from a container.
void busy_machine(SysTree& tree) {
    CardBuilder card(tree, "card0", kBdf);
    card.sensors().attr("drm/renderD128/dev", "226:128\n").kfd_node(1, "110000", 48813);
    ProcessBuilder(tree)
        .comm(4242, "blender\n")
        .fd(4242, 7, "/dev/dri/renderD128", ProcessBuilder::client(kBdf, 12, "drm-memory-vram:\t2048 MiB\n"));
    tree.file("proc/4242/cgroup", "0::/system.slice/docker-" + std::string(64, 'a') + ".scope\n");
    tree.file("sys/class/kfd/kfd/proc/.keep", "");
}

TEST_F(LinuxSources, EverySourceOfABusyMachineAnswers) {
    SysTree tree;
    busy_machine(tree);
    EXPECT_EQ(table_of(tree, driver_answer(0x744c)), "sysfs up\nkfd up\nfdinfo up\ncgroup up\ndriver up\n");
}

TEST_F(LinuxSources, WhySourcesDidNotAnswer) {
    {
        // The driver's node cannot be opened here (no rights, not in this container).
        SysTree tree;
        busy_machine(tree);
        EXPECT_EQ(table_of(tree, std::nullopt), "sysfs up\nkfd up\nfdinfo up\ncgroup up\ndriver missing\n");
    }
    {
        // An answer about another device is no answer.
        SysTree tree;
        busy_machine(tree);
        EXPECT_EQ(table_of(tree, driver_answer(0x1234)), "sysfs up\nkfd up\nfdinfo up\ncgroup up\ndriver failed\n");
    }
    {
        // No KFD; the process's cgroup file is gone; the card sleeps (its node is not opened).
        SysTree tree;
        CardBuilder card(tree, "card0", kBdf);
        card.sensors().attr("power/runtime_status", "suspended\n").attr("drm/renderD128/dev", "226:128\n");
        ProcessBuilder(tree).comm(7, "x\n").fd(7, 3, "/dev/dri/renderD128",
                                               ProcessBuilder::client(kBdf, 1, "drm-memory-vram:\t64 MiB\n"));
        EXPECT_EQ(table_of(tree, driver_answer(0x744c)), "sysfs up\nkfd missing\nfdinfo up\ncgroup missing\n");
    }
    {
        // No process holds the card: no container is looked for.
        SysTree tree;
        CardBuilder(tree, "card0", kBdf).sensors().kfd_node(1, "110000", 48813);
        tree.file("proc/1/comm", "init\n");
        tree.file("sys/class/kfd/kfd/proc/.keep", "");
        EXPECT_EQ(table_of(tree, std::nullopt), "sysfs up\nkfd up\nfdinfo up\n");
    }
}

// Without a card the HIP runtime is asked (and is not installed here).
TEST_F(LinuxSources, WithoutACardTheHipRuntimeIsAsked) {
    SysTree empty;
    {
        const SourceLedger ledger;
        EXPECT_TRUE(linux_pass(Root{empty.root()}).empty());
        EXPECT_EQ(source_table(ledger), "hip missing\nsysfs missing\n");
    }
    SysTree no_card;
    no_card.file("sys/class/drm/version", "drm 1.1.0 20060810\n");
    const SourceLedger ledger;
    EXPECT_TRUE(linux_pass(Root{no_card.root()}).empty());
    EXPECT_EQ(source_table(ledger), "hip missing\nsysfs up\n");
}

}  // namespace
}  // namespace karvo::discovery::linux
