// The label-free stain methods: the direction estimators recover the stains a synthetic image was
// mixed from, and the guards keep glass and one-stain tiles from being darkened or given a stain
// they do not have.
#include "stain/od_stain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "histonorm/histonorm.h"

namespace histonorm {
namespace {

// A tile of random amounts (uniform up to `most`) of the standard haematoxylin and eosin.
cv::Mat MixedTile(std::array<float, 2> most, int size, std::uint64_t seed) {
  const StainBasis stains = StandardHaemEosin();
  cv::RNG rng(seed);
  cv::Mat tile(size, size, CV_8UC3);
  for (auto it = tile.begin<cv::Vec3b>(); it != tile.end<cv::Vec3b>(); ++it) {
    const float c0 = rng.uniform(0.0f, 1.0f) * most[0];
    const float c1 = rng.uniform(0.0f, 1.0f) * most[1];
    for (int ch = 0; ch < 3; ++ch)
      (*it)[2 - ch] = ByteOfOd(c0 * stains.stain[0][ch] + c1 * stains.stain[1][ch]);
  }
  return tile;
}

float AngleDegrees(const OdVector& a, const OdVector& b) {
  return static_cast<float>(std::acos(std::min(1.0f, Dot(a, b))) * 180.0 / std::numbers::pi);
}

class Estimator : public testing::TestWithParam<DirectionEstimator> {};

TEST_P(Estimator, RecoversTheStainsOfATwoStainMixture) {
  const ImageColours colours(MixedTile({1.5f, 1.2f}, 128, 7), SIZE_MAX);
  const GuardedBasis found = GuardedDirections(CollectTissue(colours, {}), GetParam(),
                                               {StainBasis{}, "no", false}, OdStainParams{}, LogSink{});
  ASSERT_FALSE(found.fellBack);
  const StainBasis truth = StandardHaemEosin();
  for (int k = 0; k < 2; ++k) EXPECT_LT(AngleDegrees(found.basis.stain[k], truth.stain[k]), 4.0f) << k;
}

INSTANTIATE_TEST_SUITE_P(Both, Estimator,
                         testing::Values(DirectionEstimator::kPrincipalPlane,
                                         DirectionEstimator::kSparseFactorisation));

TEST(ConcentrationSolver, SolvesMixturesExactlyAndNeverGoesNegative) {
  const StainBasis stains = StandardHaemEosin();
  const ConcentrationSolver solver(stains, 0.0f);
  OdVector od{};
  for (int ch = 0; ch < 3; ++ch) od[ch] = 0.8f * stains.stain[0][ch] + 0.3f * stains.stain[1][ch];
  const std::array<float, 2> c = solver.Solve(od);
  EXPECT_NEAR(c[0], 0.8f, 1e-4f);
  EXPECT_NEAR(c[1], 0.3f, 1e-4f);
  // Blue alone lies outside the cone of the two stains: one stain takes it, none goes negative.
  const std::array<float, 2> blue = solver.Solve({0.0f, 0.0f, 1.0f});
  EXPECT_GE(blue[0], 0.0f);
  EXPECT_GE(blue[1], 0.0f);
  EXPECT_EQ(blue[0] * blue[1], 0.0f);
}

// Mean optical density norm and mean haematoxylin and eosin amounts (99th percentiles) of a tile.
struct Measured {
  double odNorm = 0.0;
  std::array<float, 2> stains{};
};

Measured Measure(const cv::Mat& tile) {
  const ImageColours colours(tile, SIZE_MAX);
  Measured m;
  for (std::size_t i = 0; i < colours.Keys().size(); ++i) {
    m.odNorm += Norm(OdOfKey(colours.Keys()[i])) * colours.Counts()[i];
  }
  m.odNorm /= static_cast<double>(tile.total());
  OdStainParams all;
  all.tissueOd = 0.0f;
  m.stains = ConcentrationPercentiles(CollectTissue(colours, all),
                                      ConcentrationSolver(StandardHaemEosin(), 0.0f), 99.0f);
  return m;
}

struct GuardCase {
  const char* name;
  std::array<float, 2> most;  // 0: a stain the tile does not have; both 0: glass
};

class Guards : public testing::TestWithParam<std::tuple<Method, GuardCase>> {};

TEST_P(Guards, OneStainAndGlassTilesAreNotDarkenedNorGivenAStain) {
  const auto [method, tileCase] = GetParam();
  std::vector<std::string> lines;
  Options options;
  options.log = LogSink([&lines](std::string_view line) { lines.emplace_back(line); });
  const auto norm = MakeNormaliser(method, options);
  norm->CalcStats(MixedTile({1.2f, 1.0f}, 96, 1));
  lines.clear();
  cv::Mat tile;
  if (tileCase.most[0] == 0.0f && tileCase.most[1] == 0.0f) {
    tile.create(64, 64, CV_8UC3);
    cv::randu(tile, cv::Scalar::all(242), cv::Scalar::all(251));  // bright, faintly uneven glass
  } else {
    tile = MixedTile(tileCase.most, 64, 3);
  }
  const cv::Mat result = norm->Norm(tile);
  if (tileCase.most[0] == 0.0f && tileCase.most[1] == 0.0f) {
    EXPECT_EQ(cv::norm(result, tile, cv::NORM_INF), 0.0);  // glass keeps its bytes
    return;
  }
  const Measured in = Measure(tile);
  const Measured out = Measure(result);
  EXPECT_LE(out.odNorm, in.odNorm * 1.05);
  const int absent = tileCase.most[0] == 0.0f ? 0 : 1;
  EXPECT_LT(out.stains[absent], 0.1f * out.stains[1 - absent]);
  bool fellBack = false;
  for (const std::string& line : lines)
    fellBack |= line.find("using the target's directions") != std::string::npos;
  EXPECT_TRUE(fellBack);
}

INSTANTIATE_TEST_SUITE_P(
    LabelFree, Guards,
    testing::Combine(testing::Values(Method::kBimodalDeconvPCA, Method::kMacenko, Method::kVahadane),
                     testing::Values(GuardCase{"Glass", {0.0f, 0.0f}}, GuardCase{"Eosin", {0.0f, 1.2f}},
                                     GuardCase{"Haematoxylin", {1.2f, 0.0f}})),
    [](const testing::TestParamInfo<std::tuple<Method, GuardCase>>& info) {
      return std::string(MethodName(std::get<0>(info.param))) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace histonorm
