#include "app/batch_run.h"

#include <iostream>
#include <memory>
#include <stdexcept>

#include "app/command_line.h"
#include "app/image_io.h"
#include "app/list_file.h"
#include "norm/reinhard.h"
#include "norm/rgb_hist_spec.h"

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

std::unique_ptr<CNormBase> MakeNormaliser(const RunSettings& s) {
  switch (s.method) {
    case Method::kReinhard:
      return std::make_unique<CNormReinhard>();
    case Method::kRGBHistSpec:
      return std::make_unique<CNormRGBHistSpec>(false);
    case Method::kRGBHistSpecThresh:
      return std::make_unique<CNormRGBHistSpec>(true);
    case Method::kBimodalDeconvRVM:
      break;
  }
  throw std::logic_error("no normaliser for this method");
}

void MeanTargetPass(const RunSettings& s, CNormBase& normaliser) {
  std::cerr << "No image target (using mean)" << std::endl;
  ListFile list = OpenListOrFail(s.listPath);
  while (const auto entry = list.Next()) {
    const std::string path = s.InputPath(*entry);
    std::cerr << std::endl;
    std::cerr << "[CalcStats] " << Quoted(path) << std::endl;
    const cv::Mat image = LoadOrFail(path);
    std::cerr << "Image loaded ok: " << image.cols << "," << image.rows << std::endl;
    normaliser.CalcStats(image);
    std::cerr << "calculated stats ok" << std::endl;
  }
}

void SingleTargetPass(const std::string& reference, CNormBase& normaliser) {
  std::cerr << "Single image target" << std::endl;
  const cv::Mat image = LoadOrFail(reference);
  std::cerr << "Loaded target image OK" << std::endl;
  normaliser.CalcStats(image);
}

void NormalisePass(const RunSettings& s, CNormBase& normaliser) {
  ListFile list = OpenListOrFail(s.listPath);
  while (const auto entry = list.Next()) {
    const std::string inputPath = s.InputPath(*entry);
    std::cerr << "[Norm] " << inputPath << std::endl;
    const cv::Mat input = LoadOrFail(inputPath);
    cv::Mat output(input.rows, input.cols, CV_8UC3);
    const std::string outputPath = s.OutputPath(*entry);
    normaliser.Norm(input, output);
    std::cerr << "->" << Quoted(outputPath) << std::endl;
    if (!SaveImage(outputPath, output)) throw RunFailure("Failed to save image: " + Quoted(outputPath));
  }
}

int Run(const RunSettings& s) {
  // The list is checked before any work, so a mistyped list path is never an empty success.
  if (!ListFile(s.listPath).IsOpen()) throw RunFailure("Failed to open list file: " + Quoted(s.listPath));
  std::cerr << " DIR: " << s.dirPrefix << std::endl;
  const std::unique_ptr<CNormBase> normaliser = MakeNormaliser(s);
  if (s.referenceImage) {
    SingleTargetPass(*s.referenceImage, *normaliser);
  } else {
    MeanTargetPass(s, *normaliser);
  }
  std::cerr << "Calculated target stats" << std::endl;
  NormalisePass(s, *normaliser);
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
  if (!parsed.settings || parsed.settings->method == Method::kBimodalDeconvRVM) {
    if (parsed.settings || parsed.usage == Usage::kUnknownMethod) {
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
