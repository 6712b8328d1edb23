#pragma once
// Reinhard's colour conversions over runs of pixels, a vector of pixels at a time on the widest target
// the processor runs. Each pixel's result depends on its own bytes alone (never on its neighbours or on
// where it lies in the run), so a colour converts the same whether it comes as a pixel of an image or as
// one entry of a list of distinct colours. Against the plain conversions of norm/lab_colour.h (BgrToLab,
// then MapLabChannelValue, LabToBgrValues and ColourValueToByte), the logarithms and powers are those of
// the vector maths library: results may differ by one level in a channel, rarely.
//
//   std::vector<LabPixel> labs(n);
//   BytesToLabs(row, n, 0, labs.data());                  // blue-green-red pixels
//   LabsToBytes(labs.data(), n, source, target, 0, out);  // mapped from source onto target statistics
#include <cstddef>
#include <cstdint>

#include "norm/lab_colour.h"

namespace histonorm {

// A pixel's l, alpha, beta, padded to 16 bytes so that one load fetches them.
struct alignas(16) LabPixel {
  Lab lab;
  float pad;
};

// requires: `pixels` holds n 3-byte pixels whose blue byte is byte `blue` (0 or 2), green byte 1 and red
//           byte 2 - blue; `labs` has room for n entries.
// ensures:  labs[i].lab is pixel i's l, alpha, beta (always finite).
void BytesToLabs(const std::uint8_t* pixels, std::size_t n, std::size_t blue, LabPixel* labs);

// requires: `labs` holds n entries; `out` has room for n 3-byte pixels and does not overlap `labs`.
// ensures:  pixel i of `out` holds the bytes of labs[i] with each channel mapped from `source` onto
//           `target` statistics (a channel whose deviation is 0 or not finite on either side goes to the
//           target mean), blue at byte `blue`, green at 1, red at 2 - blue; values are rounded half up
//           and clamped to 0..255 (255 for a value that is not a number).
void LabsToBytes(const LabPixel* labs, std::size_t n, const LabStats& source, const LabStats& target,
                 std::size_t blue, std::uint8_t* out);

}  // namespace histonorm
