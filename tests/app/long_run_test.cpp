// Runs of a whole cohort: going on past bad images, leaving finished results, the list's habits,
// the options a method cannot use, and the help of the three programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "support/cli_run.h"
#include "support/model_builder.h"
#include "support/test_images.h"

namespace histonorm::test {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::size_t FileCount(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

// A list of 30 entries, three of them bad: missing, not an image, a JPEG cut short.
class Cohort : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dir_.MakeDir("data/normalised");
    std::string list;
    for (int i = 0; i < 27; ++i) {
      std::string name = "i";
      name += std::to_string(i) + ".png";
      dir_.WriteImage("data/" + name, RandomImage(6, 8, 100U + static_cast<unsigned>(i)));
      list += name + "\n";
      if (i == 3) list += "missing.png\n";
      if (i == 10) list += "text.png\n";
      if (i == 20) list += "cut.jpg\n";
    }
    dir_.WriteText("data/text.png", "not an image\n");
    ASSERT_TRUE(cv::imwrite(dir_ / "data/whole.jpg", LoadSample("he_sample_1.png")));
    const std::string jpeg = ReadBytes(dir_ / "data/whole.jpg");
    dir_.WriteText("data/cut.jpg", jpeg.substr(0, jpeg.size() / 2));
    dir_.WriteText("data/list.txt", list);
  }
  CliResult Run(std::vector<std::string> options) {
    std::vector<std::string> args = {"Reinhard", "data/list.txt", "--threads", GetParam()};
    args.insert(args.end(), options.begin(), options.end());
    return RunCli(HISTONORM_EXE, args, dir_.Path());
  }

  ScratchDir dir_;
  const std::vector<std::string> failures_ = {
      "Failed to load image: 'data/missing.png': missing",
      "Failed to load image: 'data/text.png': not an image",
      "Failed to load image: 'data/cut.jpg': truncated",
  };
  const std::string failed_ = "3 failed: 'data/missing.png', 'data/text.png', 'data/cut.jpg'";
};

TEST_P(Cohort, KeepGoingWritesTheRestAndSkipExistingLeavesThem) {
  const CliResult first = Run({"--keep-going", "--progress"});
  EXPECT_EQ(first.status, 2) << first.errText;
  EXPECT_EQ(FileCount(dir_.Path() / "data/normalised"), 27U);
  const std::vector<std::string> lines = first.AfterBanner();
  for (const std::string& failure : failures_) EXPECT_EQ(std::count(lines.begin(), lines.end(), failure), 1);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("/30] ") != std::string::npos; }),
            30);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[5/30] data/missing.png"), lines.end());
  EXPECT_EQ(lines.back(), "Done: 27 of 30 written, 0 skipped, " + failed_);

  // A result that no longer decodes is not whole: it alone is normalised again.
  const std::string kept = ReadBytes(dir_.Path() / "data/normalised/i0.png");
  dir_.WriteText("data/normalised/i5.png", "cut short");
  const CliResult again = Run({"--keep-going", "--skip-existing", "--quiet"});
  EXPECT_EQ(again.status, 2);
  std::vector<std::string> expected = failures_;
  expected.push_back("Done: 1 of 30 written, 26 skipped, " + failed_);
  EXPECT_EQ(again.Lines(), expected);
  EXPECT_EQ(ReadBytes(dir_.Path() / "data/normalised/i0.png"), kept);
  EXPECT_FALSE(cv::imread(dir_ / "data/normalised/i5.png").empty());

  // Without --keep-going the first bad image still ends the run.
  EXPECT_EQ(Run({}).status, 255);
}

INSTANTIATE_TEST_SUITE_P(Threads, Cohort, testing::Values("1", "2"));

class ListHabits : public testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("data/normalised");
    dir_.MakeDir("elsewhere");
    dir_.WriteImage("data/a.png", RandomImage(5, 6, 1));
    dir_.WriteImage("elsewhere/b.png", RandomImage(4, 3, 2));
    dir_.WriteImage("elsewhere/c.png", RandomImage(3, 3, 3));
  }
  CliResult Run(const std::vector<std::string>& args) { return RunCli(HISTONORM_EXE, args, dir_.Path()); }
  ScratchDir dir_;
};

TEST_F(ListHabits, OutsideNamesAreReadAndTheListItselfIsSkipped) {
  dir_.WriteText("data/list.txt",
                 "list.txt\na.png\n../elsewhere/b.png\n" + (dir_ / "elsewhere/c.png") + "\n");
  const CliResult r = Run({"RGBHistSpec", "data/list.txt"});
  ASSERT_EQ(r.status, 0) << r.errText;
  EXPECT_EQ(r.AfterBanner().front(), "Skipped the list file itself: 'list.txt'");
  for (const char* name : {"a.png", "b.png", "c.png"}) {
    EXPECT_TRUE(fs::exists(dir_.Path() / "data/normalised" / name)) << name;
  }
  EXPECT_EQ(FileCount(dir_.Path() / "data/normalised"), 3U);
}

TEST_F(ListHabits, UnwritableOutputFolderIsRefusedBeforeAnyWork) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into any folder";
  dir_.WriteText("data/list.txt", "a.png\n");
  fs::permissions(dir_.Path() / "data/normalised", fs::perms::owner_read | fs::perms::owner_exec);
  const CliResult r = Run({"Reinhard", "data/list.txt"});
  fs::permissions(dir_.Path() / "data/normalised", fs::perms::owner_all);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.AfterBanner(),
            (std::vector<std::string>{
                " DIR: data/", "Output folder is not writable: 'data/normalised/': Permission denied"}));
}

TEST_F(ListHabits, StainParamsAndTissueOnlyReachTheirMethods) {
  WriteModelFile(dir_ / "he.model", MakeStainLikeModel());
  dir_.WriteImage("data/s.png", LoadSample("he_sample_1.png")(cv::Rect(0, 0, 160, 120)));
  dir_.WriteText("data/list.txt", "s.png\n");
  const std::string thresholds = "0.95 20\n";
  // The option reads params.txt's format; its results are those of params.txt.
  dir_.WriteText("p.txt", thresholds);
  ASSERT_EQ(Run({"BimodalDeconvRVM", "data/list.txt", "he.model", "--stain-params", "p.txt"}).status, 0);
  const std::string viaOption = ReadBytes(dir_.Path() / "data/normalised/s.png");
  dir_.WriteText("params.txt", thresholds);
  ASSERT_EQ(Run({"BimodalDeconvRVM", "data/list.txt", "he.model"}).status, 0);
  EXPECT_EQ(ReadBytes(dir_.Path() / "data/normalised/s.png"), viaOption);
  dir_.WriteText("p.txt", "0.95 -1\n");
  EXPECT_EQ(Run({"BimodalDeconvRVM", "data/list.txt", "he.model", "--stain-params", "p.txt"}).Lines().back(),
            "Bad value in p.txt line 1: '-1'");
  const CliResult slide =
      RunCli(HISTONORM_SLIDE_EXE,
             {"BimodalDeconvRVM", "in.svs", "out.tif", "--model", "he.model", "--stain-params", "p.txt"},
             dir_.Path());
  EXPECT_EQ(slide.status, 255);
  EXPECT_EQ(slide.Lines(), std::vector<std::string>{"Bad value in p.txt line 1: '-1'"});
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"BimodalDeconvRVM", "data/list.txt", "he.model", "--stain-params", "none.txt"},
       "Failed to read stain parameters file: 'none.txt'"},
      {{"Reinhard", "data/list.txt", "--stain-params", "p.txt"},
       "--stain-params sets the thresholds of BimodalDeconvRVM only"},
      {{"BimodalDeconvRVM", "data/list.txt", "he.model", "--tissue-only"},
       "--tissue-only is for Reinhard and the histogram methods: BimodalDeconvRVM finds the background "
       "itself"},
  };
  for (const auto& [args, line] : refused) {
    const CliResult r = Run(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.Lines().back(), line);
  }
  // Tissue only: a glass image normalised to a tissue reference stays bright.
  dir_.WriteImage("data/glass.png", cv::Mat(40, 40, CV_8UC3, cv::Scalar(236, 230, 238)));
  dir_.WriteText("data/list.txt", "glass.png\n");
  ASSERT_EQ(Run({"RGBHistSpecThresh", "data/list.txt", "data/s.png", "--tissue-only"}).status, 0);
  EXPECT_GT(cv::mean(cv::imread(dir_ / "data/normalised/glass.png"))[1], 200.0);
}

// The three programs: --help and --version on standard output with status 0; a mistyped method or
// option is named before the usage.
struct Program {
  std::string name;
  std::string exe;
  std::vector<std::string> badArgs;
  std::string badLine;  // the first line on standard error after any banner
};

void PrintTo(const Program& p, std::ostream* out) { *out << p.name; }

class EveryProgram : public testing::TestWithParam<Program> {};

TEST_P(EveryProgram, HelpVersionAndMistypedMethod) {
  const Program& p = GetParam();
  const ScratchDir dir;
  const CliResult help = RunCli(p.exe, {"--help"}, dir.Path());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.outText.find("Usage: " + p.name), std::string::npos);
  EXPECT_NE(help.outText.find("--version"), std::string::npos);
  EXPECT_NE(help.outText.find("share/histonorm/models"), std::string::npos);
  EXPECT_NE(help.outText.find("Example:"), std::string::npos);
  if (p.name != "histonorm-train") {
    for (const char* method : {"Reinhard", "BimodalDeconvRVM", "RGBHistSpec", "RGBHistSpecThresh"}) {
      EXPECT_NE(help.outText.find(method), std::string::npos) << method;
    }
  }
  const CliResult version = RunCli(p.exe, {"--version"}, dir.Path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.outText, p.name + " " + HISTONORM_VERSION + "\n");
  const CliResult bad = RunCli(p.exe, p.badArgs, dir.Path());
  EXPECT_NE(bad.status, 0);
  const std::vector<std::string> lines = p.name == "histonorm" ? bad.AfterBanner() : bad.Lines();
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines[0], p.badLine);
  EXPECT_EQ(lines[1].rfind("Usage: ", 0), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, EveryProgram,
    testing::Values(Program{"histonorm", HISTONORM_EXE, {"Sharpen", "list.txt"}, "Unknown method: 'Sharpen'"},
                    Program{"histonorm-slide",
                            HISTONORM_SLIDE_EXE,
                            {"Sharpen", "in.svs", "out.tif"},
                            "Unknown method: 'Sharpen'"},
                    Program{"histonorm-train",
                            HISTONORM_TRAIN_EXE,
                            {"--frobnicate", "x"},
                            "histonorm-train: Unknown option: '--frobnicate'"}),
    [](const testing::TestParamInfo<Program>& info) {
      std::string name = info.param.name;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

}  // namespace
}  // namespace histonorm::test
