#pragma once
// The best PCIe link a card can make where it sits, the same rule on every
// system: the card's own maximum, bounded by the slot's; where the card's
// maximum is unknown, the slot's stands in (a card never links faster than its
// slot). Each figure is taken on its own; 0 means "not reported".

#include <algorithm>
#include <cstdint>

namespace karvo::discovery {

struct PcieLink {
    std::uint32_t speed_gt = 0;
    std::uint16_t width = 0;

    bool operator==(const PcieLink&) const = default;
};

constexpr PcieLink link_capability(PcieLink card_max, PcieLink slot_max) {
    const auto lesser_known = [](auto card, auto slot) {
        return card == 0 ? slot : slot == 0 ? card : std::min(card, slot);
    };
    return {lesser_known(card_max.speed_gt, slot_max.speed_gt), lesser_known(card_max.width, slot_max.width)};
}

}  // namespace karvo::discovery
