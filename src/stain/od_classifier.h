#pragma once
// A colour classifier without a model: each colour's stain and background probabilities come from
// the image's own optical densities (stain/od_stain.h). It turns the two-stage stain pipeline into
// the "BimodalDeconvPCA" method.
//
//   auto classifier = std::make_unique<OdStainClassifier>(OdStainParams{}, log);
//   CNormBimodalDeconvRVM norm(std::move(classifier), options, "BimodalDeconvPCA");
//
// Background: a logistic function of the colour's OD norm around OdStainParams::tissueOd. Stains:
// the two stain directions of the image's tissue (principal plane, extreme angles; guarded as in
// GuardedDirections, falling back to the reference stains), each colour's non-negative
// concentrations along them, and a logistic function of its share along the second direction.
// The probabilities of a colour depend on the image only through those two directions, which are
// computed sequentially over the distinct colours: the same for every thread count.
#include <array>
#include <optional>

#include "classifier/colour_classifier.h"
#include "stain/od_stain.h"
#include "stain/od_stain_params.h"

namespace histonorm {

class OdStainClassifier final : public ColourClassifierBase {
 public:
  // Lines (fall-backs, the directions found) go to `log`.
  explicit OdStainClassifier(const OdStainParams& params = {}, LogSink log = {});

  void ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes) override;
  // Against the directions of the most recent classification (the reference ones before any).
  std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel) override;
  void ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                       ClassProbabilityPlanes& perColour) override;
  // With reference stains, classifies along them without estimating (the image's stains are theirs).
  void ClassifyRebuiltColours(const cv::Mat& image, const ImageColours& colours,
                              ClassProbabilityPlanes& perColour) override;
  void SetThreads(unsigned threads) override { threads_ = threads; }
  [[nodiscard]] bool ClassifiesIndexAlone() const override { return true; }
  // Later images fall back to, and must match stain by stain, these directions (the target's).
  void SetReferenceStains(const std::array<std::array<float, 3>, 2>& stains) override;

  [[nodiscard]] const StainBasis& Basis() const { return basis_; }

 private:
  // Every colour's probabilities along basis_.
  void ClassifyAlongBasis(const ImageColours& colours, ClassProbabilityPlanes& perColour) const;
  [[nodiscard]] std::array<float, 3> Probabilities(const OdVector& od,
                                                   const ConcentrationSolver& solver) const;

  OdStainParams params_;
  LogSink log_;
  std::optional<StainBasis> reference_;
  StainBasis basis_;
  unsigned threads_ = 1;
};

}  // namespace histonorm
