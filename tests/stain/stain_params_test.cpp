#include "histonorm/stain_params.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>

namespace histonorm {
namespace {

// Reads `text` into `p`, returning the six lines the values log as.
std::string ReadFrom(StainParams& p, const std::string& text) {
  std::istringstream in(text);
  ReadStainParams(in, p);
  std::ostringstream log;
  LogStainParams(LogSink::To(log), p);
  return log.str();
}

TEST(StainParams, TwoNumbersSetTwoThresholdsAndAllSixAreLogged) {
  StainParams p;
  const std::string lines = ReadFrom(p, "0.95\n20\n");
  EXPECT_EQ(lines,
            "Prob threshold: 0.95\nBlack threshold: 20\nWhite threshold: 300\nBackground threshold: 0.75\n"
            "Foreground threshold: 0.75\nDot product correction threshold: 0.8\n");
  EXPECT_EQ(p.probThreshold, 0.95f);
  EXPECT_EQ(p.blackThreshold, 20.0f);
  EXPECT_EQ(p.whiteThreshold, 300.0f);
  EXPECT_EQ(p.dotProductThreshold, 0.8f);
}

TEST(StainParams, ValuesOutsideTheirRangeAreRefusedWithTheirLineAndExtrasIgnored) {
  const std::pair<const char*, std::pair<std::size_t, const char*>> refused[] = {
      {"0.9 25 x 0.5 0.5 0.5", {1, "x"}},
      {"0.9\n\n30 nan", {3, "nan"}},
      {"0.9 inf", {1, "inf"}},
      {"0.9 1e39", {1, "1e39"}},
      {"1.5", {1, "1.5"}},
      {"0.9 30 300 0.7 0.7\n-0.2", {2, "-0.2"}},
      {"0.95,", {1, "0.95,"}},
      {"0.9 -1", {1, "-1"}}};
  for (const auto& [text, where] : refused) {
    StainParams p;
    std::istringstream in(text);
    try {
      ReadStainParams(in, p);
      ADD_FAILURE() << text;
    } catch (const StainParamsError& e) {
      EXPECT_EQ(e.Line(), where.first) << text;
      EXPECT_EQ(e.Text(), where.second) << text;
    }
    EXPECT_EQ(p.probThreshold, 0.99f) << "nothing is changed by a refused file: " << text;
  }

  StainParams all;
  ReadFrom(all, "0.5\t10 200\n0.6 0.7 0.95 17 18");
  EXPECT_EQ(all.probThreshold, 0.5f);
  EXPECT_EQ(all.whiteThreshold, 200.0f);
  EXPECT_EQ(all.foregroundThreshold, 0.7f);
  EXPECT_EQ(all.dotProductThreshold, 0.95f);
  EXPECT_EQ(all.blackThreshold, 10.0f);
  EXPECT_EQ(all.backgroundThreshold, 0.6f);
}

TEST(StainParams, ProblemNamesTheFirstFieldOutsideItsRange) {
  StainParams p;
  EXPECT_EQ(StainParamsProblem(p), "");
  p.whiteThreshold = -1.0f;
  p.dotProductThreshold = 2.0f;
  EXPECT_EQ(StainParamsProblem(p), "whiteThreshold -1 is outside 0..infinity");
  p.whiteThreshold = 300.0f;
  EXPECT_EQ(StainParamsProblem(p), "dotProductThreshold 2 is outside 0..1");
  p.dotProductThreshold = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(StainParamsProblem(p).rfind("dotProductThreshold nan", 0), 0u);
}

}  // namespace
}  // namespace histonorm
