// Models made by the trainer, read by the classifier: a fresh small model and the shipped ones.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "classifier/colour_classifier.h"
#include "classifier/colour_model_file.h"
#include "support/cli_run.h"
#include "support/test_images.h"
#include "train/descriptor_model.h"
#include "train/model_trainer.h"

namespace histonorm::train {
namespace {

const std::vector<std::string> kHeSamples{"he_sample_1.png", "he_sample_2.png", "he_sample_3.png"};

std::string ShippedModel(const std::string& name) { return std::string(HISTONORM_MODEL_DIR) + "/" + name; }

// A small model trained on two shipped H&E samples, read back by the classifier, agrees with most
// labels of pixels the trainer held back. (Its probabilities are calibrated on the other image's
// values, not on its own pixels, so they are cautious on training pixels by design.)
TEST(FreshModel, ClassifierAgreesWithHeldBackLabels) {
  const test::ScratchDir dir;
  TrainOptions options;
  options.images = {test::SampleDir() + "/he_sample_1.png", test::SampleDir() + "/he_sample_2.png"};
  options.outputPath = dir / "small.model";
  options.stains = StainPair::kHaematoxylinEosin;
  options.tileSide = 128;
  options.samplesPerClass = 60;
  std::ostringstream progress;
  const TrainingSummary summary = TrainColourModel(options, progress);

  ColourClassifier_RVM_PCAVQ classifier(summary.modelPath);
  const std::array<cv::Mat, 2> images{test::LoadSample("he_sample_1.png"),
                                      test::LoadSample("he_sample_2.png")};
  std::array<ClassProbabilityPlanes, 2> planes;
  for (std::size_t i = 0; i < images.size(); ++i) classifier.ClassifyImage(images[i], planes[i]);

  std::size_t agree = 0;
  for (const LabelledPixel& p : summary.heldBack) {
    const ClassProbabilityPlanes& pl = planes[std::size_t(p.image)];
    const std::size_t k = std::size_t(p.y) * std::size_t(pl.width) + std::size_t(p.x);
    const float* best = &pl[0][k];
    int label = 0;
    for (int c = 1; c < 3; ++c) {
      if (pl[std::size_t(c)][k] > *best) {
        best = &pl[std::size_t(c)][k];
        label = c;
      }
    }
    agree += label == p.label;
  }
  ASSERT_GT(summary.heldBack.size(), 100u);
  EXPECT_GE(double(agree) / double(summary.heldBack.size()), 0.7);
  EXPECT_EQ(summary.sourceChecks.size(), 2u);  // each image checked with the model trained without it
}

// The trainer computes the descriptors it trains on exactly as the classifier does.
TEST(ShippedModels, TrainerDescriptorsEqualTheClassifiers) {
  const ColourModelData data = ReadColourModel(ShippedModel("he.model"));
  DescriptorModel model;
  model.mean = data.meanHistogram;
  model.directions = data.eigenvectors;
  model.eigenvalues = data.eigenvalues;
  const OctTree lookup(data.nodes);
  ColourClassifier_RVM_PCAVQ classifier(ShippedModel("he.model"));
  ASSERT_EQ(classifier.PcaDim(), data.eigenvalues.size());
  for (const cv::Mat& image : {test::LoadSample("he_sample_3.png"), test::RandomImage(50, 60, 9)}) {
    const ImageDescriptor theirs = classifier.ComputeProjection(image);
    const std::vector<double> mine = Describe(CodeImage(image, lookup), model);
    ASSERT_EQ(theirs.size(), mine.size());
    for (std::size_t i = 0; i < mine.size(); ++i) EXPECT_EQ(static_cast<float>(mine[i]), theirs[i]) << i;
  }
}

struct Pick {
  const char* image;
  int x, y;
  int cls;
};

TEST(ShippedModels, HeModelKnowsNucleiStromaAndGlass) {
  const std::vector<Pick> picks{
      {"he_sample_1.png", 453, 325, 0}, {"he_sample_1.png", 459, 249, 0}, {"he_sample_2.png", 86, 384, 0},
      {"he_sample_3.png", 236, 342, 0}, {"he_sample_3.png", 566, 324, 0}, {"he_sample_1.png", 480, 20, 1},
      {"he_sample_2.png", 370, 365, 1}, {"he_sample_3.png", 373, 585, 1}, {"he_sample_3.png", 700, 700, 1},
      {"he_sample_3.png", 921, 268, 2}, {"he_sample_1.png", 20, 380, 2},
  };
  ColourClassifier_RVM_PCAVQ classifier(ShippedModel("he.model"));
  for (const std::string& name : kHeSamples) {
    const cv::Mat image = test::LoadSample(name);
    ClassProbabilityPlanes planes;
    classifier.ClassifyImage(image, planes);
    for (const Pick& p : picks) {
      if (name != p.image) continue;
      const std::size_t k = std::size_t(p.y) * std::size_t(image.cols) + std::size_t(p.x);
      EXPECT_GT(planes[std::size_t(p.cls)][k], 0.5f)
          << name << " (" << p.x << "," << p.y << ") class " << p.cls;
    }
  }
}

TEST(ShippedModels, HdabModelKnowsHaematoxylinDabAndGlass) {
  const std::vector<Pick> picks{{"ihc_dab.png", 245, 272, 0},
                                {"ihc_dab.png", 442, 307, 0},
                                {"ihc_dab.png", 100, 100, 1},
                                {"ihc_dab.png", 200, 60, 1},
                                {"ihc_dab.png", 20, 330, 2}};
  ColourClassifier_RVM_PCAVQ classifier(ShippedModel("hdab.model"));
  const cv::Mat image = test::LoadSample("ihc_dab.png");
  ClassProbabilityPlanes planes;
  classifier.ClassifyImage(image, planes);
  for (const Pick& p : picks) {
    const std::size_t k = std::size_t(p.y) * std::size_t(image.cols) + std::size_t(p.x);
    EXPECT_GT(planes[std::size_t(p.cls)][k], 0.5f) << "(" << p.x << "," << p.y << ") class " << p.cls;
  }
}

TEST(ShippedModels, StainMethodWithHeModelNormalisesEverySample) {
  const test::ScratchDir dir;
  dir.MakeDir("normalised");
  std::string list;
  for (const std::string& name : kHeSamples) {
    dir.WriteImage(name, test::LoadSample(name));
    list += name + "\n";
  }
  dir.WriteText("list.txt", list);
  const test::CliResult r =
      test::RunCli(HISTONORM_EXE,
                   {"BimodalDeconvRVM", "list.txt", "he_sample_2.png", ShippedModel("he.model")}, dir.Path());
  ASSERT_EQ(r.status, 0) << r.errText;
  EXPECT_EQ(r.errText.find("Stain estimation failed"), std::string::npos) << r.errText;
  EXPECT_EQ(r.errText.find("copied unchanged"), std::string::npos);
  const cv::Scalar target = cv::mean(test::LoadSample("he_sample_2.png"));
  for (const std::string& name : kHeSamples) {
    const cv::Mat source = test::LoadSample(name);
    const cv::Mat out = cv::imread(dir / ("normalised/" + name), cv::IMREAD_COLOR);
    ASSERT_EQ(out.size(), source.size()) << name;
    if (name == "he_sample_2.png") continue;
    // The mean colour of each other sample moves towards the target's.
    EXPECT_LT(cv::norm(cv::mean(out) - target), cv::norm(cv::mean(source) - target)) << name;
  }
}

}  // namespace
}  // namespace histonorm::train
