#include "histonorm/result_check.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

namespace histonorm {

namespace {

using T = CheckThresholds;

// What each sampled source pixel is.
enum PixelClass : std::uint8_t { kGlass, kDark, kBright, kOtherTissue };

void RequireColourImage(const cv::Mat& image, const char* role) {
  if (image.empty() || image.type() != CV_8UC3) {
    throw std::invalid_argument(std::string("CheckResult: the ") + role +
                                " must be a non-empty CV_8UC3 image, not " + std::to_string(image.cols) +
                                " x " + std::to_string(image.rows) + " of type " +
                                std::to_string(image.type()));
  }
}

// Every step-th pixel in both directions, starting half a step in, so that images of more than
// kSampledPixels pixels are measured on about that many.
int SampleStep(const cv::Mat& image) {
  const double pixels = static_cast<double>(image.total());
  const double step = std::ceil(std::sqrt(pixels / static_cast<double>(T::kSampledPixels)));
  // A thin strip keeps at least one row or column.
  return std::clamp(static_cast<int>(step), 1, std::min(image.rows, image.cols));
}

cv::Mat Sampled(const cv::Mat& image, int step) {
  if (step == 1) return image;
  const int rows = (image.rows - step / 2 + step - 1) / step;
  const int cols = (image.cols - step / 2 + step - 1) / step;
  cv::Mat sampled(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y) {
    const auto* in = image.ptr<cv::Vec3b>(y * step + step / 2);
    auto* out = sampled.ptr<cv::Vec3b>(y);
    for (int x = 0; x < cols; ++x) out[x] = in[x * step + step / 2];
  }
  return sampled;
}

LabColour ToLab(const cv::Vec3b& lab8) {
  return {lab8[0] * (100.0 / 255.0), lab8[1] - 128.0, lab8[2] - 128.0};
}

bool IsGlass(const cv::Vec3b& bgr) {
  return bgr[0] >= T::kGlassLevel && bgr[1] >= T::kGlassLevel && bgr[2] >= T::kGlassLevel;
}

// The class of each pixel of a sampled image (row by row): glass, or tissue ranked by L* (ties in
// pixel order) into the darkest share, the bright band and the rest.
std::vector<std::uint8_t> ClassifyPixels(const cv::Mat& bgr, const cv::Mat& lab) {
  std::vector<std::uint8_t> classes(bgr.total());
  std::array<std::int64_t, 256> levels{};
  std::int64_t tissue = 0;
  for (int y = 0; y < bgr.rows; ++y) {
    const auto* colour = bgr.ptr<cv::Vec3b>(y);
    const auto* l = lab.ptr<cv::Vec3b>(y);
    for (int x = 0; x < bgr.cols; ++x) {
      if (IsGlass(colour[x])) continue;
      ++levels[l[x][0]];
      ++tissue;
    }
  }
  std::array<std::int64_t, 256> below{};
  for (std::size_t v = 1; v < levels.size(); ++v) below[v] = below[v - 1] + levels[v - 1];
  const auto rank = [tissue](double share) {
    return static_cast<std::int64_t>(share * static_cast<double>(tissue));
  };
  const std::int64_t darkEnd = std::max<std::int64_t>(1, rank(T::kDarkShare));
  const std::int64_t brightFrom = rank(T::kBrightFrom);
  const std::int64_t brightEnd = std::max(brightFrom + 1, rank(T::kBrightTo));
  std::array<std::int64_t, 256> seen{};
  std::size_t i = 0;
  for (int y = 0; y < bgr.rows; ++y) {
    const auto* colour = bgr.ptr<cv::Vec3b>(y);
    const auto* l = lab.ptr<cv::Vec3b>(y);
    for (int x = 0; x < bgr.cols; ++x, ++i) {
      if (IsGlass(colour[x])) {
        classes[i] = kGlass;
        continue;
      }
      const std::int64_t r = below[l[x][0]] + seen[l[x][0]]++;
      classes[i] = r < darkEnd ? kDark : (r >= brightFrom && r < brightEnd ? kBright : kOtherTissue);
    }
  }
  return classes;
}

// Sums of one image's colours over the classes of the source's pixels.
struct ClassSums {
  std::array<std::int64_t, 4> pixels{};
  std::array<LabColour, 4> lab{};
  double glassChroma = 0;

  [[nodiscard]] LabColour Mean(int c) const {
    const double n = static_cast<double>(std::max<std::int64_t>(1, pixels[c]));
    return {lab[c][0] / n, lab[c][1] / n, lab[c][2] / n};
  }
  [[nodiscard]] std::int64_t Tissue() const { return pixels[kDark] + pixels[kBright] + pixels[kOtherTissue]; }
  [[nodiscard]] LabColour TissueSum() const {
    LabColour sum{};
    for (int c : {kDark, kBright, kOtherTissue}) {
      for (int k = 0; k < 3; ++k) sum[k] += lab[c][k];
    }
    return sum;
  }
};

ClassSums SumByClass(const cv::Mat& lab, const std::vector<std::uint8_t>& classes) {
  ClassSums sums;
  std::size_t i = 0;
  for (int y = 0; y < lab.rows; ++y) {
    const auto* row = lab.ptr<cv::Vec3b>(y);
    for (int x = 0; x < lab.cols; ++x, ++i) {
      const LabColour c = ToLab(row[x]);
      const std::uint8_t k = classes[i];
      ++sums.pixels[k];
      for (int j = 0; j < 3; ++j) sums.lab[k][j] += c[j];
      if (k == kGlass) sums.glassChroma += std::hypot(c[1], c[2]);
    }
  }
  return sums;
}

cv::Mat LabOf(const cv::Mat& bgr) {
  cv::Mat lab;
  cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab);
  return lab;
}

// Mean SSIM of two grey images over 7 x 7 uniform windows with the sample covariance, not counting
// the 3 pixels along the borders. 1 for images too small for a window.
double GreySsim(const cv::Mat& sourceBgr, const cv::Mat& resultBgr) {
  constexpr int kWindow = 7;
  if (sourceBgr.rows < kWindow || sourceBgr.cols < kWindow) return 1.0;
  cv::Mat grey[2];
  cv::cvtColor(sourceBgr, grey[0], cv::COLOR_BGR2GRAY);
  cv::cvtColor(resultBgr, grey[1], cv::COLOR_BGR2GRAY);
  cv::Mat x, y;
  grey[0].convertTo(x, CV_32F);
  grey[1].convertTo(y, CV_32F);
  const cv::Size window(kWindow, kWindow);
  cv::Mat ux, uy, uxx, uyy, uxy;
  cv::blur(x, ux, window);
  cv::blur(y, uy, window);
  cv::blur(x.mul(x), uxx, window);
  cv::blur(y.mul(y), uyy, window);
  cv::blur(x.mul(y), uxy, window);
  constexpr double kCovariance = kWindow * kWindow / (kWindow * kWindow - 1.0);
  constexpr double kC1 = (0.01 * 255) * (0.01 * 255), kC2 = (0.03 * 255) * (0.03 * 255);
  const int pad = kWindow / 2;
  double total = 0;
  for (int r = pad; r < x.rows - pad; ++r) {
    const float *mx = ux.ptr<float>(r), *my = uy.ptr<float>(r);
    const float *sxx = uxx.ptr<float>(r), *syy = uyy.ptr<float>(r), *sxy = uxy.ptr<float>(r);
    for (int c = pad; c < x.cols - pad; ++c) {
      const double ax = mx[c], ay = my[c];
      const double vx = kCovariance * (sxx[c] - ax * ax), vy = kCovariance * (syy[c] - ay * ay);
      const double vxy = kCovariance * (sxy[c] - ax * ay);
      total += ((2 * ax * ay + kC1) * (2 * vxy + kC2)) / ((ax * ax + ay * ay + kC1) * (vx + vy + kC2));
    }
  }
  return total / (static_cast<double>(x.rows - 2 * pad) * static_cast<double>(x.cols - 2 * pad));
}

LabColour Divided(const LabColour& sum, std::int64_t n) {
  const double d = static_cast<double>(std::max<std::int64_t>(1, n));
  return {sum[0] / d, sum[1] / d, sum[2] / d};
}

void Accumulate(LabColour& sum, const LabColour& add) {
  for (int k = 0; k < 3; ++k) sum[k] += add[k];
}

void CheckGlass(const ClassSums& before, const ClassSums& after, const CheckTarget& target,
                ResultCheck& check) {
  const std::int64_t glass = before.pixels[kGlass];
  check.glassShare = static_cast<double>(glass) / static_cast<double>(glass + before.Tissue());
  check.glassChecked = check.glassShare >= T::kMinGlassShare;
  if (!check.glassChecked) return;
  const double n = static_cast<double>(glass);
  check.glassLightBefore = before.Mean(kGlass)[0];
  check.glassLightAfter = after.Mean(kGlass)[0];
  check.glassChromaBefore = before.glassChroma / n;
  check.glassChromaAfter = after.glassChroma / n;
  const double reference =
      target.HasGlass() ? std::min(check.glassLightBefore, target.GlassLight()) : check.glassLightBefore;
  check.glassLightMin = reference - T::kGlassLightDrop;
  check.glassChromaMax =
      std::max(T::kGlassChroma, (target.HasGlass() ? target.GlassChroma() : 0.0) + T::kGlassChromaOverTarget);
  if (!(check.glassLightAfter >= check.glassLightMin)) check.failed |= kGlassDarkened;
  if (!(check.glassChromaAfter <= check.glassChromaMax)) check.failed |= kGlassTinted;
}

bool MovesTowards(double before, double after) {
  return after <= T::kDistanceRatio * before || after <= T::kCloseDistance;
}

void CheckTissue(const ClassSums& before, const ClassSums& after, const CheckTarget& target,
                 ResultCheck& check) {
  check.tissueBefore = Divided(before.TissueSum(), before.Tissue());
  check.tissueAfter = Divided(after.TissueSum(), after.Tissue());
  check.tissueChecked = target.HasTissue() && before.Tissue() > 0;
  if (!check.tissueChecked) return;
  check.darkBefore = Ciede2000(before.Mean(kDark), target.Dark());
  check.darkAfter = Ciede2000(after.Mean(kDark), target.Dark());
  check.brightBefore = Ciede2000(before.Mean(kBright), target.Bright());
  check.brightAfter = Ciede2000(after.Mean(kBright), target.Bright());
  if (!MovesTowards(check.darkBefore, check.darkAfter)) check.failed |= kDarkTissueOff;
  if (!MovesTowards(check.brightBefore, check.brightAfter)) check.failed |= kBrightTissueOff;
}

double Degrees(double radians) { return radians * 180.0 / std::numbers::pi; }
double Radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

// Hue angle in degrees, 0 to 360 (0 for a grey).
double HueAngle(double b, double a) {
  if (a == 0 && b == 0) return 0;
  const double h = Degrees(std::atan2(b, a));
  return h < 0 ? h + 360 : h;
}

}  // namespace

void CheckTarget::Add(const cv::Mat& image) {
  RequireColourImage(image, "target");
  const cv::Mat sampled = Sampled(image, SampleStep(image));
  const cv::Mat lab = LabOf(sampled);
  const ClassSums sums = SumByClass(lab, ClassifyPixels(sampled, lab));
  glassPixels_ += sums.pixels[kGlass];
  glassLight_ += sums.lab[kGlass][0];
  glassChroma_ += sums.glassChroma;
  darkPixels_ += sums.pixels[kDark];
  brightPixels_ += sums.pixels[kBright];
  tissuePixels_ += sums.Tissue();
  Accumulate(dark_, sums.lab[kDark]);
  Accumulate(bright_, sums.lab[kBright]);
  Accumulate(tissue_, sums.TissueSum());
}

double CheckTarget::GlassLight() const {
  return glassLight_ / static_cast<double>(std::max<std::int64_t>(1, glassPixels_));
}
double CheckTarget::GlassChroma() const {
  return glassChroma_ / static_cast<double>(std::max<std::int64_t>(1, glassPixels_));
}
LabColour CheckTarget::Dark() const { return Divided(dark_, darkPixels_); }
LabColour CheckTarget::Bright() const { return Divided(bright_, brightPixels_); }
LabColour CheckTarget::Tissue() const { return Divided(tissue_, tissuePixels_); }

std::vector<std::string> ResultCheck::Failures() const {
  static constexpr std::array<const char*, 5> kNames = {"glass darkened", "glass tinted", "structure lost",
                                                        "dark tissue off target", "bright tissue off target"};
  std::vector<std::string> names;
  for (std::size_t bit = 0; bit < kNames.size(); ++bit) {
    if ((failed & (1U << bit)) != 0) names.emplace_back(kNames[bit]);
  }
  return names;
}

std::string ResultCheck::Summary() const {
  std::string text;
  for (const std::string& name : Failures()) text += (text.empty() ? "" : ", ") + name;
  return text;
}

ResultCheck CheckResult(const cv::Mat& source, const cv::Mat& result, const CheckTarget& target) {
  RequireColourImage(source, "source");
  RequireColourImage(result, "result");
  if (source.size() != result.size()) {
    throw std::invalid_argument("CheckResult: the result (" + std::to_string(result.cols) + " x " +
                                std::to_string(result.rows) + ") must have the size of the source (" +
                                std::to_string(source.cols) + " x " + std::to_string(source.rows) + ")");
  }
  const int step = SampleStep(source);
  const cv::Mat sourceSample = Sampled(source, step);
  const cv::Mat resultSample = Sampled(result, step);
  const cv::Mat sourceLab = LabOf(sourceSample);
  const std::vector<std::uint8_t> classes = ClassifyPixels(sourceSample, sourceLab);
  const ClassSums before = SumByClass(sourceLab, classes);
  const ClassSums after = SumByClass(LabOf(resultSample), classes);
  ResultCheck check;
  CheckGlass(before, after, target, check);
  check.ssim = GreySsim(sourceSample, resultSample);
  if (!(check.ssim >= T::kMinSsim)) check.failed |= kStructureLost;
  CheckTissue(before, after, target, check);
  return check;
}

ResultCheck CheckResult(const cv::Mat& source, const cv::Mat& result, const cv::Mat& target) {
  CheckTarget summary;
  summary.Add(target);
  return CheckResult(source, result, summary);
}

double Ciede2000(const LabColour& lab1, const LabColour& lab2) {
  const auto [l1, a1, b1] = lab1;
  const auto [l2, a2, b2] = lab2;
  const double c1 = std::hypot(a1, b1), c2 = std::hypot(a2, b2);
  const double cMean7 = std::pow((c1 + c2) / 2, 7);
  const double g = 0.5 * (1 - std::sqrt(cMean7 / (cMean7 + std::pow(25.0, 7))));
  const double a1p = (1 + g) * a1, a2p = (1 + g) * a2;
  const double c1p = std::hypot(a1p, b1), c2p = std::hypot(a2p, b2);
  const double h1p = HueAngle(b1, a1p), h2p = HueAngle(b2, a2p);
  const double dLp = l2 - l1, dCp = c2p - c1p;
  double dhp = 0;
  if (c1p * c2p != 0) {
    dhp = h2p - h1p;
    if (dhp > 180) dhp -= 360;
    if (dhp < -180) dhp += 360;
  }
  const double dHp = 2 * std::sqrt(c1p * c2p) * std::sin(Radians(dhp / 2));
  const double lMean = (l1 + l2) / 2, cMeanP = (c1p + c2p) / 2;
  double hMean = h1p + h2p;
  if (c1p * c2p != 0) {
    if (std::abs(h1p - h2p) <= 180) {
      hMean /= 2;
    } else {
      hMean = (h1p + h2p < 360) ? (h1p + h2p + 360) / 2 : (h1p + h2p - 360) / 2;
    }
  }
  const double t = 1 - 0.17 * std::cos(Radians(hMean - 30)) + 0.24 * std::cos(Radians(2 * hMean)) +
                   0.32 * std::cos(Radians(3 * hMean + 6)) - 0.20 * std::cos(Radians(4 * hMean - 63));
  const double dTheta = 30 * std::exp(-std::pow((hMean - 275) / 25, 2));
  const double cMeanP7 = std::pow(cMeanP, 7);
  const double rc = 2 * std::sqrt(cMeanP7 / (cMeanP7 + std::pow(25.0, 7)));
  const double sl = 1 + 0.015 * std::pow(lMean - 50, 2) / std::sqrt(20 + std::pow(lMean - 50, 2));
  const double sc = 1 + 0.045 * cMeanP, sh = 1 + 0.015 * cMeanP * t;
  const double rt = -std::sin(Radians(2 * dTheta)) * rc;
  const double l = dLp / sl, c = dCp / sc, h = dHp / sh;
  return std::sqrt(l * l + c * c + h * h + rt * c * h);
}

}  // namespace histonorm
