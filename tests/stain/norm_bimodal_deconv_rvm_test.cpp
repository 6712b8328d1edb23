#include "stain/norm_bimodal_deconv_rvm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "rule_classifier.h"
#include "stain/channel_images.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

using test::HeClassifier;
using test::Probabilities;
using test::RuleClassifier;

// Collects the lines of the normalisers and building blocks that log to it.
class Log {
 public:
  LogSink Sink() {
    return LogSink([this](std::string_view line) { lines_.emplace_back(line); });
  }
  Options Configure() {
    Options options;
    options.log = Sink();
    return options;
  }
  // Runs `f`, returning the lines logged meanwhile.
  template <typename F>
  std::vector<std::string> During(F&& f) {
    lines_.clear();
    f();
    return lines_;
  }

 private:
  std::vector<std::string> lines_;
};

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

std::vector<std::string> WithPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines) {
    if (StartsWith(l, prefix)) out.push_back(l);
  }
  return out;
}

// Index of the first line starting with `prefix` at or after `from`, or lines.size().
std::size_t Find(const std::vector<std::string>& lines, const std::string& prefix, std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (StartsWith(lines[i], prefix)) return i;
  }
  return lines.size();
}

cv::Mat Normalised(CNormBimodalDeconvRVM& norm, const cv::Mat& input) {
  cv::Mat output(input.rows, input.cols, CV_8UC3, cv::Scalar(1, 2, 3));
  norm.Norm(input, output);
  return output;
}

void Measure(CNormBimodalDeconvRVM& norm, const cv::Mat& image) { norm.CalcStats(image); }

// Mean stain channel values of an image split with a given stain model.
std::array<double, 2> MeanChannels(const CColourDeconv& deconv, const cv::Mat& image) {
  StainChannelPlanes channels;
  deconv.ImageToChannels(image, channels);
  std::array<double, 2> mean{};
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t i = 0; i < channels.PixelCount(); ++i) mean[k] += channels[k][i];
    mean[k] /= static_cast<double>(channels.PixelCount());
  }
  return mean;
}

class StainNorm : public testing::Test {
 protected:
  const cv::Mat source_ = test::LoadSample("he_sample_1.png");
  const cv::Mat target_ = test::LoadSample("he_sample_2.png");
};

TEST_F(StainNorm, OutputMovesTowardsTheTargetStains) {
  CNormBimodalDeconvRVM norm(HeClassifier());
  Measure(norm, target_);
  ASSERT_TRUE(norm.HasUsableTarget());
  const cv::Mat out = Normalised(norm, source_);
  const CColourDeconv& model = norm.TargetDeconv();
  const auto want = MeanChannels(model, target_);
  const auto before = MeanChannels(model, source_);
  const auto after = MeanChannels(model, out);
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_LT(std::abs(after[k] - want[k]), 0.5 * std::abs(before[k] - want[k]))
        << "channel " << k << ": source " << before[k] << ", output " << after[k] << ", target " << want[k];
  }
  // Normalising does not change the normaliser: a second run gives the same image.
  EXPECT_EQ(cv::norm(Normalised(norm, source_), out, cv::NORM_INF), 0.0);
}

TEST_F(StainNorm, LinesFollowTheStepsOfBothOperations) {
  Log log;
  CNormBimodalDeconvRVM norm(HeClassifier(), log.Configure());
  std::vector<std::string> lines = log.During([&] { Measure(norm, target_); });
  std::size_t at = 0;
  for (const char* step : {"#samples used = ", "*Mean colours:", "*Colour vectors", "Vec: ", "Doing Max Dt",
                           "Channel 0 : ", "Range B (0)=[", "Range A (0)=[", "Range O (0)=[",
                           "Channel 1 : ", "TImage Channel(0) meanb=", "TImage Channel(0) sdb=",
                           "TImage Channel(1) meanb=", "TImage Channel(1) sdb="}) {
    const std::size_t next = Find(lines, step, at);
    ASSERT_LT(next, lines.size()) << step;
    at = next;
  }
  EXPECT_EQ(at, lines.size() - 1);

  lines = log.During([&] { Normalised(norm, source_); });
  at = 0;
  for (const char* step :
       {"#samples used = ", "Channel 0 : ", "Image Channel(0) meanb=", "Image Channel(0) sdb=",
        "Image Channel(1) meanb=", "Image Channel(1) sdb=", "#samples used = ", "Channel 0 : ",
        "[2nd stage] Image Channel(0) meanb=", "[2nd stage] Image Channel(0) sdb=",
        "[2nd stage] Image Channel(1) meanb=", "[2nd stage] Image Channel(1) sdb="}) {
    const std::size_t next = Find(lines, step, at);
    ASSERT_LT(next, lines.size()) << step;
    at = next + 1;
  }
  EXPECT_EQ(at, lines.size());
  EXPECT_EQ(WithPrefix(lines, "Image Channel(").size(), 4u);
}

// Rows 0-9 are colour X with stain 0 probability 0.995, rows 10-19 colour Y with 0.95, rows 20-29
// pink with stain 1 probability 0.995. A probability threshold of 0.99 averages X alone, 0.9
// averages X and Y.
Probabilities Striped(int y) {
  if (y < 10) return {0.995f, 0.004f, 0.001f};
  if (y < 20) return {0.95f, 0.04f, 0.01f};
  return {0.004f, 0.995f, 0.001f};
}

cv::Mat StripedImage() {
  cv::Mat image(30, 30, CV_8UC3);
  image.rowRange(0, 10).setTo(cv::Scalar(150, 60, 110));
  image.rowRange(10, 20).setTo(cv::Scalar(170, 90, 130));
  image.rowRange(20, 30).setTo(cv::Scalar(190, 130, 230));
  return image;
}

std::unique_ptr<ColourClassifierBase> StripedClassifier() {
  return std::make_unique<RuleClassifier>([](const auto&, int, int y, int) { return Striped(y); });
}

TEST(StainNormParams, ParametersApplyToTheFirstStageOnly) {
  const cv::Mat image = StripedImage();
  Log log;
  Options options = log.Configure();
  std::istringstream params("0.9 30 300 0.75 0.75 0.95\n");
  ReadStainParams(params, options.stainParams);
  CNormBimodalDeconvRVM norm(StripedClassifier(), options);
  std::vector<std::string> lines = log.During([&] { Measure(norm, image); });
  EXPECT_EQ(WithPrefix(lines, "Doing Max Dt Product Correction: "),
            std::vector<std::string>{"Doing Max Dt Product Correction: 0.95"});
  cv::Mat out;
  lines = log.During([&] { out = Normalised(norm, image); });
  EXPECT_EQ(WithPrefix(lines, "Doing Max Dt Product Correction: "),
            (std::vector<std::string>{"Doing Max Dt Product Correction: 0.95",
                                      "Doing Max Dt Product Correction: 0.8"}));
  // First stage at 0.9: the mean of X (red 110, green 60, blue 150) and Y (130, 90, 170).
  const std::size_t first = Find(lines, "*Mean colours:");
  ASSERT_LT(first + 1, lines.size());
  EXPECT_EQ(lines[first + 1], "120, 75, 160");
  // The image is its own target, so the first stage gives back X and Y; the second stage selects
  // at 0.99 whatever the parameters say, so it averages the X rows alone.
  const std::size_t second = Find(lines, "*Mean colours:", first + 1);
  ASSERT_LT(second + 1, lines.size());
  EXPECT_EQ(lines[second + 1], "110, 60, 150");
  EXPECT_EQ(out.size(), image.size());
}

TEST(StainNormParams, WithoutParametersTheDefaultsHold) {
  const cv::Mat image = StripedImage();
  Log log;
  CNormBimodalDeconvRVM norm(StripedClassifier(), log.Configure());
  std::vector<std::string> lines = log.During([&] { Measure(norm, image); });
  EXPECT_TRUE(WithPrefix(lines, "Prob threshold: ").empty());
  lines = log.During([&] { Normalised(norm, image); });
  EXPECT_EQ(WithPrefix(lines, "Doing Max Dt Product Correction: ").size(), 2u);
  for (const auto& l : WithPrefix(lines, "Doing Max Dt Product Correction: ")) {
    EXPECT_EQ(l, "Doing Max Dt Product Correction: 0.8");
  }
  EXPECT_EQ(lines[Find(lines, "*Mean colours:") + 1], "110, 60, 150");
}

// Stain 1 disappears from the classifier's answers from call `from` on.
std::unique_ptr<ColourClassifierBase> LosesStain1From(int from, bool indexAlone = false) {
  return std::make_unique<RuleClassifier>(
      [from](const auto& bgr, int, int, int call) {
        Probabilities p = test::HeRule(bgr);
        if (call >= from) {
          p[0] += p[1];
          p[1] = 0.0f;
        }
        return p;
      },
      indexAlone);
}

TEST_F(StainNorm, UnusableEstimateCopiesTheImageUnchanged) {
  Log log;
  CNormBimodalDeconvRVM norm(LosesStain1From(2), log.Configure());
  Measure(norm, target_);
  cv::Mat out;
  const auto lines = log.During([&] { out = Normalised(norm, source_); });
  EXPECT_EQ(lines.back(), "Stain estimation failed, image copied unchanged");
  EXPECT_TRUE(WithPrefix(lines, "Image Channel(").empty());
  EXPECT_EQ(cv::norm(out, source_, cv::NORM_INF), 0.0);
}

TEST_F(StainNorm, UnusableSecondStageKeepsTheFirstStageResult) {
  Log log;
  CNormBimodalDeconvRVM failing(LosesStain1From(3), log.Configure());
  Measure(failing, target_);
  cv::Mat out;
  const auto lines = log.During([&] { out = Normalised(failing, source_); });
  EXPECT_EQ(lines.back(), "Stain estimation failed in the second stage, first stage result kept");
  EXPECT_EQ(WithPrefix(lines, "Image Channel(").size(), 4u);
  EXPECT_TRUE(WithPrefix(lines, "[2nd stage]").empty());
  EXPECT_GT(cv::norm(out, source_, cv::NORM_L1), 0.0);
  // The kept result is the first stage of a normal run: it differs from the corrected output.
  CNormBimodalDeconvRVM normal(HeClassifier());
  Measure(normal, target_);
  const cv::Mat corrected = Normalised(normal, source_);
  EXPECT_GT(cv::norm(out, corrected, cv::NORM_L1), 0.0);
  // A classifier of colour indices alone gets no picture of the first stage; the result is the same.
  CNormBimodalDeconvRVM indexAlone(LosesStain1From(3, true));
  Measure(indexAlone, target_);
  EXPECT_EQ(cv::norm(Normalised(indexAlone, source_), out, cv::NORM_INF), 0.0);
}

TEST_F(StainNorm, TargetWithoutAStainClassIsUnusableUntilPooledWithOne) {
  CNormBimodalDeconvRVM norm(LosesStain1From(1));
  Measure(norm, target_);
  EXPECT_FALSE(norm.HasUsableTarget());
  cv::Mat out(source_.size(), CV_8UC3);
  EXPECT_THROW(norm.Norm(source_, out), std::logic_error);

  // The first image (no stain 1) and a second one that has it pool into a usable target.
  CNormBimodalDeconvRVM pooled(std::make_unique<RuleClassifier>([](const auto& bgr, int, int, int call) {
    Probabilities p = test::HeRule(bgr);
    if (call == 1) {
      p[0] += p[1];
      p[1] = 0.0f;
    }
    return p;
  }));
  Measure(pooled, target_);
  EXPECT_FALSE(pooled.HasUsableTarget());
  Measure(pooled, source_);
  EXPECT_TRUE(pooled.HasUsableTarget());
}

void ExpectSameTarget(const CNormBimodalDeconvRVM& a, const CNormBimodalDeconvRVM& b) {
  for (std::size_t i = 0; i < 2; ++i) {
    for (std::size_t c = 0; c < 3; ++c) {
      EXPECT_EQ(a.Target()[i].mean[c], b.Target()[i].mean[c]) << i << c;
      EXPECT_EQ(a.Target()[i].low[c], b.Target()[i].low[c]) << i << c;
      EXPECT_EQ(a.Target()[i].high[c], b.Target()[i].high[c]) << i << c;
    }
  }
  EXPECT_EQ(a.TargetDeconv().Stains(), b.TargetDeconv().Stains());
}

TEST_F(StainNorm, TargetImagesArePooled) {
  // The same image twice is the same target as once: pooling neither double-weights nor drifts.
  CNormBimodalDeconvRVM once(HeClassifier());
  Measure(once, target_);
  Log log;
  CNormBimodalDeconvRVM twice(HeClassifier(), log.Configure());
  Measure(twice, target_);
  const auto lines = log.During([&] { Measure(twice, target_); });
  ExpectSameTarget(once, twice);
  EXPECT_EQ(WithPrefix(lines, "TImage Channel(").size(), 4u);

  // Two different images: the stain matrix comes from the pooled samples, not the last image.
  CNormBimodalDeconvRVM both(HeClassifier());
  Measure(both, target_);
  Measure(both, source_);
  CNormBimodalDeconvRVM last(HeClassifier());
  Measure(last, source_);
  EXPECT_NE(both.TargetDeconv().Stains(), last.TargetDeconv().Stains());
  RuleClassifier rule([](const auto& bgr, int, int, int) { return test::HeRule(bgr); });
  ClassProbabilityPlanes probs;
  StainSampleSums sums;
  CColourDeconv expected;
  rule.ClassifyImage(target_, probs);
  sums += CollectStainSamples(target_, probs, 0.99f);
  rule.ClassifyImage(source_, probs);
  sums += CollectStainSamples(source_, probs, 0.99f);
  expected.Init();
  expected.BuildFromSampleSums(sums);
  EXPECT_EQ(both.TargetDeconv().Stains(), expected.Stains());
}

TEST_F(StainNorm, DiagnosticsAreHandedOutPerStage) {
  std::vector<StainDiagnostics> handed;
  Options options;
  options.diagnostics = [&handed](const StainDiagnostics& d) { handed.push_back(d); };
  CNormBimodalDeconvRVM norm(HeClassifier(), options);
  Measure(norm, target_);
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].stage, ".target");
  EXPECT_EQ(handed[0].vectors, norm.TargetDeconv().VectorsText());
  Normalised(norm, source_);  // the second stage hands out nothing
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[1].stage, ".mapped");
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(handed[0].channels[k].type(), CV_8UC1);
    EXPECT_EQ(handed[0].channels[k].size(), target_.size());
    EXPECT_EQ(handed[1].channels[k].size(), source_.size());
    // The image's curves, sampled from 0 to 500; a target has none.
    EXPECT_TRUE(handed[0].curves[k].empty());
    ASSERT_EQ(handed[1].curves[k].size(), 500u / kCurveSampleStep + 1);
    EXPECT_TRUE(std::all_of(handed[1].curves[k].begin(), handed[1].curves[k].end(),
                            [](float v) { return std::isfinite(v) && v >= 1.0f; }));
  }
  // Channel 0 of the target is its stain 0 channel in its own stain model.
  StainChannelPlanes channels;
  norm.TargetDeconv().ImageToChannels(target_, channels);
  EXPECT_EQ(cv::norm(handed[0].channels[0], ChannelImage(channels, 0, 1.0f), cv::NORM_INF), 0.0);

  // An image without a usable estimate hands out its vectors alone.
  CNormBimodalDeconvRVM losing(LosesStain1From(2), options);
  Measure(losing, target_);
  Normalised(losing, source_);
  ASSERT_EQ(handed.size(), 4u);
  EXPECT_EQ(handed[3].stage, ".mapped");
  EXPECT_FALSE(handed[3].vectors.empty());
  EXPECT_TRUE(handed[3].channels[0].empty());
  EXPECT_TRUE(handed[3].curves[0].empty());
}

// One stage pixel by pixel through the plain building blocks: the oracle for Norm, which works
// once per distinct colour.
void PlainStage(const CNormBimodalDeconvRVM& norm, const cv::Mat& image, const ClassProbabilityPlanes& probs,
                const CColourDeconv& deconv, const char* label, StatsLines lines, const LogSink& log,
                cv::Mat& output) {
  StainChannelPlanes channels;
  deconv.ImageToChannels(image, channels);
  const ChannelStats stats = CalcChannelStats(image, channels, probs, norm.Params(), log);
  RemapStainChannels(stats, norm.Target(), channels, label, lines, log);
  norm.TargetDeconv().ChannelsToImage(channels, output);
}

TEST_F(StainNorm, PerColourWorkGivesThePixelByPixelResult) {
  Log log;
  CNormBimodalDeconvRVM norm(HeClassifier(), log.Configure());
  Measure(norm, target_);
  cv::Mat out;
  const auto lines = log.During([&] { out = Normalised(norm, source_); });

  RuleClassifier rule([](const auto& bgr, int, int, int) { return test::HeRule(bgr); });
  cv::Mat expected(source_.size(), CV_8UC3);
  const auto expectedLines = log.During([&] {
    ClassProbabilityPlanes probs;
    rule.ClassifyImage(source_, probs);
    CColourDeconv deconv(log.Sink());
    deconv.Init();
    ASSERT_TRUE(deconv.EstimateStainVectors(source_, probs, 0.99f));
    PlainStage(norm, source_, probs, deconv, "Image Channel(", StatsLines::kAfterFit, log.Sink(), expected);
    const cv::Mat first = expected.clone();
    rule.ClassifyImage(first, probs);
    deconv.Init();
    ASSERT_TRUE(deconv.EstimateStainVectors(first, probs, 0.99f));
    PlainStage(norm, first, probs, deconv, "[2nd stage] Image Channel(", StatsLines::kBeforeFit, log.Sink(),
               expected);
  });
  EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(lines, expectedLines);
}

// Target measured and sample normalised with the shipped H&E model on `threads`: output and lines.
struct ThreadedRun {
  cv::Mat output;
  std::vector<std::string> lines;
};
ThreadedRun RunWithThreads(const cv::Mat& sample, const cv::Mat& target, unsigned threads) {
  Log log;
  Options options = log.Configure();
  options.colourModelPath = HISTONORM_MODEL_DIR "/he.model";
  options.threads = threads;
  CNormBimodalDeconvRVM norm(options);
  ThreadedRun run;
  run.lines = log.During([&] {
    Measure(norm, target);
    run.output = Normalised(norm, sample);
  });
  return run;
}

class StainNormThreads : public testing::TestWithParam<const char*> {};

TEST_P(StainNormThreads, EveryThreadCountGivesTheSameBytesAndLines) {
  const cv::Mat sample = test::LoadSample(GetParam());
  const cv::Mat target = test::LoadSample("he_sample_2.png");
  const ThreadedRun one = RunWithThreads(sample, target, 1);
  for (const unsigned threads : {2U, 0U}) {
    const ThreadedRun run = RunWithThreads(sample, target, threads);
    EXPECT_EQ(run.lines, one.lines) << threads << " threads";
    ASSERT_EQ(run.output.size(), one.output.size());
    EXPECT_EQ(cv::norm(run.output, one.output, cv::NORM_INF), 0.0) << threads << " threads";
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, StainNormThreads,
                         testing::Values("he_sample_1.png", "he_sample_2.png", "he_sample_3.png",
                                         "ihc_dab.png"));

TEST(StainNormRemap, ChannelTwoIsNeverMapped) {
  StainChannelPlanes channels(4, 1);
  const float raw[4] = {0.2f, 700.0f, 255.5f, 500.0f};
  for (std::size_t k = 0; k < 3; ++k) {
    for (int i = 0; i < 4; ++i) channels[k][i] = raw[i];
  }
  ChannelStats stats;  // all classes empty: only the identity points remain
  for (auto& c : stats.channel)
    c = {std::nan(""), std::nan(""), std::nan(""), 0, 0, 0, NAN, NAN, NAN, NAN, NAN, NAN};
  std::array<TargetChannelStats, 2> target{};
  Log log;
  const auto lines = log.During(
      [&] { RemapStainChannels(stats, target, channels, "X(", StatsLines::kBeforeFit, log.Sink()); });
  EXPECT_EQ(lines.size(), 4u);
  EXPECT_TRUE(StartsWith(lines[0], "X(0) meanb="));
  EXPECT_TRUE(StartsWith(lines[3], "X(1) sdb="));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(channels[2][i], raw[i]);
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_GE(channels[k][0], 1.0f);            // raised to at least 1
    EXPECT_EQ(channels[k][1], channels[k][3]);  // 700 is mapped as 500
    EXPECT_NEAR(channels[k][2], 255.5f, 3.0f);
  }
}

}  // namespace
}  // namespace histonorm
