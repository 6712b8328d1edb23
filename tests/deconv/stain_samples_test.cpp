#include "deconv/stain_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "deconv/colour_deconv.h"
#include "deconv/most_probable_samples.h"
#include "support/test_images.h"
#include "support/text_lines.h"

namespace histonorm {
namespace {

ClassProbabilityPlanes UniformPlanes(int w, int h, float p0, float p1) {
  ClassProbabilityPlanes probs(w, h);
  for (std::size_t i = 0; i < probs.PixelCount(); ++i) {
    probs[0][i] = p0;
    probs[1][i] = p1;
    probs[2][i] = 1.0f - p0 - p1;
  }
  return probs;
}

// A row of n pixels, pixel i with red = i % 256 and green = i / 256, and class 0 probability
// prob(i) (class 1 none).
struct Row {
  cv::Mat image;
  ClassProbabilityPlanes probs;
};
template <typename Prob>
Row MakeRow(int n, Prob prob) {
  Row row{cv::Mat(1, n, CV_8UC3), ClassProbabilityPlanes(n, 1)};
  for (int i = 0; i < n; ++i) {
    row.image.at<cv::Vec3b>(0, i) =
        cv::Vec3b(7, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i % 256));
    row.probs[0][i] = prob(i);
    row.probs[2][i] = 1.0f - prob(i);
  }
  return row;
}

StainSampleSums Collect(const cv::Mat& image, const ClassProbabilityPlanes& probs, float threshold) {
  return CollectStainSamples(image, probs, threshold);
}

// Red and green sums of the pixels of a row whose index passes `selected`.
template <typename Pred>
std::array<double, 2> RowSums(int n, Pred selected) {
  std::array<double, 2> sums{};
  for (int i = 0; i < n; ++i) {
    if (selected(i)) {
      sums[0] += i % 256;
      sums[1] += i / 256;
    }
  }
  return sums;
}

// Class 0's selection, both as sums and as the list of its pixels, is `count` pixels of these red and
// green sums.
void ExpectSelected(const Row& row, float threshold, std::size_t count,
                    const std::array<double, 2>& expected) {
  const StainSampleSums sums = Collect(row.image, row.probs, threshold);
  EXPECT_EQ(sums.count[0], count);
  EXPECT_EQ(sums.colourSum[0][0], expected[0]);
  EXPECT_EQ(sums.colourSum[0][1], expected[1]);
  EXPECT_EQ(sums.colourSum[0][2], 7.0 * static_cast<double>(count));
  const std::vector<std::size_t> listed = SelectedSamples(row.probs, 0, threshold);
  EXPECT_EQ(listed.size(), count);
  EXPECT_EQ(
      RowSums(static_cast<int>(row.probs.PixelCount()),
              [&](int i) { return std::find(listed.begin(), listed.end(), std::size_t(i)) != listed.end(); }),
      expected);
}

TEST(StainCandidates, StrictDoubleComparisonAgainstOneHundredth) {
  // 0.0099999998 is the single-precision value nearest 0.01 but below it: not a candidate.
  const std::array<float, 3> p = {0.0099999998f, 0.010000001f, 0.5f};
  Row row = MakeRow(3, [&](int i) { return p[i]; });
  row.probs[1][2] = 0.3f;  // the last pixel is in both lists
  const StainSampleSums sums = Collect(row.image, row.probs, 0.99f);
  EXPECT_EQ(sums.candidates[0], 2u);
  ExpectSelected(row, 0.99f, 2, RowSums(3, [](int i) { return i > 0; }));
  EXPECT_EQ(sums.candidates[1], 1u);
  EXPECT_EQ(sums.count[1], 1u);
  EXPECT_EQ(sums.colourSum[1][0], 2.0);
}

TEST(StainCandidates, PaddedRowsAndMismatchedPlanes) {
  const cv::Mat image = test::RandomImage(4, 5, 7);
  const test::PaddedView padded = test::MakePadded(image, 3, 0xAB);
  ClassProbabilityPlanes probs = UniformPlanes(5, 4, 0.0f, 0.0f);
  probs[0][2 * 5 + 4] = 0.9f;  // pixel (4, 2)
  const StainSampleSums sums = Collect(padded.view, probs, 0.99f);
  ASSERT_EQ(sums.count[0], 1u);
  const cv::Vec3b px = image.at<cv::Vec3b>(2, 4);
  EXPECT_EQ(sums.colourSum[0][0], px[2]);
  EXPECT_EQ(sums.colourSum[0][2], px[0]);
  EXPECT_THROW(static_cast<void>(CollectStainSamples(image, UniformPlanes(4, 5, 0.5f, 0.5f), 0.99f)),
               std::invalid_argument);
}

TEST(StainSampleSelection, AllCandidatesOfAShortList) {
  const int n = 150;
  const Row row = MakeRow(n, [](int i) { return 0.2f + 0.001f * static_cast<float>(i); });
  ExpectSelected(row, 0.99f, n, RowSums(n, [](int) { return true; }));
}

TEST(StainSampleSelection, MinimumOfTheMostProbable) {
  // 50 samples at or above the threshold scattered through 1000, the rest rising with the index:
  // the 50 and the last 151 of the rest.
  const int n = 1000;
  const auto high = [](int i) { return i % 20 == 0; };
  const Row row =
      MakeRow(n, [&](int i) { return high(i) ? 0.995f : 0.2f + 0.0005f * static_cast<float>(i); });
  std::vector<bool> selected(n, false);
  int fromRest = 0;
  for (int i = n - 1; i >= 0; --i) {
    if (high(i)) {
      selected[i] = true;
    } else if (fromRest < 151) {
      selected[i] = true;
      ++fromRest;
    }
  }
  ExpectSelected(row, 0.99f, 201, RowSums(n, [&](int i) { return selected[i]; }));
}

TEST(StainSampleSelection, EverySampleAtOrAboveTheThreshold) {
  // 1000 samples, 300 at or above the threshold (half of them exactly at it).
  const int n = 1000;
  const auto high = [](int i) { return i < 900 && i % 3 == 0; };
  const Row row = MakeRow(n, [&](int i) { return high(i) ? (i % 2 == 0 ? 0.99f : 0.999f) : 0.5f; });
  ExpectSelected(row, 0.99f, 300, RowSums(n, high));
}

TEST(StainSampleSelection, ThresholdBelowTheCandidateLimitSelectsCandidatesOnly) {
  const int n = 400;
  const Row row = MakeRow(n, [](int i) { return i % 2 == 0 ? 0.005f : 0.5f; });
  ExpectSelected(row, 0.0f, 200, RowSums(n, [](int i) { return i % 2 == 1; }));
}

TEST(StainSampleSelection, EqualProbabilitiesAtTheCutGoToTheEarliest) {
  // 10 above, then 500 equal below: the 191 earliest of the equal ones fill the minimum.
  const int n = 510;
  const Row row = MakeRow(n, [](int i) { return i >= 500 ? 0.999f : 0.4f; });
  ExpectSelected(row, 0.99f, 201, RowSums(n, [](int i) { return i < 191 || i >= 500; }));
}

TEST(MostProbableSamples, KeepsTheBestAndTheEarliestOfEqual) {
  const auto keptReds = [](const MostProbableSamples& top) {
    std::vector<int> reds;
    for (const ColourSample& s : top.Samples()) reds.push_back(s.red);
    std::sort(reds.begin(), reds.end());
    return reds;
  };
  MostProbableSamples top(3);
  const std::array<float, 7> probs = {0.5f, 0.7f, 0.5f, 0.9f, 0.7f, 0.5f, 0.2f};
  for (int i = 0; i < 7; ++i) top.Offer({static_cast<std::uint8_t>(i), 0, 0, probs[i]});
  EXPECT_EQ(keptReds(top), (std::vector<int>{1, 3, 4}));

  MostProbableSamples two(2);
  for (int i = 0; i < 5; ++i) two.Offer({static_cast<std::uint8_t>(i), 0, 0, 0.5f});
  EXPECT_EQ(keptReds(two), (std::vector<int>{0, 1}));

  MostProbableSamples three(3);  // a later better sample displaces the latest of the equal ones
  for (int i = 0; i < 3; ++i) three.Offer({static_cast<std::uint8_t>(i), 0, 0, 0.5f});
  three.Offer({9, 0, 0, 0.6f});
  EXPECT_EQ(keptReds(three), (std::vector<int>{0, 1, 9}));

  MostProbableSamples none(0);
  none.Offer({1, 2, 3, 0.9f});
  EXPECT_TRUE(none.Samples().empty());
}

TEST(StainVectorEstimate, ConsoleLinesOfOneEstimate) {
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
  std::ostringstream log;
  CColourDeconv deconv(LogSink::To(log));
  deconv.Init();
  const bool usable = deconv.EstimateStainVectors(image, probs, 0.99f);
  const auto lines = test::SplitLines(log.str());
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

TEST(StainVectorEstimate, EveryPixelInBothLists) {
  const cv::Mat image = test::RandomImage(10, 10, 3);
  std::ostringstream log;
  CColourDeconv deconv(LogSink::To(log));
  deconv.Init();
  static_cast<void>(deconv.EstimateStainVectors(image, UniformPlanes(10, 10, 0.98f, 0.02f), 0.99f));
  EXPECT_EQ(test::SplitLines(log.str())[0], "#samples used = 100,100,0");
}

TEST(StainVectorEstimate, NoClassOneCandidatesIsUnusable) {
  const cv::Mat image = test::RandomImage(8, 8, 5);
  std::ostringstream log;
  CColourDeconv deconv(LogSink::To(log));
  deconv.Init();
  const bool usable = deconv.EstimateStainVectors(image, UniformPlanes(8, 8, 0.995f, 0.005f), 0.99f);
  const auto lines = test::SplitLines(log.str());
  EXPECT_FALSE(usable);
  EXPECT_FALSE(deconv.IsUsable());
  EXPECT_EQ(lines[0], "#samples used = 64,0,0");
  EXPECT_EQ(lines[3], "nan, nan, nan");
}

TEST(StainVectorEstimate, LargeSumsStayExact) {
  // 200000 samples of one colour: single-precision sums would drift past 2^24.
  const cv::Mat image(200, 1000, CV_8UC3, cv::Scalar(133, 77, 201));
  std::ostringstream log;
  CColourDeconv deconv(LogSink::To(log));
  deconv.Init();
  static_cast<void>(deconv.EstimateStainVectors(image, UniformPlanes(1000, 200, 0.995f, 0.995f), 0.99f));
  const auto lines = test::SplitLines(log.str());
  EXPECT_EQ(lines[2], "201, 77, 133");
  EXPECT_EQ(lines[3], "201, 77, 133");
}

// Probabilities given per distinct colour select exactly the pixels the per-pixel selection does,
// also when the 201-sample minimum cuts through colours of equal probability.
class PerColourSelection : public testing::TestWithParam<float> {};

TEST_P(PerColourSelection, EqualsThePerPixelSelection) {
  // 12 colours on 3000 pixels, in a scrambled order; the probabilities take 4 values.
  cv::Mat image(50, 60, CV_8UC3);
  const std::array<float, 4> levels = {0.995f, 0.97f, 0.5f, 0.005f};
  auto probOf = [&](int colour, int k) { return levels[static_cast<std::size_t>((colour + k) % 4)]; };
  for (int i = 0; i < 3000; ++i) {
    const int colour = (i * 7 + i / 13) % 12;
    image.at<cv::Vec3b>(i / 60, i % 60) =
        cv::Vec3b(static_cast<std::uint8_t>(20 * colour), 90, static_cast<std::uint8_t>(250 - 9 * colour));
  }
  ClassProbabilityPlanes perPixel(60, 50);
  const ImageColours colours(image);
  ClassProbabilityPlanes perColour(static_cast<int>(colours.Keys().size()), 1);
  for (std::size_t c = 0; c < colours.Keys().size(); ++c) {
    const int colour = KeyByte(colours.Keys()[c], 0) / 20;
    for (int k = 0; k < 2; ++k) perColour[static_cast<std::size_t>(k)][c] = probOf(colour, k);
  }
  for (std::size_t i = 0; i < perPixel.PixelCount(); ++i) {
    for (std::size_t k = 0; k < 2; ++k) perPixel[k][i] = perColour[k][colours.PixelIndices()[i]];
  }
  const StainSampleSums want = CollectStainSamples(image, perPixel, GetParam());
  const StainSampleSums got = CollectStainSamples(colours, perColour, GetParam());
  EXPECT_EQ(got.colourSum, want.colourSum);
  EXPECT_EQ(got.count, want.count);
  EXPECT_EQ(got.candidates, want.candidates);
  const StainSampleSums split = CollectStainSamples(colours, perColour, GetParam(), {}, 2);
  EXPECT_EQ(split.colourSum, want.colourSum);
  EXPECT_EQ(split.count, want.count);
}

// 0.99 selects the colours at 0.995 alone; 0.999 selects none, so the minimum takes 201 of the
// colours tied at 0.995 in pixel order; 0.98 keeps everything at or above it.
INSTANTIATE_TEST_SUITE_P(Thresholds, PerColourSelection, testing::Values(0.99f, 0.999f, 0.98f, 1.0f));

}  // namespace
}  // namespace histonorm
