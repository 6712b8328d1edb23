#pragma once
// Per-pixel values of one image, held as three dense planes of width x height floats.
//
// Plane k holds the value of pixel (x, y) at index y * width + x: rows are packed without gaps,
// whatever the row stride of the image they were computed from. Two kinds of plane sets cross
// subsystem borders: the classifier's class probabilities (plane 0 stain 0, plane 1 stain 1,
// plane 2 background) and the colour deconvolution's stain channels (stains 0, 1, 2).
#include <array>
#include <cstddef>
#include <vector>

namespace histonorm {

struct PixelPlanes {
  int width = 0;
  int height = 0;
  std::array<std::vector<float>, 3> plane;

  PixelPlanes() = default;
  // Requires width, height >= 0. Ensures three planes of width * height zeros.
  PixelPlanes(int w, int h) { Resize(w, h); }

  // Ensures three planes of w * h values; existing values are not preserved.
  void Resize(int w, int h) {
    width = w;
    height = h;
    for (auto& p : plane) p.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0.0f);
  }
  std::size_t PixelCount() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  }
  float* operator[](std::size_t k) { return plane[k].data(); }
  const float* operator[](std::size_t k) const { return plane[k].data(); }
};

// Class probabilities from the colour classifier: stain 0, stain 1, background.
using ClassProbabilityPlanes = PixelPlanes;
// Stain channel values from the colour deconvolution: stains 0, 1, 2.
using StainChannelPlanes = PixelPlanes;

}  // namespace histonorm
