#include "stain/od_classifier.h"

#include <cmath>
#include <utility>

#include "common/log_line.h"
#include "common/parallel_for.h"

namespace histonorm {

namespace {

constexpr std::size_t kMinColoursPerChunk = 4096;

float Logistic(float x) { return 1.0f / (1.0f + std::exp(-x)); }

}  // namespace

OdStainClassifier::OdStainClassifier(const OdStainParams& params, LogSink log)
    : params_(params), log_(std::move(log)), basis_(StandardHaemEosin()) {}

void OdStainClassifier::SetReferenceStains(const std::array<std::array<float, 3>, 2>& stains) {
  StainBasis reference;
  for (int k = 0; k < 2; ++k) {
    const float n = Norm(stains[k]);
    for (int c = 0; c < 3; ++c) reference.stain[k][c] = stains[k][c] / n;
  }
  reference_ = reference;
}

std::array<float, 3> OdStainClassifier::Probabilities(const OdVector& od,
                                                      const ConcentrationSolver& solver) const {
  const float background = Logistic(params_.backgroundSlope * (params_.tissueOd - Norm(od)));
  const std::array<float, 2> c = solver.Solve(od);
  const float total = c[0] + c[1];
  const float share = total > 0.0f ? c[1] / total : 0.5f;
  const float second = Logistic(params_.shareSharpness * (share - 0.5f));
  return {(1.0f - background) * (1.0f - second), (1.0f - background) * second, background};
}

std::array<float, 3> OdStainClassifier::ClassifyPixel(const std::array<std::uint8_t, 3>& pixel) {
  return Probabilities(OdOfKey(ReadKey(pixel.data())), ConcentrationSolver(basis_, 0.0f));
}

void OdStainClassifier::ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                        ClassProbabilityPlanes& perColour) {
  static_cast<void>(image);
  const TissueColours tissue = CollectTissue(colours, params_);
  const ReferenceStains reference = reference_
                                        ? ReferenceStains{*reference_, "the target's", true}
                                        : ReferenceStains{StandardHaemEosin(), "the standard H&E", false};
  basis_ = GuardedDirections(tissue, DirectionEstimator::kPrincipalPlane, reference, params_, log_).basis;
  LogLine(log_, "Stain directions: ", VectorText(basis_.stain[0]), " ", VectorText(basis_.stain[1]));
  ClassifyAlongBasis(colours, perColour);
}

void OdStainClassifier::ClassifyRebuiltColours(const cv::Mat& image, const ImageColours& colours,
                                               ClassProbabilityPlanes& perColour) {
  if (!reference_) {
    ClassifyColours(image, colours, perColour);
    return;
  }
  basis_ = *reference_;
  ClassifyAlongBasis(colours, perColour);
}

void OdStainClassifier::ClassifyAlongBasis(const ImageColours& colours,
                                           ClassProbabilityPlanes& perColour) const {
  const ConcentrationSolver solver(basis_, 0.0f);
  const std::vector<std::uint32_t>& keys = colours.Keys();
  perColour.Resize(static_cast<int>(keys.size()), 1);
  ParallelFor(
      keys.size(), threads_,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const std::array<float, 3> p = Probabilities(OdOfKey(keys[i]), solver);
          for (std::size_t k = 0; k < 3; ++k) perColour[k][i] = p[k];
        }
      },
      kMinColoursPerChunk);
}

void OdStainClassifier::ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes) {
  const ImageColours colours(image, SIZE_MAX, threads_);
  ClassProbabilityPlanes perColour;
  ClassifyColours(image, colours, perColour);
  planes.Resize(image.cols, image.rows);
  const auto& index = colours.PixelIndices();
  for (std::size_t i = 0; i < index.size(); ++i) {
    for (std::size_t k = 0; k < 3; ++k) planes[k][i] = perColour[k][index[i]];
  }
}

}  // namespace histonorm
