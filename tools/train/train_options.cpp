#include "train/train_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace histonorm::train {

namespace {

constexpr int kMinSamples = 10;
// Beyond these, training takes long without learning more: diversity (images, copies) helps more
// than further pixels of the same image.
constexpr int kMaxSamples = 2000;
constexpr int kMaxAugment = 32;

long long ParseInteger(const std::string& option, const std::string& text, long long lo, long long hi) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi) {
    throw UsageError(option + " needs a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ", not '" + text + "'");
  }
  return value;
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

}  // namespace

TrainOptions ParseTrainOptions(const std::vector<std::string>& args) {
  TrainOptions o;
  bool haveOut = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a.compare(0, 2, "--") != 0) {
      o.images.push_back(a);
      continue;
    }
    if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--check") {
      o.checkModel = v;
    } else if (a == "--out") {
      o.outputPath = v;
      haveOut = true;
    } else if (a == "--labels") {
      if (o.labelDir || o.stains) throw UsageError("give either --labels or --stains, once");
      o.labelDir = v;
    } else if (a == "--stains") {
      if (o.labelDir || o.stains) throw UsageError("give either --labels or --stains, once");
      o.stains = ParseStains(v);
    } else if (a == "--tile") {
      o.tileSide = static_cast<int>(ParseInteger(a, v, 16, 1 << 20));
    } else if (a == "--pca-dims") {
      o.pcaDims = static_cast<int>(ParseInteger(a, v, 0, 256));
    } else if (a == "--samples") {
      o.samplesPerClass = static_cast<int>(ParseInteger(a, v, kMinSamples, kMaxSamples));
    } else if (a == "--augment") {
      o.augment = static_cast<int>(ParseInteger(a, v, 0, kMaxAugment));
    } else if (a == "--seed") {
      o.seed = static_cast<std::uint64_t>(ParseInteger(a, v, 0, std::numeric_limits<long long>::max()));
    } else if (a == "--gamma") {
      o.gamma = ParsePositive(a, v);
    } else {
      throw UsageError("unknown option '" + a + "'");
    }
  }
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
