#include "app/batch_run.h"

#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "app/command_line.h"
#include "app/image_io.h"
#include "app/list_file.h"
#include "norm/reinhard.h"
#include "norm/rgb_hist_spec.h"
#include "stain/norm_bimodal_deconv_rvm.h"

namespace histonorm::app {

namespace {

constexpr int kFailure = -1;

// A failure that ends the run; the message is the line to print.
class RunFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

cv::Mat LoadOrFail(const std::string& path) {
  cv::Mat image = LoadColourImage(path);
  if (image.empty()) throw RunFailure("Failed to load image: " + Quoted(path));
  return image;
}

ListFile OpenListOrFail(const std::string& path) {
  ListFile list(path);
  if (!list.IsOpen()) throw RunFailure("Failed to open list file: " + Quoted(path));
  return list;
}

// The run's one normaliser; `stain` also points at it when the method is the stain method, whose
// extra operations the driver calls directly.
struct Normaliser {
  std::unique_ptr<CNormBase> base;
  CNormBimodalDeconvRVM* stain = nullptr;
};

// Thresholds of the stain method, read from the working directory when present.
const char kParamsFile[] = "params.txt";

std::unique_ptr<CNormBimodalDeconvRVM> MakeStainNormaliser(const RunSettings& s) {
  std::unique_ptr<CNormBimodalDeconvRVM> stain;
  try {
    stain = std::make_unique<CNormBimodalDeconvRVM>(s.colourModelPath);
  } catch (const ModelLoadError& e) {
    throw RunFailure("Failed to read colour model " + Quoted(s.colourModelPath) + ": " + e.what());
  }
  if (s.verbose) {
    std::cerr << "Verbose mode, outputing deconvolution files" << std::endl;
    std::cerr << "IS TARGET: " << (s.referenceImage ? 1 : 0) << std::endl;
    std::cerr << "Prefix: " << s.VerbosePrefix() << std::endl;
    stain->SetVerbose(s.VerbosePrefix());
  }
  std::ifstream params(kParamsFile);
  if (params.is_open()) {
    std::cerr << "PARAMETERS FILE PROVIDED" << std::endl;
    stain->ReadParams(params);
  }
  return stain;
}

Normaliser MakeNormaliser(const RunSettings& s) {
  Normaliser n;
  switch (s.method) {
    case Method::kReinhard:
      n.base = std::make_unique<CNormReinhard>();
      break;
    case Method::kRGBHistSpec:
      n.base = std::make_unique<CNormRGBHistSpec>(false);
      break;
    case Method::kRGBHistSpecThresh:
      n.base = std::make_unique<CNormRGBHistSpec>(true);
      break;
    case Method::kBimodalDeconvRVM: {
      auto stain = MakeStainNormaliser(s);
      n.stain = stain.get();
      n.base = std::move(stain);
      break;
    }
  }
  if (!n.base) throw std::logic_error("no normaliser for this method");
  return n;
}

// Returns the number of target images measured.
int MeanTargetPass(const RunSettings& s, CNormBase& normaliser) {
  std::cerr << "No image target (using mean)" << std::endl;
  ListFile list = OpenListOrFail(s.listPath);
  int measured = 0;
  while (const auto entry = list.Next()) {
    const std::string path = s.InputPath(*entry);
    std::cerr << std::endl;
    std::cerr << "[CalcStats] " << Quoted(path) << std::endl;
    const cv::Mat image = LoadOrFail(path);
    std::cerr << "Image loaded ok: " << image.cols << "," << image.rows << std::endl;
    normaliser.CalcStats(image);
    ++measured;
    std::cerr << "calculated stats ok" << std::endl;
  }
  return measured;
}

void SingleTargetPass(const std::string& reference, CNormBase& normaliser) {
  std::cerr << "Single image target" << std::endl;
  const cv::Mat image = LoadOrFail(reference);
  std::cerr << "Loaded target image OK" << std::endl;
  normaliser.CalcStats(image);
}

void NormalisePass(const RunSettings& s, const Normaliser& normaliser) {
  ListFile list = OpenListOrFail(s.listPath);
  while (const auto entry = list.Next()) {
    const std::string inputPath = s.InputPath(*entry);
    std::cerr << "[Norm] " << inputPath << std::endl;
    const cv::Mat input = LoadOrFail(inputPath);
    cv::Mat output(input.rows, input.cols, CV_8UC3);
    const std::string outputPath = s.OutputPath(*entry);
    if (normaliser.stain && s.verbose) normaliser.stain->SetVerbose(outputPath);
    normaliser.base->Norm(input, output);
    std::cerr << "->" << Quoted(outputPath) << std::endl;
    if (!SaveImage(outputPath, output)) throw RunFailure("Failed to save image: " + Quoted(outputPath));
  }
}

int Run(const RunSettings& s) {
  // The list is checked before any work, so a mistyped list path is never an empty success.
  if (!ListFile(s.listPath).IsOpen()) throw RunFailure("Failed to open list file: " + Quoted(s.listPath));
  std::cerr << " DIR: " << s.dirPrefix << std::endl;
  const Normaliser normaliser = MakeNormaliser(s);
  int measured = 1;
  if (s.referenceImage) {
    SingleTargetPass(*s.referenceImage, *normaliser.base);
  } else {
    measured = MeanTargetPass(s, *normaliser.base);
  }
  // An empty list has nothing to normalise; otherwise the stain method needs usable stain vectors.
  if (normaliser.stain && measured > 0 && !normaliser.stain->HasUsableTarget()) {
    throw RunFailure("Target has no usable stain estimate");
  }
  std::cerr << "Calculated target stats" << std::endl;
  NormalisePass(s, normaliser);
  return 0;
}

}  // namespace

std::string Banner() {
  return "\n"
         "histonorm - colour normalisation of stained tissue images\n"
         "=========================================================\n"
         "Conditions of use:\n"
         " 1. This program is provided as is, without warranty of any kind.\n"
         " 2. Its results are for research use and are not a medical diagnosis.\n"
         " 3. Check normalised images before relying on them.\n"
         " 4. Keep this notice with any copy of the program.\n";
}

int RunBatch(const std::vector<std::string>& args) {
  std::cerr << Banner() << std::endl;
  const ParseResult parsed = ParseCommandLine(args);
  if (!parsed.settings) {
    if (parsed.usage == Usage::kUnknownMethod) {
      std::cerr << UsageTextB() << std::endl;
    } else {
      std::cerr << UsageTextA() << std::endl;
      std::cerr << ListExplanation() << std::endl;
    }
    return kFailure;
  }
  try {
    return Run(*parsed.settings);
  } catch (const RunFailure& failure) {
    std::cerr << failure.what() << std::endl;
    return kFailure;
  }
}

}  // namespace histonorm::app
