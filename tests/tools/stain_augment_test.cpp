#include "train/stain_augment.h"

#include <gtest/gtest.h>

#include "support/test_images.h"
#include "train/stain_directions.h"

namespace histonorm::train {
namespace {

// Re-stained copies keep glass bright and grey, change the tissue, and repeat with the seed.
TEST(StainAugment, CopiesChangeTissueButKeepGlass) {
  const cv::Mat image = test::LoadSample("he_sample_3.png")(cv::Rect(700, 150, 300, 300)).clone();
  const StainDirections own = ImageStainDirections(image, StainPair::kHaematoxylinEosin)
                                  .value_or(ReferenceDirections(StainPair::kHaematoxylinEosin));
  EXPECT_GT(AngleDegrees(own.first, own.second), 15.0);
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    SeededRandom random(seed), again(seed);
    const Restaining change = RandomRestaining(own, random);
    const cv::Mat copy = Restain(image, own, change);
    EXPECT_EQ(cv::norm(copy, Restain(image, own, RandomRestaining(own, again)), cv::NORM_INF), 0.0);
    const cv::Mat glass(4, 4, CV_8UC3, cv::Scalar(242, 243, 241));
    const cv::Vec3b g = Restain(glass, own, change).at<cv::Vec3b>(0, 0);
    EXPECT_GT(std::min({g[0], g[1], g[2]}), 205) << seed;
    EXPECT_LT(std::max({g[0], g[1], g[2]}) - std::min({g[0], g[1], g[2]}), 16) << seed;
    EXPECT_GT(cv::norm(copy, image, cv::NORM_L1) / double(image.total()), 3.0) << seed;
  }
}

// The label-free estimate finds stain directions that were used to make an image.
TEST(StainDirections, ExtremesOfTheDensitiesAreTheStains) {
  const StainDirections truth = ReferenceDirections(StainPair::kHaematoxylinEosin);
  std::vector<Density> densities;
  for (int i = 0; i <= 400; ++i) {
    const double share = (i % 101) / 100.0;
    const double amount = 0.2 + 0.002 * i;
    densities.push_back(amount * (share * truth.first + (1.0 - share) * truth.second));
  }
  const auto found = ExtremeDirections(densities, truth);
  ASSERT_TRUE(found.has_value());
  EXPECT_LT(AngleDegrees(found->first, truth.first), 2.0);
  EXPECT_LT(AngleDegrees(found->second, truth.second), 2.0);
}

}  // namespace
}  // namespace histonorm::train
