// histonorm-slide METHOD SLIDE OUTPUT.tif [options]: measures the slide's colours once on a sample of its
// tissue, then streams the chosen level tile by tile through the resulting colour transform into a pyramidal
// tiled BigTIFF. Exits with status -1 (255) on any error, leaving no output file behind.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/image_io.h"
#include "histonorm/method.h"
#include "slide/normalise_slide.h"

namespace {

using histonorm::slide::SlideError;
using histonorm::slide::SlideStep;

constexpr int kFailure = -1;

constexpr std::string_view kUsage =
    "Usage: histonorm-slide METHOD SLIDE OUTPUT.tif [--target IMAGE | --target-file FILE] [--model FILE]\n"
    "         [--level L] [--tile N] [--threads N] [--quality Q] [--lossless] [--sample reduced|tissue]\n"
    "  METHOD   Identity (copies the colours) or a normalisation method\n"
    "  --level  the slide level to normalise (default 0)\n"
    "  --tile   the output's tile side, a multiple of 16 (default 512)\n"
    "  --threads  worker threads, 0 = all cores (default 0)\n"
    "  --quality  JPEG quality 1..100 (default 90); --lossless writes deflate tiles instead\n"
    "  --sample   what the colours are measured on: the level reduced to at most 4 MP (default) or a mosaic "
    "of\n             full-resolution tissue tiles\n";

struct Arguments {
  std::string method;
  std::string slide;
  std::string output;
  std::string targetImage;  // --target
  histonorm::slide::TransformTarget target;
  histonorm::slide::WriteSettings write;
  histonorm::slide::SampleKind sample = histonorm::slide::SampleKind::kReducedLevel;
};

std::optional<int> ParseInt(std::string_view text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

// Applies one option that takes a value; false when the option is unknown or its value is out of range.
bool ApplyOption(std::string_view name, std::string_view value, Arguments& args) {
  const auto number = [&](int low, int high, int& out) {
    const std::optional<int> parsed = ParseInt(value, low, high);
    if (parsed) out = *parsed;
    return parsed.has_value();
  };
  int threads = 0;
  if (name == "--target")
    args.targetImage = value;
  else if (name == "--target-file")
    args.target.savedPath = value;
  else if (name == "--model")
    args.target.modelPath = value;
  else if (name == "--level")
    return number(0, 1000, args.write.level);
  else if (name == "--quality")
    return number(1, 100, args.write.quality);
  else if (name == "--tile")
    return number(16, 1 << 15, args.write.tileSize) && args.write.tileSize % 16 == 0;
  else if (name == "--threads") {
    if (!number(0, 1024, threads)) return false;
    args.write.threads = static_cast<unsigned>(threads);
  } else if (name == "--sample") {
    args.sample = value == "reduced" ? histonorm::slide::SampleKind::kReducedLevel
                                     : histonorm::slide::SampleKind::kTissueMosaic;
    return value == "reduced" || value == "tissue";
  } else
    return false;
  return true;
}

std::optional<Arguments> ParseArguments(const std::vector<std::string_view>& words) {
  Arguments args;
  std::vector<std::string_view> positional;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--lossless") {
      args.write.lossless = true;
    } else if (words[i].starts_with("--")) {
      if (i + 1 >= words.size() || !ApplyOption(words[i], words[i + 1], args)) return std::nullopt;
      ++i;
    } else {
      positional.push_back(words[i]);
    }
  }
  if (positional.size() != 3) return std::nullopt;
  if (!args.targetImage.empty() && !args.target.savedPath.empty()) return std::nullopt;
  args.method = positional[0];
  args.slide = positional[1];
  args.output = positional[2];
  return args;
}

void PrintProgress(const histonorm::slide::Progress& progress) {
  std::fprintf(stderr, "Tiles %lld/%lld, %.1f MP/s, %.0f s elapsed, %.0f s left\n",
               static_cast<long long>(progress.tilesDone), static_cast<long long>(progress.tilesTotal),
               progress.megapixelsPerSecond, progress.seconds, progress.secondsLeft);
}

int Run(const Arguments& args) {
  histonorm::slide::TransformTarget target = args.target;
  target.threads = args.write.threads;
  if (!args.targetImage.empty()) {
    histonorm::app::LoadedImage loaded = histonorm::app::LoadColourImage(args.targetImage);
    if (loaded.image.empty()) {
      std::cerr << "Failed to load image: '" << args.targetImage << "'"
                << (loaded.problem.empty() ? "" : ": " + loaded.problem) << "\n";
      return kFailure;
    }
    target.image = loaded.image;
  }
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
          return histonorm::slide::MakeTileTransform(args.method, target, sample);
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
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> words(argv + 1, argv + argc);
  const std::optional<Arguments> args = ParseArguments(words);
  if (!args) {
    std::cerr << kUsage;
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
