// Decoding the raw item array the OS fills for the per-process memory counter.

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "platform/gpu_os.h"

namespace karvo::platform {
namespace {

// Builds an item array the way the OS lays it out: the items first, then the
// names they point at, all in one 8-byte aligned block.
class ItemBuffer {
public:
    explicit ItemBuffer(std::size_t bytes) : words_((bytes + 7) / 8, 0), size_(bytes) {}

    std::byte* data() { return reinterpret_cast<std::byte*>(words_.data()); }
    std::span<const std::byte> span() const { return {reinterpret_cast<const std::byte*>(words_.data()), size_}; }

    void set_item(std::size_t index, const void* name, std::int64_t value) {
        std::byte* item = data() + index * kCounterItemSize;
        const auto address = reinterpret_cast<std::uintptr_t>(name);
        std::memcpy(item, &address, sizeof address);
        std::memcpy(item + kCounterItemValueOffset, &value, sizeof value);
    }
    // Copies `text` (without a terminator unless it contains one) to byte offset `at`.
    const std::byte* put_text(std::size_t at, std::u16string_view text) {
        std::memcpy(data() + at, text.data(), text.size() * sizeof(char16_t));
        return data() + at;
    }

private:
    std::vector<std::uint64_t> words_;
    std::size_t size_;
};

TEST(CounterItems, NamesInsideTheBufferAndValues) {
    ItemBuffer buffer(2 * kCounterItemSize + 64);
    const auto* first = buffer.put_text(48, std::u16string_view(u"pid_1_a\0", 8));
    const auto* second = buffer.put_text(65, std::u16string_view(u"pid_2\0", 6));  // odd address
    buffer.set_item(0, first, 5 * 1048576);
    buffer.set_item(1, second, -7);

    const auto items = decode_counter_items(buffer.span(), 2);

    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0].name, u"pid_1_a");
    EXPECT_EQ((*items)[0].value, 5 * 1048576);
    EXPECT_EQ((*items)[1].name, u"pid_2");
    EXPECT_EQ((*items)[1].value, -7);
}

TEST(CounterItems, ANullNameIsAbsent) {
    ItemBuffer buffer(kCounterItemSize);
    buffer.set_item(0, nullptr, 3);
    const auto items = decode_counter_items(buffer.span(), 1);
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 1u);
    EXPECT_FALSE((*items)[0].name.has_value());
    EXPECT_EQ((*items)[0].value, 3);
}

TEST(CounterItems, ANameRunningOffTheEndOfTheBufferIsAbsent) {
    ItemBuffer buffer(kCounterItemSize + 10);
    const auto* name = buffer.put_text(kCounterItemSize, u"pid_9");  // exactly fills the tail, no NUL
    buffer.set_item(0, name, 1);
    const auto items = decode_counter_items(buffer.span(), 1);
    ASSERT_TRUE(items.has_value());
    EXPECT_FALSE((*items)[0].name.has_value());
}

TEST(CounterItems, ANameOutsideTheBufferIsReadUpToItsNulWithinTheCap) {
    const std::u16string outside = u"pid_3_luid";
    std::u16string longest(kMaxCounterNameUnits, u'x');
    std::u16string too_long(kMaxCounterNameUnits + 1, u'y');  // no NUL within the cap (c_str's comes later)
    ItemBuffer buffer(3 * kCounterItemSize);
    buffer.set_item(0, outside.c_str(), 1);
    buffer.set_item(1, longest.c_str(), 2);
    buffer.set_item(2, too_long.c_str(), 3);

    const auto items = decode_counter_items(buffer.span(), 3);

    ASSERT_TRUE(items.has_value());
    EXPECT_EQ((*items)[0].name, outside);
    EXPECT_EQ((*items)[1].name, longest);
    EXPECT_FALSE((*items)[2].name.has_value());
}

TEST(CounterItems, ACountTheBufferCannotHoldIsRefused) {
    ItemBuffer buffer(2 * kCounterItemSize + 23);
    EXPECT_FALSE(decode_counter_items(buffer.span(), 3).has_value());
    EXPECT_FALSE(decode_counter_items(buffer.span(), std::numeric_limits<std::uint64_t>::max()).has_value());
    EXPECT_FALSE(decode_counter_items({}, 1).has_value());
    const auto none = decode_counter_items({}, 0);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace karvo::platform
