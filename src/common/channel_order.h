#pragma once
// Where the blue, green and red bytes of a pixel lie for each ChannelOrder: the one place that knows
// that red-green-blue pixels hold the channels in reverse. Per-channel work reads and writes such
// pixels directly through these, instead of converting whole images.
#include <array>
#include <cstddef>

#include "histonorm/channel_order.h"

namespace histonorm {

// The position, within a pixel stored in `order`, of channel `channel` (0 blue, 1 green, 2 red).
constexpr std::size_t StoredIndex(std::size_t channel, ChannelOrder order) {
  return order == ChannelOrder::kBgr ? channel : 2 - channel;
}

// Per-channel items rearranged between blue-green-red order and `order` (either way: the
// rearrangement is its own inverse).
template <typename T>
constexpr std::array<T, 3> InOrder(const std::array<T, 3>& items, ChannelOrder order) {
  return {items[StoredIndex(0, order)], items[1], items[StoredIndex(2, order)]};
}

}  // namespace histonorm
