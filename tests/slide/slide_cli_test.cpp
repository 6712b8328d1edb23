// histonorm-slide as a user runs it: a JPEG pyramid close to the slide that carries its metadata, the same
// bytes for any thread count, and on every failure (of the slide, of the writing, of the output's name) one
// line, status -1, no file left and an earlier result intact.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tiffio.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>
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

  const CliResult run =
      RunCli(HISTONORM_SLIDE_EXE, {bad.method, bad.file, "out/earlier.tif", "--overwrite"}, dir.Path());
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

// The source's resolution, magnification and associated images, as OpenSlide reads them from the result;
// nothing where the source states nothing.
TEST(SlideCliMetadata, ResultCarriesWhatTheSourceStates) {
  const ScratchDir dir;
  test::WriteSyntheticSlide(dir / "plain.tif", {600, 400});
  for (const std::string& source :
       {kCmu, std::string(HISTONORM_WSI_DIR) + "/tcga_frozen_section.svs", dir / "plain.tif"}) {
    SCOPED_TRACE(source);
    const CliResult run =
        RunCli(HISTONORM_SLIDE_EXE, {"Identity", source, "out.tif", "--overwrite"}, dir.Path());
    ASSERT_EQ(run.status, 0) << run.errText;
    const OpenedSlide in(source);
    const OpenedSlide out(dir / "out.tif");
    for (const char* name : {"openslide.mpp-x", "openslide.mpp-y", "openslide.objective-power"}) {
      ASSERT_EQ(in.Property(name).has_value(), out.Property(name).has_value()) << name;
      if (in.Property(name)) {
        EXPECT_DOUBLE_EQ(std::stod(*in.Property(name)), std::stod(*out.Property(name)));
      }
    }
    EXPECT_EQ(out.Property("tiff.XResolution").has_value(), in.Property("openslide.mpp-x").has_value());
    EXPECT_EQ(out.AssociatedImages(), in.AssociatedImages());
  }
}

// A copy of the shipped slide with one tile's bytes zeroed: it opens, but that tile cannot be decoded.
void WriteDamagedSlide(const std::string& path) {
  const std::string bytes = FileBytes(kCmu);
  std::string damaged = bytes;
  TIFF* tiff = TIFFOpen(kCmu.c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  const std::uint32_t tile = TIFFComputeTile(tiff, 1024, 1024, 0, 0);
  toff_t* offsets = nullptr;
  toff_t* sizes = nullptr;
  ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_TILEOFFSETS, &offsets) &&
              TIFFGetField(tiff, TIFFTAG_TILEBYTECOUNTS, &sizes));
  std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(offsets[tile]), sizes[tile], '\0');
  TIFFClose(tiff);
  std::ofstream(path, std::ios::binary) << damaged;
}

struct WriteFailure {
  std::string name;
  std::vector<std::string> args;  // in the scratch folder
  std::string message;            // the start of the one line on standard error
  int fileLimitKiB = 0;           // run under this file-size limit, 0 for none
};

void PrintTo(const WriteFailure& failure, std::ostream* out) { *out << failure.name; }

class SlideCliWriteFailure : public ::testing::TestWithParam<WriteFailure> {};

// Writing fails or is refused: one line, status -1, the earlier result and the slide as they were, no
// other file in the output's folder.
TEST_P(SlideCliWriteFailure, OneLineStatusMinusOneEarlierResultIntact) {
  const WriteFailure& failure = GetParam();
  const ScratchDir dir;
  std::filesystem::copy_file(kCmu, dir / "cmu.svs");
  WriteDamagedSlide(dir / "damaged.svs");
  test::WriteSyntheticSlide(dir / "slide.tif", {600, 400});
  std::filesystem::create_hard_link(dir / "slide.tif", dir / "link.tif");
  const std::string slide = FileBytes(dir / "slide.tif");
  dir.MakeDir("out");
  dir.WriteText("out/earlier.tif", "earlier");

  std::vector<std::string> args = failure.args;
  std::string exe = HISTONORM_SLIDE_EXE;
  if (failure.fileLimitKiB > 0) {  // a full disk: writes beyond the limit fail (EFBIG), the signal ignored
    args.insert(
        args.begin(),
        {"-c", "ulimit -f " + std::to_string(failure.fileLimitKiB) + " && trap '' XFSZ && exec \"$0\" \"$@\"",
         exe});
    exe = "/bin/bash";
  }
  const CliResult run = RunCli(exe, args, dir.Path());
  EXPECT_EQ(run.status, 255);
  std::vector<std::string> lines;  // all but the progress lines
  for (const std::string& line : run.Lines())
    if (!line.starts_with("Tiles ")) lines.push_back(line);
  ASSERT_EQ(lines.size(), 1U) << run.errText;
  EXPECT_EQ(lines[0].rfind(failure.message, 0), 0U) << run.errText;
  EXPECT_EQ(FileBytes(dir / "out/earlier.tif"), "earlier");
  EXPECT_EQ(FileBytes(dir / "slide.tif"), slide);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"), {}), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, SlideCliWriteFailure,
    ::testing::Values(
        WriteFailure{"FullDisk",
                     {"Identity", "cmu.svs", "out/earlier.tif", "--overwrite"},
                     "Failed to write 'out/earlier.tif': File too large",
                     512},
        WriteFailure{"DamagedTile",
                     {"Identity", "damaged.svs", "out/earlier.tif", "--overwrite"},
                     "Failed to write 'out/earlier.tif': "},
        WriteFailure{"OutputIsTheSlide",
                     {"Identity", "slide.tif", "slide.tif", "--overwrite"},
                     "Refusing to write 'slide.tif': it is the slide itself"},
        WriteFailure{"OutputLinksToTheSlide",
                     {"Identity", "slide.tif", "link.tif", "--overwrite"},
                     "Refusing to write 'link.tif': it is the slide itself"},
        WriteFailure{"OutputExists",
                     {"Identity", "cmu.svs", "out/earlier.tif"},
                     "Refusing to write 'out/earlier.tif': it exists (--overwrite replaces it)"},
        WriteFailure{
            "NotTiff",
            {"Identity", "cmu.svs", "out/earlier.png"},
            "Refusing to write 'out/earlier.png': the result is a TIFF file: name it .tif or .tiff"}),
    [](const auto& info) { return info.param.name; });

// Runs `args` (the program first) in `cwd`, stops it with SIGTERM as soon as a file starting with '.'
// appears in `watched`, and returns its wait status.
int StopWhileWriting(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                     const std::filesystem::path& watched) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(cwd);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  std::filesystem::current_path(previous);
  EXPECT_EQ(spawned, 0);
  const auto writing = [&] {
    for (const auto& entry : std::filesystem::directory_iterator(watched))
      if (entry.path().filename().string().starts_with(".")) return true;
    return false;
  };
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (writing() || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGTERM);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return status;
}

// Stopped while it writes a slide, histonorm-slide and the batch leave no temporary file, and the earlier
// result stays as it was.
TEST(SlideCliStop, StoppedWhileWritingLeavesNoFileAndTheEarlierResult) {
  const ScratchDir dir;
  dir.MakeDir("data/normalised");
  test::WriteSyntheticSlide(dir / "data/slide.tif", {6000, 6000});
  dir.WriteText("data/list.txt", "slide.tif\n");
  const std::string reference = std::string(HISTONORM_SAMPLE_DIR) + "/he_sample_2.png";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{HISTONORM_SLIDE_EXE, "Identity", "data/slide.tif",
                                 "data/normalised/slide.tif", "--overwrite"},
        std::vector<std::string>{HISTONORM_EXE, "Reinhard", "data/list.txt", reference}}) {
    SCOPED_TRACE(args[0]);
    dir.WriteText("data/normalised/slide.tif", "earlier");
    const int status = StopWhileWriting(args, dir.Path(), dir / "data/normalised");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(FileBytes(dir / "data/normalised/slide.tif"), "earlier");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "data/normalised"), {}), 1);
  }
}

}  // namespace
}  // namespace histonorm::test
