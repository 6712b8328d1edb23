// End-to-end runs of the stain method with a hand-built colour model on the shipped H&E samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <set>

#include "deconv/colour_deconv.h"
#include "stain/norm_bimodal_deconv_rvm.h"
#include "support/cli_run.h"
#include "support/model_builder.h"
#include "support/test_images.h"

namespace histonorm::test {
namespace {

namespace fs = std::filesystem;

const char kMethod[] = "BimodalDeconvRVM";

std::vector<std::string> AfterBanner(const CliResult& r) {
  const auto lines = r.Lines();
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    if (lines[i].rfind(" 4. ", 0) == 0) return {lines.begin() + static_cast<long>(i) + 2, lines.end()};
  }
  return lines;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Index of the first line starting with `prefix` at or after `from`, or lines.size().
std::size_t Find(const std::vector<std::string>& lines, const std::string& prefix, std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (StartsWith(lines[i], prefix)) return i;
  }
  return lines.size();
}

// Every prefix occurs, in this order.
void ExpectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& prefixes) {
  std::size_t at = 0;
  for (const auto& p : prefixes) {
    const std::size_t next = Find(lines, p, at);
    ASSERT_LT(next, lines.size()) << "missing after line " << at << ": " << p << "\n"
                                  << lines[at > 0 ? at - 1 : 0];
    at = next + 1;
  }
}

// A uniform violet image: the model sees nuclei only, never eosin.
cv::Mat NucleiOnly() { return cv::Mat(40, 50, CV_8UC3, cv::Scalar(186, 65, 103)); }

class StainCli : public testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("data/normalised");
    WriteModelFile(dir_ / "he.model", MakeStainLikeModel());
    dir_.WriteImage("data/s1.png", LoadSample("he_sample_1.png"));
    dir_.WriteImage("data/s2.png", LoadSample("he_sample_2.png"));
  }
  CliResult Run(const std::vector<std::string>& args) { return RunCli(HISTONORM_EXE, args, dir_.Path()); }
  cv::Mat Read(const std::string& name) const { return cv::imread(dir_ / name, cv::IMREAD_COLOR); }

  ScratchDir dir_;
};

TEST_F(StainCli, MethodAndListAloneGetUsageA) {
  dir_.WriteText("data/list.txt", "s1.png\n");
  const CliResult r = Run({kMethod, "data/list.txt"});
  EXPECT_EQ(r.status, 255);
  const auto lines = AfterBanner(r);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Usage: <method> <files_file.txt> (<ref_img>) (<colour_model>)");
  EXPECT_TRUE(StartsWith(lines[3], "files_file.txt should contain"));
}

TEST_F(StainCli, UnreadableColourModelEndsTheRunBeforeAnyImage) {
  dir_.WriteText("data/list.txt", "s1.png\n");
  dir_.WriteText("garbage.model", "this is not a colour model");
  for (const std::string model : {"missing.model", "garbage.model"}) {
    const CliResult r = Run({kMethod, "data/list.txt", model});
    EXPECT_EQ(r.status, 255) << model;
    const auto lines = AfterBanner(r);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), " DIR: data/");
    EXPECT_TRUE(StartsWith(lines.back(), "Failed to read colour model '" + model + "': ")) << lines.back();
    EXPECT_GT(lines.back().size(), ("Failed to read colour model '" + model + "': ").size());
    EXPECT_EQ(Find(lines, "No image target"), lines.size());
    EXPECT_EQ(Find(lines, "Internal error"), lines.size());
  }
}

// Median stain channel values of an image, split with the target's stain model. The median of the
// transmitted intensity is the intensity of the median stain amount (optical density), and unlike
// the mean it is not swayed by the few pixels that an ill-conditioned stain matrix sends far out.
std::array<float, 2> MedianChannels(const CColourDeconv& model, const cv::Mat& image) {
  StainChannelPlanes channels;
  model.ImageToChannels(image, channels);
  std::array<float, 2> median{};
  for (std::size_t k = 0; k < 2; ++k) {
    std::vector<float>& v = channels.plane[k];
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    median[k] = v[v.size() / 2];
  }
  return median;
}

TEST_F(StainCli, ReferenceTargetRunMovesTheStainsTowardsTheTarget) {
  // A pink, strongly eosin-stained tile normalised to the more violet first sample.
  dir_.WriteImage("data/pink.png", LoadSample("he_sample_3.png")(cv::Rect(200, 150, 640, 480)));
  dir_.WriteText("data/list.txt", "pink.png\n");
  const CliResult r = Run({kMethod, "data/list.txt", "data/s1.png", "he.model"});
  ASSERT_EQ(r.status, 0) << r.errText;
  EXPECT_TRUE(r.outText.empty());
  const auto lines = AfterBanner(r);
  ExpectInOrder(lines, {" DIR: data/", "Reduced PCA Dim=", "Single image target", "Loaded target image OK",
                        "#samples used = ", "TImage Channel(0) meanb=", "TImage Channel(1) sdb=",
                        "Calculated target stats", "[Norm] data/pink.png",
                        "#samples used = ", "Image Channel(0) meanb=", "[2nd stage] Image Channel(1) sdb=",
                        "->'data/normalised/pink.png'"});
  EXPECT_EQ(lines.back(), "->'data/normalised/pink.png'");
  EXPECT_EQ(Find(lines, "Verbose mode"), lines.size());
  EXPECT_EQ(Find(lines, "PARAMETERS FILE PROVIDED"), lines.size());

  // Measured in the target's own stain model, the output's median stain amounts lie much closer to
  // the target's than the source's do.
  Options options;
  options.colourModelPath = dir_ / "he.model";
  const auto norm = std::make_unique<CNormBimodalDeconvRVM>(options);
  const cv::Mat target = Read("data/s1.png");
  norm->CalcStats(target);
  const auto want = MedianChannels(norm->TargetDeconv(), target);
  const auto before = MedianChannels(norm->TargetDeconv(), Read("data/pink.png"));
  const auto after = MedianChannels(norm->TargetDeconv(), Read("data/normalised/pink.png"));
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_LT(std::abs(after[k] - want[k]), 0.5f * std::abs(before[k] - want[k]))
        << "channel " << k << ": source " << before[k] << ", output " << after[k] << ", target " << want[k];
  }
}

TEST_F(StainCli, VerboseMeanTargetWithParametersFile) {
  // The list sits in the working directory, so the diagnostic prefix names existing folders.
  dir_.MakeDir("normalised");
  dir_.WriteImage("s1.png", LoadSample("he_sample_1.png"));
  dir_.WriteImage("s3.png", LoadSample("he_sample_2.png"));
  dir_.WriteText("list.txt", "s1.png s3.png\n");
  dir_.WriteText("params.txt", "0.95 20\n");
  const CliResult r = Run({kMethod, "list.txt", "he.model", "/verbose"});
  ASSERT_EQ(r.status, 0) << r.errText;
  const auto lines = AfterBanner(r);
  ExpectInOrder(lines, {" DIR: ",
                        "Reduced PCA Dim=",
                        "Verbose mode, outputing deconvolution files",
                        "IS TARGET: 0",
                        "Prefix: normalised/list.txt",
                        "PARAMETERS FILE PROVIDED",
                        "Prob threshold: 0.95",
                        "Black threshold: 20",
                        "White threshold: 300",
                        "Background threshold: 0.75",
                        "Foreground threshold: 0.75",
                        "Dot product correction threshold: 0.8",
                        "No image target (using mean)",
                        "[CalcStats] 's1.png'",
                        "Image loaded ok: 584,438",
                        "TImage Channel(0) meanb=",
                        "calculated stats ok",
                        "[CalcStats] 's3.png'",
                        "TImage Channel(0) meanb=",
                        "calculated stats ok",
                        "Calculated target stats",
                        "[Norm] s1.png",
                        "->'normalised/s1.png'",
                        "[Norm] s3.png",
                        "->'normalised/s3.png'"});
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_.Path() / "normalised"))
    names.insert(e.path().filename().string());
  EXPECT_EQ(names,
            (std::set<std::string>{"list.txt.target.vectors.txt", "list.txt.target.channels.1.jpg",
                                   "list.txt.target.channels.2.jpg", "s1.png", "s1.png.mapped.vectors.txt",
                                   "s1.png.mapped.channels.1.jpg", "s1.png.mapped.channels.2.jpg", "s3.png",
                                   "s3.png.mapped.vectors.txt", "s3.png.mapped.channels.1.jpg",
                                   "s3.png.mapped.channels.2.jpg"}));
}

TEST_F(StainCli, TargetWithoutUsableStainsEndsTheRun) {
  dir_.WriteImage("data/violet.png", NucleiOnly());
  dir_.WriteText("data/list.txt", "s1.png\n");
  const CliResult r = Run({kMethod, "data/list.txt", "data/violet.png", "he.model"});
  EXPECT_EQ(r.status, 255);
  const auto lines = AfterBanner(r);
  EXPECT_EQ(lines.back(), "Target has no usable stain estimate");
  EXPECT_EQ(Find(lines, "[Norm]"), lines.size());
  EXPECT_FALSE(fs::exists(dir_.Path() / "data/normalised/s1.png"));
}

TEST_F(StainCli, ImageWithoutUsableStainsIsCopiedUnchanged) {
  dir_.WriteImage("data/violet.png", NucleiOnly());
  dir_.WriteText("data/list.txt", "violet.png s1.png\n");
  const CliResult r = Run({kMethod, "data/list.txt", "data/s2.png", "he.model"});
  ASSERT_EQ(r.status, 0) << r.errText;
  const auto lines = AfterBanner(r);
  ExpectInOrder(lines, {"[Norm] data/violet.png", "Stain estimation failed, image copied unchanged",
                        "->'data/normalised/violet.png'", "[Norm] data/s1.png",
                        "[2nd stage] Image Channel(0)", "->'data/normalised/s1.png'"});
  EXPECT_EQ(cv::norm(Read("data/normalised/violet.png"), NucleiOnly(), cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace histonorm::test
