#pragma once
// The label-free stain normalisers "Macenko" and "Vahadane": each image's two stain directions are
// estimated from its own tissue optical densities (stain/od_stain.h), every colour is split into
// two non-negative stain concentrations, each concentration is scaled so that its percentile
// (OdStainParams::concentrationPercentile) matches the target's, and the colour is rebuilt with the
// target's stain directions.
//
//   histonorm::CNormOdStain norm(histonorm::DirectionEstimator::kPrincipalPlane, options);
//   norm.CalcStats(target);
//   const cv::Mat result = norm.Norm(source);
//
// Macenko takes the directions at the extreme angles of the principal plane and solves plain
// non-negative concentrations; Vahadane factorises the tissue densities sparsely and solves sparse
// concentrations. Glass (OD norm below glassOd) keeps its bytes. Guards: too few tissue pixels,
// two directions too close or a tile of one stain fall back to the target's directions (a target
// image to the standard H&E ones) with a log line; then no stain is amplified, and a stain absent
// from an image (percentile below presentFraction of the target's) is never amplified.
//
// Several target images are pooled: the target directions are the normalised mean of their
// directions and the target percentiles the mean of theirs. Each output colour depends on the
// input colour alone once the image is measured; results are the same for every thread count.
#include <array>
#include <cstdint>
#include <memory>

#include "histonorm/norm_base.h"
#include "histonorm/options.h"
#include "stain/od_stain.h"
#include "stain/od_stain_params.h"

namespace histonorm {

// How one measured image's colours are mapped onto the target.
struct OdStainMapping {
  StainBasis source;
  StainBasis target;
  std::array<float, 2> gain{};
  float sparsity = 0.0f;
  float glassOd = 0.0f;
  float tissueOd = 0.0f;

  // requires: a 1 x N CV_8UC3 image of BGR colours. ensures: `mapped` is their mapped colours.
  void Map(const cv::Mat& colours, cv::Mat& mapped, unsigned threads) const;
};

class CNormOdStain final : public CNormBase {
 public:
  // Lines go to options.log; calls use options.threads.
  CNormOdStain(DirectionEstimator estimator, const Options& options, const OdStainParams& params = {});

  [[nodiscard]] const StainBasis& TargetBasis() const { return targetBasis_; }
  [[nodiscard]] const std::array<float, 2>& TargetPercentiles() const { return targetPercentiles_; }

 private:
  void MeasureTarget(const cv::Mat& image, ChannelOrder order) override;
  void Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                 const CallSinks& sinks) const override;
  [[nodiscard]] std::unique_ptr<const FittedTransform> FitSource(const cv::Mat& source,
                                                                 const CallSinks& sinks) const override;
  [[nodiscard]] bool TargetReady() const override { return images_ > 0; }
  [[nodiscard]] std::unique_ptr<CNormBase> CopyOf() const override {
    return std::unique_ptr<CNormBase>(new CNormOdStain(*this));
  }
  // The number of target images and the sums of their directions and percentiles, hex-float exact.
  void ExportTarget(detail::TargetRecord& record) const override;
  void ImportTarget(const detail::TargetRecord& record) override;

  [[nodiscard]] const char* Name() const;
  // The L1 penalty of the concentrations: none for Macenko.
  [[nodiscard]] float Sparsity() const;
  // Measures a BGR image's colours and logs its directions and percentiles to `log`.
  [[nodiscard]] OdStainMapping MeasureSource(const ImageColours& colours, const LogSink& log) const;
  void UpdateTarget();

  DirectionEstimator estimator_;
  OdStainParams params_;
  unsigned threads_;
  // The pooled target.
  std::uint64_t images_ = 0;
  std::array<std::array<double, 3>, 2> stainSum_{};
  std::array<double, 2> percentileSum_{};
  StainBasis targetBasis_;
  std::array<float, 2> targetPercentiles_{};
};

}  // namespace histonorm
