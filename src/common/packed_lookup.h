#pragma once
// 3-byte colour indices (low byte first, in the place of a pixel's bytes: common/colour_key.h), and
// the per-pixel table look-up through them: the last pass of methods that map each distinct colour once and
// then every pixel through its colour's index.
//
//   std::vector<std::uint32_t> mapped = ...;  // one packed colour per distinct colour
//   LookUpPacked(indexRow, width, mapped.data(), outputRow);
#include <cstddef>
#include <cstdint>

#include "common/colour_key.h"

namespace histonorm {

// requires: `indices` holds n 3-byte indices (low byte first), each < the number of entries of
//           `table`; `out` has room for n 3-byte pixels and is `indices` itself or does not overlap it.
// ensures:  pixel i of `out` holds bytes 0, 1, 2 of table[index i] (byte 0 = the entry's lowest
//           byte). With `wide`, a vector of pixels at a time on the widest target the processor
//           runs; the same bytes.
void LookUpPacked(const std::uint8_t* indices, std::size_t n, const std::uint32_t* table, std::uint8_t* out,
                  bool wide = true);

}  // namespace histonorm
