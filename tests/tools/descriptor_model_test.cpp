#include "train/descriptor_model.h"

#include <gtest/gtest.h>

namespace histonorm::train {
namespace {

CodeHistogram Spike(std::size_t code, float share) {
  CodeHistogram h{};
  h[code] = share;
  h[1] = 1.0f - share;
  return h;
}

TEST(DescriptorModel, RefusesMoreComponentsThanTheHistogramsCarry) {
  const std::vector<CodeHistogram> three{Spike(2, 0.1f), Spike(3, 0.2f), Spike(4, 0.3f)};
  EXPECT_THROW(FitDescriptorModel(three, 3), std::invalid_argument);
  EXPECT_THROW(FitDescriptorModel(three, -1), std::invalid_argument);
  const DescriptorModel model = FitDescriptorModel(three, 2);
  EXPECT_EQ(model.eigenvalues.size(), 2u);
  EXPECT_EQ(model.directions.size(), 65536u);
}

TEST(DescriptorModel, DropsComponentsWithoutVariance) {
  // Histograms that differ along one direction only: a second component would have a variance
  // of rounding noise, and its tiny scale would shrink every descriptor to nothing.
  const std::vector<CodeHistogram> line{Spike(2, 0.1f), Spike(2, 0.2f), Spike(2, 0.3f), Spike(2, 0.4f)};
  const DescriptorModel model = FitDescriptorModel(line, 3);
  ASSERT_EQ(model.eigenvalues.size(), 1u);
  EXPECT_EQ(model.leadingVariances.size(), 3u);
  EXPECT_NEAR(model.eigenvalues[0], 2 * (0.0125 * 4 / 3.0), 1e-6);  // two entries each vary by 0.1 steps
  EXPECT_NEAR(model.mean[2], 0.25f, 1e-7);
}

TEST(DescriptorModel, DescriptorsStayWithinTwoStandardDeviations) {
  const std::vector<CodeHistogram> line{Spike(2, 0.1f), Spike(2, 0.2f), Spike(2, 0.3f), Spike(2, 0.4f)};
  const DescriptorModel model = FitDescriptorModel(line, 1);
  cv::Mat codes(10, 10, CV_32SC1, cv::Scalar(2));  // all of code 2: far outside the training range
  const std::vector<double> d = Describe(codes, model);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_NEAR(std::fabs(d[0]), 2.0 * std::sqrt(model.eigenvalues[0]), 1e-6);
  EXPECT_EQ(Describe(cv::Mat(3, 3, CV_32SC1, cv::Scalar(0)), model), std::vector<double>{0.0});
}

TEST(TileGrid, TilesCoverTheImageOnceAndLocatePixels) {
  for (const cv::Size size : {cv::Size(37, 23), cv::Size(128, 128), cv::Size(5, 300)}) {
    const TileGrid grid(size, 16);
    cv::Mat owner(size, CV_32SC1, cv::Scalar(-1));
    for (int i = 0; i < grid.Count(); ++i) {
      cv::Mat tile = owner(grid.Tile(i));
      ASSERT_EQ(cv::countNonZero(tile != -1), 0) << "tiles overlap";
      tile.setTo(i);
    }
    for (int y = 0; y < size.height; ++y) {
      for (int x = 0; x < size.width; ++x) ASSERT_EQ(grid.TileAt(x, y), owner.at<int>(y, x)) << x << "," << y;
    }
  }
  EXPECT_EQ(TileGrid(cv::Size(300, 200), 0).Count(), 1);
  EXPECT_EQ(TileGrid(cv::Size(300, 200), 100).Count(), 6);
}

}  // namespace
}  // namespace histonorm::train
