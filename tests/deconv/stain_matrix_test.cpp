#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "deconv/class_mean_colour.h"
#include "deconv/colour_deconv.h"
#include "deconv/unit_vector.h"
#include "support/cli_run.h"
#include "support/text_lines.h"

namespace histonorm {
namespace {

using test::VectorOf;

// Stain models that log into the test's lines.
class LoggedDeconv : public testing::Test {
 protected:
  CColourDeconv Initialised() {
    CColourDeconv deconv(LogSink([this](std::string_view line) { lines_.emplace_back(line); }));
    deconv.Init();
    return deconv;
  }
  // Builds the matrix and returns the lines it logged.
  std::vector<std::string> Build(CColourDeconv& deconv, const std::array<float, 3>& s0,
                                 const std::array<float, 3>& s1) {
    lines_.clear();
    deconv.BuildStainMatrix(s0, s1);
    return lines_;
  }

 private:
  std::vector<std::string> lines_;
};
class OpticalDensity : public LoggedDeconv {};
class BuildStainMatrix : public LoggedDeconv {};
class WriteVectors : public LoggedDeconv {};

double Dot01(const Matrix3& s) { return (s[0][0] * s[0][1] + s[1][0] * s[1][1]) + s[2][0] * s[2][1]; }

double ColumnLength(const Matrix3& s, int k) {
  return std::sqrt(s[0][k] * s[0][k] + s[1][k] * s[1][k] + s[2][k] * s[2][k]);
}

TEST_F(OpticalDensity, TableEnds) {
  const CColourDeconv deconv = Initialised();
  EXPECT_DOUBLE_EQ(deconv.LogScale(), 5.541263545158426);
  EXPECT_EQ(deconv.OdTable()[0], 255.0f);
  EXPECT_NEAR(deconv.OdTable()[1], 223.10249f, 1e-4);
  EXPECT_EQ(deconv.OdTable()[254], 0.0f);
  EXPECT_NEAR(deconv.OdTable()[255], -0.18011f, 1e-5);
  for (int v = 1; v < 256; ++v) EXPECT_LT(deconv.OdTable()[v], deconv.OdTable()[v - 1]) << v;
}

TEST_F(OpticalDensity, InitRestoresThreshold) {
  CColourDeconv deconv = Initialised();
  deconv.dotProductThreshold = 0.3f;
  deconv.Init();
  EXPECT_EQ(deconv.dotProductThreshold, 0.8f);
  EXPECT_FALSE(deconv.IsUsable());
}

TEST(VectorFromMean, KnownMean) {
  const std::array<float, 3> v = VectorOf(100, 50, 200);
  EXPECT_NEAR(v[0], 0.495271f, 1e-6);
  EXPECT_NEAR(v[1], 0.859137f, 1e-6);
  EXPECT_NEAR(v[2], 0.128801f, 1e-6);
  // Exact single-precision results of the specified evaluation order.
  EXPECT_EQ(v[0], 0.49527105689048767f);
  EXPECT_EQ(v[1], 0.8591371774673462f);
  EXPECT_EQ(v[2], 0.12880122661590576f);
}

TEST(VectorFromMean, DegenerateMeansGiveNotANumber) {
  for (const float v : VectorOf(255, 255, 255)) EXPECT_TRUE(std::isnan(v));
  for (const float v : VectorOf(NAN, NAN, NAN)) EXPECT_TRUE(std::isnan(v));
}

TEST_F(BuildStainMatrix, SeparatedVectorsArePrintedAndKept) {
  CColourDeconv deconv = Initialised();
  const auto s0 = VectorOf(100, 50, 200);
  const auto s1 = VectorOf(230, 150, 90);
  ASSERT_LE(Dot01({{{s0[0], s1[0], 0}, {s0[1], s1[1], 0}, {s0[2], s1[2], 0}}}), 0.8);
  const std::vector<std::string> lines = Build(deconv, s0, s1);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Vec: 0.495271,0.859137,0.128801");
  EXPECT_EQ(lines[2], "Vec: 0,0,0");
  EXPECT_EQ(lines[3], "Doing Max Dt Product Correction: 0.8");
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(deconv.Stains()[i][0], s0[i] / deconv.StainLengths()[0], 1e-15);
    EXPECT_NEAR(deconv.Stains()[i][1], s1[i] / deconv.StainLengths()[1], 1e-15);
    EXPECT_EQ(deconv.RawStains()[i][2], 0.0);
  }
  EXPECT_TRUE(deconv.IsUsable());
}

TEST_F(BuildStainMatrix, CorrectionSeparatesCloseVectors) {
  CColourDeconv deconv = Initialised();
  // Unit vectors at a dot product of 0.9: s1 = 0.9 s0 + sqrt(0.19) u with u orthogonal to s0.
  const std::array<float, 3> s0 = {0.6f, 0.64f, 0.48f};
  const std::array<double, 3> u = {0.8, -0.48, -0.36};
  const double w = std::sqrt(0.19);
  const std::array<float, 3> s1 = {static_cast<float>(0.9 * s0[0] + w * u[0]),
                                   static_cast<float>(0.9 * s0[1] + w * u[1]),
                                   static_cast<float>(0.9 * s0[2] + w * u[2])};
  Build(deconv, s0, s1);
  const Matrix3& m = deconv.Stains();
  EXPECT_LE(static_cast<float>(Dot01(m)), 0.8f);
  EXPECT_GT(Dot01(m), 0.79);  // stops at the first pass below the threshold
  // Exact results of the 374 passes, evaluated independently in the same order and precision.
  const Matrix3 expected = {{{0.5202041492683374, 0.9287175830368195, 0},
                             {0.6832335547588176, 0.29663028822706505, 0},
                             {0.51242516287166, 0.2224727340572715, 0}}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m[i][0], expected[i][0]) << i;
    EXPECT_EQ(m[i][1], expected[i][1]) << i;
  }
  EXPECT_NEAR(ColumnLength(m, 0), 1.0, 1e-7);
  EXPECT_NEAR(ColumnLength(m, 1), 1.0, 1e-7);
  // The raw vectors are what was given.
  EXPECT_EQ(deconv.RawStains()[0][1], static_cast<double>(s1[0]));
}

TEST_F(BuildStainMatrix, CorrectionHonoursOwnersThreshold) {
  CColourDeconv deconv = Initialised();
  deconv.dotProductThreshold = 0.5f;
  const auto lines = Build(deconv, VectorOf(110, 80, 160), VectorOf(230, 150, 200));
  EXPECT_EQ(lines.back(), "Doing Max Dt Product Correction: 0.5");
  EXPECT_LE(static_cast<float>(Dot01(deconv.Stains())), 0.5f);
}

TEST_F(BuildStainMatrix, NearlyParallelVectorsSeparateWithoutHittingTheBound) {
  CColourDeconv deconv = Initialised();
  // About 10800 passes.
  const auto lines = Build(deconv, {0.6f, 0.64f, 0.48f}, {0.60001f, 0.64f, 0.47999f});
  EXPECT_EQ(lines.size(), 4u);
  EXPECT_LE(static_cast<float>(Dot01(deconv.Stains())), 0.8f);
}

TEST_F(BuildStainMatrix, CorrectionIsBoundedForParallelVectors) {
  CColourDeconv deconv = Initialised();
  const auto v = VectorOf(120, 90, 170);
  const auto lines = Build(deconv, v, v);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[4], "Max dot product correction stopped after 100000 passes");
}

TEST_F(BuildStainMatrix, CorrectionIsBoundedForUnreachableThreshold) {
  CColourDeconv deconv = Initialised();
  deconv.dotProductThreshold = -1.5f;
  const auto lines = Build(deconv, VectorOf(110, 80, 160), VectorOf(230, 150, 200));
  EXPECT_EQ(lines.back(), "Max dot product correction stopped after 100000 passes");
}

TEST_F(BuildStainMatrix, ZeroComponentsBecomeSmallInStainsOnly) {
  CColourDeconv deconv = Initialised();
  // A mean colour with green at 255 has zero density in green.
  const auto s0 = VectorOf(120, 255, 170);
  ASSERT_EQ(s0[1], 0.0f);
  Build(deconv, s0, VectorOf(230, 150, 200));
  EXPECT_EQ(deconv.Stains()[1][0], 0.001);
  EXPECT_EQ(deconv.RawStains()[1][0], 0.0);

  test::ScratchDir dir;
  ASSERT_TRUE(deconv.WriteVectors(dir / "v.txt"));
  std::ifstream in(dir / "v.txt");
  std::string first;
  std::getline(in, first);
  std::istringstream fields(first);
  std::string red, green, blue;
  fields >> red >> green >> blue;
  EXPECT_EQ(std::stod(green), 0.0);
}

TEST_F(BuildStainMatrix, RowOutsideUnitDiscHasSmallThirdComponent) {
  CColourDeconv deconv = Initialised();
  deconv.dotProductThreshold = 1.0f;  // no correction: keep both red components large
  Build(deconv, {0.8f, 0.6f, 0.0f}, {0.8f, 0.0f, 0.6f});
  // 0.8^2 + 0.8^2 > 1, so the red component of the third stain is zero before the small-value rule.
  EXPECT_EQ(deconv.Stains()[0][2], 0.001);
}

TEST_F(BuildStainMatrix, InverseOfRealisticStains) {
  CColourDeconv deconv = Initialised();
  Build(deconv, VectorOf(110, 80, 160), VectorOf(230, 150, 200));
  const Matrix3& s = deconv.Stains();
  const Matrix3& q = deconv.InverseStains();
  for (int k = 0; k < 3; ++k) {
    for (int j = 0; j < 3; ++j) {
      double sum = 0.0;
      for (int i = 0; i < 3; ++i) sum += q[k][i] * s[i][j];
      EXPECT_NEAR(sum, k == j ? 1.0 : 0.0, 1e-12) << k << "," << j;
    }
  }
  EXPECT_TRUE(deconv.IsUsable());
}

TEST_F(BuildStainMatrix, NotANumberVectorIsUnusable) {
  CColourDeconv deconv = Initialised();
  const auto lines = Build(deconv, VectorOf(NAN, NAN, NAN), VectorOf(230, 150, 200));
  EXPECT_EQ(lines.size(), 4u);  // the correction loop does not run
  EXPECT_FALSE(deconv.IsUsable());
}

TEST_F(WriteVectors, ThreeLinesOfRawComponents) {
  CColourDeconv deconv = Initialised();
  Build(deconv, VectorOf(100, 50, 200), VectorOf(110, 80, 160));
  test::ScratchDir dir;
  dir.WriteText("v.txt", "old contents that must go\n\n\n\n");
  ASSERT_TRUE(deconv.WriteVectors(dir / "v.txt"));
  std::ifstream in(dir / "v.txt");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "0.495271 0.859137 0.128801\n0.558644 0.769281 0.31004\n0 0 0\n");
  EXPECT_EQ(deconv.VectorsText(), text.str());
}

TEST_F(WriteVectors, MissingDirectoryIsSkippedSilently) {
  CColourDeconv deconv = Initialised();
  Build(deconv, VectorOf(100, 50, 200), VectorOf(110, 80, 160));
  test::ScratchDir dir;
  const std::string path = dir / "missing/v.txt";
  EXPECT_FALSE(deconv.WriteVectors(path));
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace histonorm
