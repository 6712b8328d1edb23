#include "classifier/colour_classifier.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>

#include "classifier/class_scorer.h"
#include "classifier/colour_model_file.h"
#include "classifier/image_descriptor.h"
#include "classifier/octree.h"
#include "common/image_colours.h"
#include "common/log_line.h"
#include "common/parallel_for.h"

namespace histonorm {

namespace {

// Colours evaluated together by the class scorers; a multiple of every SIMD width.
constexpr std::size_t kBlock = 256;
// Fewer colours (or pixels) than these per thread are not worth starting a thread for.
constexpr std::size_t kMinColoursPerThread = 2048;
constexpr std::size_t kMinPixelsPerThread = std::size_t{1} << 16;

void CheckImage(const cv::Mat& image) {
  if (!image.empty() && image.type() != CV_8UC3) {
    throw std::invalid_argument("colour classifier: the image is not 8-bit with three channels");
  }
}

}  // namespace

using Scorers = std::array<ClassScorer, 3>;

struct ColourClassifier_RVM_PCAVQ::Model {
  explicit Model(const ColourModelData& data);

  // The descriptor of an image's colours (D values), logged.
  [[nodiscard]] ImageDescriptor Project(const ImageColours& colours, const LogSink& log,
                                        unsigned threads) const;
  // The class functions of classes 0, 1, 2 holding `descriptor` (empty: the mean image's).
  [[nodiscard]] Scorers ScorersFor(const ImageDescriptor& descriptor) const;
  static std::array<float, 3> Classify(const Scorers& scorers, const std::uint8_t* pixel);
  // Classify for each colour key (bytes blue, green, red from the lowest), written to out[k][i].
  static void ClassifyKeys(const Scorers& scorers, std::span<const std::uint32_t> keys,
                           const std::array<float*, 3>& out);

  std::array<float, kCodeCount> meanHistogram{};
  // The class functions of classes 0, 1, 2, evaluated to the same bits as the library evaluates
  // the loaded models; they hold the mean image's descriptor.
  Scorers classifiers;
  std::uint32_t pcaDim = 0;
  OctTree octTree;
  cv::Mat eigenvectors;  // 256 x 256 floats; column i is principal direction i, row j colour code j
  std::array<float, kCodeCount> eigenScale{};
};

ColourClassifier_RVM_PCAVQ::Model::Model(const ColourModelData& data)
    : meanHistogram(data.meanHistogram),
      classifiers{ClassScorer(data.classes[0]), ClassScorer(data.classes[1]), ClassScorer(data.classes[2])},
      pcaDim(static_cast<std::uint32_t>(data.FeatureLength() - kMinFeatureLength)),
      octTree(data.nodes),
      eigenvectors(static_cast<int>(kCodeCount), static_cast<int>(kCodeCount), CV_32FC1) {
  for (std::size_t i = 0; i < kCodeCount; ++i) {
    for (std::size_t j = 0; j < kCodeCount; ++j) {
      eigenvectors.at<float>(static_cast<int>(j), static_cast<int>(i)) =
          static_cast<float>(data.eigenvectors[i * kCodeCount + j]);
    }
  }
  for (std::size_t i = 0; i < pcaDim; ++i) eigenScale[i] = std::sqrt(data.eigenvalues[i]);
}

ImageDescriptor ColourClassifier_RVM_PCAVQ::Model::Project(const ImageColours& colours, const LogSink& log,
                                                           unsigned threads) const {
  std::array<std::uint32_t, kCodeCount> codeCounts{};
  const auto& keys = colours.Keys();
  const auto& counts = colours.Counts();
  std::vector<std::int32_t> codes(keys.size());
  ParallelFor(
      keys.size(), threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) codes[c] = octTree.FindCode(keys[c]);
      },
      kMinColoursPerThread);
  for (std::size_t c = 0; c < keys.size(); ++c) {
    const std::int32_t code = codes[c];
    if (code <= 0) continue;
    if (code > 255) {
      for (std::uint32_t n = 0; n < counts[c] && log.Enabled(); ++n)
        LogLine(log, "Internal Error (VQ>255) ID=", code);
      continue;
    }
    codeCounts[static_cast<std::size_t>(code)] += counts[c];
  }
  const auto weight = [this](std::size_t i, std::size_t j) {
    return eigenvectors.at<float>(static_cast<int>(j), static_cast<int>(i));
  };
  std::array<float, kCodeCount> centredHistogram{};
  std::array<float, kCodeCount> projection{};
  const bool described = ProjectCodeHistogram(codeCounts, meanHistogram, weight, eigenScale, pcaDim,
                                              centredHistogram, projection);
  if (log.Enabled()) {
    std::ostringstream values;
    for (std::size_t i = 0; i < pcaDim; ++i) values << projection[i] << " ";
    LogLine(log, "Projection ", values.str());
  }
  if (!described) log.Line("Projection: no pixel has a colour code, using the mean descriptor");
  return {projection.begin(), projection.begin() + pcaDim};
}

Scorers ColourClassifier_RVM_PCAVQ::Model::ScorersFor(const ImageDescriptor& descriptor) const {
  if (!descriptor.empty() && descriptor.size() != pcaDim) {
    throw std::invalid_argument("colour classifier: a descriptor of " + std::to_string(descriptor.size()) +
                                " values, the model has " + std::to_string(pcaDim));
  }
  Scorers scorers = classifiers;
  if (descriptor.empty()) return scorers;
  const std::vector<double> values(descriptor.begin(), descriptor.end());
  for (auto& scorer : scorers) scorer.SetDescriptor(values);
  return scorers;
}

std::array<float, 3> ColourClassifier_RVM_PCAVQ::Model::Classify(const Scorers& scorers,
                                                                 const std::uint8_t* pixel) {
  const std::array<double, 3> colour{static_cast<double>(pixel[0]), static_cast<double>(pixel[1]),
                                     static_cast<double>(pixel[2])};
  std::array<double, 3> q{};
  for (std::size_t k = 0; k < 3; ++k) q[k] = scorers[k].Score(colour);
  const auto sum = static_cast<double>(static_cast<float>((q[0] + q[1]) + q[2]));
  return {static_cast<float>(q[0] / sum), static_cast<float>(q[1] / sum), static_cast<float>(q[2] / sum)};
}

void ColourClassifier_RVM_PCAVQ::Model::ClassifyKeys(const Scorers& scorers,
                                                     std::span<const std::uint32_t> keys,
                                                     const std::array<float*, 3>& out) {
  std::array<std::array<double, kBlock>, 3> colour{};
  std::array<std::array<double, kBlock>, 3> q{};
  for (std::size_t start = 0; start < keys.size(); start += kBlock) {
    const std::size_t n = std::min(kBlock, keys.size() - start);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t b = 0; b < 3; ++b) colour[b][i] = KeyByte(keys[start + i], static_cast<int>(b));
    }
    for (std::size_t k = 0; k < 3; ++k) {
      scorers[k].Scores(colour[0], colour[1], colour[2], std::span(q[k]).first(n));
    }
    for (std::size_t i = 0; i < n; ++i) {
      // As Classify: the sum is rounded to float before the division.
      const auto sum = static_cast<double>(static_cast<float>((q[0][i] + q[1][i]) + q[2][i]));
      for (std::size_t k = 0; k < 3; ++k) out[k][start + i] = static_cast<float>(q[k][i] / sum);
    }
  }
}

ColourClassifier_RVM_PCAVQ::ColourClassifier_RVM_PCAVQ(const std::string& modelPath, LogSink log)
    : model_(std::make_unique<Model>(ReadColourModel(modelPath, log))), log_(std::move(log)) {}

ColourClassifier_RVM_PCAVQ::ColourClassifier_RVM_PCAVQ(const ColourModelData& model, LogSink log)
    : log_(std::move(log)) {
  ValidateColourModel(model);
  model_ = std::make_unique<Model>(model);
}

ColourClassifier_RVM_PCAVQ::~ColourClassifier_RVM_PCAVQ() = default;

const LogSink& ColourClassifier_RVM_PCAVQ::LogOf(const ClassifySettings& settings) const {
  return settings.log != nullptr ? *settings.log : log_;
}

ImageDescriptor ColourClassifier_RVM_PCAVQ::ComputeProjection(const cv::Mat& image,
                                                              const ClassifySettings& settings) const {
  CheckImage(image);
  return model_->Project(ImageColours(image, SIZE_MAX, settings.threads), LogOf(settings), settings.threads);
}

ImageDescriptor ColourClassifier_RVM_PCAVQ::ClassifyImage(const cv::Mat& image,
                                                          ClassProbabilityPlanes& planes,
                                                          const ClassifySettings& settings) const {
  CheckImage(image);
  return ClassifyImage(image, ImageColours(image, SIZE_MAX, settings.threads), planes, settings);
}

ImageDescriptor ColourClassifier_RVM_PCAVQ::ClassifyImage(const cv::Mat& image, const ImageColours& colours,
                                                          ClassProbabilityPlanes& planes,
                                                          const ClassifySettings& settings) const {
  ClassProbabilityPlanes perColour;
  ImageDescriptor descriptor = ClassifyColours(image, colours, perColour, settings);
  planes.Resize(image.cols, image.rows);
  const auto& indices = colours.PixelIndices();
  ParallelFor(
      indices.size(), settings.threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          for (std::size_t k = 0; k < 3; ++k) planes[k][i] = perColour[k][indices[i]];
        }
      },
      kMinPixelsPerThread);
  return descriptor;
}

std::array<float, 3> ColourClassifier_RVM_PCAVQ::ClassifyPixel(const std::array<std::uint8_t, 3>& pixel,
                                                               const ImageDescriptor& descriptor) const {
  return Model::Classify(model_->ScorersFor(descriptor), pixel.data());
}

ImageDescriptor ColourClassifier_RVM_PCAVQ::ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                                            ClassProbabilityPlanes& perColour,
                                                            const ClassifySettings& settings) const {
  CheckImage(image);
  if (!colours.Indexed() || colours.PixelIndices().size() != image.total()) {
    throw std::invalid_argument("colour index does not belong to the image being classified");
  }
  ImageDescriptor descriptor = model_->Project(colours, LogOf(settings), settings.threads);
  const Scorers scorers = model_->ScorersFor(descriptor);
  const std::span<const std::uint32_t> keys = colours.Keys();
  perColour.Resize(static_cast<int>(keys.size()), 1);
  ParallelFor(
      keys.size(), settings.threads,
      [&](std::size_t begin, std::size_t end) {
        Model::ClassifyKeys(scorers, keys.subspan(begin, end - begin),
                            {perColour[0] + begin, perColour[1] + begin, perColour[2] + begin});
      },
      kMinColoursPerThread);
  return descriptor;
}

unsigned ColourClassifier_RVM_PCAVQ::PcaDim() const { return model_->pcaDim; }

}  // namespace histonorm
