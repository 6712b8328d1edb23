// libFuzzer harness: loads a saved target into a normaliser of the method the first byte selects
// (the stain method with the project's H&E colour model), then normalises a small image with it,
// so that every accepted target is also used.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "histonorm/histonorm.h"

namespace {

std::unique_ptr<histonorm::CNormBase> MakeFor(histonorm::Method method) {
  histonorm::Options options;
  options.colourModelPath = HISTONORM_FUZZ_MODEL;
  options.threads = 1;
  return histonorm::MakeNormaliser(method, options);
}

cv::Mat ProbeImage() {
  cv::Mat image(4, 8, CV_8UC3);
  for (int i = 0; i < 32; ++i) {
    const auto v = static_cast<std::uint8_t>(i * 37 + (i >> 3) * 101);
    image.at<cv::Vec3b>(i / 8, i % 8) =
        cv::Vec3b(v, static_cast<std::uint8_t>(v * 3), static_cast<std::uint8_t>(255 - v));
  }
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const cv::Mat probe = ProbeImage();
  if (size == 0) return 0;
  const histonorm::Method method = histonorm::kAllMethods[data[0] % histonorm::kAllMethods.size()];
  // One normaliser per method, made once (the colour model takes a while to read); a refused
  // target leaves it unchanged, and only a target just accepted is used.
  static std::array<std::unique_ptr<histonorm::CNormBase>, histonorm::kAllMethods.size()> norms;
  std::unique_ptr<histonorm::CNormBase>& norm = norms[data[0] % norms.size()];
  if (!norm) norm = MakeFor(method);
  std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  try {
    histonorm::LoadTarget(*norm, in);
  } catch (const histonorm::TargetFileError&) {
    return 0;  // a refused target is a correct outcome
  }
  cv::Mat output(probe.size(), CV_8UC3);
  norm->Norm(probe, output);
  return 0;
}
