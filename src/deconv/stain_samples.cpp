#include "deconv/stain_samples.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <string>

namespace histonorm {
namespace {

// The selection always keeps at least this many samples of a class (positions 0 to 200).
constexpr std::size_t kMinimumSelection = 201;
// Probabilities must exceed this (in double) for a pixel to become a candidate.
constexpr double kCandidateProbability = 0.01;

void RequireMatchingPlanes(const cv::Mat& image, const ClassProbabilityPlanes& probs) {
  if (image.type() != CV_8UC3)
    throw std::invalid_argument("stain sample collection needs an 8-bit 3-channel image");
  if (probs.width != image.cols || probs.height != image.rows ||
      probs.plane[0].size() != probs.PixelCount() || probs.plane[1].size() != probs.PixelCount()) {
    throw std::invalid_argument("probability planes of " + std::to_string(probs.width) + " x " +
                                std::to_string(probs.height) + " do not match an image of " +
                                std::to_string(image.cols) + " x " + std::to_string(image.rows));
  }
}

void AddColour(std::array<double, 3>& sum, const ColourSample& s) {
  sum[0] += s.red;
  sum[1] += s.green;
  sum[2] += s.blue;
}

std::size_t CountAtOrAbove(const std::vector<ColourSample>& samples, float probThreshold) {
  return static_cast<std::size_t>(
      std::count_if(samples.begin(), samples.end(),
                    [probThreshold](const ColourSample& s) { return s.probability >= probThreshold; }));
}

}  // namespace

StainSampleSums& StainSampleSums::operator+=(const StainSampleSums& other) {
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t i = 0; i < 3; ++i) colourSum[k][i] += other.colourSum[k][i];
    count[k] += other.count[k];
    candidates[k] += other.candidates[k];
  }
  return *this;
}

std::size_t SelectionSize(const std::vector<ColourSample>& samples, float probThreshold) {
  return std::max(CountAtOrAbove(samples, probThreshold), std::min(kMinimumSelection, samples.size()));
}

SelectedSum SumSelectedSamples(const std::vector<ColourSample>& samples, float probThreshold) {
  const std::size_t atOrAbove = CountAtOrAbove(samples, probThreshold);
  const std::size_t wanted = std::max(atOrAbove, std::min(kMinimumSelection, samples.size()));
  SelectedSum result;
  result.count = wanted;
  if (wanted == atOrAbove) {
    for (const ColourSample& s : samples) {
      if (s.probability >= probThreshold) AddColour(result.colourSum, s);
    }
    return result;
  }

  // The selected samples are the `wanted` most probable. Find the probability at the cut; every
  // sample above it is selected, and of those equal to it the earliest fill the remaining places.
  std::vector<float> probabilities(samples.size());
  std::transform(samples.begin(), samples.end(), probabilities.begin(),
                 [](const ColourSample& s) { return s.probability; });
  const auto cutPosition = probabilities.begin() + static_cast<std::ptrdiff_t>(wanted - 1);
  std::nth_element(probabilities.begin(), cutPosition, probabilities.end(), std::greater<float>());
  const float cut = *cutPosition;
  const auto above = static_cast<std::size_t>(std::count_if(
      samples.begin(), samples.end(), [cut](const ColourSample& s) { return s.probability > cut; }));

  std::size_t equalPlaces = wanted - above;
  for (const ColourSample& s : samples) {
    if (s.probability > cut) {
      AddColour(result.colourSum, s);
    } else if (s.probability == cut && equalPlaces > 0) {
      AddColour(result.colourSum, s);
      --equalPlaces;
    }
  }
  return result;
}

std::array<std::vector<ColourSample>, 2> CollectCandidates(const cv::Mat& image,
                                                           const ClassProbabilityPlanes& probs) {
  RequireMatchingPlanes(image, probs);
  std::array<std::vector<ColourSample>, 2> lists;
  const float* const p0 = probs[0];
  const float* const p1 = probs[1];
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* row = image.ptr<std::uint8_t>(y);
    const std::size_t base = static_cast<std::size_t>(y) * static_cast<std::size_t>(image.cols);
    for (int x = 0; x < image.cols; ++x) {
      const std::uint8_t* px = row + 3 * x;
      const std::size_t index = base + static_cast<std::size_t>(x);
      if (static_cast<double>(p0[index]) > kCandidateProbability)
        lists[0].push_back({px[2], px[1], px[0], p0[index]});
      if (static_cast<double>(p1[index]) > kCandidateProbability)
        lists[1].push_back({px[2], px[1], px[0], p1[index]});
    }
  }
  return lists;
}

StainSampleSums CollectStainSamples(const cv::Mat& image, const ClassProbabilityPlanes& probs,
                                    float probThreshold) {
  StainSampleSums sums;
  {
    const std::array<std::vector<ColourSample>, 2> lists = CollectCandidates(image, probs);
    for (std::size_t k = 0; k < 2; ++k) {
      const SelectedSum selected = SumSelectedSamples(lists[k], probThreshold);
      sums.colourSum[k] = selected.colourSum;
      sums.count[k] = selected.count;
      sums.candidates[k] = lists[k].size();
    }
  }
  std::cerr << "#samples used = " << sums.candidates[0] << "," << sums.candidates[1] << "," << 0 << std::endl;
  return sums;
}

}  // namespace histonorm
