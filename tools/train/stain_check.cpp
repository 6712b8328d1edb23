#include "train/stain_check.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "deconv/colour_deconv.h"

namespace histonorm::train {

namespace {

// The stain method's choice of pixels for a stain's mean colour: every candidate at or above the
// threshold, and never fewer than this many of the most probable ones.
constexpr float kProbThreshold = 0.99f;
constexpr std::size_t kMinChosen = 201;
constexpr double kCandidate = 0.01;

double Purity(const ClassProbabilityPlanes& planes, const cv::Mat& labels, int stain) {
  std::vector<std::pair<float, std::uint8_t>> candidates;
  const float* p = planes[std::size_t(stain)];
  for (int y = 0; y < labels.rows; ++y) {
    const std::uint8_t* row = labels.ptr<std::uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x) {
      const float v = p[std::size_t(y) * std::size_t(labels.cols) + std::size_t(x)];
      if (double(v) > kCandidate) candidates.emplace_back(v, row[x]);
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::size_t chosen = 0, right = 0;
  for (const auto& [v, label] : candidates) {
    if (v < kProbThreshold && chosen >= kMinChosen) break;
    ++chosen;
    right += label == stain + 1;
  }
  return chosen ? double(right) / double(chosen) : 0.0;
}

Density Column(const Matrix3& m, std::size_t k) { return {m[0][k], m[1][k], m[2][k]}; }

}  // namespace

StainCheck CheckStainEstimate(ColourClassifier_RVM_PCAVQ& classifier, const cv::Mat& image,
                              const cv::Mat& labels, const std::optional<StainDirections>& independent) {
  StainCheck check;
  ClassProbabilityPlanes planes;
  CColourDeconv deconv{LogSink()};  // the estimate's lines are not wanted here
  classifier.ClassifyImage(image, planes);
  deconv.Init();
  check.usable = deconv.EstimateStainVectors(image, planes, kProbThreshold);
  for (int k = 0; k < 2; ++k) check.purity[std::size_t(k)] = Purity(planes, labels, k);
  check.estimate = {Column(deconv.RawStains(), 0), Column(deconv.RawStains(), 1)};
  check.separation = AngleDegrees(check.estimate.first, check.estimate.second);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  check.deviation = {nan, nan};
  if (independent) {
    check.deviation = {AngleDegrees(check.estimate.first, independent->first),
                       AngleDegrees(check.estimate.second, independent->second)};
  }
  return check;
}

}  // namespace histonorm::train
