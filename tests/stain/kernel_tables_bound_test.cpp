// The stain method on the shipped and training images, on every SIMD target the processor runs:
// its bytes stay within one level per channel of the same method driven by a scalar classifier
// that evaluates every kernel value as exp(-gamma |z - v|^2), with at least 99.9 % of the pixels
// identical.
#include <gtest/gtest.h>
#include <hwy/highway.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "classifier/colour_classifier.h"
#include "classifier/colour_model_file.h"
#include "common/colour_key.h"
#include "stain/norm_bimodal_deconv_rvm.h"

namespace histonorm {
namespace {

const std::string kData = HISTONORM_DATA_DIR;

// One class's score of (descriptor, colour), every kernel value taken as one exp of the summed
// squared distance in feature order.
class ScalarClassScore {
 public:
  explicit ScalarClassScore(const ClassModel& model) : model_(model) {}

  double operator()(const std::vector<double>& descriptor, const std::array<double, 3>& colour) const {
    const auto& f = model_.function.decision_funct;
    const auto& mean = model_.normalizer.means();
    const auto& scale = model_.normalizer.std_devs();
    std::vector<double> z(descriptor);
    z.insert(z.end(), colour.begin(), colour.end());
    for (std::size_t i = 0; i < z.size(); ++i) {
      z[i] = (z[i] - mean(static_cast<long>(i))) * scale(static_cast<long>(i));
    }
    double sum = 0.0;
    for (long r = 0; r < f.basis_vectors.nr(); ++r) {
      double d = 0.0;
      for (std::size_t i = 0; i < z.size(); ++i) {
        const double diff = z[i] - f.basis_vectors(r)(static_cast<long>(i));
        d += diff * diff;
      }
      sum += f.alpha(r) * std::exp(-f.kernel_function.gamma * d);
    }
    return 1 / (1 + std::exp(model_.function.alpha * (sum - f.b) + model_.function.beta));
  }

 private:
  const ClassModel& model_;
};

// The colour classifier with every colour's probabilities from ScalarClassScore; the descriptor is
// the real classifier's.
class ScalarClassifier final : public ColourClassifierBase {
 public:
  explicit ScalarClassifier(const ColourModelData& model)
      : model_(model),
        described_(model),
        scores_{ScalarClassScore(model_.classes[0]), ScalarClassScore(model_.classes[1]),
                ScalarClassScore(model_.classes[2])} {}

  using ColourClassifierBase::ClassifyImage;
  using ColourClassifierBase::ClassifyPixel;
  ImageDescriptor ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes,
                                const ClassifySettings& settings) const override {
    ImageDescriptor descriptor = described_.ComputeProjection(image, settings);
    planes.Resize(image.cols, image.rows);
    for (int y = 0; y < image.rows; ++y) {
      for (int x = 0; x < image.cols; ++x) {
        const auto* px = image.ptr<std::uint8_t>(y) + 3 * x;
        const auto p = ClassifyPixel({px[0], px[1], px[2]}, descriptor);
        for (std::size_t k = 0; k < 3; ++k) planes[k][static_cast<std::size_t>(y * image.cols + x)] = p[k];
      }
    }
    return descriptor;
  }
  [[nodiscard]] std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel,
                                                   const ImageDescriptor& descriptor) const override {
    const std::vector<double> d(descriptor.begin(), descriptor.begin() + described_.PcaDim());
    const std::array<double, 3> colour{double(pixel[0]), double(pixel[1]), double(pixel[2])};
    std::array<double, 3> q{};
    for (std::size_t k = 0; k < 3; ++k) q[k] = scores_[k](d, colour);
    const auto sum = static_cast<double>(static_cast<float>((q[0] + q[1]) + q[2]));
    return {static_cast<float>(q[0] / sum), static_cast<float>(q[1] / sum), static_cast<float>(q[2] / sum)};
  }
  using ColourClassifierBase::ClassifyColours;
  ImageDescriptor ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                  ClassProbabilityPlanes& perColour,
                                  const ClassifySettings& settings) const override {
    ImageDescriptor descriptor = described_.ClassifyColours(image, colours, perColour, settings);
    for (std::size_t c = 0; c < colours.Keys().size(); ++c) {
      const ColourKey key = colours.Keys()[c];
      const auto p = ClassifyPixel({KeyByte(key, 0), KeyByte(key, 1), KeyByte(key, 2)}, descriptor);
      for (std::size_t k = 0; k < 3; ++k) perColour[k][c] = p[k];
    }
    return descriptor;
  }
  [[nodiscard]] bool ClassifiesIndexAlone() const override { return true; }

 private:
  const ColourModelData& model_;
  ColourClassifier_RVM_PCAVQ described_;
  std::array<ScalarClassScore, 3> scores_;
};

struct Case {
  std::string source;  // under data/
  std::string target;
  std::string model;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.source << " onto " << c.target; }

std::vector<Case> Cases() {
  std::vector<Case> cases{{"samples/he_sample_1.png", "samples/he_sample_2.png", "he"},
                          {"samples/he_sample_2.png", "samples/he_sample_1.png", "he"},
                          {"samples/he_sample_3.png", "samples/he_sample_2.png", "he"},
                          {"samples/ihc_dab.png", "train/hdab/stainreg_1.png", "hdab"}};
  for (const std::string kind : {"he", "hdab"}) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kData + "/train/" + kind)) {
      if (entry.path().extension() == ".png") names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
      cases.push_back({"train/" + kind + "/" + name,
                       kind == "he" ? "samples/he_sample_2.png" : "samples/ihc_dab.png", kind});
    }
  }
  return cases;
}

const ColourModelData& Model(const std::string& name) {
  static std::map<std::string, ColourModelData> models;
  auto found = models.find(name);
  if (found == models.end()) {
    found = models.emplace(name, ReadColourModel(kData + "/models/" + name + ".model")).first;
  }
  return found->second;
}

cv::Mat Read(const std::string& name) { return cv::imread(kData + "/" + name, cv::IMREAD_COLOR); }

cv::Mat Normalised(std::unique_ptr<ColourClassifierBase> classifier, const Case& c) {
  Options options;
  options.threads = 0;
  CNormBimodalDeconvRVM norm(std::move(classifier), options);
  norm.CalcStats(Read(c.target));
  const cv::Mat source = Read(c.source);
  cv::Mat output(source.size(), CV_8UC3);
  norm.Norm(source, output);
  return output;
}

// Per case (one image, its target and model), the scalar classifier's result once, then the
// classifier on each instruction set.
class StainMethodOnEveryTarget : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

TEST_P(StainMethodOnEveryTarget, StaysWithinOneLevelOfTheScalarClassifier) {
  const Case& c = GetParam();
  const cv::Mat expected = Normalised(std::make_unique<ScalarClassifier>(Model(c.model)), c);
  for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    SCOPED_TRACE(hwy::TargetName(target));
    hwy::SetSupportedTargetsForTest(target);
    const cv::Mat got = Normalised(std::make_unique<ColourClassifier_RVM_PCAVQ>(Model(c.model)), c);
    ASSERT_EQ(got.size(), expected.size());
    cv::Mat difference;
    cv::absdiff(got, expected, difference);
    double largest = 0.0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
    cv::Mat changed;  // per pixel, the largest difference of its channels
    cv::reduce(difference.reshape(1, static_cast<int>(difference.total())), changed, 1, cv::REDUCE_MAX);
    const double identical =
        1.0 - static_cast<double>(cv::countNonZero(changed)) / static_cast<double>(got.total());
    EXPECT_LE(largest, 1.0);
    EXPECT_GE(identical, 0.999);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, StainMethodOnEveryTarget, ::testing::ValuesIn(Cases()),
                         [](const auto& info) {
                           std::string name = info.param.source.substr(0, info.param.source.rfind('.'));
                           std::replace_if(
                               name.begin(), name.end(),
                               [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) == 0; },
                               '_');
                           return name;
                         });

}  // namespace
}  // namespace histonorm
