#include "deconv/stain_samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "deconv/colour_deconv.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ClassProbabilityPlanes UniformPlanes(int w, int h, float p0, float p1) {
  ClassProbabilityPlanes probs(w, h);
  for (std::size_t i = 0; i < probs.PixelCount(); ++i) {
    probs[0][i] = p0;
    probs[1][i] = p1;
    probs[2][i] = 1.0f - p0 - p1;
  }
  return probs;
}

// A list whose i-th sample has red = i % 256 and probability prob(i).
template <typename Prob>
std::vector<ColourSample> MakeList(int n, Prob prob) {
  std::vector<ColourSample> list;
  for (int i = 0; i < n; ++i) list.push_back({static_cast<std::uint8_t>(i % 256), 1, 2, prob(i)});
  return list;
}

TEST(Candidates, StrictDoubleComparisonAgainstOneHundredth) {
  const cv::Mat image(1, 3, CV_8UC3, cv::Scalar(10, 20, 30));
  ClassProbabilityPlanes probs(3, 1);
  probs[0][0] = 0.0099999998f;  // nearest single-precision value to 0.01: below it
  probs[0][1] = 0.010000001f;
  probs[0][2] = 0.5f;
  probs[1][2] = 0.3f;
  const auto lists = CollectCandidates(image, probs);
  ASSERT_EQ(lists[0].size(), 2u);
  EXPECT_EQ(lists[0][0].probability, 0.010000001f);
  EXPECT_EQ(lists[0][1].probability, 0.5f);
  ASSERT_EQ(lists[1].size(), 1u);
  EXPECT_EQ(lists[1][0].probability, 0.3f);
  EXPECT_EQ(lists[1][0].red, 30);
  EXPECT_EQ(lists[1][0].green, 20);
  EXPECT_EQ(lists[1][0].blue, 10);
}

TEST(Candidates, PaddedRowsAndMismatchedPlanes) {
  const cv::Mat image = test::RandomImage(4, 5, 7);
  const test::PaddedView padded = test::MakePadded(image, 3, 0xAB);
  ClassProbabilityPlanes probs = UniformPlanes(5, 4, 0.0f, 0.0f);
  probs[0][2 * 5 + 4] = 0.9f;  // pixel (4, 2)
  const auto lists = CollectCandidates(padded.view, probs);
  ASSERT_EQ(lists[0].size(), 1u);
  const cv::Vec3b px = image.at<cv::Vec3b>(2, 4);
  EXPECT_EQ(lists[0][0].red, px[2]);
  EXPECT_EQ(lists[0][0].blue, px[0]);
  EXPECT_THROW(CollectCandidates(image, UniformPlanes(4, 5, 0.5f, 0.5f)), std::invalid_argument);
}

TEST(Selection, ThresholdAndMinimumCount) {
  // 150 candidates, all below the threshold: all are taken.
  EXPECT_EQ(SelectionSize(MakeList(150, [](int) { return 0.5f; }), 0.99f), 150u);
  // 1000 candidates, 50 at or above: the 201 most probable.
  const auto fifty = MakeList(1000, [](int i) { return i % 20 == 0 ? 0.995f : 0.3f + 0.0001f * i; });
  EXPECT_EQ(SelectionSize(fifty, 0.99f), 201u);
  // 1000 candidates, 300 at or above: exactly those.
  const auto threeHundred = MakeList(1000, [](int i) { return i < 300 ? 0.99f : 0.5f; });
  EXPECT_EQ(SelectionSize(threeHundred, 0.99f), 300u);
  EXPECT_EQ(SelectionSize({}, 0.99f), 0u);
}

TEST(Selection, SumsTheMostProbable) {
  // Probabilities rise with the index, so the 201 most probable are the last 201 samples.
  const auto list = MakeList(1000, [](int i) { return i >= 950 ? 0.995f : 0.2f + 0.0005f * i; });
  const SelectedSum sum = SumSelectedSamples(list, 0.99f);
  EXPECT_EQ(sum.count, 201u);
  double red = 0;
  for (int i = 799; i < 1000; ++i) red += i % 256;
  EXPECT_EQ(sum.colourSum[0], red);
  EXPECT_EQ(sum.colourSum[1], 201.0);
  EXPECT_EQ(sum.colourSum[2], 402.0);
}

TEST(Selection, ThresholdItselfIsSelectedAndTiesGoToEarliest) {
  // 300 samples at exactly the threshold: all selected.
  const SelectedSum atThreshold = SumSelectedSamples(MakeList(300, [](int) { return 0.9f; }), 0.9f);
  EXPECT_EQ(atThreshold.count, 300u);
  // 10 above, then 500 equal below: the 191 earliest of the equal ones fill the minimum.
  const auto list = MakeList(510, [](int i) { return i >= 500 ? 0.999f : 0.4f; });
  const SelectedSum tie = SumSelectedSamples(list, 0.99f);
  double red = 0;
  for (int i = 0; i < 191; ++i) red += i % 256;
  for (int i = 500; i < 510; ++i) red += i % 256;
  EXPECT_EQ(tie.count, 201u);
  EXPECT_EQ(tie.colourSum[0], red);
}

TEST(StainSampleSums, PoolingAddsEverything) {
  StainSampleSums a;
  a.colourSum = {{{1, 2, 3}, {4, 5, 6}}};
  a.count = {1, 2};
  a.candidates = {3, 4};
  StainSampleSums b = a;
  b += a;
  EXPECT_EQ(b.colourSum[1][2], 12.0);
  EXPECT_EQ(b.count[1], 4u);
  EXPECT_EQ(b.candidates[0], 6u);
}

TEST(Estimate, ConsoleLinesOfOneEstimate) {
  // Left half stain 0 colour, right half stain 1 colour, each certain of its class.
  cv::Mat image(10, 10, CV_8UC3);
  ClassProbabilityPlanes probs(10, 10);
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 10; ++x) {
      const bool left = x < 5;
      image.at<cv::Vec3b>(y, x) = left ? cv::Vec3b(160, 80, 110) : cv::Vec3b(200, 150, 230);
      probs[0][y * 10 + x] = left ? 0.98f : 0.0f;
      probs[1][y * 10 + x] = left ? 0.0f : 0.98f;
      probs[2][y * 10 + x] = 0.02f;
    }
  }
  CColourDeconv deconv;
  deconv.Init();
  testing::internal::CaptureStderr();
  const bool usable = deconv.EstimateStainVectors(image, probs, 0.99f);
  const auto lines = SplitLines(testing::internal::GetCapturedStderr());
  const std::vector<std::string> expected = {"#samples used = 50,50,0",
                                             "*Mean colours:",
                                             "110, 80, 160",
                                             "230, 150, 200",
                                             "nan, nan, nan",
                                             "*Colour vectors (ignore third one!)",
                                             "Vec: 0.558644,0.769281,0.31004",
                                             "Vec: 0.17426,0.895208,0.410167",
                                             "Vec: 0,0,0",
                                             "Doing Max Dt Product Correction: 0.8"};
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(usable);
}

TEST(Estimate, EveryPixelInBothLists) {
  const cv::Mat image = test::RandomImage(10, 10, 3);
  CColourDeconv deconv;
  deconv.Init();
  testing::internal::CaptureStderr();
  deconv.EstimateStainVectors(image, UniformPlanes(10, 10, 0.98f, 0.02f), 0.99f);
  EXPECT_EQ(SplitLines(testing::internal::GetCapturedStderr())[0], "#samples used = 100,100,0");
}

TEST(Estimate, NoClassOneCandidatesIsUnusable) {
  const cv::Mat image = test::RandomImage(8, 8, 5);
  CColourDeconv deconv;
  deconv.Init();
  testing::internal::CaptureStderr();
  const bool usable = deconv.EstimateStainVectors(image, UniformPlanes(8, 8, 0.995f, 0.005f), 0.99f);
  const auto lines = SplitLines(testing::internal::GetCapturedStderr());
  EXPECT_FALSE(usable);
  EXPECT_FALSE(deconv.IsUsable());
  EXPECT_EQ(lines[0], "#samples used = 64,0,0");
  EXPECT_EQ(lines[3], "nan, nan, nan");
}

TEST(Estimate, LargeSumsStayExact) {
  // 200000 samples of one colour: single-precision sums would drift past 2^24.
  const cv::Mat image(200, 1000, CV_8UC3, cv::Scalar(133, 77, 201));
  CColourDeconv deconv;
  deconv.Init();
  testing::internal::CaptureStderr();
  deconv.EstimateStainVectors(image, UniformPlanes(1000, 200, 0.995f, 0.995f), 0.99f);
  const auto lines = SplitLines(testing::internal::GetCapturedStderr());
  EXPECT_EQ(lines[2], "201, 77, 133");
  EXPECT_EQ(lines[3], "201, 77, 133");
}

}  // namespace
}  // namespace histonorm
