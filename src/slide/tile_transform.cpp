#include "slide/tile_transform.h"

#include <histonorm/histonorm.h>

#include <opencv2/core.hpp>
#include <optional>
#include <stdexcept>
#include <utility>

namespace histonorm::slide {

void IdentityTransform::Transform(const cv::Mat& input, cv::Mat& output, ChannelOrder /*order*/) const {
  if (output.data != input.data) input.copyTo(output);
}

std::unique_ptr<const FittedTransform> MakeTileTransform(std::string_view method,
                                                         const TransformTarget& target,
                                                         const cv::Mat& bgrSample) {
  if (method == kIdentityMethod) return std::make_unique<IdentityTransform>();
  return MakeFittedTransform(method, target, bgrSample);
}

namespace {

void MeasureTarget(CNormBase& norm, const TransformTarget& target) {
  if (target.image.empty() == target.savedPath.empty())
    throw std::invalid_argument("give a target image (--target) or a saved target (--target-file)");
  if (!target.image.empty()) {
    norm.CalcStats(target.image);
  } else {
    LoadTargetFile(norm, target.savedPath);
  }
  if (!norm.HasUsableTarget()) throw std::runtime_error("the target has no usable stain estimate");
}

}  // namespace

std::unique_ptr<const FittedTransform> MakeFittedTransform(std::string_view method,
                                                           const TransformTarget& target,
                                                           const cv::Mat& bgrSample) {
  const std::optional<Method> parsed = ParseMethod(method);
  if (!parsed) throw std::invalid_argument("unknown method '" + std::string(method) + "'");
  Options options;
  options.colourModelPath = target.modelPath;
  options.threads = target.threads;
  options.stainParams = target.stainParams;
  options.diagnostics = target.diagnostics;
  const std::unique_ptr<CNormBase> norm = MakeNormaliser(*parsed, options);
  MeasureTarget(*norm, target);
  return norm->Fit(bgrSample);
}

}  // namespace histonorm::slide
