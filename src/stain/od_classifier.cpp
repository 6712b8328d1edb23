#include "stain/od_classifier.h"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/log_line.h"
#include "common/parallel_for.h"

namespace histonorm {

namespace {

constexpr std::size_t kMinColoursPerChunk = 4096;

float Logistic(float x) { return 1.0f / (1.0f + std::exp(-x)); }

}  // namespace

OdStainClassifier::OdStainClassifier(const OdStainParams& params, LogSink log)
    : params_(params), log_(std::move(log)) {}

StainBasis OdStainClassifier::BasisOf(const ImageDescriptor& descriptor) {
  if (descriptor.empty()) return StandardHaemEosin();
  if (descriptor.size() != 6) {
    throw std::invalid_argument("stain classifier: a descriptor of " + std::to_string(descriptor.size()) +
                                " values, not the six of two stain directions");
  }
  StainBasis basis;
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t c = 0; c < 3; ++c) basis.stain[k][c] = descriptor[3 * k + c];
  }
  return basis;
}

namespace {

ImageDescriptor DescriptorOf(const StainBasis& basis) {
  ImageDescriptor descriptor;
  for (const OdVector& stain : basis.stain) descriptor.insert(descriptor.end(), stain.begin(), stain.end());
  return descriptor;
}

// Reference stains as unit vectors.
StainBasis UnitBasis(const StainDirections& stains) {
  StainBasis reference;
  for (std::size_t k = 0; k < 2; ++k) {
    const float n = Norm(stains[k]);
    for (std::size_t c = 0; c < 3; ++c) reference.stain[k][c] = stains[k][c] / n;
  }
  return reference;
}

}  // namespace

std::array<float, 3> OdStainClassifier::Probabilities(const OdVector& od,
                                                      const ConcentrationSolver& solver) const {
  const float background = Logistic(params_.backgroundSlope * (params_.tissueOd - Norm(od)));
  const std::array<float, 2> c = solver.Solve(od);
  const float total = c[0] + c[1];
  const float share = total > 0.0f ? c[1] / total : 0.5f;
  const float second = Logistic(params_.shareSharpness * (share - 0.5f));
  return {(1.0f - background) * (1.0f - second), (1.0f - background) * second, background};
}

std::array<float, 3> OdStainClassifier::ClassifyPixel(const std::array<std::uint8_t, 3>& pixel,
                                                      const ImageDescriptor& descriptor) const {
  return Probabilities(OdOfKey(ReadKey(pixel.data())), ConcentrationSolver(BasisOf(descriptor), 0.0f));
}

ImageDescriptor OdStainClassifier::ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                                   ClassProbabilityPlanes& perColour,
                                                   const ClassifySettings& settings) const {
  static_cast<void>(image);
  const LogSink& log = settings.log != nullptr ? *settings.log : log_;
  const TissueColours tissue = CollectTissue(colours, params_);
  const ReferenceStains reference =
      settings.referenceStains ? ReferenceStains{UnitBasis(*settings.referenceStains), "the target's", true}
                               : ReferenceStains{StandardHaemEosin(), "the standard H&E", false};
  const StainBasis basis =
      GuardedDirections(tissue, DirectionEstimator::kPrincipalPlane, reference, params_, log).basis;
  LogLine(log, "Stain directions: ", VectorText(basis.stain[0]), " ", VectorText(basis.stain[1]));
  return ClassifyAlongBasis(basis, colours, perColour, settings.threads);
}

ImageDescriptor OdStainClassifier::ClassifyRebuiltColours(const cv::Mat& image, const ImageColours& colours,
                                                          ClassProbabilityPlanes& perColour,
                                                          const ClassifySettings& settings) const {
  if (!settings.referenceStains) return ClassifyColours(image, colours, perColour, settings);
  return ClassifyAlongBasis(UnitBasis(*settings.referenceStains), colours, perColour, settings.threads);
}

ImageDescriptor OdStainClassifier::ClassifyAlongBasis(const StainBasis& basis, const ImageColours& colours,
                                                      ClassProbabilityPlanes& perColour,
                                                      unsigned threads) const {
  const ConcentrationSolver solver(basis, 0.0f);
  const std::vector<std::uint32_t>& keys = colours.Keys();
  perColour.Resize(static_cast<int>(keys.size()), 1);
  ParallelFor(
      keys.size(), threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const std::array<float, 3> p = Probabilities(OdOfKey(keys[i]), solver);
          for (std::size_t k = 0; k < 3; ++k) perColour[k][i] = p[k];
        }
      },
      kMinColoursPerChunk);
  return DescriptorOf(basis);
}

ImageDescriptor OdStainClassifier::ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes,
                                                 const ClassifySettings& settings) const {
  const ImageColours colours(image, SIZE_MAX, settings.threads);
  ClassProbabilityPlanes perColour;
  ImageDescriptor descriptor = ClassifyColours(image, colours, perColour, settings);
  planes.Resize(image.cols, image.rows);
  const auto& index = colours.PixelIndices();
  for (std::size_t i = 0; i < index.size(); ++i) {
    for (std::size_t k = 0; k < 3; ++k) planes[k][i] = perColour[k][index[i]];
  }
  return descriptor;
}

}  // namespace histonorm
