// histonorm-slide as a user runs it: a JPEG pyramid close to the slide, the same bytes for any thread count,
// and on every failure one line, status -1 and no output file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vips/vips8>

#include "opened_slide.h"
#include "slide/slide_reader.h"
#include "support/cli_run.h"

namespace histonorm::test {
namespace {

const std::string kCmu = std::string(HISTONORM_WSI_DIR) + "/cmu_small_region.svs";

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SlideCli, JpegPyramidIsCloseToTheSlide) {
  const ScratchDir dir;
  const CliResult run =
      RunCli(HISTONORM_SLIDE_EXE, {"Identity", kCmu, "out.tif", "--quality", "95"}, dir.Path());
  ASSERT_EQ(run.status, 0) << run.errText;
  const OpenedSlide written(dir / "out.tif");
  ASSERT_TRUE(written.IsOpen());
  EXPECT_EQ(written.LevelCount(), 4);  // 2220 x 2967 down to 277 x 370, in tiles of 512
  const cv::Mat source = slide::Slide::Open(kCmu).ReadRegion(0, {0, 0, 2220, 2967});
  EXPECT_GT(cv::PSNR(written.ReadLevel(0), source), 40);
}

TEST(SlideCli, SameBytesForAnyThreadCount) {
  const ScratchDir dir;
  for (const std::string threads : {"1", "2"}) {
    const CliResult run =
        RunCli(HISTONORM_SLIDE_EXE, {"Identity", kCmu, threads + ".tif", "--threads", threads}, dir.Path());
    ASSERT_EQ(run.status, 0) << run.errText;
  }
  EXPECT_EQ(FileBytes(dir / "1.tif"), FileBytes(dir / "2.tif"));
}

struct BadRun {
  std::string name;
  std::string file;  // the slide argument, in the scratch folder
  std::string method = "Identity";
  std::string message;  // the start of the one line on standard error
};

void PrintTo(const BadRun& run, std::ostream* out) { *out << run.name; }

class SlideCliFailure : public ::testing::TestWithParam<BadRun> {};

// Bad slides and methods: one line, status -1, and an earlier output file is left as it was.
TEST_P(SlideCliFailure, OneLineStatusMinusOneAndNoOutput) {
  const BadRun& bad = GetParam();
  const ScratchDir dir;
  slide::StartVips();
  const std::string slide = FileBytes(kCmu);
  dir.WriteText("truncated.svs", slide.substr(0, slide.size() / 4));
  dir.WriteText("text.svs", "not a slide\n");
  vips::VImage::new_from_file((std::string(HISTONORM_SAMPLE_DIR) + "/he_sample_1.png").c_str())
      .tiffsave((dir / "strips.tif").c_str());
  dir.WriteText("cmu.svs", slide);
  dir.MakeDir("out");
  dir.WriteText("out/earlier.tif", "earlier");

  const CliResult run = RunCli(HISTONORM_SLIDE_EXE, {bad.method, bad.file, "out/earlier.tif"}, dir.Path());
  EXPECT_EQ(run.status, 255);
  ASSERT_EQ(run.Lines().size(), 1U) << run.errText;
  EXPECT_EQ(run.Lines()[0].rfind(bad.message, 0), 0U) << run.errText;
  EXPECT_EQ(FileBytes(dir / "out/earlier.tif"), "earlier");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, SlideCliFailure,
    ::testing::Values(
        BadRun{"Missing", "missing.svs", "Identity", "Failed to open slide 'missing.svs': "},
        BadRun{"Truncated", "truncated.svs", "Identity", "Failed to open slide 'truncated.svs': "},
        BadRun{"NotASlide", "text.svs", "Identity", "Failed to open slide 'text.svs': "},
        BadRun{"UntiledTiff", "strips.tif", "Identity", "Failed to open slide 'strips.tif': "},
        BadRun{"NoTarget", "cmu.svs", "Reinhard", "Failed to prepare Reinhard: give a target image"}),

    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace histonorm::test
