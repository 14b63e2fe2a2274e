#pragma once
// Where the cards of the benchmarks' eight-GPU machines sit: each on a bus of
// its own, behind an AMD switch under a root port that is not AMD's.

#include <cstdio>
#include <string>
#include <vector>

#include "fixtures/card_builder.h"

namespace karvo::bench {

inline std::string card_bdf(int card) {
    char text[16];
    std::snprintf(text, sizeof text, "0000:%02x:00.0", 0x03 + card * 0x10);
    return text;
}

// The PCI bridges above a card, outermost first: the root port and the
// card's own switch (upstream and downstream port), all at 16 GT/s x16.
inline std::vector<karvo::testing::Bridge> card_bridges(int card) {
    char root_port[16], upstream[16], downstream[16];
    std::snprintf(root_port, sizeof root_port, "0000:00:%02x.1", 0x01 + card);
    std::snprintf(upstream, sizeof upstream, "0000:%02x:00.0", 0x01 + card * 0x10);
    std::snprintf(downstream, sizeof downstream, "0000:%02x:00.0", 0x02 + card * 0x10);
    const auto bridge = [](const char* at, const char* vendor) {
        return karvo::testing::Bridge{at, vendor, "16.0 GT/s PCIe", "16", "16.0 GT/s PCIe", "16"};
    };
    return {bridge(root_port, "0x1022"), bridge(upstream, "0x1002"), bridge(downstream, "0x1002")};
}

}  // namespace karvo::bench
