#pragma once
// One candidate pixel of a stain class: its colour and its probability of that class.
#include <cstdint>

namespace histonorm {

struct ColourSample {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  float probability = 0.0f;  // the pixel's probability of the class whose list holds it
};

}  // namespace histonorm
