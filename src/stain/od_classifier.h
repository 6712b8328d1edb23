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

  // The descriptor of an image is its two stain directions: six values, red, green, blue of stain 0
  // then of stain 1.
  using ColourClassifierBase::ClassifyColours;
  using ColourClassifierBase::ClassifyImage;
  using ColourClassifierBase::ClassifyPixel;
  ImageDescriptor ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes,
                                const ClassifySettings& settings) const override;
  // Along the directions of `descriptor` (empty: the standard H&E ones); throws
  // std::invalid_argument for a descriptor that is not six values.
  [[nodiscard]] std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel,
                                                   const ImageDescriptor& descriptor) const override;
  // Estimates the image's directions, falling back to (and matched stain by stain with) the
  // settings' reference stains, else the standard H&E ones.
  ImageDescriptor ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                  ClassProbabilityPlanes& perColour,
                                  const ClassifySettings& settings) const override;
  // With reference stains, classifies along them without estimating (the image's stains are theirs).
  ImageDescriptor ClassifyRebuiltColours(const cv::Mat& image, const ImageColours& colours,
                                         ClassProbabilityPlanes& perColour,
                                         const ClassifySettings& settings) const override;
  [[nodiscard]] bool ClassifiesIndexAlone() const override { return true; }

  // The directions a descriptor stands for.
  [[nodiscard]] static StainBasis BasisOf(const ImageDescriptor& descriptor);

 private:
  // Every colour's probabilities along `basis`; returns its descriptor.
  ImageDescriptor ClassifyAlongBasis(const StainBasis& basis, const ImageColours& colours,
                                     ClassProbabilityPlanes& perColour, unsigned threads) const;
  [[nodiscard]] std::array<float, 3> Probabilities(const OdVector& od,
                                                   const ConcentrationSolver& solver) const;

  OdStainParams params_;
  LogSink log_;
};

}  // namespace histonorm
