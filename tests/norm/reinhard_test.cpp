#include "norm/reinhard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "norm/lab_colour.h"
#include "support/every_target.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

using test::RandomImage;

cv::Mat NormWith(CNormReinhard& norm, const cv::Mat& input) {
  cv::Mat output(input.rows, input.cols, CV_8UC3);
  norm.Norm(input, output);
  return output;
}

void Measure(CNormReinhard& norm, const cv::Mat& target) { norm.CalcStats(target); }

TEST(Reinhard, TwoTargetsEqualOneJoinedTarget) {
  const cv::Mat a = RandomImage(7, 9, 1);
  const cv::Mat b = RandomImage(5, 9, 2);
  cv::Mat joined;
  cv::vconcat(a, b, joined);
  CNormReinhard twice;
  Measure(twice, a);
  Measure(twice, b);
  CNormReinhard once;
  Measure(once, joined);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(twice.TargetStats().mean[c], once.TargetStats().mean[c]);
    EXPECT_EQ(twice.TargetStats().sd[c], once.TargetStats().sd[c]);
  }
}

TEST(Reinhard, SquaresAreFormedInSinglePrecision) {
  cv::Mat image(1, 1, CV_8UC3, cv::Scalar(10, 200, 90));
  LabSums sums;
  sums.Add(image);
  const Lab lab = BgrToLab(10, 200, 90);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(sums.sumSquares[c], static_cast<double>(lab[c] * lab[c]));
}

TEST(Reinhard, SumsAreThoseOfAPlainPixelLoopForEveryThreadCount) {
  const cv::Mat image = test::LoadSample("he_sample_3.png");
  LabSums plain;
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      const auto& p = image.at<cv::Vec3b>(y, x);
      const Lab lab = BgrToLab(p[0], p[1], p[2]);
      for (int c = 0; c < 3; ++c) {
        plain.sum[c] += static_cast<double>(lab[c]);
        plain.sumSquares[c] += static_cast<double>(lab[c] * lab[c]);
      }
    }
  }
  for (const unsigned threads : {1U, 2U, 3U}) {
    LabSums sums;
    sums.Add(image, threads);
    EXPECT_EQ(sums.sum, plain.sum) << threads;
    EXPECT_EQ(sums.sumSquares, plain.sumSquares) << threads;
  }
}

TEST(Reinhard, NormInPlaceOrIntoAnOverlappingImageWritesTheSameBytes) {
  const cv::Mat source = test::LoadSample("he_sample_1.png");
  CNormReinhard norm(LogSink(), 2);
  Measure(norm, test::LoadSample("he_sample_2.png"));
  const cv::Mat expected = NormWith(norm, source);
  cv::Mat inPlace = source.clone();
  norm.Norm(inPlace, inPlace);
  EXPECT_EQ(cv::norm(inPlace, expected, cv::NORM_INF), 0.0);
  // The output starts one row below the input, in the same memory.
  cv::Mat shared(source.rows + 1, source.cols, CV_8UC3);
  source.copyTo(shared.rowRange(0, source.rows));
  cv::Mat shifted = shared.rowRange(1, source.rows + 1);
  norm.Norm(shared.rowRange(0, source.rows), shifted);
  EXPECT_EQ(cv::norm(shifted, expected, cv::NORM_INF), 0.0);
}

TEST(Reinhard, TargetAgainstItselfIsTheColourRoundTrip) {
  const cv::Mat target = test::LoadSample("he_sample_1.png");
  CNormReinhard norm;
  Measure(norm, target);
  const cv::Mat out = NormWith(norm, target);
  int exact = 0;
  for (int y = 0; y < target.rows; ++y) {
    for (int x = 0; x < target.cols; ++x) {
      const auto& in = target.at<cv::Vec3b>(y, x);
      const auto bgr = LabToBgrValues(BgrToLab(in[0], in[1], in[2]));
      const cv::Vec3b roundTrip(ColourValueToByte(bgr[0]), ColourValueToByte(bgr[1]),
                                ColourValueToByte(bgr[2]));
      const auto& o = out.at<cv::Vec3b>(y, x);
      exact += (o == roundTrip);
      for (int c = 0; c < 3; ++c) ASSERT_LE(std::abs(o[c] - roundTrip[c]), 1);
    }
  }
  EXPECT_GE(exact, static_cast<int>(target.total() * 999 / 1000));
}

TEST(Reinhard, NormLogsSdVsSquaredMeanThenStats) {
  const cv::Mat image = RandomImage(4, 4, 3);
  std::ostringstream log;
  CNormReinhard norm(LogSink::To(log));
  Measure(norm, RandomImage(4, 4, 4));
  log.str("");
  LabSums sums;
  sums.Add(image);
  const LabStats s = sums.Stats();
  std::ostringstream expected;
  expected << s.sd[0] << "vs" << s.mean[0] * s.mean[0] << "\n"
           << s.mean[0] << "," << s.mean[1] << "," << s.mean[2] << " " << s.sd[0] << "," << s.sd[1] << ","
           << s.sd[2] << "\n";
  cv::Mat output(image.rows, image.cols, CV_8UC3);
  norm.Norm(image, output);
  EXPECT_EQ(log.str(), expected.str());
}

TEST(Reinhard, UniformSourceMapsToTheTargetMean) {
  CNormReinhard norm;
  Measure(norm, test::LoadSample("he_sample_2.png"));
  const cv::Mat uniform(3, 4, CV_8UC3, cv::Scalar(40, 120, 200));
  const cv::Mat out = NormWith(norm, uniform);
  const LabStats& t = norm.TargetStats();
  const Lab mean{static_cast<float>(t.mean[0]), static_cast<float>(t.mean[1]), static_cast<float>(t.mean[2])};
  const auto bgr = LabToBgrValues(mean);
  const cv::Vec3b expected(ColourValueToByte(bgr[0]), ColourValueToByte(bgr[1]), ColourValueToByte(bgr[2]));
  for (int y = 0; y < out.rows; ++y) {
    for (int x = 0; x < out.cols; ++x) EXPECT_EQ(out.at<cv::Vec3b>(y, x), expected);
  }
  // A pinkish mid-tone, not the saturated bytes of an unguarded division by zero.
  for (int c = 0; c < 3; ++c) {
    EXPECT_GT(expected[c], 0);
    EXPECT_LT(expected[c], 255);
  }
}

class OneColourReference : public testing::TestWithParam<cv::Mat> {};

TEST_P(OneColourReference, SendsEveryPixelToTheReferenceColour) {
  const cv::Mat& reference = GetParam();
  CNormReinhard norm;
  Measure(norm, reference);
  const cv::Mat out = NormWith(norm, test::LoadSample("he_sample_1.png"));
  const cv::Vec3b colour = reference.at<cv::Vec3b>(0, 0);
  const cv::Mat expected(out.size(), CV_8UC3, cv::Scalar(colour[0], colour[1], colour[2]));
  EXPECT_LE(cv::norm(out, expected, cv::NORM_INF), 1.0);
  EXPECT_EQ(cv::norm(out, cv::Mat(out.size(), CV_8UC3, out.at<cv::Vec3b>(0, 0)), cv::NORM_INF), 0.0);
}

INSTANTIATE_TEST_SUITE_P(UniformGreyBlackAndSinglePixel, OneColourReference,
                         testing::Values(cv::Mat(20, 30, CV_8UC3, cv::Scalar(40, 120, 200)),
                                         cv::Mat(20, 30, CV_8UC3, cv::Scalar(128, 128, 128)),
                                         cv::Mat(20, 30, CV_8UC3, cv::Scalar(0, 0, 0)),
                                         cv::Mat(1, 1, CV_8UC3, cv::Scalar(200, 30, 90))));

TEST(Reinhard, ChannelMappingGuardsZeroAndNanDeviation) {
  EXPECT_EQ(MapLabChannelValue(0.3f, 0.3, 0.0, 0.5, 0.1), 0.5f);
  EXPECT_EQ(MapLabChannelValue(0.3f, 0.3, std::numeric_limits<double>::quiet_NaN(), 0.5, 0.1), 0.5f);
  EXPECT_EQ(MapLabChannelValue(0.7f, 0.3, 0.1, 0.5, std::numeric_limits<double>::quiet_NaN()), 0.5f);
  EXPECT_EQ(MapLabChannelValue(0.5f, 0.25, 0.5, 1.0, 2.0),
            static_cast<float>(((0.5 - 0.25) * 2.0 / 0.5) + 1.0));
}

// The plain recipe, pixel by pixel with the C library's logarithms and powers: statistics of an image.
LabStats PlainStats(const cv::Mat& image) {
  LabSums sums;
  for (auto p = image.begin<cv::Vec3b>(); p != image.end<cv::Vec3b>(); ++p) {
    const Lab lab = BgrToLab((*p)[0], (*p)[1], (*p)[2]);
    for (int c = 0; c < 3; ++c) {
      sums.sum[c] += static_cast<double>(lab[c]);
      sums.sumSquares[c] += static_cast<double>(lab[c] * lab[c]);
    }
  }
  sums.count = image.total();
  return sums.Stats();
}

// The plain recipe's Norm of `source` onto `target` statistics.
cv::Mat PlainNorm(const cv::Mat& source, const LabStats& target) {
  const LabStats s = PlainStats(source);
  cv::Mat out(source.size(), CV_8UC3);
  for (int y = 0; y < source.rows; ++y) {
    for (int x = 0; x < source.cols; ++x) {
      const auto& p = source.at<cv::Vec3b>(y, x);
      Lab lab = BgrToLab(p[0], p[1], p[2]);
      for (int c = 0; c < 3; ++c)
        lab[c] = MapLabChannelValue(lab[c], s.mean[c], s.sd[c], target.mean[c], target.sd[c]);
      const auto v = LabToBgrValues(lab);
      out.at<cv::Vec3b>(y, x) = {ColourValueToByte(v[0]), ColourValueToByte(v[1]), ColourValueToByte(v[2])};
    }
  }
  return out;
}

// The shipped sample and training images (tiles, and images large enough to be mapped colour by colour).
std::vector<std::string> ShippedImages() {
  std::vector<std::string> paths;
  const std::filesystem::path samples(test::SampleDir());
  for (const auto& dir :
       {samples, samples.parent_path() / "train" / "he", samples.parent_path() / "train" / "hdab"}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() == ".png") paths.push_back(entry.path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// On every target, Norm stays within one level of the plain recipe in every channel, with at least
// 99.9 % of the pixels identical, and the target's statistics match the plain ones.
using ReinhardOnEveryTarget = test::EveryTarget;
TEST_P(ReinhardOnEveryTarget, StaysWithinOneLevelOfThePlainRecipe) {
  const cv::Mat target = test::LoadSample("he_sample_2.png");
  const LabStats plainTarget = PlainStats(target);
  CNormReinhard norm;
  Measure(norm, target);
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(norm.TargetStats().mean[c], plainTarget.mean[c], 1e-6 * std::abs(plainTarget.mean[c]));
    EXPECT_NEAR(norm.TargetStats().sd[c], plainTarget.sd[c], 1e-6 * plainTarget.sd[c]);
  }
  static std::map<std::string, cv::Mat> references;  // the same for every target: made once
  for (const std::string& path : ShippedImages()) {
    const cv::Mat source = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_FALSE(source.empty()) << path;
    if (!references.contains(path)) references[path] = PlainNorm(source, plainTarget);
    const cv::Mat out = NormWith(norm, source);
    cv::Mat diff;
    cv::absdiff(out, references[path], diff);
    EXPECT_LE(cv::norm(diff, cv::NORM_INF), 1.0) << path;
    const cv::Mat differing = diff.reshape(1, static_cast<int>(diff.total())) * 1;
    cv::Mat anyChannel;
    cv::reduce(differing, anyChannel, 1, cv::REDUCE_MAX);
    EXPECT_LE(cv::countNonZero(anyChannel), static_cast<int>(source.total() / 1000)) << path;
  }
}
INSTANTIATE_EVERY_TARGET(ReinhardOnEveryTarget);

}  // namespace
}  // namespace histonorm
