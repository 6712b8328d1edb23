#pragma once
// 3-byte colour indices (low byte first, in the place of a pixel's bytes), and the per-pixel table
// look-up through them: the last pass of methods that map each distinct colour once and then
// every pixel through its colour's index.
//
//   std::vector<std::uint32_t> mapped = ...;  // one packed colour per distinct colour
//   LookUpPacked(indexRow, width, mapped.data(), outputRow);
#include <cstddef>
#include <cstdint>

namespace histonorm {

// The index held in the 3 bytes at `p`.
[[nodiscard]] inline std::uint32_t ReadPackedIndex(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8U) |
         (static_cast<std::uint32_t>(p[2]) << 16U);
}

// Writes the low 3 bytes of `value` to `p`, lowest first (an index, or a table entry's colour).
inline void WritePackedIndex(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8U);
  p[2] = static_cast<std::uint8_t>(value >> 16U);
}

// requires: `indices` holds n 3-byte indices (low byte first), each < the number of entries of
//           `table`; `out` has room for n 3-byte pixels and is `indices` itself or does not overlap it.
// ensures:  pixel i of `out` holds bytes 0, 1, 2 of table[index i] (byte 0 = the entry's lowest
//           byte). With `wide`, 16 pixels at a time where the processor allows; the same bytes.
void LookUpPacked(const std::uint8_t* indices, std::size_t n, const std::uint32_t* table, std::uint8_t* out,
                  bool wide = true);

}  // namespace histonorm
