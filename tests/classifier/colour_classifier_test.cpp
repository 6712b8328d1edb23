#include "classifier/colour_classifier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "classifier/colour_model_file.h"
#include "support/cli_run.h"
#include "support/model_builder.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

// A model whose tree gives every colour code 1 (or `code`), with D components.
ColourModelData SingleCodeModel(int dims, std::uint32_t code = 1) {
  auto model = test::MakeModelData(dims, {});
  model.nodes = {test::MakeLeaf(-1, 0, 0, code)};
  model.meanHistogram.fill(0.0f);
  std::fill(model.eigenvectors.begin(), model.eigenvectors.end(), 0.0);
  return model;
}

double& Weight(ColourModelData& model, int direction, int code) {
  return model
      .eigenvectors[static_cast<std::size_t>(direction) * kCodeCount + static_cast<std::size_t>(code)];
}

// Collects the lines a classifier logs.
class Log {
 public:
  LogSink Sink() { return LogSink::To(text_); }
  std::ostream& Stream() { return text_; }
  // Runs `f`, returning the lines logged meanwhile.
  template <typename F>
  std::string During(F&& f) {
    text_.str("");
    f();
    return text_.str();
  }

 private:
  std::ostringstream text_;
};

cv::Mat Uniform(int rows, int cols, cv::Vec3b colour) {
  return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(colour));
}

TEST(ColourClassifierTest, ShrinkKeepsEveryComponentWithinTwoDeviations) {
  Log log;
  auto model = SingleCodeModel(2);
  Weight(model, 0, 1) = 3.0;
  Weight(model, 1, 1) = -1.0;
  ColourClassifier_RVM_PCAVQ classifier(model, log.Sink());
  EXPECT_EQ(log.During([&] {
    classifier.ComputeProjection(Uniform(2, 3, {1, 2, 3}));
  }),
            "Projection 2 -0.666667 \n");
  log.Stream().precision(2);  // the settings of the caller's stream do not change the line
  EXPECT_EQ(log.During([&] {
    classifier.ComputeProjection(Uniform(1, 1, {1, 2, 3}));
  }),
            "Projection 2 -0.666667 \n");

  model.eigenvalues = {16.0f, 1.0f};  // 3 and -1 both within two deviations
  ColourClassifier_RVM_PCAVQ unshrunk(model, log.Sink());
  EXPECT_EQ(log.During([&] { unshrunk.ComputeProjection(Uniform(1, 1, {1, 2, 3})); }), "Projection 3 -1 \n");

  model.eigenvalues = {16.0f, 0.0f};  // a zero deviation with a nonzero component zeroes all
  ColourClassifier_RVM_PCAVQ zeroed(model, log.Sink());
  EXPECT_EQ(log.During([&] { zeroed.ComputeProjection(Uniform(1, 1, {1, 2, 3})); }), "Projection 0 -0 \n");

  model.eigenvalues = {-1.0f, 1.0f};  // NaN deviation: component 0 never shrinks the others
  Weight(model, 0, 1) = 50.0;
  ColourClassifier_RVM_PCAVQ nanScale(model, log.Sink());
  EXPECT_EQ(log.During([&] { nanScale.ComputeProjection(Uniform(1, 1, {1, 2, 3})); }), "Projection 50 -1 \n");
}

TEST(ColourClassifierTest, HistogramIsNormalisedAndCentredOnTheMean) {
  Log log;
  auto model = test::MakeModelData(3, {});
  model.nodes = test::MakeRegularOctTree(1);
  std::fill(model.eigenvectors.begin(), model.eigenvectors.end(), 0.0);
  model.meanHistogram.fill(0.0f);
  model.meanHistogram[2] = 0.5f;
  Weight(model, 0, 1) = 1.0;  // code 1: all bytes below 128
  Weight(model, 1, 2) = 1.0;  // code 2: byte 0 above 127
  Weight(model, 2, 1) = 1.0;
  Weight(model, 2, 8) = 2.0;  // code 8: all bytes above 127
  cv::Mat image = Uniform(2, 2, {10, 10, 10});
  image.at<cv::Vec3b>(1, 0) = {200, 10, 10};
  ColourClassifier_RVM_PCAVQ classifier(model, log.Sink());
  ImageDescriptor descriptor;
  EXPECT_EQ(log.During([&] { descriptor = classifier.ComputeProjection(image); }),
            "Projection 0.75 -0.25 0.75 \n");
  EXPECT_EQ(descriptor, (ImageDescriptor{0.75f, -0.25f, 0.75f}));
}

TEST(ColourClassifierTest, NoPrincipalComponents) {
  Log log;
  ColourClassifier_RVM_PCAVQ classifier(test::MakeTinyModel(), log.Sink());
  EXPECT_EQ(classifier.PcaDim(), 0u);
  EXPECT_EQ(log.During([&] { classifier.ComputeProjection(Uniform(1, 1, {1, 2, 3})); }), "Projection \n");
}

TEST(ColourClassifierTest, CodesAboveTheRangeArePrintedPerPixelAndNotCounted) {
  Log log;
  auto model = SingleCodeModel(1);
  model.nodes = {test::MakeLeaf(-1, 0xFF, 7, 300), test::MakeLeaf(-1, 0, 0, 1)};
  Weight(model, 0, 1) = 1.0;
  model.eigenvalues = {100.0f};
  cv::Mat image = Uniform(1, 4, {7, 0, 0});
  image.at<cv::Vec3b>(0, 3) = {9, 0, 0};
  ColourClassifier_RVM_PCAVQ classifier(model, log.Sink());
  ClassProbabilityPlanes planes;
  EXPECT_EQ(log.During([&] { classifier.ClassifyImage(image, planes); }),
            "Internal Error (VQ>255) ID=300\nInternal Error (VQ>255) ID=300\nInternal Error (VQ>255) ID=300\n"
            "Projection 1 \n");
  EXPECT_EQ(planes.PixelCount(), 4u);  // uncounted pixels are still classified
}

TEST(ColourClassifierTest, ImagesWithoutCodesUseTheMeanDescriptor) {
  Log log;
  auto model = SingleCodeModel(2, 0);
  model.meanHistogram[1] = 1.0f;
  Weight(model, 0, 1) = 1.0;
  ColourClassifier_RVM_PCAVQ classifier(model, log.Sink());
  const std::string note = "Projection: no pixel has a colour code, using the mean descriptor\n";
  ClassProbabilityPlanes planes(5, 5);
  EXPECT_EQ(log.During([&] { classifier.ClassifyImage(cv::Mat(), planes); }), "Projection 0 0 \n" + note);
  EXPECT_EQ(planes.PixelCount(), 0u);
  EXPECT_EQ(log.During([&] {
    classifier.ComputeProjection(Uniform(3, 3, {1, 1, 1}));
  }),
            "Projection 0 0 \n" + note);
}

// The tiny model's probabilities, computed from its parameters: every intermediate is exact
// except the exponentials and divisions, which follow the same steps.
std::array<float, 3> TinyModelByHand(const std::array<std::uint8_t, 3>& pixel) {
  std::array<double, 3> q{};
  for (int k = 0; k < 3; ++k) {
    const auto proto = test::TinyModelPrototype(k);
    double d = 0;
    for (int i = 0; i < 3; ++i) {
      const double diff =
          pixel[static_cast<std::size_t>(i)] / 64.0 - proto[static_cast<std::size_t>(i)] / 64.0;
      d += diff * diff;
    }
    const double f = std::exp(-d) - 0.25;
    q[static_cast<std::size_t>(k)] = 1.0 / (1.0 + std::exp(-2.0 * f + (0.5 + 0.25 * k)));
  }
  const double sum = static_cast<float>((q[0] + q[1]) + q[2]);
  return {static_cast<float>(q[0] / sum), static_cast<float>(q[1] / sum), static_cast<float>(q[2] / sum)};
}

TEST(ColourClassifierTest, PixelProbabilitiesMatchTheModelComputedByHand) {
  ColourClassifier_RVM_PCAVQ classifier(test::MakeTinyModel());
  for (const std::array<std::uint8_t, 3> pixel : {std::array<std::uint8_t, 3>{64, 32, 96},
                                                  {128, 160, 192},
                                                  {224, 224, 224},
                                                  {0, 0, 0},
                                                  {255, 255, 255},
                                                  {100, 150, 200}}) {
    const auto p = classifier.ClassifyPixel(pixel);
    EXPECT_EQ(p, TinyModelByHand(pixel));
    EXPECT_NEAR(p[0] + p[1] + p[2], 1.0f, 2e-7f);
  }
  // At its prototype a class scores highest.
  const auto atEosin = classifier.ClassifyPixel({128, 160, 192});
  EXPECT_GT(atEosin[1], atEosin[0]);
  EXPECT_GT(atEosin[1], atEosin[2]);
}

// A model in which both the descriptor and the colour matter.
ColourModelData DescriptorSensitiveModel() {
  auto model = test::MakeStainLikeModel(2);
  for (auto& c : model.classes) {
    std::stringstream s;
    dlib::matrix<double> scale = c.normalizer.std_devs();
    scale(0) = 3.0;
    scale(1) = -2.0;
    dlib::serialize(c.normalizer.means(), s);
    dlib::serialize(scale, s);
    dlib::serialize(dlib::matrix<double>(), s);
    dlib::deserialize(c.normalizer, s);
  }
  for (int i = 0; i < 2; ++i) {
    for (int code = 1; code <= 64; ++code) Weight(model, i, code) = std::sin(code * (i + 1.0));
  }
  model.eigenvalues = {0.01f, 0.02f};
  return model;
}

TEST(ColourClassifierTest, PlanesEqualClassifyingEveryPixelInTurn) {
  Log log;
  ColourClassifier_RVM_PCAVQ classifier(DescriptorSensitiveModel(), log.Sink());
  const cv::Mat sample = test::LoadSample("he_sample_1.png");
  for (const cv::Mat& image : {test::RandomImage(37, 53, 5), cv::Mat(sample, cv::Rect(0, 0, 120, 90))}) {
    ClassProbabilityPlanes planes;
    ImageDescriptor descriptor;
    const std::string printed = log.During([&] { descriptor = classifier.ClassifyImage(image, planes); });
    EXPECT_EQ(printed.rfind("Projection ", 0), 0u);
    ASSERT_EQ(planes.width, image.cols);
    ASSERT_EQ(planes.height, image.rows);
    for (int y = 0; y < image.rows; ++y) {
      for (int x = 0; x < image.cols; ++x) {
        const auto* px = image.ptr<std::uint8_t>(y) + 3 * x;
        const auto expected = classifier.ClassifyPixel({px[0], px[1], px[2]}, descriptor);
        const std::size_t i = static_cast<std::size_t>(y * image.cols + x);
        const std::array<float, 3> got{planes[0][i], planes[1][i], planes[2][i]};
        ASSERT_EQ(std::memcmp(got.data(), expected.data(), sizeof got), 0) << x << "," << y;
      }
    }
  }
}

TEST(ColourClassifierTest, DescriptorChangesTheProbabilities) {
  ColourClassifier_RVM_PCAVQ classifier(DescriptorSensitiveModel());
  const auto before = classifier.ClassifyPixel({180, 110, 205});
  ClassProbabilityPlanes planes;
  const ImageDescriptor descriptor = classifier.ClassifyImage(test::RandomImage(8, 8, 1), planes);
  EXPECT_NE(classifier.ClassifyPixel({180, 110, 205}, descriptor), before);
  EXPECT_EQ(classifier.ClassifyPixel({180, 110, 205}), before);  // the classifier kept nothing
  EXPECT_THROW(static_cast<void>(classifier.ClassifyPixel({1, 2, 3}, {1.0f})), std::invalid_argument);
}

TEST(ColourClassifierTest, PaddedStrideGivesDensePlanes) {
  Log log;
  ColourClassifier_RVM_PCAVQ classifier(DescriptorSensitiveModel(), log.Sink());
  const cv::Mat image = test::RandomImage(11, 13, 9);
  const auto padded = test::MakePadded(image, 5, 77);
  ASSERT_GT(padded.view.step, padded.view.cols * 3u);
  ClassProbabilityPlanes dense, strided;
  const std::string denseText = log.During([&] { classifier.ClassifyImage(image, dense); });
  const std::string stridedText = log.During([&] { classifier.ClassifyImage(padded.view, strided); });
  EXPECT_EQ(stridedText, denseText);  // the guard colour is not counted
  ASSERT_EQ(strided.PixelCount(), 11u * 13u);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(strided.plane[k], dense.plane[k]);
  EXPECT_TRUE(test::PaddingUntouched(padded, 77));
}

TEST(ColourClassifierTest, PerColourProbabilitiesAreThoseOfTheirPixels) {
  Log log;
  ColourClassifier_RVM_PCAVQ classifier(DescriptorSensitiveModel(), log.Sink());
  cv::Mat image = test::RandomImage(9, 10, 12);
  image.rowRange(0, 4).setTo(cv::Scalar(180, 110, 205));  // one colour over many pixels
  const ImageColours colours(image);
  ClassProbabilityPlanes perPixel, perColour;
  const std::string pixelText = log.During([&] { classifier.ClassifyImage(image, colours, perPixel); });
  EXPECT_EQ(log.During([&] { classifier.ClassifyColours(image, colours, perColour); }), pixelText);
  ASSERT_EQ(perColour.PixelCount(), colours.Keys().size());
  for (std::size_t i = 0; i < perPixel.PixelCount(); ++i) {
    for (std::size_t k = 0; k < 3; ++k) ASSERT_EQ(perColour[k][colours.PixelIndices()[i]], perPixel[k][i]);
  }
}

TEST(ColourClassifierTest, AnImageWithoutPixelsHasTheZeroDescriptor) {
  const ColourClassifier_RVM_PCAVQ classifier(DescriptorSensitiveModel());
  ClassProbabilityPlanes planes;
  const ImageDescriptor descriptor = classifier.ClassifyImage(cv::Mat(), planes);
  EXPECT_EQ(descriptor, ImageDescriptor(2, 0.0f));
  EXPECT_EQ(classifier.ClassifyPixel({200, 150, 220}), classifier.ClassifyPixel({200, 150, 220}, descriptor));
}

TEST(ColourClassifierTest, RejectsImagesThatAreNotThreeBytesPerPixel) {
  ColourClassifier_RVM_PCAVQ classifier(test::MakeTinyModel());
  ClassProbabilityPlanes planes;
  EXPECT_THROW(classifier.ClassifyImage(cv::Mat(4, 4, CV_8UC1, cv::Scalar(0)), planes),
               std::invalid_argument);
  EXPECT_THROW(classifier.ComputeProjection(cv::Mat(4, 4, CV_32FC3, cv::Scalar(0))), std::invalid_argument);
}

TEST(ColourClassifierTest, ConstructionFailsOnUnusableModels) {
  Log log;
  test::ScratchDir dir;
  EXPECT_THROW(ColourClassifier_RVM_PCAVQ{dir / "absent.dat"}, ModelLoadError);
  dir.WriteText("junk.dat", "not a model");
  EXPECT_THROW(ColourClassifier_RVM_PCAVQ{dir / "junk.dat"}, ModelLoadError);

  auto model = test::MakeTinyModel();
  model.eigenvalues = {1.0f};
  EXPECT_THROW(ColourClassifier_RVM_PCAVQ{model}, ModelLoadError);
  model = test::MakeTinyModel();
  model.nodes[0].children[0] = -1;
  EXPECT_THROW(ColourClassifier_RVM_PCAVQ{model}, ModelLoadError);

  const auto path = test::WriteModelFile(dir / "model.dat", test::MakeStainLikeModel(2));
  std::unique_ptr<ColourClassifier_RVM_PCAVQ> loaded;
  EXPECT_EQ(log.During([&] { loaded = std::make_unique<ColourClassifier_RVM_PCAVQ>(path, log.Sink()); }),
            "Reduced PCA Dim=2\nEVec: 1\nEVec: 1\n");
  EXPECT_EQ(loaded->PcaDim(), 2u);
}

TEST(StainLikeModelTest, SeparatesNucleiEosinAndBackgroundOnTheSamples) {
  ColourClassifier_RVM_PCAVQ classifier(test::MakeStainLikeModel());
  for (const char* name : {"he_sample_1.png", "he_sample_2.png", "he_sample_3.png"}) {
    const cv::Mat image = test::LoadSample(name);
    ClassProbabilityPlanes planes;
    classifier.ClassifyImage(image, planes);
    std::array<std::size_t, 3> winners{}, confident{};
    for (std::size_t i = 0; i < planes.PixelCount(); ++i) {
      std::size_t best = 0;
      for (std::size_t k = 0; k < 3; ++k) {
        if (planes[k][i] > planes[best][i]) best = k;
        if (planes[k][i] > 0.9f) ++confident[k];
      }
      ++winners[best];
    }
    const double n = static_cast<double>(planes.PixelCount());
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_GT(winners[k] / n, 0.02) << name << " class " << k;
      EXPECT_GT(confident[k] / n, 0.02) << name << " class " << k;  // pixels above 0.9
    }
    // Eosin and nuclei make up most of a tissue image.
    EXPECT_GT((winners[0] + winners[1]) / n, 0.4) << name;
  }
  // Typical colours go to their class.
  const auto nucleus = classifier.ClassifyPixel({140, 60, 90});
  const auto eosin = classifier.ClassifyPixel({230, 140, 190});
  const auto glass = classifier.ClassifyPixel({245, 242, 246});
  EXPECT_GT(nucleus[0], 0.8f);
  EXPECT_GT(eosin[1], 0.8f);
  EXPECT_GT(glass[2], 0.8f);
}

}  // namespace
}  // namespace histonorm
