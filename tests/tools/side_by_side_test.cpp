#include "sidebyside/side_by_side.h"

#include <gtest/gtest.h>

namespace histonorm::tools {
namespace {

cv::Mat Plain(int rows, int cols, const cv::Scalar& colour) { return cv::Mat(rows, cols, CV_8UC3, colour); }

TEST(SideBySide, ScalesEveryImageToTheRowHeightAndStacksTheRows) {
  const std::vector<SideBySideRow> rows{
      {{Plain(50, 100, {0, 0, 255}), "a"}, {Plain(100, 100, {0, 255, 0}), "b"}},
      {{Plain(20, 20, {255, 0, 0}), "c"}},
  };
  const cv::Mat picture = ComposeSideBySide(rows, 40);
  ASSERT_EQ(picture.type(), CV_8UC3);
  // Widest row: gap + 80 + gap + 40 + gap; each row: caption band + 40 + gap, after a top gap.
  EXPECT_EQ(picture.cols, 8 + 80 + 8 + 40 + 8);
  EXPECT_EQ(picture.rows, 8 + 2 * (28 + 40 + 8));
  // Image interiors keep their colours: first row red then green, second row blue.
  EXPECT_EQ(picture.at<cv::Vec3b>(8 + 28 + 20, 8 + 40), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(picture.at<cv::Vec3b>(8 + 28 + 20, 8 + 80 + 8 + 20), cv::Vec3b(0, 255, 0));
  EXPECT_EQ(picture.at<cv::Vec3b>(8 + 76 + 28 + 20, 8 + 20), cv::Vec3b(255, 0, 0));
  EXPECT_EQ(picture.at<cv::Vec3b>(picture.rows - 1, picture.cols - 1), cv::Vec3b(255, 255, 255));
}

TEST(SideBySide, RefusesNothingAndImagesThatAreNotColour) {
  EXPECT_THROW(ComposeSideBySide({}, 40), std::invalid_argument);
  EXPECT_THROW(ComposeSideBySide({{{cv::Mat(4, 4, CV_8UC1), "grey"}}}, 40), std::invalid_argument);
}

}  // namespace
}  // namespace histonorm::tools
