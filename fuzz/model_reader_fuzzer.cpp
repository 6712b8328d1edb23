// libFuzzer harness: reads a model through the same reader as the classifier's construction, then
// builds a classifier from it and classifies a small image, so fuzzed trees are searched and fuzzed
// class models evaluated.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "classifier/colour_classifier.h"
#include "classifier/colour_model_file.h"
#include "fuzz_input.h"

namespace {

// Colours from every octant and a few byte patterns.
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
  try {
    std::istringstream in(histonorm::fuzz::ModelBytes(data, size));
    const histonorm::ColourModelData model = histonorm::ReadColourModel(in);
    histonorm::ColourClassifier_RVM_PCAVQ classifier(model);
    histonorm::ClassProbabilityPlanes planes;
    const histonorm::ImageDescriptor descriptor = classifier.ClassifyImage(probe, planes);
    static_cast<void>(classifier.ClassifyPixel({1, 2, 3}, descriptor));
  } catch (const histonorm::ModelLoadError&) {
    // A rejected model is a correct outcome.
  }
  return 0;
}
