#pragma once
// Selection of the most probable pixels of the two stain classes and the exact colour sums of the
// selected pixels.
//
// A pixel is a candidate of a class when its probability of that class exceeds 0.01 (compared in
// double). Of a class's candidates the selection keeps every one at or above the probability
// threshold, but never fewer than the 201 most probable (or all of them when there are fewer).
// Where equal probabilities straddle the cut, those earliest in pixel order are kept, so the
// result is deterministic. Colour sums are exact whatever the number of samples.
#include <array>
#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "common/image_colours.h"
#include "common/pixel_planes.h"
#include "deconv/colour_sample.h"
#include "histonorm/log_sink.h"

namespace histonorm {

// Colour sums of the selected samples of the two stain classes (red, green, blue), accumulated
// exactly, with the candidate counts. Sums of several images can be pooled with +=.
struct StainSampleSums {
  std::array<std::array<double, 3>, 2> colourSum{};  // [class][red, green, blue]
  std::array<std::uint64_t, 2> count{};              // selected samples per class
  std::array<std::uint64_t, 2> candidates{};         // candidates per class (probability > 0.01)
  StainSampleSums& operator+=(const StainSampleSums& other);
};

// Selects the samples of both stain classes from the probability planes and sums their colours.
// Logs the "#samples used = " line. Requires an 8-bit 3-channel BGR image and probability
// planes of its width and height; throws std::invalid_argument otherwise.
[[nodiscard]] StainSampleSums CollectStainSamples(const cv::Mat& image, const ClassProbabilityPlanes& probs,
                                                  float probThreshold, const LogSink& log = {});
// The same selection and sums from probabilities given once per distinct colour: `colourProbs`
// holds Keys().size() values per plane, in the order of Keys(), and pixel order is that of the
// index's PixelIndices(). Requires an indexed `colours`; throws std::invalid_argument otherwise.
// A scan in pixel order, when one is needed, is split over `threads` (0 = all cores) with the same
// result.
[[nodiscard]] StainSampleSums CollectStainSamples(const ImageColours& colours,
                                                  const ClassProbabilityPlanes& colourProbs,
                                                  float probThreshold, const LogSink& log = {},
                                                  unsigned threads = 1);

// The pixels the selection keeps of stain class `stain` (0 or 1): their indices in the planes, most
// probable first (equal probabilities in pixel order). For checking a selection against labels; the
// sums above do not need the list.
// requires: stain < 2 and planes of `probs` of its width and height.
[[nodiscard]] std::vector<std::size_t> SelectedSamples(const ClassProbabilityPlanes& probs, std::size_t stain,
                                                       float probThreshold);

}  // namespace histonorm
