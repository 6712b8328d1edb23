// End-to-end runs on hostile or unlucky inputs: a full disk, concurrent runs, names and lists that
// must be refused, damaged images. Every failure must be reported with status 255 and must not
// cost an earlier result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <set>
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

class CliSafety : public testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("data/normalised");
    dir_.WriteImage("data/a.png", RandomImage(5, 6, 41));
  }
  CliResult Run(const std::vector<std::string>& args) { return RunCli(HISTONORM_EXE, args, dir_.Path()); }
  fs::path Data(const std::string& name) const { return dir_.Path() / "data" / name; }
  std::set<std::string> OutputNames() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(Data("normalised"))) names.insert(e.path().filename());
    return names;
  }

  ScratchDir dir_;
};

// A result that does not fit on the disk is reported, and the earlier result of that name stays.
class DiskFull : public CliSafety, public testing::WithParamInterface<std::string> {
 protected:
  void TearDown() override {
    if (mounted_) std::system(("umount " + Data("normalised").string()).c_str());
  }
  bool mounted_ = false;
};

TEST_P(DiskFull, FailedSaveKeepsTheEarlierResult) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const std::string mount =
      "mount -t tmpfs -o size=64k tmpfs " + Data("normalised").string() + " 2>/dev/null";
  mounted_ = std::system(mount.c_str()) == 0;
  if (!mounted_) GTEST_SKIP() << "cannot mount a small tmpfs here";
  const std::string name = "big" + GetParam();
  const cv::Mat small = RandomImage(8, 8, 42);
  ASSERT_TRUE(cv::imwrite(Data("normalised/" + name).string(), small));
  const std::string earlier = ReadBytes(Data("normalised/" + name));
  dir_.WriteImage("data/" + name, RandomImage(160, 160, 43));  // about 75 KiB in either format
  dir_.WriteText("data/list.txt", name + "\n");
  const CliResult r = Run({"Reinhard", "data/list.txt"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.AfterBanner().back(),
            "Failed to save image: 'data/normalised/" + name + "': No space left on device");
  EXPECT_EQ(ReadBytes(Data("normalised/" + name)), earlier);
  EXPECT_EQ(OutputNames(), std::set<std::string>{name});
}

INSTANTIATE_TEST_SUITE_P(Formats, DiskFull, testing::Values(".bmp", ".png"));

TEST_F(CliSafety, SymbolicLinksAndConcurrentRunsDoNotCorruptResults) {
  // A link planted at a predictable temporary name must not be followed.
  dir_.WriteText("data/victim.txt", "keep");
  fs::create_symlink("../victim.txt", Data("normalised/t0.png.partial.png"));
  std::string list;
  for (int i = 0; i < 8; ++i) {
    const std::string name = "t" + std::to_string(i) + ".png";
    dir_.WriteImage("data/" + name, RandomImage(60, 70, 50 + i));
    list += name + "\n";
  }
  dir_.WriteText("data/list.txt", list);
  const std::string run = "'" + std::string(HISTONORM_EXE) + "' RGBHistSpec data/list.txt 2>/dev/null";
  const std::string both = "cd '" + dir_.Path().string() + "' && { (" + run + "; echo $? > s1) & (" + run +
                           "; echo $? > s2) & wait; }";
  ASSERT_EQ(std::system(both.c_str()), 0);
  EXPECT_EQ(ReadBytes(dir_.Path() / "s1"), "0\n");
  EXPECT_EQ(ReadBytes(dir_.Path() / "s2"), "0\n");
  for (int i = 0; i < 8; ++i) {
    const cv::Mat out = cv::imread(Data("normalised/t" + std::to_string(i) + ".png").string());
    EXPECT_EQ(out.size(), cv::Size(70, 60)) << i;
  }
  EXPECT_EQ(ReadBytes(Data("victim.txt")), "keep");
  EXPECT_EQ(OutputNames().size(), 9u);  // the eight results and the planted link
}

TEST_F(CliSafety, LongestNamesCanBeSaved) {
  const std::string name = std::string(251, 'n') + ".png";  // 255 bytes, the longest file name
  dir_.WriteImage("data/" + name, RandomImage(3, 4, 44));
  dir_.WriteText("data/list.txt", name + "\n");
  const CliResult r = Run({"Reinhard", "data/list.txt"});
  ASSERT_EQ(r.status, 0) << r.errText;
  EXPECT_EQ(OutputNames(), std::set<std::string>{name});
}

// Refusals that come before anything is read or written: the message is the only line after the
// banner.
struct Refusal {
  std::string label;
  std::string listText;  // written to data/list.txt unless listPath is given
  std::string listPath;
  std::string message;
};

class Refused : public CliSafety, public testing::WithParamInterface<Refusal> {};

TEST_P(Refused, BeforeAnythingIsWritten) {
  const Refusal& c = GetParam();
  dir_.WriteText("data/x.png", "original beside the list");
  dir_.WriteImage("x.png", RandomImage(2, 2, 45));
  std::string listPath = c.listPath;
  if (listPath.empty()) {
    listPath = "data/list.txt";
    dir_.WriteText("data/list.txt", c.listText);
  } else if (listPath == "data/huge.txt") {
    std::ofstream(Data("huge.txt")) << "a.png\n";
    fs::resize_file(Data("huge.txt"), (std::uintmax_t{1} << 30) + 1);  // sparse: no disk space used
  }
  const CliResult r = Run({"Reinhard", listPath});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.AfterBanner(), std::vector<std::string>{c.message});
  EXPECT_TRUE(OutputNames().empty());
  EXPECT_EQ(ReadBytes(Data("x.png")), "original beside the list");
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Refused,
    testing::Values(
        Refusal{"SameResultFromTwoFiles", "a.png x.png sub/../../x.png\n", "",
                "Two list entries would be saved as 'data/normalised/x.png': 'x.png' and 'sub/../../x.png'"},
        Refusal{"NoFileName", "a.png ..\n", "", "Image name has no file name to save under: '..'"},
        Refusal{"NulByte", std::string("a.png\nb\0c.png\n", 14), "",
                "Failed to read list file: 'data/list.txt': entry 2 holds a NUL byte"},
        Refusal{"EndlessZeros", "", "/dev/zero",
                "Failed to read list file: '/dev/zero': entry 1 holds a NUL byte"},
        Refusal{"ReadError", "", "/proc/self/mem",
                "Failed to read list file: '/proc/self/mem': Input/output error"},
        Refusal{"TooLarge", "", "data/huge.txt",
                "Failed to read list file: 'data/huge.txt': larger than 1 GiB"}),
    [](const testing::TestParamInfo<Refusal>& info) { return info.param.label; });

TEST_F(CliSafety, ListFromANamedPipeIsReadOnce) {
  ASSERT_EQ(::mkfifo(Data("list.fifo").c_str(), 0600), 0);
  // The writer opens the pipe once; a driver that opened it again would wait for ever.
  const std::string writer = "(printf 'a.png\\n' > '" + Data("list.fifo").string() + "') &";
  ASSERT_EQ(std::system(writer.c_str()), 0);
  const CliResult r = RunCli("timeout", {"20", HISTONORM_EXE, "Reinhard", "data/list.fifo"}, dir_.Path());
  EXPECT_EQ(r.status, 0) << r.errText;
  EXPECT_EQ(OutputNames(), std::set<std::string>{"a.png"});
}

TEST_F(CliSafety, TruncatedJpegIsRefused) {
  ASSERT_TRUE(cv::imwrite(Data("whole.jpg").string(), LoadSample("he_sample_1.png")));
  const std::string bytes = ReadBytes(Data("whole.jpg"));
  dir_.WriteText("data/cut.jpg", bytes.substr(0, bytes.size() * 2 / 3));
  dir_.WriteText("data/list.txt", "whole.jpg cut.jpg\n");
  const CliResult r = Run({"Reinhard", "data/list.txt"});
  EXPECT_EQ(r.status, 255);
  const auto lines = r.AfterBanner();
  EXPECT_EQ(lines[lines.size() - 2], "[CalcStats] 'data/cut.jpg'");
  EXPECT_EQ(lines.back(), "Failed to load image: 'data/cut.jpg': truncated");
}

// The stain method's own inputs: colour model, parameters file, diagnostic files.
class StainSafety : public CliSafety {
 protected:
  void SetUp() override {
    CliSafety::SetUp();
    WriteModelFile(dir_ / "he.model", MakeStainLikeModel());
    dir_.WriteImage("data/s1.png", LoadSample("he_sample_1.png")(cv::Rect(0, 0, 200, 150)));
    dir_.WriteImage("data/s2.png", LoadSample("he_sample_2.png")(cv::Rect(0, 0, 200, 150)));
    dir_.WriteText("data/list.txt", "s2.png\n");
  }
};

TEST_F(StainSafety, UnreadableModelsAreReportedWithTheReason) {
  dir_.MakeDir("folder.model");
  const std::pair<std::string, std::string> cases[] = {{"folder.model", "it is a folder"},
                                                       {"/proc/self/mem", "the file cannot be read"},
                                                       {"/dev/zero", "the file is larger than 64 MiB"}};
  for (const auto& [model, reason] : cases) {
    const CliResult r = Run({"BimodalDeconvRVM", "data/list.txt", model});
    EXPECT_EQ(r.status, 255) << model;
    EXPECT_EQ(r.AfterBanner(), (std::vector<std::string>{
                                   " DIR: data/", "Failed to read colour model '" + model + "': " + reason}));
  }
}

TEST_F(StainSafety, BadParameterIsRefusedBeforeAnyImage) {
  dir_.WriteText("params.txt", "0.99 30\n300 0.75 0.75\n-0.5\n");
  const CliResult r = Run({"BimodalDeconvRVM", "data/list.txt", "he.model"});
  EXPECT_EQ(r.status, 255);
  const auto lines = r.AfterBanner();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "PARAMETERS FILE PROVIDED");
  EXPECT_EQ(lines.back(), "Bad value in params.txt line 3: '-0.5'");
  EXPECT_TRUE(OutputNames().empty());
}

TEST_F(StainSafety, VerboseDiagnosticsAreWrittenOrTheRunFails) {
  // A reference in a folder names the target's files after its file name, in the output folder.
  const CliResult r = Run({"BimodalDeconvRVM", "data/list.txt", "data/s1.png", "he.model", "/verbose"});
  ASSERT_EQ(r.status, 0) << r.errText;
  EXPECT_EQ(OutputNames(),
            (std::set<std::string>{"s1.png.target.vectors.txt", "s1.png.target.channels.1.jpg",
                                   "s1.png.target.channels.2.jpg", "s2.png", "s2.png.mapped.vectors.txt",
                                   "s2.png.mapped.channels.1.jpg", "s2.png.mapped.channels.2.jpg"}));
  // An image whose output folder is missing cannot have its diagnostic files.
  dir_.MakeDir("data/sub");
  fs::copy_file(Data("s2.png"), Data("sub/s3.png"));
  dir_.WriteText("data/list.txt", "sub/s3.png\n");
  const CliResult missing = Run({"BimodalDeconvRVM", "data/list.txt", "data/s1.png", "he.model", "/verbose"});
  EXPECT_EQ(missing.status, 255);
  EXPECT_EQ(missing.AfterBanner().back(),
            "Failed to write diagnostic file: 'data/normalised/sub/s3.png.mapped.vectors.txt'");
}

// Peak resident memory in KiB of the stain method normalising `list` against data/s1.png.
long PeakKiB(const ScratchDir& dir, const std::string& list) {
  const CliResult r = RunCli(
      "/usr/bin/time",
      {"-f", "%M", "-o", "rss.txt", HISTONORM_EXE, "BimodalDeconvRVM", list, "data/s1.png", "he.model"},
      dir.Path());
  EXPECT_EQ(r.status, 0) << r.errText;
  return std::stol(ReadBytes(dir.Path() / "rss.txt"));
}

TEST_F(StainSafety, NeedsAtMost16BytesPerPixel) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer builds hold memory of their own";
#endif
  if (!fs::exists("/usr/bin/time")) GTEST_SKIP() << "measuring memory needs /usr/bin/time";
  // A slide-like image: tiled sample tissue with a little noise, so that colours repeat as in a scan.
  cv::Mat big;
  cv::repeat(LoadSample("he_sample_1.png"), 6, 4, big);
  cv::Mat noise(big.size(), CV_8UC3);
  cv::randu(noise, 0, 3);
  big += noise;
  dir_.WriteImage("data/big.bmp", big);
  dir_.WriteImage("data/small.bmp", big(cv::Rect(0, 0, 64, 64)));
  dir_.WriteText("data/big.txt", "big.bmp\n");
  dir_.WriteText("data/small.txt", "small.bmp\n");
  const long fixed = PeakKiB(dir_, "data/small.txt");
  const double perPixel =
      static_cast<double>(PeakKiB(dir_, "data/big.txt") - fixed) * 1024.0 / static_cast<double>(big.total());
  EXPECT_LE(perPixel, 16.0) << big.cols << " x " << big.rows;
}

// Hostile target files and destinations: each is refused with one line, or written into without
// being replaced, and never costs an input.
struct Hostile {
  std::string label;
  std::string targetText;  // written to data/t.json unless empty
  std::string linkTo;      // data/t.json (or the link "lnk" for --out) made a link to this instead
  std::vector<std::string> args;
  std::string lastLine;
};

class HostileFiles : public CliSafety, public testing::WithParamInterface<Hostile> {};

TEST_P(HostileFiles, AreRefusedWithOneLineAndCostNoInput) {
  const Hostile& c = GetParam();
  dir_.WriteText("data/list.txt", "a.png\n");
  if (!c.targetText.empty()) dir_.WriteText("data/t.json", c.targetText);
  if (c.linkTo == "folder") dir_.MakeDir("data/t.json");
  if (c.linkTo == "/dev/zero") fs::create_symlink("/dev/zero", Data("t.json"));
  if (c.linkTo == "data") fs::create_directory_symlink("data", dir_.Path() / "lnk");
  const std::string before = ReadBytes(Data("a.png"));
  std::vector<std::string> args{"Reinhard", "data/list.txt"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const CliResult r = Run(args);
  EXPECT_EQ(r.status, 255);
  ASSERT_FALSE(r.AfterBanner().empty());
  EXPECT_EQ(r.AfterBanner().back(), c.lastLine);
  EXPECT_EQ(ReadBytes(Data("a.png")), before);
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

const std::vector<std::string> kLoad{"--target", "data/t.json"};
const std::string kHead = R"({"format": "histonorm-target", "version": )";

INSTANTIATE_TEST_SUITE_P(
    TargetsAndDestinations, HostileFiles,
    testing::Values(
        Hostile{"DeeplyNested", kHead + std::string(100000, '[') + std::string(100000, ']') + "}", "", kLoad,
                "Bad target file 'data/t.json': target file version [[[[[...]]]]] is not the supported "
                "version 1"},
        Hostile{"BeyondDouble", kHead + "1e400}", "", kLoad,
                "Bad target file 'data/t.json': it holds a number too large for a double"},
        Hostile{
            "VersionBeyondInt", kHead + "4294967297}", "", kLoad,
            "Bad target file 'data/t.json': target file version 4294967297 is not the supported version 1"},
        Hostile{"Endless", "", "/dev/zero", kLoad,
                "Bad target file 'data/t.json': the file is larger than 16 MiB"},
        Hostile{"Folder", "", "folder", kLoad, "Bad target file 'data/t.json': it is a folder"},
        Hostile{"OutIsTheListFolder",
                "",
                "",
                {"--out", "data"},
                "A result would overwrite an input: 'data/a.png' is 'data/a.png'"},
        Hostile{"OutLinksToTheListFolder",
                "",
                "data",
                {"--out", "lnk"},
                "A result would overwrite an input: 'lnk/a.png' is 'data/a.png'"},
        Hostile{"TargetSavedOverAnInput",
                "",
                "",
                {"data/a.png", "--save-target", "data/a.png"},
                "A result would overwrite an input: 'data/a.png' is 'data/a.png'"},
        Hostile{"FullDevice",
                "",
                "",
                {"data/a.png", "--save-target", "/dev/full"},
                "Failed to save target: '/dev/full': No space left on device"}),
    [](const testing::TestParamInfo<Hostile>& info) { return info.param.label; });

// Standard output takes a saved target ("-", or a link to /dev/stdout), and a link stays a link.
class TargetToStandardOutput : public CliSafety, public testing::WithParamInterface<std::string> {};

TEST_P(TargetToStandardOutput, WritesTheTargetAndReplacesNothing) {
  dir_.WriteText("data/list.txt", "a.png\n");
  fs::create_symlink("/dev/stdout", dir_.Path() / "out.json");
  const CliResult r =
      Run({"Reinhard", "data/list.txt", "data/a.png", "--save-target", GetParam(), "--fit-only"});
  ASSERT_EQ(r.status, 0) << r.errText;
  EXPECT_TRUE(r.outText.starts_with("{\n \"format\": \"histonorm-target\"")) << r.outText;
  EXPECT_TRUE(fs::is_symlink(dir_.Path() / "out.json"));
}

INSTANTIATE_TEST_SUITE_P(Names, TargetToStandardOutput, testing::Values("-", "out.json", "/dev/stdout"));

}  // namespace
}  // namespace histonorm::test
