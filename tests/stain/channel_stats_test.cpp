#include "stain/channel_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "test_planes.h"

namespace histonorm {
namespace {

using test::MakePlaneInput;
using test::PlanePixel;

std::uint64_t Total(const ChannelHistograms::Histogram& h) {
  std::uint64_t n = 0;
  for (const auto c : h) n += c;
  return n;
}

std::uint64_t CountedIn(const ChannelHistograms& h, int channel) {
  return Total(h.Counts(channel, kBackgroundClass)) + Total(h.Counts(channel, kStainedClass)) +
         Total(h.Counts(channel, kOtherClass));
}

ChannelHistograms Histogram(const std::vector<PlanePixel>& pixels, const StainParams& t = {}) {
  const auto in = MakePlaneInput(pixels);
  ChannelHistograms h;
  h.Accumulate(in.image, in.channels, in.probs, t);
  return h;
}

ChannelStats Quiet(const ChannelHistograms& h, std::string* lines = nullptr) {
  std::ostringstream log;
  const ChannelStats s = ComputeChannelStats(h, LogSink::To(log));
  if (lines) *lines = log.str();
  return s;
}

TEST(ChannelStatsMembership, DarkChannelsAndDarkBytesSkipPixels) {
  PlanePixel oneDark;
  oneDark.channel = {20.0f, 100.0f, 255.5f};
  PlanePixel twoDark;
  twoDark.channel = {20.0f, 100.0f, 29.9f};
  PlanePixel darkBlueGreen;
  darkBlueGreen.bgr = {29, 29, 255};
  PlanePixel blueOnlyDark;
  blueOnlyDark.bgr = {29, 30, 0};
  EXPECT_EQ(CountedIn(Histogram({oneDark}), 0), 1u);
  EXPECT_EQ(CountedIn(Histogram({oneDark}), 1), 1u);
  EXPECT_EQ(CountedIn(Histogram({twoDark}), 0), 0u);
  EXPECT_EQ(CountedIn(Histogram({twoDark}), 1), 0u);
  EXPECT_EQ(CountedIn(Histogram({darkBlueGreen}), 0), 0u);
  EXPECT_EQ(CountedIn(Histogram({blueOnlyDark}), 0), 1u);
  // The byte rule is a constant of its own: lowering the black threshold does not change it.
  StainParams t;
  t.blackThreshold = 0.0f;
  EXPECT_EQ(CountedIn(Histogram({darkBlueGreen}, t), 0), 0u);
}

TEST(ChannelStatsMembership, WhiteThresholdAppliesPerChannel) {
  PlanePixel atWhite;
  atWhite.channel = {300.0f, 300.5f, 255.5f};
  const auto h = Histogram({atWhite});
  EXPECT_EQ(h.Counts(0, kOtherClass)[300], 1u);
  EXPECT_EQ(CountedIn(h, 1), 0u);
}

TEST(ChannelStatsMembership, NotANumberIsLeftOutOfItsChannelOnly) {
  PlanePixel p;
  p.channel = {std::numeric_limits<float>::quiet_NaN(), 100.0f, 255.5f};
  const auto h = Histogram({p});
  EXPECT_EQ(CountedIn(h, 0), 0u);
  EXPECT_EQ(h.Counts(1, kOtherClass)[100], 1u);
}

TEST(ChannelStatsMembership, ClassesFollowTheProbabilityThresholds) {
  PlanePixel atBackground;  // equal to the threshold: not background
  atBackground.prob = {0.9f, 0.1f, 0.75f};
  PlanePixel background;
  background.prob = {0.9f, 0.9f, 0.76f};
  PlanePixel stain1;
  stain1.prob = {0.0f, 0.76f, 0.24f};
  const auto h = Histogram({atBackground, background, stain1});
  EXPECT_EQ(Total(h.Counts(0, kStainedClass)), 1u);
  EXPECT_EQ(Total(h.Counts(0, kBackgroundClass)), 1u);
  EXPECT_EQ(Total(h.Counts(0, kOtherClass)), 1u);
  EXPECT_EQ(Total(h.Counts(1, kStainedClass)), 1u);
  EXPECT_EQ(Total(h.Counts(1, kBackgroundClass)), 1u);
  EXPECT_EQ(Total(h.Counts(1, kOtherClass)), 1u);
}

TEST(ChannelStatsBins, RoundingAndLimits) {
  EXPECT_EQ(ChannelHistograms::BinOf(254.5f), 255);
  EXPECT_EQ(ChannelHistograms::BinOf(254.49f), 254);
  EXPECT_EQ(ChannelHistograms::BinOf(700.2f), 500);
  EXPECT_EQ(ChannelHistograms::BinOf(500.49f), 500);
  EXPECT_EQ(ChannelHistograms::BinOf(std::numeric_limits<float>::infinity()), 500);
  EXPECT_EQ(ChannelHistograms::BinOf(0.5f), 1);
  EXPECT_EQ(ChannelHistograms::BinOf(-7.0f), 0);
  PlanePixel high;
  high.channel = {700.2f, 100.0f, 255.5f};
  StainParams t;
  t.whiteThreshold = 1000.0f;
  EXPECT_EQ(Histogram({high}, t).Counts(0, kOtherClass)[500], 1u);
}

// Twenty counts, one in each of bins 10..29: the cumulative share is 0.05 at bin 10 and 1 at bin
// 29, so bins 10..28 are kept.
TEST(ChannelStatsTrimming, KeepsTheCentralShareAndPrintsEveryLine) {
  ChannelHistograms h;
  for (int b = 10; b < 30; ++b) h.Counts(0, kStainedClass)[b] = 1;
  h.Counts(0, kBackgroundClass)[200] = 4;  // a single bin: nothing kept
  for (int b = 0; b < 40; ++b) h.Counts(1, kOtherClass)[b + 100] = 2;
  std::string lines;
  const ChannelStats s = Quiet(h, &lines);
  volatile double zero = 0.0;
  const double undefined = zero / zero;  // the mean of an empty class, as the hardware forms it

  const ChannelClassStats& c0 = s.channel[0];
  EXPECT_EQ(c0.lowStained, 10.0f);
  EXPECT_EQ(c0.highStained, 28.0f);
  EXPECT_DOUBLE_EQ(c0.meanStained, 19.0);
  EXPECT_DOUBLE_EQ(c0.sdStained, std::sqrt(30.0));  // variance of 19 consecutive integers
  EXPECT_TRUE(std::isnan(c0.meanBackground));
  EXPECT_EQ(c0.sdBackground, 0.0);
  EXPECT_TRUE(std::isnan(c0.lowBackground));
  EXPECT_TRUE(std::isnan(c0.highBackground));

  std::ostringstream expected;
  expected << "Channel 0 : 4,20,0\n"
           << "Range B (0)=[10,28]\n"
           << "Range A (0)=[-1,-1]\n"
           << "Range O (0)=[-1,-1]\n"
           << "A: -ve SD?? 0," << undefined << "\n"
           << "O: -ve SD?? 0," << undefined << "\n"
           << "Channel 1 : 0,0,80\n"
           << "Range B (1)=[-1,-1]\n"
           << "Range A (1)=[-1,-1]\n"
           << "Range O (1)=[101,137]\n"
           << "A: -ve SD?? 0," << undefined << "\n"
           << "B: -ve SD?? 0," << undefined << "\n";
  EXPECT_EQ(lines, expected.str());
  EXPECT_EQ(s.channel[1].lowOther, 101.0f);
  EXPECT_DOUBLE_EQ(s.channel[1].meanOther, 119.0);
}

TEST(ChannelStatsTrimming, RangeEndsAreLimitedTo255AfterPrinting) {
  ChannelHistograms h;
  for (int b = 280; b < 320; ++b) h.Counts(0, kStainedClass)[b] = 1;
  h.Counts(0, kOtherClass)[240] = 10;
  h.Counts(0, kOtherClass)[400] = 180;
  h.Counts(0, kOtherClass)[450] = 10;
  std::string lines;
  const ChannelStats s = Quiet(h, &lines);
  EXPECT_NE(lines.find("Range B (0)=[281,317]\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Range O (0)=[240,400]\n"), std::string::npos) << lines;
  EXPECT_EQ(s.channel[0].lowStained, 255.0f);
  EXPECT_EQ(s.channel[0].highStained, 255.0f);
  EXPECT_EQ(s.channel[0].lowOther, 240.0f);
  EXPECT_EQ(s.channel[0].highOther, 255.0f);
}

TEST(ChannelStatsPooling, TwoImagesPoolLikeOneJoinedImage) {
  std::vector<PlanePixel> a(7), b(5);
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i].channel = {40.0f + 9.0f * static_cast<float>(i), 250.0f - 3.0f * static_cast<float>(i), 255.5f};
    a[i].prob = {i % 2 ? 0.8f : 0.1f, 0.1f, i % 3 ? 0.1f : 0.8f};
  }
  for (std::size_t i = 0; i < b.size(); ++i) {
    b[i].channel = {60.0f + 4.0f * static_cast<float>(i), 90.0f, 255.5f};
    b[i].prob = {0.9f, 0.05f, 0.05f};
  }
  ChannelHistograms pooled = Histogram(a);
  pooled += Histogram(b);
  std::vector<PlanePixel> joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  const ChannelHistograms whole = Histogram(joined);
  for (int j = 0; j < 2; ++j) {
    for (const StainClass c : {kStainedClass, kBackgroundClass, kOtherClass})
      EXPECT_EQ(pooled.Counts(j, c), whole.Counts(j, c));
  }
}

TEST(ChannelStatsInput, PlanesOfAnotherSizeAreRejected) {
  const auto in = MakePlaneInput({PlanePixel{}, PlanePixel{}});
  ChannelHistograms h;
  EXPECT_THROW(h.Accumulate(in.image, StainChannelPlanes(3, 1), in.probs, {}), std::invalid_argument);
  EXPECT_THROW(h.Accumulate(in.image, in.channels, ClassProbabilityPlanes(2, 2), {}), std::invalid_argument);
}

}  // namespace
}  // namespace histonorm
