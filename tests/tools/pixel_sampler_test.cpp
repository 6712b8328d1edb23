#include "train/pixel_sampler.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace histonorm::train {
namespace {

// Label masks: image 0 has 1000 pixels of stain 0 and 12 of background; image 1 only stain 1.
std::vector<cv::Mat> Masks() {
  cv::Mat a(40, 40, CV_8UC1, cv::Scalar(0));
  a(cv::Rect(0, 0, 40, 25)).setTo(1);
  a(cv::Rect(0, 30, 12, 1)).setTo(3);
  return {a, cv::Mat(10, 10, CV_8UC1, cv::Scalar(2))};
}

std::set<std::tuple<int, int, int>> Positions(const std::vector<LabelledPixel>& pixels) {
  std::set<std::tuple<int, int, int>> s;
  for (const auto& p : pixels) s.emplace(p.image, p.x, p.y);
  return s;
}

TEST(PixelSampler, BalancedPerClassAndImageWithDisjointHeldBackPixels) {
  const PixelSample s = SamplePixels(Masks(), 50, 7);
  std::array<int, 3> train{}, held{};
  for (const auto& p : s.training) ++train[std::size_t(p.label)];
  for (const auto& p : s.heldBack) ++held[std::size_t(p.label)];
  EXPECT_EQ(train, (std::array<int, 3>{50, 50, 8}));  // a small class trains on two thirds
  EXPECT_EQ(held, (std::array<int, 3>{50, 50, 4}));

  const auto trainSet = Positions(s.training);
  for (const auto& p : Positions(s.heldBack)) EXPECT_FALSE(trainSet.count(p));
  for (const auto& p : s.training)
    EXPECT_EQ(Masks()[std::size_t(p.image)].at<std::uint8_t>(p.y, p.x), p.label + 1);
}

TEST(PixelSampler, TheSeedAloneDecidesTheChoice) {
  const PixelSample a = SamplePixels(Masks(), 20, 3);
  const PixelSample b = SamplePixels(Masks(), 20, 3);
  const PixelSample c = SamplePixels(Masks(), 20, 4);
  ASSERT_EQ(a.training.size(), b.training.size());
  for (std::size_t i = 0; i < a.training.size(); ++i) {
    EXPECT_EQ(std::tie(a.training[i].image, a.training[i].x, a.training[i].y),
              std::tie(b.training[i].image, b.training[i].x, b.training[i].y));
  }
  EXPECT_NE(Positions(a.training), Positions(c.training));
}

}  // namespace
}  // namespace histonorm::train
