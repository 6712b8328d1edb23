#include "deconv/class_mean_colour.h"

#include <cmath>

namespace histonorm {

void ClassMeanColour::Reset() {
  logScale = static_cast<float>(std::log(256.0));
  mean = {0.0f, 0.0f, 0.0f};
  vector = {0.0f, 0.0f, 0.0f};
  count = 0;
}

void ClassMeanColour::VectorFromMean() {
  std::array<float, 3> od{};
  for (int i = 0; i < 3; ++i) {
    // mean + 1 is formed in single precision; the rest in double.
    const double shifted = static_cast<double>(mean[i] + 1.0f);
    od[i] = static_cast<float>(std::log(shifted * 0.00390625) * 255.0 / static_cast<double>(logScale) * -0.5);
  }
  // Summed in single precision, green first.
  const float length = std::sqrt((od[1] * od[1] + od[0] * od[0]) + od[2] * od[2]);
  for (int i = 0; i < 3; ++i) vector[i] = od[i] / length;
}

}  // namespace histonorm
