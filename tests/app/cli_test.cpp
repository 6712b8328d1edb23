// End-to-end runs of the built executable on scratch folders.
#include <gtest/gtest.h>
#include <vips/vips.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <opencv2/imgcodecs.hpp>
#include <tuple>
#include <utility>

#include "support/cli_run.h"
#include "support/test_images.h"

namespace histonorm::test {
namespace {

namespace fs = std::filesystem;

const std::string kUsageA1 = "Usage: <method> <files_file.txt> (<ref_img>) (<colour_model>)";
const std::string kUsageA2 =
    "where <method> = {Reinhard, BimodalDeconvRVM, RGBHistSpec, RGBHistSpecThresh, BimodalDeconvPCA, "
    "Macenko, Vahadane}";
const std::string kUsageB1 = "Usage: <method> <files_file.txt> (<ref_img>) (<colour_model>) (</verbose>)";
const std::string kUsageB2 =
    "where <method> = {Reinhard, BimodalDeconvRVM, RGBHistSpec, RGBHistSpecThresh, BimodalDeconvPCA, "
    "Macenko, Vahadane}";
const std::string kExplanation =
    "files_file.txt should contain a list of image files stored in the same directory as files_file.txt. "
    "Output is to a directory called normalised, which should already exist before calling the program.";

// The lines after the banner (which ends with a blank line followed by the extra line end).
std::vector<std::string> AfterBanner(const CliResult& r) {
  const auto lines = r.Lines();
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    if (lines[i].rfind(" 4. ", 0) == 0) return {lines.begin() + static_cast<long>(i) + 2, lines.end()};
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class Cli : public testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("data/normalised");
    a_ = RandomImage(5, 6, 31);
    b_ = RandomImage(4, 3, 32);
    dir_.WriteImage("data/a.png", a_);
    dir_.WriteImage("data/b.png", b_);
  }
  CliResult Run(const std::vector<std::string>& args) { return RunCli(HISTONORM_EXE, args, dir_.Path()); }
  bool Output(const std::string& name) const { return fs::exists(dir_.Path() / "data/normalised" / name); }
  cv::Mat ReadOutput(const std::string& name) const {
    return cv::imread((dir_.Path() / "data/normalised" / name).string(), cv::IMREAD_COLOR);
  }

  ScratchDir dir_;
  cv::Mat a_, b_;
};

TEST_F(Cli, BannerThenUsageAWithoutEnoughArguments) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"Reinhard"}}) {
    const CliResult r = Run(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.outText.empty());
    const auto lines = r.Lines();
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[2].find_first_not_of('='), std::string::npos);
    EXPECT_EQ(AfterBanner(r), (std::vector<std::string>{kUsageA1, kUsageA2, "", kExplanation}));
  }
}

TEST_F(Cli, UnknownOrWrongCaseMethodGivesUsageB) {
  dir_.WriteText("data/list.txt", "a.png\n");
  for (const std::string method : {"reinhard", "RGBHistSpe", "RGBHistSpecThreshX", "Foo", "REINHARD"}) {
    const CliResult r = Run({method, "data/list.txt"});
    EXPECT_EQ(r.status, 255) << method;
    EXPECT_EQ(AfterBanner(r),
              (std::vector<std::string>{"Unknown method: '" + method + "'", kUsageB1, kUsageB2}))
        << method;
  }
  EXPECT_FALSE(Output("a.png"));
}

TEST_F(Cli, MissingListFileIsAFailure) {
  const CliResult r = Run({"Reinhard", "data/nolist.txt"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r), (std::vector<std::string>{"Failed to open list file: 'data/nolist.txt'"}));
  const CliResult dir = Run({"Reinhard", "data"});
  EXPECT_EQ(dir.status, 255);
  EXPECT_EQ(AfterBanner(dir), (std::vector<std::string>{"Failed to open list file: 'data'"}));
}

TEST_F(Cli, MeanTargetRunPrintsEveryStepAndSavesEveryImage) {
  dir_.WriteText("data/list.txt", "a.png\nb.png\n");
  const CliResult r = Run({"RGBHistSpec", "data/list.txt"});
  ASSERT_EQ(r.status, 0) << r.errText;
  EXPECT_TRUE(r.outText.empty());
  EXPECT_EQ(AfterBanner(r), (std::vector<std::string>{
                                " DIR: data/",
                                "No image target (using mean)",
                                "",
                                "[CalcStats] 'data/a.png'",
                                "Image loaded ok: 6,5",
                                "calculated stats ok",
                                "",
                                "[CalcStats] 'data/b.png'",
                                "Image loaded ok: 3,4",
                                "calculated stats ok",
                                "Calculated target stats",
                                "[Norm] data/a.png",
                                "->'data/normalised/a.png'",
                                "[Norm] data/b.png",
                                "->'data/normalised/b.png'",
                            }));
  EXPECT_EQ(ReadOutput("a.png").size(), a_.size());
  EXPECT_EQ(ReadOutput("b.png").size(), b_.size());
}

TEST_F(Cli, SingleTargetListedItselfIsUnchangedByHistogramMethods) {
  dir_.WriteText("data/list.txt", "a.png\n");
  for (const std::string method : {"RGBHistSpec", "RGBHistSpecThresh"}) {
    const CliResult r = Run({method, "data/list.txt", "data/a.png"});
    ASSERT_EQ(r.status, 0) << r.errText;
    EXPECT_EQ(AfterBanner(r), (std::vector<std::string>{" DIR: data/", "Single image target",
                                                        "Loaded target image OK", "Calculated target stats",
                                                        "[Norm] data/a.png", "->'data/normalised/a.png'"}));
    EXPECT_EQ(cv::norm(ReadOutput("a.png"), a_, cv::NORM_INF), 0.0) << method;
  }
}

TEST_F(Cli, LastNameWithoutLineEndAndMixedSeparatorsAreAllUsed) {
  dir_.WriteImage("data/c.png", RandomImage(2, 2, 33));
  dir_.WriteText("data/list.txt", "  a.png\tb.png \r\n\n c.png");
  const CliResult r = Run({"Reinhard", "data/list.txt"});
  ASSERT_EQ(r.status, 0) << r.errText;
  const auto lines = AfterBanner(r);
  EXPECT_TRUE(Contains(lines, "[CalcStats] 'data/c.png'"));
  EXPECT_TRUE(Output("a.png"));
  EXPECT_TRUE(Output("b.png"));
  EXPECT_TRUE(Output("c.png"));
}

TEST_F(Cli, EmptyListIsACompleteRunWithoutOutput) {
  dir_.WriteText("data/list.txt", " \n\t\n");
  const CliResult r = Run({"Reinhard", "data/list.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r), (std::vector<std::string>{" DIR: data/", "No image target (using mean)",
                                                      "Calculated target stats"}));
}

TEST_F(Cli, UnreadableImageInTargetPassEndsBeforeAnyOutput) {
  dir_.WriteText("data/bad.png", "not an image");
  dir_.WriteText("data/list.txt", "a.png b.png bad.png\n");
  const CliResult r = Run({"Reinhard", "data/list.txt"});
  EXPECT_EQ(r.status, 255);
  const auto lines = AfterBanner(r);
  EXPECT_EQ(lines.back(), "Failed to load image: 'data/bad.png'");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "calculated stats ok"), 2);
  EXPECT_FALSE(Output("a.png"));
}

TEST_F(Cli, MissingImageInNormalisePassKeepsEarlierOutputs) {
  dir_.WriteText("data/list.txt", "a.png missing.png b.png\n");
  const CliResult r = Run({"RGBHistSpecThresh", "data/list.txt", "data/b.png"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r).back(), "Failed to load image: 'data/missing.png'");
  EXPECT_TRUE(Output("a.png"));
  EXPECT_FALSE(Output("b.png"));
}

TEST_F(Cli, MissingReferenceImage) {
  dir_.WriteText("data/list.txt", "a.png\n");
  const CliResult r = Run({"Reinhard", "data/list.txt", "data/none.png"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r), (std::vector<std::string>{" DIR: data/", "Single image target",
                                                      "Failed to load image: 'data/none.png'"}));
}

TEST_F(Cli, VerboseAsThirdArgumentIsTheReferenceImageOfSimpleMethods) {
  dir_.WriteText("data/list.txt", "a.png\n");
  const CliResult r = Run({"Reinhard", "data/list.txt", "/verbose"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r).back(), "Failed to load image: '/verbose'");
  // In sixth place it is neither a flag nor a reference; the run is a normal single-target run.
  const CliResult late = Run({"Reinhard", "data/list.txt", "data/b.png", "x", "y", "/verbose"});
  EXPECT_EQ(late.status, 0) << late.errText;
}

TEST_F(Cli, MissingOutputDirectoryIsRefusedBeforeAnyWork) {
  fs::remove_all(dir_.Path() / "data/normalised");
  dir_.WriteText("data/list.txt", "a.png b.png\n");
  const CliResult r = Run({"Reinhard", "data/list.txt"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r),
            (std::vector<std::string>{" DIR: data/", "Output folder does not exist: 'data/normalised/'"}));
}

TEST_F(Cli, ListWithoutDirectoryUsesTheWorkingDirectory) {
  dir_.MakeDir("normalised");
  dir_.WriteImage("top.png", a_);
  dir_.WriteText("list.txt", "top.png\n");
  const CliResult r = Run({"Reinhard", "list.txt"});
  ASSERT_EQ(r.status, 0) << r.errText;
  EXPECT_TRUE(Contains(AfterBanner(r), " DIR: "));
  EXPECT_TRUE(fs::exists(dir_.Path() / "normalised/top.png"));
}

TEST_F(Cli, GreyAlphaAndTinyImagesAreLoadedAsColour) {
  dir_.WriteImage("data/grey.png", cv::Mat(3, 4, CV_8UC1, cv::Scalar(90)));
  dir_.WriteImage("data/rgba.png", cv::Mat(2, 5, CV_8UC4, cv::Scalar(10, 120, 200, 128)));
  dir_.WriteImage("data/one.png", RandomImage(1, 1, 34));
  dir_.WriteImage("data/row.png", RandomImage(1, 7, 35));
  dir_.WriteText("data/list.txt", "grey.png rgba.png one.png row.png\n");
  for (const std::string method : {"Reinhard", "RGBHistSpec", "RGBHistSpecThresh"}) {
    const CliResult r = Run({method, "data/list.txt"});
    ASSERT_EQ(r.status, 0) << method << r.errText;
    EXPECT_TRUE(Contains(AfterBanner(r), "Image loaded ok: 4,3"));
    const cv::Mat rgba = ReadOutput("rgba.png");
    EXPECT_EQ(rgba.size(), cv::Size(5, 2));
    EXPECT_EQ(ReadOutput("one.png").size(), cv::Size(1, 1));
    EXPECT_EQ(ReadOutput("row.png").size(), cv::Size(7, 1));
  }
}

TEST_F(Cli, NoTemporaryFilesAreLeftBehind) {
  dir_.WriteText("data/list.txt", "a.png\n");
  ASSERT_EQ(Run({"Reinhard", "data/list.txt"}).status, 0);
  for (const auto& entry : fs::directory_iterator(dir_.Path() / "data/normalised")) {
    EXPECT_EQ(entry.path().filename(), "a.png");
  }
}

// The console lines of the methods that need no colour model, with a reference image.
struct LabelFreeRun {
  std::string method;
  std::vector<std::string> lines;  // after "Loaded target image OK"; with `only`, those starting with it
  std::string only;
};

class LabelFreeCli : public Cli, public testing::WithParamInterface<LabelFreeRun> {};

TEST_P(LabelFreeCli, PrintsTheStainsOfTargetAndImage) {
  dir_.WriteImage("data/a.png", LoadSample("he_sample_1.png")(cv::Rect(200, 150, 80, 60)));
  dir_.WriteImage("ref.png", LoadSample("he_sample_2.png")(cv::Rect(100, 80, 96, 72)));
  dir_.WriteText("data/list.txt", "a.png\n");
  const CliResult r = Run({GetParam().method, "data/list.txt", "ref.png"});
  ASSERT_EQ(r.status, 0) << r.errText;
  std::vector<std::string> lines = AfterBanner(r);
  const auto loaded = std::find(lines.begin(), lines.end(), "Loaded target image OK");
  ASSERT_NE(loaded, lines.end());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), loaded),
            (std::vector<std::string>{" DIR: data/", "Single image target"}));
  std::vector<std::string> after;
  std::copy_if(loaded + 1, lines.end(), std::back_inserter(after),
               [](const std::string& line) { return line.rfind(GetParam().only, 0) == 0; });
  EXPECT_EQ(after, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, LabelFreeCli,
    testing::Values(LabelFreeRun{"Macenko",
                                 {"Target stain vectors: (0.7198, 0.6516, 0.2394) (0.5545, 0.7897, 0.2623)",
                                  "Target concentration percentiles: 1.3879, 1.1506",
                                  "Calculated target stats", "[Norm] data/a.png",
                                  "Image stain vectors: (0.6337, 0.7394, 0.2272) (0.0279, 0.9747, 0.2219)",
                                  "Image concentration percentiles: 1.8567, 0.5120, scaled by 0.7475, 2.2475",
                                  "->'data/normalised/a.png'"},
                                 ""},
                    LabelFreeRun{"Vahadane",
                                 {"Target stain vectors: (0.6768, 0.7033, 0.2174) (0.5795, 0.7058, 0.4074)",
                                  "Target concentration percentiles: 1.8333, 0.8840",
                                  "Calculated target stats", "[Norm] data/a.png",
                                  "Image stain vectors: (0.6189, 0.7597, 0.1996) (0.0309, 0.9969, 0.0720)",
                                  "Image concentration percentiles: 1.8992, 0.4900, scaled by 0.9653, 1.8042",
                                  "->'data/normalised/a.png'"},
                                 ""},
                    // The two-stage pipeline's own lines are those of BimodalDeconvRVM (stain_cli_test.cpp).
                    LabelFreeRun{"BimodalDeconvPCA",
                                 {"Stain directions: (0.7198, 0.6516, 0.2394) (0.5545, 0.7897, 0.2623)",
                                  "Stain directions: (0.6337, 0.7394, 0.2272) (0.0279, 0.9747, 0.2219)"},
                                 "Stain directions"}),
    [](const testing::TestParamInfo<LabelFreeRun>& info) { return info.param.method; });

// The resolution a result states, as libvips reads it, equals its source's: stated (10 x 5 pixels
// per millimetre) or not stated at all. One thread normalises in turn, two in parallel.
class ResolutionCli : public Cli, public testing::WithParamInterface<std::tuple<std::string, std::string>> {
 protected:
  static std::pair<double, double> VipsResolution(const fs::path& path) {
    VipsImage* image = vips_image_new_from_file(path.c_str(), nullptr);
    if (image == nullptr) return {-1, -1};
    const std::pair<double, double> resolution{vips_image_get_xres(image), vips_image_get_yres(image)};
    g_object_unref(image);
    return resolution;
  }
  static void WriteWithResolution(const fs::path& path, const cv::Mat& bgr) {
    VipsImage* pixels = vips_image_new_from_memory_copy(bgr.data, bgr.total() * bgr.elemSize(), bgr.cols,
                                                        bgr.rows, 3, VIPS_FORMAT_UCHAR);
    VipsImage* stated = nullptr;
    ASSERT_EQ(vips_copy(pixels, &stated, "xres", 10.0, "yres", 5.0, nullptr), 0);
    EXPECT_EQ(vips_image_write_to_file(stated, path.c_str(), nullptr), 0);
    g_object_unref(stated);
    g_object_unref(pixels);
  }
};

TEST_P(ResolutionCli, ResultStatesTheResolutionOfItsSource) {
  ASSERT_EQ(VIPS_INIT("histonorm-test"), 0);
  const auto& [extension, threads] = GetParam();
  const fs::path data = dir_.Path() / "data";
  WriteWithResolution(data / ("stated" + extension), RandomImage(40, 30, 7));
  dir_.WriteImage("data/plain" + extension, RandomImage(40, 30, 8));
  dir_.WriteText("data/list.txt", "stated" + extension + " plain" + extension + "\n");
  ASSERT_EQ(Run({"Reinhard", "data/list.txt", "--threads", threads}).status, 0);
  EXPECT_EQ(VipsResolution(data / ("stated" + extension)), std::make_pair(10.0, 5.0));
  for (const std::string name : {"stated", "plain"}) {
    const auto source = VipsResolution(data / (name + extension));
    const auto result = VipsResolution(data / "normalised" / (name + extension));
    EXPECT_NEAR(result.first, source.first, 1e-6) << name;
    EXPECT_NEAR(result.second, source.second, 1e-6) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ResolutionCli,
                         testing::Combine(testing::Values(".png", ".jpg", ".tif"),
                                          testing::Values("1", "2")));

}  // namespace
}  // namespace histonorm::test
