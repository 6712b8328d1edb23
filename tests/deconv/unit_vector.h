#pragma once
// The unit optical-density vector of a mean colour, as stain estimation makes it.
#include <array>

#include "deconv/class_mean_colour.h"

namespace histonorm::test {

inline std::array<float, 3> VectorOf(float red, float green, float blue) {
  ClassMeanColour record;
  record.Reset();
  record.mean = {red, green, blue};
  record.VectorFromMean();
  return record.vector;
}

}  // namespace histonorm::test
