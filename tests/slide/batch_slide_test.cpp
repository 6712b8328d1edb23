// The batch command line with a slide among the images of its list.
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <tuple>

#include "histonorm/histonorm.h"
#include "opened_slide.h"
#include "slide/slide_reader.h"
#include "support/cli_run.h"

namespace histonorm::test {
namespace {

const std::string kCmu = std::string(HISTONORM_WSI_DIR) + "/cmu_small_region.svs";
const std::string kImage = std::string(HISTONORM_SAMPLE_DIR) + "/he_sample_1.png";
const std::string kReference = std::string(HISTONORM_SAMPLE_DIR) + "/he_sample_2.png";
const std::string kModel = std::string(HISTONORM_MODEL_DIR) + "/he.model";

// A scratch folder with data/list.txt naming an image and a copy of a shipped slide, and data/normalised/.
void WriteList(const ScratchDir& dir, const std::string& list) {
  dir.MakeDir("data/normalised");
  std::filesystem::copy_file(kImage, dir / "data/a.png");
  std::filesystem::copy_file(kCmu, dir / "data/cmu.svs");
  dir.WriteText("data/list.txt", list);
}

std::vector<std::string> BatchArguments(Method method, bool meanTarget) {
  std::vector<std::string> args{std::string(MethodName(method)), "data/list.txt"};
  if (!meanTarget) args.push_back(kReference);
  if (method == Method::kBimodalDeconvRVM) args.push_back(kModel);
  return args;
}

class BatchSlide : public ::testing::TestWithParam<std::tuple<Method, bool>> {};

// The image's result is the usual one, and the slide's level 0 is the fitted transform of its sample (within
// the JPEG round trip); with a mean target, the slide's sample counts after the image.
TEST_P(BatchSlide, ImageAsUsualAndSlideThroughItsFittedTransform) {
  const auto [method, meanTarget] = GetParam();
  const ScratchDir dir;
  WriteList(dir, "a.png\ncmu.svs\n");
  const CliResult run = RunCli(HISTONORM_EXE, BatchArguments(method, meanTarget), dir.Path());
  ASSERT_EQ(run.status, 0) << run.errText;

  Options options;
  options.colourModelPath = kModel;
  const std::unique_ptr<CNormBase> norm = MakeNormaliser(method, options);
  const cv::Mat image = cv::imread(kImage);
  const slide::Slide slide = slide::Slide::Open(kCmu);
  const cv::Mat sample = slide::ReadReducedLevel(slide, 0);
  if (meanTarget) {
    norm->CalcStats(image);
    norm->CalcStats(sample);
  } else {
    norm->CalcStats(cv::imread(kReference));
  }
  EXPECT_EQ(cv::norm(cv::imread(dir / "data/normalised/a.png"), norm->Norm(image), cv::NORM_INF), 0);

  const OpenedSlide written(dir / "data/normalised/cmu.tif");
  ASSERT_TRUE(written.IsOpen());
  EXPECT_EQ(written.LevelCount(), 4);  // 2220 x 2967 down to one tile of 512
  const cv::Mat expected = norm->Fit(sample)->Apply(slide.ReadRegion(0, cv::Rect({}, slide.LevelSize(0))));
  EXPECT_GT(cv::PSNR(written.ReadLevel(0), expected), 35);
}

// Every method, and each kind of target with two of them.
INSTANTIATE_TEST_SUITE_P(AllMethods, BatchSlide,
                         ::testing::Values(std::tuple(Method::kReinhard, true),
                                           std::tuple(Method::kBimodalDeconvRVM, false),
                                           std::tuple(Method::kRGBHistSpec, true),
                                           std::tuple(Method::kRGBHistSpecThresh, false)),
                         [](const auto& info) {
                           return std::string(MethodName(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "MeanTarget" : "ImageTarget");
                         });

// A slide that cannot be read, or whose result would take an image's name, stops the run with status -1
// and leaves no result for it.
TEST(BatchSlideFailure, BadSlideStopsTheRunWithoutItsResult) {
  const ScratchDir dir;
  WriteList(dir, "a.png\nbad.svs\n");
  dir.WriteText("data/bad.svs", "not a slide\n");
  const CliResult bad = RunCli(HISTONORM_EXE, BatchArguments(Method::kReinhard, false), dir.Path());
  EXPECT_EQ(bad.status, 255);
  EXPECT_EQ(bad.Lines().back().rfind("Failed to load slide: 'data/bad.svs': ", 0), 0U) << bad.errText;
  EXPECT_TRUE(std::filesystem::exists(dir / "data/normalised/a.png"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "data/normalised"), {}), 1);

  dir.WriteImage("data/cmu.tif", cv::imread(kImage));
  dir.WriteText("data/list.txt", "cmu.tif\ncmu.svs\n");
  std::filesystem::remove(dir / "data/normalised/a.png");
  const CliResult clash = RunCli(HISTONORM_EXE, BatchArguments(Method::kReinhard, true), dir.Path());
  EXPECT_EQ(clash.status, 255);
  EXPECT_EQ(clash.Lines().back(),
            "Two list entries would be saved as 'data/normalised/cmu.tif': 'cmu.tif' and 'cmu.svs'");
  EXPECT_TRUE(std::filesystem::is_empty(dir / "data/normalised"));
}

}  // namespace
}  // namespace histonorm::test
