#include "norm/rgb_hist_spec.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/test_images.h"

namespace histonorm {
namespace {

using test::RandomImage;

cv::Mat NormWith(CNormRGBHistSpec& norm, const cv::Mat& input) {
  cv::Mat output(input.rows, input.cols, CV_8UC3);
  norm.Norm(input, output);
  return output;
}

class RGBHistSpecVariants : public testing::TestWithParam<HistSpecVariant> {};

TEST_P(RGBHistSpecVariants, TargetAgainstItselfIsUnchanged) {
  const cv::Mat target = test::LoadSample("he_sample_1.png");
  CNormRGBHistSpec norm(GetParam());
  norm.CalcStats(target);
  EXPECT_EQ(cv::norm(NormWith(norm, target), target, cv::NORM_INF), 0.0);
}

TEST_P(RGBHistSpecVariants, TwoTargetsEqualOneJoinedTarget) {
  const cv::Mat a = RandomImage(6, 10, 11);
  const cv::Mat b = RandomImage(9, 10, 12);
  cv::Mat joined;
  cv::vconcat(a, b, joined);
  CNormRGBHistSpec twice(GetParam());
  twice.CalcStats(a);
  twice.CalcStats(b);
  CNormRGBHistSpec once(GetParam());
  once.CalcStats(joined);
  EXPECT_EQ(twice.TargetCumulative(), once.TargetCumulative());
}

TEST_P(RGBHistSpecVariants, OneLevelChannelsKeepTheirLevelOrTakeTheTargets) {
  CNormRGBHistSpec norm(GetParam());
  norm.CalcStats(test::LoadSample("he_sample_2.png"));
  for (const cv::Scalar& colour :
       {cv::Scalar(255, 255, 255), cv::Scalar(0, 0, 0), cv::Scalar(40, 120, 200)}) {
    const cv::Mat tile(4, 5, CV_8UC3, colour);
    EXPECT_EQ(cv::norm(NormWith(norm, tile), tile, cv::NORM_INF), 0.0) << colour;
  }
  // A one-colour target sends everything to its colour.
  CNormRGBHistSpec plain(GetParam());
  plain.CalcStats(cv::Mat(3, 3, CV_8UC3, cv::Scalar(30, 60, 90)));
  const cv::Mat out = NormWith(plain, RandomImage(6, 7, 14));
  EXPECT_EQ(cv::norm(out, cv::Mat(6, 7, CV_8UC3, cv::Scalar(30, 60, 90)), cv::NORM_INF), 0.0);
}

INSTANTIATE_TEST_SUITE_P(PlainAndThreshold, RGBHistSpecVariants,
                         testing::Values(HistSpecVariant::kShares, HistSpecVariant::kPresence));

TEST(RGBHistSpec, CountsAndSharesHoldMoreThan2To32Pixels) {
  LevelCounts counts{};
  for (auto& channel : counts) channel[7] = 0xFFFFFFFFu;
  CountLevels(cv::Mat(1, 2, CV_8UC3, cv::Scalar(7, 7, 7)), counts);
  EXPECT_EQ(counts[0][7], 0x100000001u);
  // 5e9 target pixels, half at level 10, half at level 200: each table rises by 0.5 at both.
  for (auto& channel : counts) {
    channel.fill(0);
    channel[10] = 2500000000u;
    channel[200] = 2500000000u;
  }
  const CumulativeTables c = CumulativeFromCounts(counts, 5000000000u, HistSpecVariant::kShares);
  EXPECT_FLOAT_EQ(c[0][10], 0.5f);
  EXPECT_FLOAT_EQ(c[2][255], 3.0f);
}

TEST(RGBHistSpec, SharedRunningSumInterleavesChannels) {
  LevelCounts counts{};
  counts[0][0] = 1;  // blue level 0
  counts[1][0] = 1;  // green level 0
  counts[2][1] = 1;  // red level 1
  counts[0][1] = 1;
  counts[1][1] = 1;
  counts[2][0] = 1;
  const CumulativeTables c = CumulativeFromCounts(counts, 2, HistSpecVariant::kShares);
  EXPECT_EQ(c[0][0], 0.5f);
  EXPECT_EQ(c[1][0], 1.0f);
  EXPECT_EQ(c[2][0], 1.5f);
  EXPECT_EQ(c[0][1], 2.0f);
  EXPECT_EQ(c[1][1], 2.5f);
  EXPECT_EQ(c[2][1], 3.0f);
  EXPECT_EQ(c[2][255], 3.0f);
}

TEST(RGBHistSpec, PlainTablesRiseToThree) {
  LevelCounts counts{};
  CountLevels(test::LoadSample("he_sample_3.png"), counts);
  std::uint64_t n = 0;
  for (auto v : counts[0]) n += v;
  const CumulativeTables c = CumulativeFromCounts(counts, n, HistSpecVariant::kShares);
  EXPECT_NEAR(c[2][255], 3.0, 1e-4);
}

TEST(RGBHistSpec, ThresholdVariantIgnoresFrequencies) {
  // Two images using the same levels in every channel, with very different frequencies.
  cv::Mat a(1, 4, CV_8UC3);
  cv::Mat b(1, 4, CV_8UC3);
  const cv::Vec3b lo(10, 20, 30), hi(200, 150, 100);
  a.at<cv::Vec3b>(0, 0) = lo;
  a.at<cv::Vec3b>(0, 1) = lo;
  a.at<cv::Vec3b>(0, 2) = lo;
  a.at<cv::Vec3b>(0, 3) = hi;
  b.at<cv::Vec3b>(0, 0) = lo;
  b.at<cv::Vec3b>(0, 1) = hi;
  b.at<cv::Vec3b>(0, 2) = hi;
  b.at<cv::Vec3b>(0, 3) = hi;
  CNormRGBHistSpec thresh(HistSpecVariant::kPresence);
  thresh.CalcStats(RandomImage(16, 16, 21));
  const cv::Mat outA = NormWith(thresh, a);
  const cv::Mat outB = NormWith(thresh, b);
  EXPECT_EQ(outA.at<cv::Vec3b>(0, 0), outB.at<cv::Vec3b>(0, 0));
  EXPECT_EQ(outA.at<cv::Vec3b>(0, 3), outB.at<cv::Vec3b>(0, 3));

  CNormRGBHistSpec plain(HistSpecVariant::kShares);
  plain.CalcStats(RandomImage(16, 16, 21));
  EXPECT_NE(NormWith(plain, a).at<cv::Vec3b>(0, 0), NormWith(plain, b).at<cv::Vec3b>(0, 0));
}

TEST(RGBHistSpec, EqualDistancesPickTheLowestLevel) {
  CumulativeTables source{};
  CumulativeTables target{};
  for (int c = 0; c < 3; ++c) {
    for (int u = 0; u < 256; ++u) target[c][u] = u < 10 ? 1.0f : 2.0f;
    source[c][0] = 1.0f;
    source[c][1] = 1.5f;  // equally far from 1 and 2
  }
  const LookupTables lut = MatchCumulative(source, target);
  EXPECT_EQ(lut[0][0], 0);
  EXPECT_EQ(lut[1][1], 0);
}

}  // namespace
}  // namespace histonorm
