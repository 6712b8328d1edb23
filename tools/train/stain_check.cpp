#include "train/stain_check.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "deconv/colour_deconv.h"
#include "deconv/stain_samples.h"
#include "histonorm/stain_params.h"

namespace histonorm::train {

namespace {

// The stain method's default selection of the pixels that make a stain's mean colour.
constexpr float kProbThreshold = StainParams{}.probThreshold;

// The share of the pixels the selection keeps for `stain` that carry its label.
double Purity(const ClassProbabilityPlanes& planes, const cv::Mat& labels, int stain) {
  const std::vector<std::size_t> chosen = SelectedSamples(planes, std::size_t(stain), kProbThreshold);
  const cv::Mat dense = labels.isContinuous() ? labels : labels.clone();
  const std::uint8_t* label = dense.ptr<std::uint8_t>();
  const auto right =
      std::count_if(chosen.begin(), chosen.end(), [&](std::size_t i) { return label[i] == stain + 1; });
  return chosen.empty() ? 0.0 : double(right) / double(chosen.size());
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
