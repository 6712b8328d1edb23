// The trainer as its users run it: bad input ends with a message and a non-zero status and
// leaves no model file behind; the same input and seed give the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <opencv2/imgcodecs.hpp>
#include <set>

#include "support/cli_run.h"
#include "support/test_images.h"

namespace histonorm::test {
namespace {

namespace fs = std::filesystem;

class TrainerCli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteImage("a.png", LoadSample("he_sample_1.png")(cv::Rect(0, 0, 160, 160)));
    dir_.WriteImage("b.png", LoadSample("he_sample_3.png")(cv::Rect(800, 100, 160, 160)));
  }

  CliResult Train(std::vector<std::string> args) const {
    return RunCli(HISTONORM_TRAIN_EXE, std::move(args), dir_.Path());
  }

  // A training run that fails must say `message` and leave nothing in the directory but inputs.
  void ExpectRefused(std::vector<std::string> args, const std::string& message) const {
    const auto before = Entries();
    const CliResult r = Train(std::move(args));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.errText.find(message), std::string::npos) << r.errText;
    EXPECT_EQ(Entries(), before);
  }

  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir_.Path())) names.insert(e.path().string());
    return names;
  }

  std::string Bytes(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  ScratchDir dir_;
};

TEST_F(TrainerCli, BadInputIsRefusedWithoutAPartialModel) {
  ExpectRefused({"--out", "m.model", "--stains", "he", "a.png", "missing.png"},
                "cannot read image 'missing.png'");
  ExpectRefused({"--out", "m.model", "--stains", "he", "a.png", "b.png"},
                "principal components need at least");
  ExpectRefused({"--out", "no/such/dir/m.model", "--stains", "he", "--tile", "40", "a.png"},
                "cannot write model");

  dir_.MakeDir("masks");
  cv::Mat mask(160, 160, CV_8UC1, cv::Scalar(0));
  mask(cv::Rect(0, 0, 160, 60)).setTo(1);
  mask(cv::Rect(0, 60, 160, 60)).setTo(2);
  mask(cv::Rect(0, 120, 4, 2)).setTo(3);  // 8 background pixels: too few
  cv::imwrite(dir_ / "masks/a.png", mask);
  ExpectRefused({"--out", "m.model", "--labels", "masks", "--tile", "40", "a.png"},
                "too few labelled pixels of background");
  cv::imwrite(dir_ / "masks/a.png", cv::Mat(100, 160, CV_8UC1, cv::Scalar(1)));
  ExpectRefused({"--out", "m.model", "--labels", "masks", "--tile", "40", "a.png"}, "is 160 x 100");
  cv::imwrite(dir_ / "masks/a.png", cv::Mat(160, 160, CV_8UC1, cv::Scalar(7)));
  ExpectRefused({"--out", "m.model", "--labels", "masks", "--tile", "40", "a.png"}, "holds the value 7");

  const CliResult usage = Train({"--stains", "he", "a.png"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.errText.find("Usage: histonorm-train"), std::string::npos);
  EXPECT_NE(Train({"--out", "m.model", "--stains", "lab", "a.png"}).errText.find("'he' or 'hdab'"),
            std::string::npos);
  // Sample counts that would train for many minutes without learning more are refused.
  EXPECT_NE(Train({"--out", "m.model", "--stains", "he", "--samples", "1048576", "a.png"})
                .errText.find("10 to 2000"),
            std::string::npos);
}

TEST_F(TrainerCli, SameInputAndSeedGiveTheSameFile) {
  const std::vector<std::string> common{"--stains",  "he", "--tile", "40", "--pca-dims", "3",
                                        "--samples", "20", "--seed", "5",  "a.png",      "b.png"};
  std::vector<std::string> first{"--out", "one.model"}, second{"--out", "two.model"};
  first.insert(first.end(), common.begin(), common.end());
  second.insert(second.end(), common.begin(), common.end());
  const CliResult r = Train(first);
  ASSERT_EQ(r.status, 0) << r.errText;
  // A link planted where a fixed temporary name would be is neither followed nor left in the way.
  dir_.WriteText("victim.txt", "keep");
  fs::create_symlink("victim.txt", dir_.Path() / "two.model.partial");
  ASSERT_EQ(Train(second).status, 0);
  EXPECT_EQ(Bytes("victim.txt"), "keep");
  EXPECT_FALSE(Bytes("one.model").empty());
  EXPECT_EQ(Bytes("one.model"), Bytes("two.model"));

  const std::vector<std::string> lines = r.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("Wrote model 'one.model': D=3, held-back accuracy stain 0 ", 0), 0u)
      << lines.back();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("Class 2 (background): gamma ", 0) == 0;
  }));

  // A model path that names a directory fails at the final rename; the temporary file goes too.
  dir_.MakeDir("taken");
  std::vector<std::string> clash{"--out", "taken"};
  clash.insert(clash.end(), common.begin(), common.end());
  const CliResult refused = Train(clash);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.errText.find("cannot write model 'taken'"), std::string::npos) << refused.errText;
  EXPECT_FALSE(fs::exists(dir_.Path() / "taken.partial"));
}

}  // namespace
}  // namespace histonorm::test
