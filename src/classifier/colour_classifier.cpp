#include "classifier/colour_classifier.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <sstream>
#include <stdexcept>

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

struct ColourClassifier_RVM_PCAVQ::Model {
  explicit Model(const ColourModelData& data);

  // Builds the descriptor from the colours of an image and logs it.
  void Project(const ImageColours& colours, const LogSink& log, unsigned threads);
  std::array<float, 3> Classify(const std::uint8_t* pixel) const;
  // Classify for each colour key (bytes blue, green, red from the lowest), written to out[k][i].
  void ClassifyKeys(std::span<const std::uint32_t> keys, const std::array<float*, 3>& out) const;

  std::array<float, kCodeCount> meanHistogram{};
  std::array<std::uint32_t, kCodeCount> codeCounts{};
  std::array<float, kCodeCount> centredHistogram{};
  std::array<float, kCodeCount> projection{};
  // The class functions of classes 0, 1, 2, evaluated to the same bits as the library evaluates
  // the loaded models; they hold the current descriptor.
  std::array<ClassScorer, 3> classifiers;
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

void ColourClassifier_RVM_PCAVQ::Model::Project(const ImageColours& colours, const LogSink& log,
                                                unsigned threads) {
  codeCounts.fill(0);
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
  const bool described = ProjectCodeHistogram(codeCounts, meanHistogram, weight, eigenScale, pcaDim,
                                              centredHistogram, projection);
  if (log.Enabled()) {
    std::ostringstream values;
    for (std::size_t i = 0; i < pcaDim; ++i) values << projection[i] << " ";
    LogLine(log, "Projection ", values.str());
  }
  if (!described) log.Line("Projection: no pixel has a colour code, using the mean descriptor");
  const std::vector<double> descriptor(projection.begin(), projection.begin() + pcaDim);
  for (auto& classifier : classifiers) classifier.SetDescriptor(descriptor);
}

std::array<float, 3> ColourClassifier_RVM_PCAVQ::Model::Classify(const std::uint8_t* pixel) const {
  const std::array<double, 3> colour{static_cast<double>(pixel[0]), static_cast<double>(pixel[1]),
                                     static_cast<double>(pixel[2])};
  std::array<double, 3> q{};
  for (std::size_t k = 0; k < 3; ++k) q[k] = classifiers[k].Score(colour);
  const auto sum = static_cast<double>(static_cast<float>((q[0] + q[1]) + q[2]));
  return {static_cast<float>(q[0] / sum), static_cast<float>(q[1] / sum), static_cast<float>(q[2] / sum)};
}

void ColourClassifier_RVM_PCAVQ::Model::ClassifyKeys(std::span<const std::uint32_t> keys,
                                                     const std::array<float*, 3>& out) const {
  std::array<std::array<double, kBlock>, 3> colour{};
  std::array<std::array<double, kBlock>, 3> q{};
  for (std::size_t start = 0; start < keys.size(); start += kBlock) {
    const std::size_t n = std::min(kBlock, keys.size() - start);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t b = 0; b < 3; ++b) colour[b][i] = KeyByte(keys[start + i], static_cast<int>(b));
    }
    for (std::size_t k = 0; k < 3; ++k) {
      classifiers[k].Scores(colour[0], colour[1], colour[2], std::span(q[k]).first(n));
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

void ColourClassifier_RVM_PCAVQ::ComputeProjection(const cv::Mat& image) {
  CheckImage(image);
  model_->Project(ImageColours(image, SIZE_MAX, threads_), log_, threads_);
}

void ColourClassifier_RVM_PCAVQ::ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes) {
  CheckImage(image);
  ClassifyImage(image, ImageColours(image, SIZE_MAX, threads_), planes);
}

void ColourClassifier_RVM_PCAVQ::ClassifyImage(const cv::Mat& image, const ImageColours& colours,
                                               ClassProbabilityPlanes& planes) {
  ClassProbabilityPlanes perColour;
  ClassifyColours(image, colours, perColour);
  planes.Resize(image.cols, image.rows);
  const auto& indices = colours.PixelIndices();
  ParallelFor(
      indices.size(), threads_,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          for (std::size_t k = 0; k < 3; ++k) planes[k][i] = perColour[k][indices[i]];
        }
      },
      kMinPixelsPerThread);
}

std::array<float, 3> ColourClassifier_RVM_PCAVQ::ClassifyPixel(const std::array<std::uint8_t, 3>& pixel) {
  return model_->Classify(pixel.data());
}

void ColourClassifier_RVM_PCAVQ::ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                                 ClassProbabilityPlanes& perColour) {
  CheckImage(image);
  if (!colours.Indexed() || colours.PixelIndices().size() != image.total()) {
    throw std::invalid_argument("colour index does not belong to the image being classified");
  }
  model_->Project(colours, log_, threads_);
  const std::span<const std::uint32_t> keys = colours.Keys();
  perColour.Resize(static_cast<int>(keys.size()), 1);
  ParallelFor(
      keys.size(), threads_,
      [&](std::size_t begin, std::size_t end) {
        model_->ClassifyKeys(keys.subspan(begin, end - begin),
                             {perColour[0] + begin, perColour[1] + begin, perColour[2] + begin});
      },
      kMinColoursPerThread);
}

unsigned ColourClassifier_RVM_PCAVQ::PcaDim() const { return model_->pcaDim; }

std::array<float, 256> ColourClassifier_RVM_PCAVQ::Projection() const { return model_->projection; }

}  // namespace histonorm
