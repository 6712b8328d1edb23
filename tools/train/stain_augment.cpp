#include "train/stain_augment.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace histonorm::train {

namespace {

constexpr double kMaxLogScale = 0.45;  // amounts scaled by 0.64 .. 1.57
constexpr double kShiftLow = -0.04;    // optical density
constexpr double kShiftHigh = 0.08;
constexpr double kMaxTurnDegrees = 9.0;  // per stain
constexpr double kMinStainAngleDegrees = 12.0;
constexpr double kGainLow = 0.93;
constexpr double kGainHigh = 1.04;
constexpr double kMaxChannelGainSpread = 0.03;
constexpr double kMaxLogGamma = 0.2;  // 0.82 .. 1.22
constexpr double kMaxCast = 6.0;
// Total stain amount at which the shift applies in full.
constexpr double kDenseTissue = 0.25;

double Uniform(SeededRandom& random, double lo, double hi) {
  const double u = double(random.Next() >> 11) * (1.0 / 9007199254740992.0);
  return lo + (hi - lo) * u;
}

// `d` turned by `degrees` towards a random direction perpendicular to it, kept in the positive
// octant (densities are never negative).
Density Turn(const Density& d, double degrees, SeededRandom& random) {
  Density r(Uniform(random, -1, 1), Uniform(random, -1, 1), Uniform(random, -1, 1));
  Density perpendicular = r - r.dot(d) * d;
  if (cv::norm(perpendicular) < 1e-6) perpendicular = Density(1, 0, 0) - d[0] * d;
  perpendicular = cv::normalize(perpendicular);
  const double a = degrees * CV_PI / 180.0;
  Density turned = std::cos(a) * d + std::sin(a) * perpendicular;
  for (int c = 0; c < 3; ++c) turned[c] = std::max(turned[c], 0.02);
  return cv::normalize(turned);
}

}  // namespace

Restaining RandomRestaining(const StainDirections& own, SeededRandom& random) {
  Restaining r;
  for (int k = 0; k < 2; ++k) {
    r.scale[std::size_t(k)] = std::exp(Uniform(random, -kMaxLogScale, kMaxLogScale));
    r.shift[std::size_t(k)] = Uniform(random, kShiftLow, kShiftHigh);
  }
  for (int attempt = 0;; ++attempt) {
    r.stains.first = Turn(own.first, Uniform(random, 0.0, kMaxTurnDegrees), random);
    r.stains.second = Turn(own.second, Uniform(random, 0.0, kMaxTurnDegrees), random);
    if (AngleDegrees(r.stains.first, r.stains.second) >= kMinStainAngleDegrees || attempt == 8) break;
  }
  if (AngleDegrees(r.stains.first, r.stains.second) < kMinStainAngleDegrees) r.stains = own;
  const double gain = Uniform(random, kGainLow, kGainHigh);
  for (double& g : r.gain) {
    g = std::min(1.0, gain + Uniform(random, -kMaxChannelGainSpread, kMaxChannelGainSpread));
  }
  r.gamma = std::exp(Uniform(random, -kMaxLogGamma, kMaxLogGamma));
  for (double& c : r.cast) c = Uniform(random, -kMaxCast, kMaxCast);
  return r;
}

cv::Mat Restain(const cv::Mat& image, const StainDirections& own, const Restaining& change) {
  if (image.type() != CV_8UC3) throw std::invalid_argument("re-staining: image is not 8-bit 3-channel");
  const cv::Matx33d unmix = UnmixingMatrix(own);
  const Density residual = cv::normalize(own.first.cross(own.second));
  std::array<double, 256> density{};
  for (int v = 0; v < 256; ++v) density[std::size_t(v)] = -std::log10((v + 1.0) / 256.0);
  cv::Mat out(image.size(), CV_8UC3);
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* in = image.ptr<std::uint8_t>(y);
    std::uint8_t* o = out.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x) {
      const Density od(density[in[3 * x + 2]], density[in[3 * x + 1]], density[in[3 * x]]);
      const cv::Matx13d a = cv::Matx13d(od[0], od[1], od[2]) * unmix;
      const double weight = std::clamp((std::max(a(0), 0.0) + std::max(a(1), 0.0)) / kDenseTissue, 0.0, 1.0);
      const double a0 = std::max(0.0, change.scale[0] * a(0) + change.shift[0] * weight);
      const double a1 = std::max(0.0, change.scale[1] * a(1) + change.shift[1] * weight);
      const Density next = a0 * change.stains.first + a1 * change.stains.second + a(2) * residual;
      for (int c = 0; c < 3; ++c) {  // c: blue, green, red
        const double linear = std::clamp((256.0 * std::pow(10.0, -next[2 - c]) - 1.0) / 255.0, 0.0, 1.0);
        const double scanned = 255.0 * std::pow(change.gain[std::size_t(c)] * linear, change.gamma) +
                               change.cast[std::size_t(c)];
        o[3 * x + c] = cv::saturate_cast<std::uint8_t>(scanned);
      }
    }
  }
  return out;
}

}  // namespace histonorm::train
