#pragma once
// Tissue-only normalisation: a method's statistics taken from tissue pixels alone, so that the
// glass around a section neither pulls the statistics nor is spoiled by them.
//
//   auto norm = std::make_unique<TissueOnlyNormaliser>(MakeNormaliser(Method::kReinhard, {}), 1);
//   norm->CalcStats(target);         // tissue pixels to the method, glass to the glass colour
//   norm->Norm(source, output);      // tissue through the method, glass to the target's glass
//
// The glass mask: a pixel is glass when it is bright, each of its channels with an optical density
// -log10((v + 1) / 256) below kGlassDensity (every channel at 203 or above), and nearly grey, its
// channels less than kGlassSpread levels apart; tissue otherwise (pale eosin is bright but not
// grey). The target's tissue pixels are measured by the method; its glass pixels give the glass
// colour (their mean). A source's tissue pixels are measured the same way; each output pixel
// blends the method's mapping with the pixel shifted by the difference of the target's and the
// source's glass colours (no shift when either has no glass). The method's weight rises with the
// pixel's largest optical density from 0 at kGlassBandLow to 1 at kGlassBandHigh, or with its
// spread over the band around kGlassSpread, whichever is higher, so the mask's edge shows no step.
// A source without tissue is only shifted: a glass tile stays glass.
//
// The result is still a function of each pixel's colour (Fit and tiles work as for the method),
// and the same for every thread count.
#include <array>
#include <cstdint>
#include <memory>

#include "histonorm/norm_base.h"

namespace histonorm {

// Optical density (base 10, against a background of 256) below which every channel of a glass
// pixel lies; and the band over which the mapping blends from the glass shift to the method's.
inline constexpr double kGlassDensity = 0.1;
inline constexpr double kGlassBandLow = 0.07;
inline constexpr double kGlassBandHigh = 0.13;
// Levels by which a glass pixel's brightest and darkest channels differ at most (exclusive), and
// the half width of the band around it over which the mapping blends.
inline constexpr int kGlassSpread = 24;
inline constexpr int kGlassSpreadBand = 8;

// True when a pixel (its three channels, in any order) is glass.
[[nodiscard]] bool IsGlass(const std::uint8_t* pixel);

// Pixel count and per-channel sums (blue, green, red) of glass pixels.
struct GlassSums {
  std::array<std::uint64_t, 3> sum{};
  std::uint64_t count = 0;
};

class TissueOnlyNormaliser final : public CNormBase {
 public:
  // requires: `method` is Reinhard or a histogram method (a normaliser whose statistics do not
  //   depend on where the pixels lie); `threads` as in Options (0 = all cores).
  TissueOnlyNormaliser(std::unique_ptr<CNormBase> method, unsigned threads);

 private:
  void MeasureTarget(const cv::Mat& image, ChannelOrder order) override;
  void Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                 const CallSinks& sinks) const override;
  [[nodiscard]] std::unique_ptr<const FittedTransform> FitSource(const cv::Mat& source,
                                                                 const CallSinks& sinks) const override;
  [[nodiscard]] bool TargetReady() const override;
  [[nodiscard]] std::unique_ptr<CNormBase> CopyOf() const override;
  // The method's target and, under "tissueOnly", the glass sums.
  void ExportTarget(detail::TargetRecord& record) const override;
  void ImportTarget(const detail::TargetRecord& record) override;

  std::unique_ptr<CNormBase> method_;
  GlassSums targetGlass_;
  unsigned threads_;
};

}  // namespace histonorm
