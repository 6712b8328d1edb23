#include "train/pixel_labels.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

#include "train/stain_directions.h"

namespace histonorm::train {

namespace {

constexpr int kWindow = 7;
constexpr std::size_t kMaxDirectionSamples = 200000;
// Share of the two stains' amounts that the dominant stain must hold for a pure stain label.
constexpr double kPureShare = 0.8;
// Shares of the first stain between which a pixel carries both stains.
constexpr double kBothLow = 0.35;
constexpr double kBothHigh = 0.65;

// Share of stain 0 in the two amounts of a density; NaN when neither stain is present.
double ShareOf(const Density& od, const cv::Matx33d& unmix) {
  const cv::Matx13d a = cv::Matx13d(od[0], od[1], od[2]) * unmix;
  const double a0 = std::max(a(0), 0.0);
  const double a1 = std::max(a(1), 0.0);
  return a0 + a1 > 0.0 ? a0 / (a0 + a1) : std::nan("");
}

std::uint8_t StainLabel(const Density& od, const cv::Matx33d& unmix) {
  const double share = ShareOf(od, unmix);
  if (std::isnan(share)) return kUnlabelled;
  if (share >= kPureShare) return 1;
  if (share <= 1.0 - kPureShare) return 2;
  if (share >= kBothLow && share <= kBothHigh) return kBothStains;
  return kUnlabelled;
}

std::uint8_t LabelOf(const Density& od, const cv::Matx33d& unmix) {
  if (IsGlassDensity(od)) return 3;
  if (!IsForegroundDensity(od)) return kUnlabelled;
  return StainLabel(od, unmix);
}

// Window means of an image and the unmixing matrix of its own stain directions.
std::pair<cv::Mat, cv::Matx33d> WindowsAndUnmixing(const cv::Mat& image, StainPair stains) {
  if (image.type() != CV_8UC3) throw std::invalid_argument("automatic labels: image is not 8-bit 3-channel");
  cv::Mat mean;
  cv::boxFilter(image, mean, CV_32F, cv::Size(kWindow, kWindow), cv::Point(-1, -1), true,
                cv::BORDER_REFLECT_101);
  const StainDirections reference = ReferenceDirections(stains);
  const StainDirections own =
      ExtremeDirections(ForegroundDensities(mean, kMaxDirectionSamples), reference).value_or(reference);
  return {mean, UnmixingMatrix(own)};
}

}  // namespace

cv::Mat StainShares(const cv::Mat& image, StainPair stains) {
  const auto [mean, unmix] = WindowsAndUnmixing(image, stains);
  cv::Mat shares(image.rows, image.cols, CV_32FC1);
  for (int y = 0; y < image.rows; ++y) {
    const cv::Vec3f* in = mean.ptr<cv::Vec3f>(y);
    float* out = shares.ptr<float>(y);
    for (int x = 0; x < image.cols; ++x) {
      const Density od = OpticalDensity(in[x]);
      out[x] = IsForegroundDensity(od) ? static_cast<float>(ShareOf(od, unmix)) : std::nanf("");
    }
  }
  return shares;
}

cv::Mat SharesFromLabels(const cv::Mat& labels) {
  cv::Mat shares(labels.rows, labels.cols, CV_32FC1);
  for (int y = 0; y < labels.rows; ++y) {
    const std::uint8_t* in = labels.ptr<std::uint8_t>(y);
    float* out = shares.ptr<float>(y);
    for (int x = 0; x < labels.cols; ++x) out[x] = in[x] == 1 ? 1.0f : in[x] == 2 ? 0.0f : std::nanf("");
  }
  return shares;
}

cv::Mat AutomaticLabels(const cv::Mat& image, StainPair stains) {
  const auto [mean, unmix] = WindowsAndUnmixing(image, stains);
  cv::Mat labels(image.rows, image.cols, CV_8UC1);
  for (int y = 0; y < image.rows; ++y) {
    const cv::Vec3f* in = mean.ptr<cv::Vec3f>(y);
    std::uint8_t* out = labels.ptr<std::uint8_t>(y);
    const std::uint8_t* pixel = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x) {
      const std::uint8_t label = LabelOf(OpticalDensity(in[x]), unmix);
      const cv::Vec3f ownColour(pixel[3 * x], pixel[3 * x + 1], pixel[3 * x + 2]);
      out[x] = label == LabelOf(OpticalDensity(ownColour), unmix) ? label : kUnlabelled;
    }
  }
  return labels;
}

cv::Mat ReadLabelMask(const std::string& path, cv::Size expectedSize) {
  const cv::Mat raw = cv::imread(path, cv::IMREAD_UNCHANGED);
  if (raw.empty()) throw std::runtime_error("cannot read label mask '" + path + "'");
  if (raw.depth() != CV_8U || raw.channels() != 1) {
    throw std::runtime_error("label mask '" + path + "' is not an 8-bit one-channel image");
  }
  if (raw.size() != expectedSize) {
    throw std::runtime_error("label mask '" + path + "' is " + std::to_string(raw.cols) + " x " +
                             std::to_string(raw.rows) + ", but its image is " +
                             std::to_string(expectedSize.width) + " x " +
                             std::to_string(expectedSize.height));
  }
  double largest = 0.0;
  cv::minMaxLoc(raw, nullptr, &largest);
  if (largest > 3.0) {
    throw std::runtime_error(
        "label mask '" + path + "' holds the value " + std::to_string(int(largest)) +
        "; only 0 (unlabelled), 1 (stain 0), 2 (stain 1) and 3 (background) are allowed");
  }
  return raw;
}

std::array<std::size_t, 5> CountLabels(const cv::Mat& labels) {
  std::array<std::size_t, 5> counts{};
  for (int y = 0; y < labels.rows; ++y) {
    const std::uint8_t* row = labels.ptr<std::uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x) ++counts[row[x] < 5 ? row[x] : 0];
  }
  return counts;
}

}  // namespace histonorm::train
