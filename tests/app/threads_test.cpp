// The thread setting of a batch run: every thread count gives the files and console lines of a
// one-thread run, and a failed save mid-batch still ends the run where a one-thread run ends it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/cli_run.h"
#include "support/model_builder.h"
#include "support/test_images.h"

namespace histonorm::test {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kSamples = {"he_sample_1.png", "he_sample_2.png", "he_sample_3.png",
                                           "ihc_dab.png"};

class ThreadsRun : public testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("data/normalised");
    for (const std::string& name : kSamples) fs::copy_file(SampleDir() + "/" + name, dir_ / ("data/" + name));
    WriteModelFile(dir_ / "he.model", MakeStainLikeModel());
  }
  // Runs with the given extra arguments and returns the result and every output file's bytes, then
  // empties the output folder for the next run.
  std::pair<CliResult, std::map<std::string, std::string>> RunAndCollect(
      std::vector<std::string> args) const {
    CliResult r = RunCli(HISTONORM_EXE, args, dir_.Path());
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir_.Path() / "data/normalised")) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      files[fs::relative(e.path(), dir_.Path() / "data/normalised").string()] = bytes.str();
    }
    fs::remove_all(dir_.Path() / "data/normalised");
    dir_.MakeDir("data/normalised");
    return {r, files};
  }

  ScratchDir dir_;
};

class ThreadsPerMethod : public ThreadsRun, public testing::WithParamInterface<std::string> {};

TEST_P(ThreadsPerMethod, EveryThreadCountGivesTheFilesAndLinesOfOneThread) {
  std::string list;
  for (const std::string& name : kSamples) list += name + "\n";
  dir_.WriteText("data/list.txt", list);
  std::vector<std::string> args = {GetParam(), "data/list.txt"};
  if (GetParam() == "BimodalDeconvRVM") args.push_back("he.model");
  auto with = [&](std::vector<std::string> extra) {
    extra.insert(extra.begin(), args.begin(), args.end());
    return RunAndCollect(extra);
  };
  const auto [one, oneFiles] = with({"--threads", "1"});
  ASSERT_EQ(one.status, 0) << one.errText;
  ASSERT_EQ(oneFiles.size(), kSamples.size());
  for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--threads", "3"}}) {
    const auto [r, files] = with(extra);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.Lines(), one.Lines()) << extra.size();
    EXPECT_TRUE(files == oneFiles) << extra.size();
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, ThreadsPerMethod,
                         testing::Values("Reinhard", "RGBHistSpec", "RGBHistSpecThresh", "BimodalDeconvRVM",
                                         "BimodalDeconvPCA", "Macenko", "Vahadane"));

TEST_F(ThreadsRun, FailedSaveMidBatchEndsTheRunBeforeLaterFiles) {
  // The second image's sub-folder does not exist, so its save fails.
  dir_.WriteText("data/list.txt", "he_sample_1.png\nsub/he_sample_2.png\nhe_sample_3.png\nihc_dab.png\n");
  dir_.MakeDir("data/sub");
  fs::copy_file(SampleDir() + "/he_sample_2.png", dir_ / "data/sub/he_sample_2.png");
  const std::vector<std::string> reference = {"Reinhard", "data/list.txt", "data/he_sample_1.png"};
  std::vector<std::string> four = reference;
  four.insert(four.end(), {"--threads", "4"});
  std::vector<std::string> one = reference;
  one.insert(one.end(), {"--threads", "1"});
  const auto [parallel, files] = RunAndCollect(four);
  EXPECT_EQ(parallel.status, 255);
  EXPECT_EQ(parallel.AfterBanner().back(), "Failed to save image: 'data/normalised/sub/he_sample_2.png'");
  EXPECT_EQ(parallel.Lines(), RunAndCollect(one).first.Lines());
  // Only the first result exists: no later result, whole or in part, and no temporary file.
  ASSERT_EQ(files.size(), 1U);
  EXPECT_EQ(files.begin()->first, "he_sample_1.png");
}

TEST_F(ThreadsRun, BadThreadCountsAreRefused) {
  dir_.WriteText("data/list.txt", "ihc_dab.png\n");
  for (const std::string bad : {"x", "-1", "1.5", "2000", "99999"}) {
    const CliResult r = RunCli(HISTONORM_EXE, {"Reinhard", "data/list.txt", "--threads", bad}, dir_.Path());
    EXPECT_EQ(r.status, 255) << bad;
    EXPECT_EQ(r.AfterBanner(), (std::vector<std::string>{"Bad value for --threads: '" + bad +
                                                         "' (a whole number from 0, all cores, to 1024)"}));
  }
  EXPECT_TRUE(fs::is_empty(dir_.Path() / "data/normalised"));
}

}  // namespace
}  // namespace histonorm::test
