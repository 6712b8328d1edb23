#pragma once
// The image descriptor of the colour model, in one place for the classifier and the trainer.
//
// Every pixel colour has a colour key (blue + 256 green + 65536 red) and, through the model's
// octree, a colour code 1..255. The descriptor of an image (or of a tile) is its code histogram,
// normalised by its single-precision total and centred on the model's mean histogram, projected on
// the first D principal directions (single-precision running sums of double-precision products,
// in code order) and shrunk as a whole so that no coefficient lies beyond two standard deviations.
//
// Usage:
//   std::array<std::uint32_t, 256> counts{};            // pixels per code, codes 1..255 counted
//   const bool described = ProjectCodeHistogram(counts, mean, weight, scales, dims, centred, projection);
#include <array>
#include <cstddef>
#include <cstdint>

#include "common/colour_key.h"

namespace histonorm {

// Requires dims <= 256 and `weight(i, j)`: the single-precision weight of code j in direction i;
// `scales[i]`: the standard deviation of component i. Ensures centred[0..255] and projection[0..dims)
// as described above and returns true; with no counted pixel returns false and leaves the
// projection all zeros (the mean image's descriptor).
template <typename Weight>
bool ProjectCodeHistogram(const std::array<std::uint32_t, 256>& counts, const std::array<float, 256>& mean,
                          const Weight& weight, const std::array<float, 256>& scales, std::size_t dims,
                          std::array<float, 256>& centred, std::array<float, 256>& projection) {
  float total = 0.0f;
  for (const std::uint32_t count : counts) total += static_cast<float>(count);
  projection.fill(0.0f);
  if (total == 0.0f) return false;
  for (std::size_t k = 0; k < 256; ++k) centred[k] = static_cast<float>(counts[k]) / total - mean[k];
  float shrink = 1.0f;
  for (std::size_t i = 0; i < dims; ++i) {
    float acc = 0.0f;
    for (std::size_t j = 0; j < 256; ++j) {
      acc = static_cast<float>(static_cast<double>(acc) +
                               static_cast<double>(centred[j]) * static_cast<double>(weight(i, j)));
    }
    const float twoSd = 2.0f * scales[i];
    if (acc > twoSd && twoSd / acc < shrink) shrink = twoSd / acc;
    if (acc < -twoSd && -twoSd / acc < shrink) shrink = -twoSd / acc;
    projection[i] = acc;
  }
  for (std::size_t i = 0; i < dims; ++i) projection[i] = shrink * projection[i];
  return true;
}

}  // namespace histonorm
