#pragma once
// Numbers the distinct 24-bit colours of an image in order of first appearance.
//
// Per-pixel work that depends only on a pixel's colour can then be done once per distinct colour
// and looked up for every pixel. Storage is a two-level table (by the two high bytes, then the low
// byte) whose 256-entry blocks are allocated only for colours that occur.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace histonorm {

class ColourIndex {
 public:
  ColourIndex() : blocks_(kBlocks) {}

  // Requires key < 2^24. Returns the colour's number; a colour not seen before gets the next
  // number (Size() before the call) and isNew is set.
  std::uint32_t Find(std::uint32_t key, bool& isNew) {
    auto& block = blocks_[key >> 8];
    if (!block) block = std::make_unique<Block>();
    std::uint32_t& slot = (*block)[key & 0xFFu];
    isNew = slot == 0;
    if (isNew) slot = ++size_;
    return slot - 1;
  }

  std::size_t Size() const { return size_; }

  // The key of the pixel bytes b0, b1, b2 as stored: b0 + 256 b1 + 65536 b2.
  static std::uint32_t Key(const std::uint8_t* px) {
    return static_cast<std::uint32_t>(px[0]) | (static_cast<std::uint32_t>(px[1]) << 8) |
           (static_cast<std::uint32_t>(px[2]) << 16);
  }

 private:
  static constexpr std::size_t kBlocks = std::size_t{1} << 16;
  using Block = std::array<std::uint32_t, 256>;  // number + 1, 0 for an unseen colour
  std::vector<std::unique_ptr<Block>> blocks_;
  std::uint32_t size_ = 0;
};

}  // namespace histonorm
