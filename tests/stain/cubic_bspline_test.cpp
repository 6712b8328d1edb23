#include "stain/cubic_bspline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "stain/channel_mapping.h"

namespace histonorm {
namespace {

CubicBSpline Curve(const LogSink& log = {}) { return MakeChannelMappingCurve(log); }

void SetIdentity(CubicBSpline& s) {
  for (std::size_t j = 0; j < s.Coeffs().size(); ++j) s.Coeffs()[j] = static_cast<float>(j) * s.Spacing();
}

// Runs `f`, returning the lines logged to `log` meanwhile.
template <typename F>
std::string LoggedBy(std::ostringstream& log, F&& f) {
  log.str("");
  f();
  return log.str();
}

TEST(CubicBSplineEval, ZeroCoefficientsGiveZeroOverTheDomain) {
  const CubicBSpline s = Curve();
  for (float x = 0.0f; x < 501.0f; x += 0.37f) EXPECT_EQ(s.Eval(x), 0.0f) << x;
  EXPECT_EQ(s.Eval(std::nextafter(501.0f, 0.0f)), 0.0f);
}

TEST(CubicBSplineEval, IdentityCoefficientsReproduceXInTheInteriorOnly) {
  CubicBSpline s = Curve();
  SetIdentity(s);
  const float h = s.Spacing();
  EXPECT_FLOAT_EQ(h, 71.571426f);
  for (float x = h; x < 6.0f * h; x += 1.3f) EXPECT_NEAR(s.Eval(x), x, 1e-3f) << x;
  // Mode 1 repeats the end coefficients instead of extending the line.
  EXPECT_NEAR(s.Eval(0.0f), h / 6.0f, 1e-4f);
  EXPECT_GT(s.Eval(10.0f) - 10.0f, 1.0f);
  EXPECT_LT(s.Eval(500.0f) - 500.0f, -1.0f);
}

TEST(CubicBSplineEval, OutsideTheDomainIsInfiniteAndReported) {
  std::ostringstream log;
  const CubicBSpline s = Curve(LogSink::To(log));
  float v = 0.0f;
  EXPECT_EQ(LoggedBy(log, [&] { v = s.Eval(501.0f); }), "OOR: 0,501,501\n");
  EXPECT_EQ(v, std::numeric_limits<float>::infinity());
  EXPECT_EQ(LoggedBy(log, [&] { v = s.Eval(-0.5f); }), "OOR: 0,501,-0.5\n");
  EXPECT_EQ(v, std::numeric_limits<float>::infinity());
  const std::string nanLine = LoggedBy(log, [&] { v = s.Eval(std::numeric_limits<float>::quiet_NaN()); });
  EXPECT_EQ(nanLine.rfind("OOR: 0,501,", 0), 0u);
  EXPECT_EQ(v, std::numeric_limits<float>::infinity());
}

TEST(CubicBSplineEval, TopOfTheDomainStaysInTheLastInterval) {
  CubicBSpline s = Curve();
  SetIdentity(s);
  const float top = std::nextafter(501.0f, 0.0f);  // 500.99997
  const float v = s.Eval(top);
  EXPECT_TRUE(std::isfinite(v));
  EXPECT_NEAR(v, s.Eval(500.9f), 0.1f);
}

TEST(CubicBSplineFit, OutOfRangeDataLeavesTheCoefficients) {
  std::ostringstream log;
  CubicBSpline s = Curve(LogSink::To(log));
  SetIdentity(s);
  const std::vector<float> before = s.Coeffs();
  std::vector<float> x = {0, 10, 20, 30, 40, 50, 255, 240, 500, 600};
  bool fitted = true;
  const std::string lines = LoggedBy(log, [&] { fitted = s.Fit(x, x); });
  EXPECT_EQ(lines, "OOR: 0,501,600\nData out of range:600\n");
  EXPECT_FALSE(fitted);
  EXPECT_EQ(s.Coeffs(), before);
}

// The design matrix from the curve itself: column c is the curve with coefficient c at 1.
cv::Mat DesignMatrix(const std::vector<float>& x) {
  cv::Mat a(static_cast<int>(x.size()), 8, CV_64F);
  for (int c = 0; c < 8; ++c) {
    CubicBSpline unit = Curve();
    unit.Coeffs()[static_cast<std::size_t>(c)] = 1.0f;
    for (int i = 0; i < a.rows; ++i) a.at<double>(i, c) = unit.Eval(x[static_cast<std::size_t>(i)]);
  }
  return a;
}

// The fit minimises |A w - b|^2 + lambda |w - k|^2 with lambda = (0.2 * largest singular value)^2:
// compare with the normal equations (A'A + lambda I) w = A'b + lambda k.
void ExpectDampedLeastSquares(const std::vector<float>& x, const std::vector<float>& y) {
  CubicBSpline s = Curve();
  ASSERT_TRUE(s.Fit(x, y));
  const cv::Mat a = DesignMatrix(x);
  cv::Mat sv;
  cv::SVD::compute(a, sv, cv::SVD::NO_UV);
  const float scaled = static_cast<float>(0.2 * sv.at<double>(0));
  const double lambda = static_cast<double>(scaled * scaled);
  cv::Mat b(static_cast<int>(y.size()), 1, CV_64F), k(8, 1, CV_64F);
  for (int i = 0; i < b.rows; ++i) b.at<double>(i) = y[static_cast<std::size_t>(i)];
  for (int j = 0; j < 8; ++j) k.at<double>(j) = static_cast<double>(static_cast<float>(j) * s.Spacing());
  const cv::Mat lhs = a.t() * a + lambda * cv::Mat::eye(8, 8, CV_64F);
  const cv::Mat rhs = a.t() * b + lambda * k;
  cv::Mat w;
  ASSERT_TRUE(cv::solve(lhs, rhs, w, cv::DECOMP_CHOLESKY));
  for (int j = 0; j < 8; ++j)
    EXPECT_NEAR(s.Coeffs()[static_cast<std::size_t>(j)], w.at<double>(j), 2e-3) << j;
}

TEST(CubicBSplineFit, SolvesTheDampedProblemForAnyRowCount) {
  std::vector<float> x = {0, 10, 20, 30, 40, 50, 255, 240, 500};
  std::vector<float> y = x;
  ExpectDampedLeastSquares(x, y);  // nine rows, the fewest the channel mapping passes
  for (const auto& [xi, yi] : {std::pair{120.0f, 150.0f},
                               {180.0f, 200.0f},
                               {210.0f, 230.0f},
                               {90.0f, 130.0f},
                               std::pair{60.0f, 75.0f},
                               {160.0f, 190.0f},
                               {230.0f, 250.0f},
                               {110.0f, 140.0f},
                               std::pair{250.0f, 252.0f}}) {
    x.push_back(xi);
    y.push_back(yi);
  }
  ExpectDampedLeastSquares(x, y);  // eighteen rows
}

TEST(CubicBSplineFit, DampingPullsTowardsTheIdentity) {
  // Every middle point asks for 40 more than the identity; the fixed points ask for the identity.
  std::vector<float> x = {0, 10, 20, 30, 40, 50, 255, 240, 500};
  std::vector<float> y = x;
  for (const float xi : {100.0f, 120.0f, 140.0f, 160.0f, 180.0f}) {
    x.push_back(xi);
    y.push_back(xi + 40.0f);
  }
  CubicBSpline damped = Curve();
  ASSERT_TRUE(damped.Fit(x, y));
  const cv::Mat a = DesignMatrix(x);
  cv::Mat b(static_cast<int>(y.size()), 1, CV_64F);
  for (int i = 0; i < b.rows; ++i) b.at<double>(i) = y[static_cast<std::size_t>(i)];
  cv::Mat plain;
  ASSERT_TRUE(cv::solve(a, b, plain, cv::DECOMP_SVD));
  double dampedShift = 0.0, plainShift = 0.0;
  for (int j = 0; j < 8; ++j) {
    const double k = static_cast<double>(static_cast<float>(j) * damped.Spacing());
    dampedShift += std::pow(damped.Coeffs()[static_cast<std::size_t>(j)] - k, 2);
    plainShift += std::pow(plain.at<double>(j) - k, 2);
  }
  EXPECT_LT(dampedShift, 0.9 * plainShift);
  EXPECT_GT(damped.Eval(140.0f), 150.0f);  // still well above the identity
}

}  // namespace
}  // namespace histonorm
