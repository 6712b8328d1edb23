#pragma once
// Mean colour of the selected samples of one stain class and the unit optical-density vector made
// from it.
//
// Reset() requires nothing and ensures logScale = ln 256 (single precision), zero sums and count.
// VectorFromMean() requires `mean` to hold the mean colour (red, green, blue) and ensures `vector`
// is the unit vector along (-ln((mean + 1) / 256)) per colour; a mean of 255 in every colour or a
// not-a-number mean gives a not-a-number vector.
#include <array>
#include <cstdint>

namespace histonorm {

struct ClassMeanColour {
  float logScale = 0.0f;
  std::array<float, 3> mean{};    // red, green, blue: first the sums, then the mean colour
  std::array<float, 3> vector{};  // red, green, blue components of the unit vector
  std::uint64_t count = 0;        // samples summed

  void Reset();
  void VectorFromMean();
};

}  // namespace histonorm
