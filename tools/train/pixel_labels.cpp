#include "train/pixel_labels.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

namespace histonorm::train {

namespace {

using Vec3 = cv::Vec3d;  // red, green, blue optical density

// Published reference optical density directions (red, green, blue) of the common stains.
const Vec3 kHaematoxylin{0.5626, 0.7201, 0.4062};
const Vec3 kEosin{0.2159, 0.8012, 0.5581};
const Vec3 kDab{0.268, 0.570, 0.776};

constexpr int kWindow = 7;
// A window is background when every channel is bright and the channels nearly agree (white or
// light grey glass).
constexpr double kBackgroundMaxDensity = 0.1;
constexpr double kBackgroundMaxSpread = 0.04;
// Total optical density (red + green + blue) that a window needs to be labelled as a stain.
constexpr double kStainDensity = 0.15;
// Share of the two stains' amounts that the dominant stain must hold.
constexpr double kDominantShare = 0.75;
// Image-specific stain directions come from the angular spread of the foreground densities, cut at
// these quantiles; fewer foreground windows, or directions closer than the minimum angle, fall back
// to the reference directions.
constexpr double kAngleQuantile = 0.01;
constexpr std::size_t kMinForeground = 100;
constexpr std::size_t kMaxDirectionSamples = 200000;
constexpr double kMinStainAngle = 0.1;  // radians

Vec3 Density(const cv::Vec3f& bgr) {
  const auto od = [](float v) { return -std::log10((double(v) + 1.0) / 256.0); };
  return {od(bgr[2]), od(bgr[1]), od(bgr[0])};
}

bool IsBackground(const Vec3& od) {
  const double hi = std::max({od[0], od[1], od[2]});
  const double lo = std::min({od[0], od[1], od[2]});
  return hi < kBackgroundMaxDensity && hi - lo < kBackgroundMaxSpread;
}

bool IsForeground(const Vec3& od) { return !IsBackground(od) && od[0] + od[1] + od[2] >= kStainDensity; }

struct StainDirections {
  Vec3 first;   // stain 0
  Vec3 second;  // stain 1
};

// Inverse of the matrix whose rows are the two stain directions and their cross product, so that
// amounts = density x inverse.
cv::Matx33d UnmixingMatrix(const StainDirections& d) {
  const Vec3 s0 = cv::normalize(d.first);
  const Vec3 s1 = cv::normalize(d.second);
  const Vec3 s2 = cv::normalize(s0.cross(s1));
  const cv::Matx33d rows(s0[0], s0[1], s0[2], s1[0], s1[1], s1[2], s2[0], s2[1], s2[2]);
  return rows.inv();
}

double Quantile(std::vector<double> values, double q) {
  const auto k = static_cast<std::size_t>(q * double(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(k), values.end());
  return values[k];
}

// The two extreme directions of the foreground densities within their principal plane, matched to
// the reference directions; the reference directions when the image gives no clear pair.
StainDirections ImageDirections(const std::vector<Vec3>& foreground, const StainDirections& reference) {
  if (foreground.size() < kMinForeground) return reference;
  cv::Mat samples(static_cast<int>(foreground.size()), 3, CV_64F);
  for (std::size_t i = 0; i < foreground.size(); ++i) {
    for (int c = 0; c < 3; ++c) samples.at<double>(static_cast<int>(i), c) = foreground[i][c];
  }
  cv::Mat covariance, mean, values, vectors;
  cv::calcCovarMatrix(samples, covariance, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS);
  cv::eigen(covariance, values, vectors);
  Vec3 e1(vectors.at<double>(0, 0), vectors.at<double>(0, 1), vectors.at<double>(0, 2));
  Vec3 e2(vectors.at<double>(1, 0), vectors.at<double>(1, 1), vectors.at<double>(1, 2));
  if (e1[0] + e1[1] + e1[2] < 0) e1 = -e1;

  std::vector<double> angles;
  angles.reserve(foreground.size());
  for (const Vec3& od : foreground) angles.push_back(std::atan2(od.dot(e2), od.dot(e1)));
  const double lo = Quantile(angles, kAngleQuantile);
  const double hi = Quantile(angles, 1.0 - kAngleQuantile);
  if (hi - lo < kMinStainAngle) return reference;
  const Vec3 a = std::cos(lo) * e1 + std::sin(lo) * e2;
  const Vec3 b = std::cos(hi) * e1 + std::sin(hi) * e2;
  const Vec3 r0 = cv::normalize(reference.first);
  const Vec3 r1 = cv::normalize(reference.second);
  const double aLeansFirst = a.dot(r0) - a.dot(r1);
  const double bLeansFirst = b.dot(r0) - b.dot(r1);
  return aLeansFirst >= bLeansFirst ? StainDirections{a, b} : StainDirections{b, a};
}

// Index of the stain that dominates a density (0 or 1), -1 when none does.
int DominantStain(const Vec3& od, const cv::Matx33d& unmix) {
  const cv::Matx13d a = cv::Matx13d(od[0], od[1], od[2]) * unmix;
  const double a0 = std::max(a(0), 0.0);
  const double a1 = std::max(a(1), 0.0);
  if (a0 + a1 <= 0.0) return -1;
  if (a0 >= kDominantShare * (a0 + a1)) return 0;
  if (a1 >= kDominantShare * (a0 + a1)) return 1;
  return -1;
}

std::uint8_t LabelOf(const Vec3& od, const cv::Matx33d& unmix) {
  if (IsBackground(od)) return 3;
  if (!IsForeground(od)) return kUnlabelled;
  const int stain = DominantStain(od, unmix);
  return stain < 0 ? kUnlabelled : static_cast<std::uint8_t>(stain + 1);
}

}  // namespace

cv::Mat AutomaticLabels(const cv::Mat& image, StainPair stains) {
  if (image.type() != CV_8UC3) throw std::invalid_argument("automatic labels: image is not 8-bit 3-channel");
  cv::Mat mean;
  cv::boxFilter(image, mean, CV_32F, cv::Size(kWindow, kWindow), cv::Point(-1, -1), true,
                cv::BORDER_REFLECT_101);
  const std::size_t step = std::max<std::size_t>(1, image.total() / kMaxDirectionSamples);
  std::vector<Vec3> foreground;
  for (int y = 0; y < image.rows; ++y) {
    const cv::Vec3f* in = mean.ptr<cv::Vec3f>(y);
    for (int x = 0; x < image.cols; ++x) {
      if ((std::size_t(y) * std::size_t(image.cols) + std::size_t(x)) % step != 0) continue;
      const Vec3 od = Density(in[x]);
      if (IsForeground(od)) foreground.push_back(od);
    }
  }
  const StainDirections reference{kHaematoxylin, stains == StainPair::kHaematoxylinEosin ? kEosin : kDab};
  const cv::Matx33d unmix = UnmixingMatrix(ImageDirections(foreground, reference));
  cv::Mat labels(image.rows, image.cols, CV_8UC1);
  for (int y = 0; y < image.rows; ++y) {
    const cv::Vec3f* in = mean.ptr<cv::Vec3f>(y);
    std::uint8_t* out = labels.ptr<std::uint8_t>(y);
    const std::uint8_t* own = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x) {
      const std::uint8_t label = LabelOf(Density(in[x]), unmix);
      const cv::Vec3f ownColour(own[3 * x], own[3 * x + 1], own[3 * x + 2]);
      out[x] = label == LabelOf(Density(ownColour), unmix) ? label : kUnlabelled;
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

std::array<std::size_t, 4> CountLabels(const cv::Mat& labels) {
  std::array<std::size_t, 4> counts{};
  for (int y = 0; y < labels.rows; ++y) {
    const std::uint8_t* row = labels.ptr<std::uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x) ++counts[row[x] < 4 ? row[x] : 0];
  }
  return counts;
}

}  // namespace histonorm::train
