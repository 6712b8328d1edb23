#pragma once
// Checks that tell a sane normalisation from a wrong image: glass stays bright and colourless, the
// grey structure is kept, and the darkest and the bright tissue move towards the target's colours.
//
//   histonorm::CheckTarget target;
//   target.Add(reference);                       // the image(s) the normaliser was fitted to
//   const cv::Mat result = norm->Norm(source);
//   const histonorm::ResultCheck check = histonorm::CheckResult(source, result, target);
//   if (!check.Passed()) log("looks wrong: " + check.Summary());   // e.g. "glass darkened"
//
// Colours are CIE L*a*b* (D65, sRGB). Glass is a pixel whose three channels are all at least
// CheckThresholds::kGlassLevel in the source; tissue is every other pixel. The darkest tissue is the
// lowest 15 % of the source's tissue by L*, the bright tissue its 50th to 85th percentile; the result
// is measured at the source's pixels of each class. Images of more than CheckThresholds::kSampledPixels
// pixels are measured on an evenly spaced grid of about that many pixels (the same grid in source and
// result), which keeps the verdicts and costs a small share of a normalisation.
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace histonorm {

// The one home of the checks' thresholds, and why each has its value.
struct CheckThresholds {
  // A source pixel is glass when its blue, green and red are all at least this.
  static constexpr int kGlassLevel = 220;
  // Glass is checked only when at least this share of the source is glass.
  static constexpr double kMinGlassShare = 0.005;
  // Glass may lose at most this much L* below the darker of the source's and the target's glass:
  // slides differ in brightness, but a result whose glass is grey has been darkened.
  static constexpr double kGlassLightDrop = 15.0;
  // Glass chroma may reach this, or the target glass's chroma plus kGlassChromaOverTarget: a
  // tinted target may tint the glass a little, a wrong result tints it far more.
  static constexpr double kGlassChroma = 15.0;
  static constexpr double kGlassChromaOverTarget = 6.0;
  // Grey SSIM (7 x 7 uniform windows) of result against source: a colour change keeps it near 1,
  // lost or invented structure drops it below this.
  static constexpr double kMinSsim = 0.80;
  // A tissue class passes when its CIEDE2000 distance to the target's class after is at most this
  // share of the distance before, or at most kCloseDistance (already close: no move is needed).
  static constexpr double kDistanceRatio = 0.6;
  static constexpr double kCloseDistance = 5.0;
  // Tissue classes by rank of L*: the darkest share, and the bright band.
  static constexpr double kDarkShare = 0.15;
  static constexpr double kBrightFrom = 0.50;
  static constexpr double kBrightTo = 0.85;
  // The most pixels measured per image; larger images are sampled on a grid.
  static constexpr std::int64_t kSampledPixels = 1 << 15;
};

using LabColour = std::array<double, 3>;  // L*, a*, b*

// What the checks need of the target: its glass and its tissue classes, pooled over every image
// added (each pixel counts once). Holds no pixels.
class CheckTarget {
 public:
  // Adds the colours of one target image.
  // requires: `image` is CV_8UC3 (BGR) and not empty.
  // ensures: the pooled means include the image's glass and tissue classes.
  // throws: std::invalid_argument (naming the size and type) for another image; nothing changes.
  void Add(const cv::Mat& image);

  // Each ensures: the pooled value; `has*` false when no image added had any such pixel.
  [[nodiscard]] bool HasGlass() const { return glassPixels_ > 0; }
  [[nodiscard]] double GlassLight() const;
  [[nodiscard]] double GlassChroma() const;
  [[nodiscard]] bool HasTissue() const { return tissuePixels_ > 0; }
  [[nodiscard]] LabColour Dark() const;
  [[nodiscard]] LabColour Bright() const;
  [[nodiscard]] LabColour Tissue() const;  // mean of all tissue: the point of the cohort plot

 private:
  std::int64_t glassPixels_ = 0, tissuePixels_ = 0, darkPixels_ = 0, brightPixels_ = 0;
  double glassLight_ = 0, glassChroma_ = 0;
  LabColour dark_{}, bright_{}, tissue_{};
};

// The kinds of wrong result, as bits of ResultCheck::failed.
enum CheckFailure : unsigned {
  kGlassDarkened = 1U << 0,
  kGlassTinted = 1U << 1,
  kStructureLost = 1U << 2,
  kDarkTissueOff = 1U << 3,
  kBrightTissueOff = 1U << 4,
};

// The values of the checks of one result and which of them fail.
struct ResultCheck {
  bool glassChecked = false;  // enough glass in the source (kMinGlassShare)
  double glassShare = 0;      // share of the source that is glass
  double glassLightBefore = 0, glassLightAfter = 0, glassLightMin = 0;
  double glassChromaBefore = 0, glassChromaAfter = 0, glassChromaMax = 0;
  double ssim = 1;
  bool tissueChecked = false;                // the source and the target have tissue
  double darkBefore = 0, darkAfter = 0;      // CIEDE2000 to the target's darkest tissue
  double brightBefore = 0, brightAfter = 0;  // CIEDE2000 to the target's bright tissue
  LabColour tissueBefore{}, tissueAfter{};   // mean tissue colour of source and result
  unsigned failed = 0;                       // CheckFailure bits

  [[nodiscard]] bool Passed() const { return failed == 0; }
  // ensures: one short phrase per failed check, in the order of CheckFailure ("glass darkened",
  //   "glass tinted", "structure lost", "dark tissue off target", "bright tissue off target").
  [[nodiscard]] std::vector<std::string> Failures() const;
  // ensures: Failures() joined by ", "; empty when passed.
  [[nodiscard]] std::string Summary() const;
};

// Checks `result`, the normalisation of `source`, against the target.
// requires: `source` and `result` are CV_8UC3 (BGR) of the same size, not empty.
// ensures: deterministic; the same values for the same images on any machine and thread count.
// throws: std::invalid_argument (naming sizes and types) for unsuitable images.
[[nodiscard]] ResultCheck CheckResult(const cv::Mat& source, const cv::Mat& result,
                                      const CheckTarget& target);
// The same against a single target image.
[[nodiscard]] ResultCheck CheckResult(const cv::Mat& source, const cv::Mat& result, const cv::Mat& target);

// CIEDE2000 colour difference of two L*a*b* colours.
[[nodiscard]] double Ciede2000(const LabColour& a, const LabColour& b);

}  // namespace histonorm
