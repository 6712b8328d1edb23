#pragma once
// The decorrelated logarithmic colour space (l, alpha, beta) of the Reinhard method, with the exact
// single/double precision mix of the forward and inverse pixel transforms.
#include <array>
#include <cstdint>

namespace histonorm {

using Lab = std::array<float, 3>;  // l, alpha, beta

// Means and standard deviations of l, alpha, beta.
struct LabStats {
  std::array<double, 3> mean{};
  std::array<double, 3> sd{};
};

// Bytes blue, green, red -> l, alpha, beta. Always finite.
Lab BgrToLab(std::uint8_t blue, std::uint8_t green, std::uint8_t red);

// l, alpha, beta -> colour values blue, green, red before rounding (may lie outside 0..255 or be NaN).
std::array<float, 3> LabToBgrValues(const Lab& lab);

// Colour value -> byte: round half up inside [0, 255], 0 below, 255 above or for NaN.
std::uint8_t ColourValueToByte(float value);

}  // namespace histonorm
