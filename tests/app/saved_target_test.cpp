// Saved targets and the output folder option, end to end: a target saved by one run and loaded by
// another gives the same images as one plain run, and bad target files stop the run before any
// image is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "support/cli_run.h"
#include "support/model_builder.h"
#include "support/test_images.h"

namespace histonorm::test {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class SavedTargetRun : public testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("data/normalised");
    dir_.MakeDir("data/sub");
    dir_.WriteImage("data/a.png", Small("he_sample_1.png"));
    dir_.WriteImage("data/sub/b.png", Small("he_sample_2.png"));
    dir_.WriteImage("ref.png", Small("he_sample_3.png"));
    dir_.WriteText("data/list.txt", "a.png\nsub/b.png\n");
    WriteModelFile(dir_ / "he.model", MakeStainLikeModel());
  }
  static cv::Mat Small(const std::string& sample) {
    cv::Mat small;
    cv::resize(LoadSample(sample), small, cv::Size(48, 40), 0, 0, cv::INTER_AREA);
    return small;
  }
  CliResult Run(std::vector<std::string> args) const { return RunCli(HISTONORM_EXE, args, dir_.Path()); }
  // The method's positional arguments: the list, the reference image if any, and the stain
  // method's colour model.
  static std::vector<std::string> Args(const std::string& method, bool reference,
                                       const std::string& model = "he.model") {
    std::vector<std::string> args = {method, "data/list.txt"};
    if (reference) args.push_back("ref.png");
    if (method == "BimodalDeconvRVM") args.push_back(model);
    return args;
  }
  bool FolderEmpty(const std::string& name) const { return fs::is_empty(dir_.Path() / name); }

  ScratchDir dir_;
};

struct RoundTrip {
  std::string method;
  bool singleImage;  // a reference image, or the mean of the list
};

class SavedTargetRoundTrip : public SavedTargetRun, public testing::WithParamInterface<RoundTrip> {};

TEST_P(SavedTargetRoundTrip, LoadedTargetGivesTheImagesOfAPlainRun) {
  const RoundTrip& p = GetParam();
  dir_.MakeDir("data/normalised/sub");  // a plain run does not create sub-folders
  dir_.MakeDir("fit");
  dir_.MakeDir("out");
  const std::vector<std::string> plain = Args(p.method, p.singleImage);
  ASSERT_EQ(Run(plain).status, 0);
  std::vector<std::string> fit = plain;
  fit.insert(fit.end(), {"--save-target", "target.json", "--out", "fit"});
  ASSERT_EQ(Run(fit).status, 0);
  // Fitting alone saves the same target and writes no image.
  dir_.MakeDir("none");
  std::vector<std::string> fitOnly = plain;
  fitOnly.insert(fitOnly.end(), {"--fit-only", "--save-target", "fitted.json", "--out", "none"});
  ASSERT_EQ(Run(fitOnly).status, 0);
  EXPECT_EQ(ReadBytes(dir_.Path() / "fitted.json"), ReadBytes(dir_.Path() / "target.json"));
  EXPECT_TRUE(FolderEmpty("none"));
  std::vector<std::string> load = Args(p.method, false);
  load.insert(load.begin(), {"--target", "target.json"});
  load.insert(load.end(), {"--out", "out"});
  const CliResult loaded = Run(load);
  ASSERT_EQ(loaded.status, 0) << loaded.errText;
  for (const std::string name : {"a.png", "sub/b.png"}) {
    const std::string expected = ReadBytes(dir_.Path() / "data/normalised" / name);
    ASSERT_FALSE(expected.empty()) << name;
    EXPECT_EQ(ReadBytes(dir_.Path() / "fit" / name), expected) << name;
    EXPECT_EQ(ReadBytes(dir_.Path() / "out" / name), expected) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryMethod, SavedTargetRoundTrip,
    testing::Values(RoundTrip{"Reinhard", true}, RoundTrip{"Reinhard", false}, RoundTrip{"RGBHistSpec", true},
                    RoundTrip{"RGBHistSpec", false}, RoundTrip{"RGBHistSpecThresh", true},
                    RoundTrip{"RGBHistSpecThresh", false}, RoundTrip{"BimodalDeconvRVM", true},
                    RoundTrip{"BimodalDeconvRVM", false}, RoundTrip{"BimodalDeconvPCA", true},
                    RoundTrip{"BimodalDeconvPCA", false}, RoundTrip{"Macenko", true},
                    RoundTrip{"Macenko", false}, RoundTrip{"Vahadane", true}, RoundTrip{"Vahadane", false}),
    [](const testing::TestParamInfo<RoundTrip>& info) {
      return info.param.method + (info.param.singleImage ? "Image" : "Mean");
    });

// A target file saved by `method` and changed by `edit`, run with `loadMethod`.
struct BadFile {
  std::string name;
  std::string method;
  std::string loadMethod;
  std::function<void(nlohmann::json&, std::string&)> edit;  // the parsed file and its text
  std::string message;                                      // the start of the last line printed
  std::string loadModel = "he.model";                       // the stain method's model when loading
};

class BadTargetFile : public SavedTargetRun, public testing::WithParamInterface<BadFile> {};

TEST_P(BadTargetFile, StopsTheRunBeforeAnyImageIsWritten) {
  const BadFile& p = GetParam();
  dir_.MakeDir("fit");
  std::vector<std::string> fit = Args(p.method, true);
  fit.insert(fit.end(), {"--save-target", "target.json", "--out", "fit"});
  ASSERT_EQ(Run(fit).status, 0);
  nlohmann::json file = nlohmann::json::parse(ReadBytes(dir_.Path() / "target.json"));
  const std::string saved = file.dump();
  std::string text = saved;
  p.edit(file, text);
  if (text == saved) text = file.dump();
  if (p.name == "Missing") {
    fs::remove(dir_.Path() / "target.json");
  } else {
    dir_.WriteText("target.json", text);
  }
  WriteModelFile(dir_ / "other.model", MakeStainLikeModel(3));
  std::vector<std::string> load = Args(p.loadMethod, false, p.loadModel);
  load.insert(load.end(), {"--target", "target.json"});
  const CliResult r = Run(load);
  EXPECT_EQ(r.status, 255);
  ASSERT_FALSE(r.Lines().empty());
  EXPECT_EQ(r.Lines().back().substr(0, p.message.size()), p.message) << r.Lines().back();
  EXPECT_TRUE(FolderEmpty("data/normalised"));
}

const std::string kBad = "Bad target file 'target.json': ";

INSTANTIATE_TEST_SUITE_P(
    EveryFault, BadTargetFile,
    testing::Values(BadFile{"Missing", "Reinhard", "Reinhard", [](nlohmann::json&, std::string&) {},
                            "Failed to read target file: 'target.json'"},
                    BadFile{"Truncated", "Reinhard", "Reinhard",
                            [](nlohmann::json&, std::string& text) { text.resize(text.size() / 2); },
                            kBad + "not a whole JSON file: it breaks off or goes wrong at byte "},
                    BadFile{"AnotherMethod", "RGBHistSpec", "Reinhard", [](nlohmann::json&, std::string&) {},
                            kBad + "Target was fitted with method 'RGBHistSpec', not 'Reinhard'"},
                    BadFile{"AnotherVersion", "Reinhard", "Reinhard",
                            [](nlohmann::json& f, std::string&) { f["version"] = 2; },
                            kBad + "target file version 2 is not the supported version 1"},
                    BadFile{"NotAFiniteNumber", "Reinhard", "Reinhard",
                            [](nlohmann::json& f, std::string&) { f["target"]["sum"][1] = "inf"; },
                            kBad + "'sum' is not a finite number: 'inf'"},
                    BadFile{"NegativeCount", "RGBHistSpec", "RGBHistSpec",
                            [](nlohmann::json& f, std::string&) { f["target"]["green"][7] = -1; },
                            kBad + "'green' holds a value that is not a count: -1"},
                    BadFile{"CountsDoNotAddUp", "RGBHistSpecThresh", "RGBHistSpecThresh",
                            [](nlohmann::json& f, std::string&) {
                              f["target"]["pixels"] = f["target"]["pixels"].get<std::uint64_t>() + 1;
                            },
                            kBad + "the 'blue' counts do not add up to 'pixels'"},
                    BadFile{"SumsDoNotAddUp", "Reinhard", "Reinhard",
                            [](nlohmann::json& f, std::string&) { f["target"]["sumSquares"][0] = "0x1p-10"; },
                            kBad + "the sums of channel 0 do not add up"},
                    BadFile{"AnotherModel", "BimodalDeconvRVM", "BimodalDeconvRVM",
                            [](nlohmann::json&, std::string&) {},
                            kBad + "Target was fitted with another colour model: ", "other.model"},
                    BadFile{"MoreSamplesThanCandidates", "BimodalDeconvRVM", "BimodalDeconvRVM",
                            [](nlohmann::json& f, std::string&) {
                              nlohmann::json& samples = f["target"]["samples"];
                              samples["count"][0] = samples["candidates"][0].get<std::uint64_t>() + 1;
                            },
                            kBad + "stain class 0 has more samples than candidates"}),
    [](const testing::TestParamInfo<BadFile>& info) { return info.param.name; });

TEST_F(SavedTargetRun, OutputFolderMustExistAndNamesMayNotLeaveIt) {
  EXPECT_EQ(Run({"Reinhard", "data/list.txt", "--out", "nowhere"}).Lines().back(),
            "Output folder does not exist: 'nowhere'");
  dir_.MakeDir("out");
  dir_.WriteText("data/bad.txt", "a.png\n../ref.png\n");
  const CliResult r = Run({"Reinhard", "data/bad.txt", "--out", "out"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.Lines().back(), "Image name leaves the output folder: '../ref.png'");
  EXPECT_TRUE(FolderEmpty("out"));
}

TEST_F(SavedTargetRun, BadOptionsAreRefused) {
  EXPECT_EQ(Run({"Reinhard", "data/list.txt", "--frobnicate"}).Lines().back(),
            "Unknown option: '--frobnicate'");
  EXPECT_EQ(Run({"Reinhard", "data/list.txt", "--out"}).Lines().back(), "Option --out needs a value");
  EXPECT_EQ(Run({"Reinhard", "data/list.txt", "--fit-only"}).Lines().back(),
            "--fit-only normalises nothing: give --save-target FILE to keep the fitted target");
  const CliResult both = Run({"Reinhard", "data/list.txt", "ref.png", "--target", "t.json"});
  EXPECT_EQ(both.status, 255);
  EXPECT_EQ(both.Lines().back(),
            "A saved target (--target) replaces the reference image: give one or the other");
}

}  // namespace
}  // namespace histonorm::test
