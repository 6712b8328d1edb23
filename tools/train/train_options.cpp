#include "train/train_options.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

#include "common/command_words.h"

namespace histonorm::train {

namespace {

constexpr int kMinSamples = 10;
// Beyond these, training takes long without learning more: diversity (images, copies) helps more
// than further pixels of the same image.
constexpr int kMaxSamples = 2000;
constexpr int kMaxAugment = 32;

long long ParseInteger(const std::string& option, const std::string& text, long long lo, long long hi) {
  const std::optional<long long> value = ParseWholeNumber(text, lo, hi);
  if (!value) {
    throw UsageError(option + " needs a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ", not '" + text + "'");
  }
  return *value;
}

double ParsePositive(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0.0) {
    throw UsageError(option + " needs a positive number, not '" + text + "'");
  }
  return value;
}

StainPair ParseStains(const std::string& text) {
  if (text == "he") return StainPair::kHaematoxylinEosin;
  if (text == "hdab") return StainPair::kHaematoxylinDab;
  throw UsageError("--stains needs 'he' or 'hdab', not '" + text + "'");
}

// The words of the command line, split by the one option parser of every program.
CommandWords SplitTrainWords(const std::vector<std::string>& args) {
  std::vector<OptionRule> rules{{"--labels", true}, {"--stains", true}};
  for (const char* valued :
       {"--check", "--out", "--tile", "--pca-dims", "--samples", "--augment", "--seed", "--gamma"})
    rules.push_back({valued, true, false});
  try {
    return SplitCommandWords(args, rules);
  } catch (const CommandLineError& e) {
    throw UsageError(e.what());
  }
}

// Sets `value` from option `name` when it was given.
template <typename Parse, typename T>
void Take(const CommandWords& words, const std::string& name, T& value, Parse parse) {
  if (const std::optional<std::string> text = words.Value(name)) value = parse(name, *text);
}

}  // namespace

TrainOptions ParseTrainOptions(const std::vector<std::string>& args) {
  const CommandWords words = SplitTrainWords(args);
  TrainOptions o;
  o.images = words.positional;
  o.checkModel = words.Value("--check");
  const bool haveOut = words.Has("--out");
  o.outputPath = words.Value("--out").value_or(o.outputPath);
  if (words.Has("--labels") && words.Has("--stains"))
    throw UsageError("give either --labels or --stains, once");
  if (const std::optional<std::string> labels = words.Value("--labels")) o.labelDir = *labels;
  if (const std::optional<std::string> stains = words.Value("--stains")) o.stains = ParseStains(*stains);
  const auto integer = [](long long lo, long long hi) {
    return [lo, hi](const std::string& name, const std::string& text) {
      return static_cast<int>(ParseInteger(name, text, lo, hi));
    };
  };
  Take(words, "--tile", o.tileSide, integer(16, 1 << 20));
  Take(words, "--pca-dims", o.pcaDims, integer(0, 256));
  Take(words, "--samples", o.samplesPerClass, integer(kMinSamples, kMaxSamples));
  Take(words, "--augment", o.augment, integer(0, kMaxAugment));
  Take(words, "--seed", o.seed, [](const std::string& name, const std::string& text) {
    return static_cast<std::uint64_t>(ParseInteger(name, text, 0, std::numeric_limits<long long>::max()));
  });
  Take(words, "--gamma", o.gamma, ParsePositive);
  if (o.checkModel) {
    if (haveOut) throw UsageError("give either --out or --check");
  } else if (!haveOut || o.outputPath.empty()) {
    throw UsageError("--out is required");
  }
  if (!o.labelDir && !o.stains) throw UsageError("give --labels DIR or --stains he|hdab");
  if (o.images.empty()) throw UsageError("no training images given");
  return o;
}

std::string TrainUsage() {
  return "Usage: histonorm-train (--out MODEL | --check MODEL) (--stains he|hdab | --labels DIR) [--tile N] "
         "[--pca-dims D]\n"
         "                      [--samples N] [--augment K] [--seed S] [--gamma G] IMAGE...\n"
         "       histonorm-train --help | --version\n"
         "  --out        the model file to write\n"
         "  --check      no training: print the stain checks of an existing model on the images\n"
         "  --stains     automatic labels: haematoxylin/eosin or haematoxylin/DAB\n"
         "  --labels     label masks DIR/<image name>.png: 0 unlabelled, 1 stain 0, 2 stain 1, 3 background\n"
         "  --tile       one code histogram per tile of about N x N pixels (default: one per image)\n"
         "  --pca-dims   principal components in the image descriptor (default 8)\n"
         "  --samples    training pixels per class, image and copy (default 100, 10 to 2000)\n"
         "  --augment    re-stained copies of each image (default 3, at most 32)\n"
         "  --seed       seed of the pixel sampling (default 1)\n"
         "  --gamma      kernel width (default: chosen by leaving each source out in turn)";
}

}  // namespace histonorm::train
