#pragma once
// Selection of the most probable pixels of the two stain classes and the exact colour sums of the
// selected pixels.
//
// A pixel is a candidate of a class when its probability of that class exceeds 0.01 (compared in
// double). Of a class's candidates the selection keeps every one at or above the probability
// threshold, but never fewer than the 201 most probable (or all of them when there are fewer).
// Where equal probabilities straddle the cut, those earliest in pixel order are kept, so the
// result is deterministic.
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "common/pixel_planes.h"

namespace histonorm {

// One candidate pixel of a class list.
struct ColourSample {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  float probability = 0.0f;  // the pixel's probability of the class whose list holds it
};

// Colour sums of the selected samples of the two stain classes (red, green, blue), accumulated
// exactly, with the candidate counts. Sums of several images can be pooled with +=.
struct StainSampleSums {
  std::array<std::array<double, 3>, 2> colourSum{};  // [class][red, green, blue]
  std::array<std::uint64_t, 2> count{};              // selected samples per class
  std::array<std::uint64_t, 2> candidates{};         // candidates per class (probability > 0.01)
  StainSampleSums& operator+=(const StainSampleSums& other);
};

// Colour sums and count of the selected samples of one class list, in list (pixel) order.
struct SelectedSum {
  std::array<double, 3> colourSum{};  // red, green, blue
  std::uint64_t count = 0;
};

// Number of samples the selection keeps from `samples`: every one at or above `probThreshold`,
// never fewer than 201 (or all when the list is shorter).
std::size_t SelectionSize(const std::vector<ColourSample>& samples, float probThreshold);

// Sums the colours of the selected samples of one class list.
SelectedSum SumSelectedSamples(const std::vector<ColourSample>& samples, float probThreshold);

// The candidate lists of classes 0 and 1, in pixel order. Requires an 8-bit 3-channel BGR image and
// probability planes of its width and height; throws std::invalid_argument otherwise.
std::array<std::vector<ColourSample>, 2> CollectCandidates(const cv::Mat& image,
                                                           const ClassProbabilityPlanes& probs);

// Selects the samples of both stain classes from the probability planes and sums their colours.
// Prints the "#samples used = " line. Same requirements as CollectCandidates.
StainSampleSums CollectStainSamples(const cv::Mat& image, const ClassProbabilityPlanes& probs,
                                    float probThreshold);

}  // namespace histonorm
