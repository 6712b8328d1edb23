// The slide subsystem: what it writes, read back through OpenSlide, against the level read whole.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "histonorm/method.h"
#include "opened_slide.h"
#include "slide/slide_reader.h"
#include "slide/slide_writer.h"
#include "slide/tile_transform.h"
#include "support/cli_run.h"

namespace histonorm::slide {
namespace {

using test::OpenedSlide;
using test::ScratchDir;

std::string Shipped(const std::string& name) { return std::string(HISTONORM_WSI_DIR) + "/" + name; }

// A per-channel level table unlike the identity, fitted on `sample`: channel mix-ups would show.
std::unique_ptr<const FittedTransform> TableTransform(const cv::Mat& sample) {
  TransformTarget target;
  target.image = cv::imread(std::string(HISTONORM_SAMPLE_DIR) + "/he_sample_2.png");
  return MakeFittedTransform("RGBHistSpec", target, sample);
}

// A 4000 x 4000 generic tiled TIFF with a pyramid, built once for the suite.
class SlideFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new ScratchDir();
    test::WriteSyntheticSlide(*scratch_ / "synthetic.tif", {4000, 4000});
    test::WriteSyntheticSlide(*scratch_ / "thin.tif", {20000, 16});
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }
  static std::string Path(const std::string& name) {
    return name == "synthetic.tif" || name == "thin.tif" ? *scratch_ / name : Shipped(name);
  }
  static ScratchDir* scratch_;
};
ScratchDir* SlideFiles::scratch_ = nullptr;

struct WriteCase {
  std::string slide;
  int level;
  int tileSize;
};

void PrintTo(const WriteCase& c, std::ostream* out) {
  *out << c.slide << " level " << c.level << " tile " << c.tileSize;
}

class SlideWrite : public SlideFiles, public ::testing::WithParamInterface<WriteCase> {};

// Lossless output: every level-0 pixel, on both sides of every tile border, is the transform of the source
// pixel; the pyramid has the expected levels and the resolution is the source level's.
TEST_P(SlideWrite, LosslessLevelIsTheTransformOfTheWholeLevel) {
  const WriteCase& c = GetParam();
  const Slide slide = Slide::Open(Path(c.slide));
  const cv::Mat source = slide.ReadRegion(c.level, cv::Rect({}, slide.LevelSize(c.level)));
  const std::unique_ptr<const FittedTransform> transform = TableTransform(source);
  const ScratchDir out;
  WriteSlide(slide, *transform, out / "out.tif",
             {.level = c.level, .tileSize = c.tileSize, .lossless = true});

  const OpenedSlide written(out / "out.tif");
  ASSERT_TRUE(written.IsOpen());
  const std::vector<cv::Size> sizes = test::PyramidSizes(slide.LevelSize(c.level), c.tileSize);
  ASSERT_EQ(written.LevelCount(), static_cast<int>(sizes.size()));
  for (int level = 0; level < written.LevelCount(); ++level)
    EXPECT_EQ(written.LevelSize(level), sizes[level]);

  EXPECT_EQ(cv::norm(written.ReadLevel(0), transform->Apply(source), cv::NORM_INF), 0);

  if (const auto microns = slide.MicronsPerPixel(c.level)) {
    EXPECT_EQ(written.Property("tiff.ResolutionUnit"), "centimeter");
    EXPECT_NEAR(std::stod(written.Property("tiff.XResolution").value_or("0")), 1e4 / microns->x, 0.01);
    EXPECT_NEAR(std::stod(written.Property("tiff.YResolution").value_or("0")), 1e4 / microns->y, 0.01);
  }
}

INSTANTIATE_TEST_SUITE_P(Slides, SlideWrite,
                         ::testing::Values(WriteCase{"cmu_small_region.svs", 0, 256},
                                           WriteCase{"tcga_frozen_section.svs", 1, 512},
                                           WriteCase{"synthetic.tif", 0, 512},
                                           WriteCase{"synthetic.tif", 2, 128}, WriteCase{"thin.tif", 0, 16}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(SlideFiles, SlideLevelsAndResolutionAreRead) {
  const Slide svs = Slide::Open(Shipped("cmu_small_region.svs"));
  EXPECT_EQ(svs.LevelCount(), 1);
  EXPECT_EQ(svs.LevelSize(0), cv::Size(2220, 2967));
  EXPECT_EQ(svs.MicronsPerPixel(), cv::Point2d(0.499, 0.499));
  const Slide tiff = Slide::Open(Path("synthetic.tif"));
  EXPECT_EQ(tiff.LevelCount(), 5);  // 4000 down to 250 (one tile of 256)
  EXPECT_EQ(tiff.LevelSize(4), cv::Size(250, 250));
  // The levels of a generic TIFF, decoded by libtiff, are OpenSlide's pixels.
  EXPECT_EQ(cv::norm(tiff.ReadRegion(2, {0, 0, 1000, 1000}), OpenedSlide(Path("synthetic.tif")).ReadLevel(2),
                     cv::NORM_INF),
            0);
}

// The reduced sample is the coarsest level that fits, or the only level shrunk by a whole factor.
TEST_F(SlideFiles, ReducedLevelFitsThePixelBudget) {
  const Slide twoLevels = Slide::Open(Shipped("tcga_frozen_section.svs"));
  EXPECT_EQ(ReadReducedLevel(twoLevels, 0, 4e6).size(), twoLevels.LevelSize(1));
  const Slide oneLevel = Slide::Open(Shipped("cmu_small_region.svs"));
  EXPECT_EQ(ReadReducedLevel(oneLevel, 0, 4e6).size(),
            cv::Size(1110, 1484));  // 2220 x 2967 halved, rounded up
}

// Any level, thin ones included, is shrunk to within the budget and to at least one pixel each way.
TEST(ReductionFactors, EveryLevelFitsTheBudgetWithoutVanishing) {
  constexpr double kBudget = 4e6;
  for (const cv::Size size : {cv::Size(2220, 2967), cv::Size(100000, 80000), cv::Size(2147483647, 256),
                              cv::Size(10000001, 256), cv::Size(256, 10000001), cv::Size(5000000, 1)}) {
    const cv::Size factors = ReductionFactors(size, kBudget);
    SCOPED_TRACE(testing::PrintToString(size) + " by " + testing::PrintToString(factors));
    ASSERT_TRUE(factors.width >= 1 && factors.width <= size.width);
    ASSERT_TRUE(factors.height >= 1 && factors.height <= size.height);
    const double across = std::ceil(static_cast<double>(size.width) / factors.width);
    const double down = std::ceil(static_cast<double>(size.height) / factors.height);
    EXPECT_LE(across * down, kBudget);
  }
  EXPECT_EQ(ReductionFactors({2220, 2967}, kBudget), cv::Size(2, 2));  // square where the sides allow
}

// The mosaic is a full grid of full-resolution tiles that favours tissue over glass.
TEST_F(SlideFiles, TissueMosaicIsAFullGridOfTissueTiles) {
  const Slide slide = Slide::Open(Shipped("cmu_small_region.svs"));
  const cv::Mat mosaic = ReadTissueMosaic(slide, 0, {.tileSize = 256, .maxTiles = 12});
  EXPECT_EQ(mosaic.cols % 256, 0);
  EXPECT_EQ(mosaic.rows % 256, 0);
  EXPECT_LE(mosaic.total(), 12U * 256 * 256);
  EXPECT_GE(mosaic.total(), 2U * 256 * 256);
  const cv::Scalar mosaicMean = cv::mean(mosaic);
  const cv::Scalar slideMean = cv::mean(ReadReducedLevel(slide, 0));
  EXPECT_LT(mosaicMean[0] + mosaicMean[1] + mosaicMean[2], slideMean[0] + slideMean[1] + slideMean[2]);
  // Reading it again gives the same tiles.
  EXPECT_EQ(cv::norm(mosaic, ReadTissueMosaic(slide, 0, {.tileSize = 256, .maxTiles = 12}), cv::NORM_INF), 0);
  EXPECT_EQ(ReadTissueMosaic(slide, 0, {.tileSize = 4096}).size(), slide.LevelSize(0));
}

class FailingTransform final : public FittedTransform {
  void Transform(const cv::Mat& /*input*/, cv::Mat& /*output*/, ChannelOrder /*order*/) const override {
    throw std::runtime_error("no colours today");
  }
};

// A failure while streaming, or an output folder that does not exist, leaves no file behind.
TEST_F(SlideFiles, FailedWriteLeavesNothingBehind) {
  const Slide slide = Slide::Open(Shipped("cmu_small_region.svs"));
  const ScratchDir out;
  EXPECT_THROW(WriteSlide(slide, FailingTransform(), out / "out.tif", {}), SlideError);
  EXPECT_THROW(WriteSlide(slide, IdentityTransform(), out / "missing/out.tif", {}), SlideError);
  EXPECT_TRUE(std::filesystem::is_empty(out.Path()));
}

TEST(TileTransformFactory, RefusesUnknownMethodsAndMissingTargets) {
  const cv::Mat sample(8, 8, CV_8UC3, cv::Scalar(10, 20, 30));
  EXPECT_EQ(cv::norm(MakeTileTransform("Identity", {}, sample)->Apply(sample), sample, cv::NORM_INF), 0);
  EXPECT_THROW((void)MakeTileTransform("Reinhard", {}, sample), std::invalid_argument);
  EXPECT_THROW((void)MakeTileTransform("Sharpen", {}, sample), std::invalid_argument);
  TransformTarget missing;
  missing.savedPath = "missing.json";
  EXPECT_THROW((void)MakeTileTransform("Reinhard", missing, sample), std::runtime_error);
}

class FittedSlide : public ::testing::TestWithParam<Method> {};

// Every method, measured once on a sample of the slide: the written level is the fitted transform of the
// level read whole, on both sides of every tile border.
TEST_P(FittedSlide, LosslessLevelIsTheFittedTransformOfTheWholeLevel) {
  const Slide slide = Slide::Open(Shipped("cmu_small_region.svs"));
  TransformTarget target;
  target.image = cv::imread(std::string(HISTONORM_SAMPLE_DIR) + "/he_sample_2.png");
  target.modelPath = std::string(HISTONORM_MODEL_DIR) + "/he.model";
  const cv::Mat sample = ReadReducedLevel(slide, 0, 1e6);
  const auto transform = MakeFittedTransform(MethodName(GetParam()), target, sample);
  const ScratchDir out;
  WriteSlide(slide, *transform, out / "out.tif", {.tileSize = 256, .lossless = true});
  const cv::Mat expected = transform->Apply(slide.ReadRegion(0, cv::Rect({}, slide.LevelSize(0))));
  EXPECT_EQ(cv::norm(OpenedSlide(out / "out.tif").ReadLevel(0), expected, cv::NORM_INF), 0);
}

INSTANTIATE_TEST_SUITE_P(AllMethods, FittedSlide, ::testing::ValuesIn(kAllMethods),
                         [](const auto& info) { return std::string(MethodName(info.param)); });

}  // namespace
}  // namespace histonorm::slide
