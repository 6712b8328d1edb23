#pragma once
// Stain augmentation: re-stained copies of a training image, as another lab and scanner would
// have produced them.
//
// A copy changes, in optical-density space, the amount of each stain (a scale and a shift), the
// hue of each stain (its direction turned by a few degrees), and then the scanner's response
// (a gain per channel, a gamma and a slight colour cast). The amounts come from the image's own
// stain directions, so a pixel labelled as one stain carries the same stain in every copy; glass
// (no stain) is changed by the scanner part alone and stays bright and nearly grey.
//
// Usage:
//   SeededRandom random(seed);
//   const Restaining r = RandomRestaining(own, random);
//   const cv::Mat copy = Restain(image, own, r);
#include <array>
#include <opencv2/core.hpp>

#include "train/pixel_sampler.h"
#include "train/stain_directions.h"

namespace histonorm::train {

struct Restaining {
  std::array<double, 2> scale{1.0, 1.0};      // factor on each stain's amount
  std::array<double, 2> shift{0.0, 0.0};      // added amount, in full on dense tissue, none on glass
  StainDirections stains;                     // the stains' new directions (unit length)
  std::array<double, 3> gain{1.0, 1.0, 1.0};  // scanner gain of blue, green, red
  double gamma = 1.0;                         // scanner response exponent
  std::array<double, 3> cast{0.0, 0.0, 0.0};  // added to blue, green, red (0..255 units)
};

// A random change around `own` (the image's stain directions), drawn from `random`.
Restaining RandomRestaining(const StainDirections& own, SeededRandom& random);

// Requires an 8-bit, 3-channel BGR image. Ensures a new image of the same size: the re-stained copy.
cv::Mat Restain(const cv::Mat& image, const StainDirections& own, const Restaining& change);

}  // namespace histonorm::train
