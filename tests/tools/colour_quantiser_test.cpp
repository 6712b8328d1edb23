#include "train/colour_quantiser.h"

#include <gtest/gtest.h>

#include <set>

#include "classifier/octree.h"
#include "support/test_images.h"

namespace histonorm::train {
namespace {

std::vector<OctTreeNodeRecord> QuantiserOf(const cv::Mat& image, int maxLeaves = 255) {
  ColourQuantiserBuilder builder;
  builder.Add(image);
  return builder.Build(maxLeaves);
}

std::set<std::uint32_t> PopulatedCodes(const std::vector<OctTreeNodeRecord>& records) {
  std::set<std::uint32_t> codes;
  for (const auto& r : records) {
    if (r.isLeaf && r.extraCount > 0) codes.insert(r.id);
  }
  return codes;
}

TEST(ColourQuantiser, RecordsFormATreeTheClassifierAcceptsAndSearchesAlike) {
  const auto records = QuantiserOf(test::LoadSample("he_sample_1.png"));
  int topLevel = 0;
  for (const auto& r : records) topLevel += r.parent == -1;
  EXPECT_EQ(topLevel, 8);

  const OctTree tree(records);  // throws on a malformed tree
  const OctTree lookup(records);
  const cv::Mat colours = test::RandomImage(200, 200, 3);
  for (int y = 0; y < colours.rows; ++y) {
    for (int x = 0; x < colours.cols; ++x) {
      const std::uint32_t key = ReadKey(colours.ptr<std::uint8_t>(y) + 3 * x);
      const std::int32_t code = lookup.FindCode(key);
      ASSERT_EQ(code, tree.FindCode(key)) << key;
      ASSERT_GE(code, 1) << "every colour needs a code, " << key;
      ASSERT_LE(code, 255);
    }
  }
}

TEST(ColourQuantiser, TrainingColoursKeepTheirOwnLeafAndCodesAreNumberedInOrder) {
  const cv::Mat image = test::LoadSample("ihc_dab.png");
  const auto records = QuantiserOf(image);
  const auto codes = PopulatedCodes(records);
  ASSERT_LE(codes.size(), 255u);
  EXPECT_EQ(*codes.begin(), 1u);
  EXPECT_EQ(*codes.rbegin(), codes.size());  // 1..K without gaps

  const OctTree lookup(records);
  for (int y = 0; y < image.rows; y += 7) {
    for (int x = 0; x < image.cols; x += 7) {
      const std::uint32_t key = ReadKey(image.ptr<std::uint8_t>(y) + 3 * x);
      ASSERT_TRUE(codes.count(static_cast<std::uint32_t>(lookup.FindCode(key)))) << key;
    }
  }
}

TEST(ColourQuantiser, FewColoursStayExactAndTheLeafLimitHolds) {
  cv::Mat image(4, 4, CV_8UC3, cv::Scalar(10, 20, 30));
  image(cv::Rect(0, 0, 2, 4)).setTo(cv::Scalar(200, 100, 50));
  const auto records = QuantiserOf(image);
  const OctTree lookup(records);
  EXPECT_EQ(PopulatedCodes(records).size(), 2u);
  EXPECT_NE(lookup.FindCode(10 + 256 * 20 + 65536 * 30), lookup.FindCode(200 + 256 * 100 + 65536 * 50));

  EXPECT_LE(PopulatedCodes(QuantiserOf(test::RandomImage(64, 64, 5), 16)).size(), 16u);
  EXPECT_THROW(ColourQuantiserBuilder().Build(), std::invalid_argument);
}

}  // namespace
}  // namespace histonorm::train
