#include "train/stain_directions.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace histonorm::train {

namespace {

constexpr double kBackgroundMaxDensity = 0.1;
constexpr double kBackgroundMaxSpread = 0.04;
// Total optical density (red + green + blue) that a colour needs to count as stained tissue.
constexpr double kStainDensity = 0.15;
constexpr double kAngleQuantile = 0.01;
constexpr std::size_t kMinForeground = 100;
constexpr std::size_t kMaxDirectionSamples = 200000;
constexpr double kMinStainAngle = 0.1;  // radians

double Quantile(std::vector<double> values, double q) {
  const auto k = static_cast<std::size_t>(q * double(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(k), values.end());
  return values[k];
}

}  // namespace

Density OpticalDensity(const cv::Vec3f& bgr) {
  const auto od = [](float v) { return -std::log10((double(v) + 1.0) / 256.0); };
  return {od(bgr[2]), od(bgr[1]), od(bgr[0])};
}

bool IsGlassDensity(const Density& od) {
  const double hi = std::max({od[0], od[1], od[2]});
  const double lo = std::min({od[0], od[1], od[2]});
  return hi < kBackgroundMaxDensity && hi - lo < kBackgroundMaxSpread;
}

bool IsForegroundDensity(const Density& od) {
  return !IsGlassDensity(od) && od[0] + od[1] + od[2] >= kStainDensity;
}

StainDirections ReferenceDirections(StainPair stains) {
  const Density haematoxylin{0.5626, 0.7201, 0.4062};
  const Density eosin{0.2159, 0.8012, 0.5581};
  const Density dab{0.268, 0.570, 0.776};
  return {cv::normalize(haematoxylin), cv::normalize(stains == StainPair::kHaematoxylinEosin ? eosin : dab)};
}

std::optional<StainDirections> ExtremeDirections(const std::vector<Density>& foreground,
                                                 const StainDirections& reference) {
  if (foreground.size() < kMinForeground) return std::nullopt;
  cv::Mat samples(static_cast<int>(foreground.size()), 3, CV_64F);
  for (std::size_t i = 0; i < foreground.size(); ++i) {
    for (int c = 0; c < 3; ++c) samples.at<double>(static_cast<int>(i), c) = foreground[i][c];
  }
  cv::Mat covariance, mean, values, vectors;
  cv::calcCovarMatrix(samples, covariance, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS);
  cv::eigen(covariance, values, vectors);
  Density e1(vectors.at<double>(0, 0), vectors.at<double>(0, 1), vectors.at<double>(0, 2));
  const Density e2(vectors.at<double>(1, 0), vectors.at<double>(1, 1), vectors.at<double>(1, 2));
  if (e1[0] + e1[1] + e1[2] < 0) e1 = -e1;

  std::vector<double> angles;
  angles.reserve(foreground.size());
  for (const Density& od : foreground) angles.push_back(std::atan2(od.dot(e2), od.dot(e1)));
  const double lo = Quantile(angles, kAngleQuantile);
  const double hi = Quantile(angles, 1.0 - kAngleQuantile);
  if (hi - lo < kMinStainAngle) return std::nullopt;
  const Density a = std::cos(lo) * e1 + std::sin(lo) * e2;
  const Density b = std::cos(hi) * e1 + std::sin(hi) * e2;
  const double aLeansFirst = a.dot(reference.first) - a.dot(reference.second);
  const double bLeansFirst = b.dot(reference.first) - b.dot(reference.second);
  return aLeansFirst >= bLeansFirst ? StainDirections{cv::normalize(a), cv::normalize(b)}
                                    : StainDirections{cv::normalize(b), cv::normalize(a)};
}

std::vector<Density> ForegroundDensities(const cv::Mat& image, std::size_t maxSamples) {
  cv::Mat colours;
  image.convertTo(colours, CV_32FC3);
  const std::size_t step = std::max<std::size_t>(1, colours.total() / std::max<std::size_t>(1, maxSamples));
  std::vector<Density> foreground;
  for (int y = 0; y < colours.rows; ++y) {
    const cv::Vec3f* in = colours.ptr<cv::Vec3f>(y);
    for (int x = 0; x < colours.cols; ++x) {
      if ((std::size_t(y) * std::size_t(colours.cols) + std::size_t(x)) % step != 0) continue;
      const Density od = OpticalDensity(in[x]);
      if (IsForegroundDensity(od)) foreground.push_back(od);
    }
  }
  return foreground;
}

std::optional<StainDirections> ImageStainDirections(const cv::Mat& image, StainPair stains) {
  return ExtremeDirections(ForegroundDensities(image, kMaxDirectionSamples), ReferenceDirections(stains));
}

cv::Matx33d UnmixingMatrix(const StainDirections& d) {
  const Density s0 = cv::normalize(d.first);
  const Density s1 = cv::normalize(d.second);
  const Density s2 = cv::normalize(s0.cross(s1));
  const cv::Matx33d rows(s0[0], s0[1], s0[2], s1[0], s1[1], s1[2], s2[0], s2[1], s2[2]);
  return rows.inv();
}

double AngleDegrees(const Density& a, const Density& b) {
  const double c = a.dot(b) / std::max(1e-300, cv::norm(a) * cv::norm(b));
  return std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / CV_PI;
}

}  // namespace histonorm::train
