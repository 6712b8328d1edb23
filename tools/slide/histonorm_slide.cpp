// histonorm-slide METHOD SLIDE OUTPUT.tif [options]: measures the slide's colours once on a sample of its
// tissue, then streams the chosen level tile by tile through the resulting colour transform into a pyramidal
// tiled BigTIFF. Exits with status -1 (255) on any error, leaving no output file behind; never replaces its
// input, nor an existing file unless --overwrite is given.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/batch_options.h"
#include "cli/command_line.h"
#include "cli/image_io.h"
#include "common/command_words.h"
#include "common/safe_save.h"
#include "histonorm/method.h"
#include "histonorm/stain_params.h"
#include "report/run_review.h"
#include "slide/normalise_slide.h"

namespace {

using histonorm::slide::SlideError;
using histonorm::slide::SlideStep;

constexpr int kFailure = -1;

constexpr std::string_view kUsage =
    "Usage: histonorm-slide METHOD SLIDE OUTPUT.tif [--target IMAGE | --target-file FILE] [--model FILE]\n"
    "         [--level L] [--tile N] [--threads N] [--quality Q] [--lossless] [--sample reduced|tissue]\n"
    "         [--overwrite] [--check] [--report FILE.html]\n"
    "         [--stain-params FILE]\n"
    "       histonorm-slide --help | --version\n"
    "  METHOD   Identity (copies the colours) or a normalisation method\n"
    "  --level  the slide level to normalise (default 0)\n"
    "  --tile   the output's tile side, a multiple of 16 (default 512)\n"
    "  --threads  worker threads, 0 = all cores (default 0)\n"
    "  --quality  JPEG quality 1..100 (default 90); --lossless writes deflate tiles instead\n"
    "  --sample   what the colours are measured on: the level reduced to at most 4 MP (default) or a mosaic "
    "of\n             full-resolution tissue tiles\n"
    "  --overwrite  replace OUTPUT.tif if it exists (never the slide itself)\n"
    "  --check    check the normalised sample (status 3 when it looks wrong); --report also writes an HTML "
    "report\n"
    "  --target   a target image; --target-file a saved target (histonorm --save-target)\n"
    "  --model    the colour model of BimodalDeconvRVM\n"
    "  --stain-params  the thresholds of BimodalDeconvRVM, in the format of histonorm's params.txt\n";

struct Arguments {
  std::string method;
  std::string slide;
  std::string output;
  std::string targetImage;  // --target
  std::string stainParams;  // --stain-params
  histonorm::slide::TransformTarget target;
  histonorm::slide::WriteSettings write;
  histonorm::slide::SampleKind sample = histonorm::slide::SampleKind::kReducedLevel;
  bool check = false;      // --check
  std::string report;      // --report
  bool overwrite = false;  // --overwrite
};

// A number option's value within [low, high]; the line that refuses it otherwise.
int NumberOf(const histonorm::CommandWords& words, const std::string& name, int low, int high, int fallback) {
  const std::optional<std::string> text = words.Value(name);
  if (!text) return fallback;
  const std::optional<long long> value = histonorm::ParseWholeNumber(*text, low, high);
  if (!value) {
    throw histonorm::CommandLineError(histonorm::BadValueLine(
        name, *text, "a whole number from " + std::to_string(low) + " to " + std::to_string(high)));
  }
  return static_cast<int>(*value);
}

// The command line's arguments, or nothing without the three positional ones (the usage says what they
// are); throws CommandLineError with the line that refuses an option.
std::optional<Arguments> ParseArguments(const std::vector<std::string>& words) {
  std::vector<histonorm::OptionRule> rules;
  for (const char* flag : {"--lossless", "--check", "--overwrite"}) rules.push_back({flag, false, false});
  for (const char* valued : {"--target", "--target-file", "--report", "--model", "--stain-params", "--level",
                             "--quality", "--tile", "--threads", "--sample"}) {
    rules.push_back({valued, true, false});
  }
  const histonorm::CommandWords given = histonorm::SplitCommandWords(words, rules);
  Arguments args;
  args.targetImage = given.Value("--target").value_or("");
  args.target.savedPath = given.Value("--target-file").value_or("");
  args.report = given.Value("--report").value_or("");
  args.target.modelPath = given.Value("--model").value_or("");
  args.stainParams = given.Value("--stain-params").value_or("");
  args.write.lossless = given.Has("--lossless");
  args.check = given.Has("--check");
  args.overwrite = given.Has("--overwrite");
  args.write.level = NumberOf(given, "--level", 0, 1000, args.write.level);
  args.write.quality = NumberOf(given, "--quality", 1, 100, args.write.quality);
  args.write.tileSize = NumberOf(given, "--tile", 16, 1 << 15, args.write.tileSize);
  if (args.write.tileSize % 16 != 0)
    throw histonorm::CommandLineError(
        histonorm::BadValueLine("--tile", *given.Value("--tile"), "a multiple of 16"));
  args.write.threads = static_cast<unsigned>(NumberOf(given, "--threads", 0, 1024, 0));
  const std::string sample = given.Value("--sample").value_or("reduced");
  if (sample != "reduced" && sample != "tissue")
    throw histonorm::CommandLineError(histonorm::BadValueLine("--sample", sample, "reduced or tissue"));
  args.sample = sample == "reduced" ? histonorm::slide::SampleKind::kReducedLevel
                                    : histonorm::slide::SampleKind::kTissueMosaic;
  if (given.positional.size() != 3) return std::nullopt;
  if (!args.targetImage.empty() && !args.target.savedPath.empty())
    throw histonorm::CommandLineError(
        "A saved target (--target-file) replaces the target image: give one or the other");
  args.method = given.positional[0];
  args.slide = given.positional[1];
  args.output = given.positional[2];
  return args;
}

void PrintProgress(const histonorm::slide::Progress& progress) {
  std::fprintf(stderr, "Tiles %lld/%lld, %.1f MP/s, %.0f s elapsed, %.0f s left\n",
               static_cast<long long>(progress.tilesDone), static_cast<long long>(progress.tilesTotal),
               progress.megapixelsPerSecond, progress.seconds, progress.secondsLeft);
}

// The checks' summary line and the report; the status of a run whose sample was checked.
int FinishReview(const Arguments& args, const histonorm::report::RunReview& review) {
  std::cerr << review.SummaryLine() << "\n";
  if (!args.report.empty()) {
    const std::string html = review.Html();
    if (!histonorm::ReplaceFile(args.report, html.data(), html.size())) {
      std::cerr << "Failed to save report: '" << args.report << "'\n";
      return kFailure;
    }
    std::cerr << "Saved report '" << args.report << "'\n";
  }
  return review.AnyWrong() ? histonorm::report::kLooksWrongStatus : 0;
}

histonorm::report::RunInfo ReportInfo(const Arguments& args) {
  histonorm::report::RunInfo info;
  info.program = "histonorm-slide";
  info.version = histonorm::report::ProgramVersion();
  info.method = args.method;
  info.model = args.target.modelPath;
  info.target = args.targetImage.empty() ? "saved target " + args.target.savedPath : args.targetImage;
  info.threads = args.write.threads == 0 ? "all cores" : std::to_string(args.write.threads);
  info.started = histonorm::report::UtcNow();
  return info;
}

// Why the output may not be written, or nothing: it must say TIFF, must not be the slide (the same file,
// also through links) and must not exist unless --overwrite.
std::string OutputProblem(const Arguments& args) {
  std::string extension = std::filesystem::path(args.output).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension != ".tif" && extension != ".tiff") return "the result is a TIFF file: name it .tif or .tiff";
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(args.output, error))) return {};
  if (std::filesystem::equivalent(args.slide, args.output, error)) return "it is the slide itself";
  if (!args.overwrite) return "it exists (--overwrite replaces it)";
  return {};
}

// The methods, the colour model location and an example, after the usage.
std::string Help() {
  return std::string(kUsage) + "  METHOD is Identity or one of " + histonorm::app::MethodList() +
         "\n"
         "histonorm-slide --list-slides FILE... prints the FILEs that are slides rather than ordinary "
         "images\n"
         "(the batch's rule), one a line.\n"
         "Colour models are installed in " +
         histonorm::app::InstalledModelDir() +
         "/.\n"
         "Exit status: 0 on success, 3 when --check finds that the result looks wrong, 255 on any error (no "
         "output\n"
         "file is left behind).\n"
         "Example:\n"
         "  histonorm-slide Reinhard slide.svs slide-normalised.tif --target reference.png\n";
}

// Reads --stain-params into the target; false (with the line printed) when the file is unusable.
bool ReadStainParamsFile(const std::string& path, histonorm::slide::TransformTarget& target) {
  std::ifstream in(path);
  if (!in.is_open()) {
    std::cerr << "Failed to read stain parameters file: '" << path << "'\n";
    return false;
  }
  try {
    histonorm::ReadStainParams(in, target.stainParams);
  } catch (const histonorm::StainParamsError& e) {
    std::cerr << "Bad value in " << path << " line " << e.Line() << ": '" << e.Text() << "'\n";
    return false;
  }
  return true;
}

// The review of a run with --check or --report (none otherwise); a report also shows what the stain
// method estimates on the sample, which `target` then hands to `stain`.
std::optional<histonorm::report::RunReview> StartReview(const Arguments& args,
                                                        histonorm::slide::TransformTarget& target,
                                                        histonorm::report::StainFigures& stain) {
  if (!args.check && args.report.empty()) return std::nullopt;
  if (!args.report.empty()) {
    target.diagnostics = [&stain](const histonorm::StainDiagnostics& d) { stain = {d.vectors, d.curves}; };
  }
  std::optional<histonorm::report::RunReview> review(std::in_place, !args.report.empty(), ReportInfo(args));
  if (!target.image.empty()) review->AddTarget(target.image, true);
  return review;
}

int Run(const Arguments& args) {
  if (const std::string problem = OutputProblem(args); !problem.empty()) {
    std::cerr << "Refusing to write '" << args.output << "': " << problem << "\n";
    return kFailure;
  }
  histonorm::slide::TransformTarget target = args.target;
  target.threads = args.write.threads;
  if (!args.stainParams.empty() && !ReadStainParamsFile(args.stainParams, target)) return kFailure;
  if (!args.targetImage.empty()) {
    histonorm::app::LoadedImage loaded = histonorm::app::LoadColourImage(args.targetImage);
    if (loaded.image.empty()) {
      std::cerr << "Failed to load image: '" << args.targetImage << "'"
                << (loaded.problem.empty() ? "" : ": " + loaded.problem) << "\n";
      return kFailure;
    }
    target.image = loaded.image;
  }
  histonorm::report::StainFigures stain;  // of the sample, for the report
  std::optional<histonorm::report::RunReview> review = StartReview(args, target, stain);
  const histonorm::slide::SlideJob job{.slidePath = args.slide,
                                       .outputPath = args.output,
                                       .write = args.write,
                                       .sample = args.method == histonorm::slide::kIdentityMethod
                                                     ? histonorm::slide::SampleKind::kNone
                                                     : args.sample};  // the copy measures nothing
  try {
    NormaliseSlide(
        job,
        [&](const cv::Mat& sample) {
          auto transform = histonorm::slide::MakeTileTransform(args.method, target, sample);
          if (review && !sample.empty()) {
            histonorm::report::ImageEntry entry =
                review->Inspect(args.slide, sample, transform->Apply(sample), stain);
            entry.note = histonorm::report::kSlideSampleNote;
            review->Add(std::move(entry));
          }
          return transform;
        },
        PrintProgress);
  } catch (const histonorm::slide::SlideJobError& e) {
    switch (e.Step()) {
      case SlideStep::kOpen:
        std::cerr << "Failed to open slide '" << args.slide << "': " << e.what() << "\n";
        break;
      case SlideStep::kFit:
        std::cerr << "Failed to prepare " << args.method << ": " << e.what() << "\n";
        break;
      case SlideStep::kWrite:
        std::cerr << "Failed to write '" << args.output << "': " << e.what() << "\n";
        break;
    }
    return kFailure;
  }
  return review ? FinishReview(args, *review) : 0;
}

// --list-slides: the arguments that name slides, one a line, so that scripts sort a list as the batch does.
int ListSlides(const std::vector<std::string_view>& paths) {
  for (const std::string_view path : paths) {
    if (histonorm::slide::IsSlidePath(std::string(path))) std::cout << path << "\n";
  }
  std::cout << std::flush;
  return std::cout ? 0 : kFailure;
}

}  // namespace

int main(int argc, char** argv) {
  histonorm::RemoveTemporaryFilesOnSignals();
  const std::vector<std::string_view> words(argv + 1, argv + argc);
  if (!words.empty() && words.front() == "--list-slides") return ListSlides({words.begin() + 1, words.end()});
  const std::vector<std::string> texts(words.begin(), words.end());
  if (histonorm::app::IsHelpRequest(texts)) {
    std::cout << Help();
    return 0;
  }
  if (histonorm::app::IsVersionRequest(texts)) {
    std::cout << histonorm::app::VersionLine("histonorm-slide") << "\n";
    return 0;
  }
  std::optional<Arguments> args;
  try {
    args = ParseArguments(texts);
  } catch (const histonorm::CommandLineError& e) {
    std::cerr << e.what() << "\n";
  }
  if (!args) {
    std::cerr << kUsage;
    return kFailure;
  }
  if (args->method != histonorm::slide::kIdentityMethod && !histonorm::ParseMethod(args->method)) {
    std::cerr << histonorm::app::UnknownMethodLine(args->method) << "\n" << kUsage;
    return kFailure;
  }
  if (args->target.modelPath.empty() &&
      histonorm::ParseMethod(args->method) == histonorm::Method::kBimodalDeconvRVM) {
    std::cerr << "Method " << args->method << " needs a colour model file: give --model FILE\n";
    return kFailure;
  }
  try {
    histonorm::slide::StartVips();
  } catch (const SlideError& e) {
    std::cerr << e.what() << "\n";
    return kFailure;
  }
  return Run(*args);
}
