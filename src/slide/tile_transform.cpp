#include "slide/tile_transform.h"

#include <histonorm/histonorm.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace histonorm::slide {

TileTransform::~TileTransform() = default;

void TileTransform::ApplyRgb(const cv::Mat& rgbIn, cv::Mat& rgbOut) const {
  cv::Mat bgr;
  cv::cvtColor(rgbIn, bgr, cv::COLOR_RGB2BGR);
  Apply(bgr, bgr);
  if (bgr.size() != rgbIn.size() || bgr.type() != CV_8UC3)
    throw std::logic_error("the colour transform changed a tile's size or type");
  cv::cvtColor(bgr, rgbOut, cv::COLOR_BGR2RGB);
}

void IdentityTransform::Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const {
  if (bgrOut.data != bgrIn.data) bgrIn.copyTo(bgrOut);
}

void IdentityTransform::ApplyRgb(const cv::Mat& rgbIn, cv::Mat& rgbOut) const { rgbIn.copyTo(rgbOut); }

ChannelTableTransform::ChannelTableTransform(const std::array<std::array<unsigned char, 256>, 3>& tables)
    : table_(1, 256, CV_8UC3), reversedTable_(1, 256, CV_8UC3) {
  for (int level = 0; level < 256; ++level) {
    auto& entry = table_.at<cv::Vec3b>(0, level);
    auto& reversed = reversedTable_.at<cv::Vec3b>(0, level);
    for (int channel = 0; channel < 3; ++channel) {
      entry[channel] = tables[static_cast<std::size_t>(channel)][static_cast<std::size_t>(level)];
      reversed[2 - channel] = entry[channel];
    }
  }
}

void ChannelTableTransform::Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const {
  cv::LUT(bgrIn, table_, bgrOut);
}

void ChannelTableTransform::ApplyRgb(const cv::Mat& rgbIn, cv::Mat& rgbOut) const {
  cv::LUT(rgbIn, reversedTable_, rgbOut);
}

std::unique_ptr<TileTransform> MakeTileTransform(std::string_view method, const TransformTarget& target,
                                                 const cv::Mat& bgrSample) {
  if (method == kIdentityMethod) return std::make_unique<IdentityTransform>();
  return MakeFittedTransform(method, target, bgrSample);
}

namespace {

// A normalisation fitted on a sample of the slide.
class FittedTileTransform final : public TileTransform {
 public:
  explicit FittedTileTransform(std::unique_ptr<const FittedTransform> fitted) : fitted_(std::move(fitted)) {}
  void Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const override {
    bgrOut.create(bgrIn.size(), CV_8UC3);
    fitted_->Apply(bgrIn, bgrOut);
  }
  void ApplyRgb(const cv::Mat& rgbIn, cv::Mat& rgbOut) const override {
    fitted_->Apply(rgbIn, rgbOut, ChannelOrder::kRgb);
  }

 private:
  std::unique_ptr<const FittedTransform> fitted_;
};

void MeasureTarget(CNormBase& norm, const TransformTarget& target) {
  if (target.image.empty() == target.savedPath.empty())
    throw std::invalid_argument("give a target image (--target) or a saved target (--target-file)");
  if (!target.image.empty()) {
    norm.CalcStats(target.image);
  } else {
    try {
      std::istringstream in(ReadTargetFile(target.savedPath));
      LoadTarget(norm, in);
    } catch (const TargetFileError& e) {
      throw TargetFileError("Bad target file '" + target.savedPath + "': " + e.what());
    }
  }
  if (!norm.HasUsableTarget()) throw std::runtime_error("the target has no usable stain estimate");
}

}  // namespace

std::unique_ptr<TileTransform> MakeFittedTransform(std::string_view method, const TransformTarget& target,
                                                   const cv::Mat& bgrSample) {
  const std::optional<Method> parsed = ParseMethod(method);
  if (!parsed) throw std::invalid_argument("unknown method '" + std::string(method) + "'");
  Options options;
  options.colourModelPath = target.modelPath;
  options.threads = target.threads;
  options.stainParams = target.stainParams;
  const std::unique_ptr<CNormBase> norm = MakeNormaliser(*parsed, options);
  MeasureTarget(*norm, target);
  return FitTileTransform(*norm, bgrSample);
}

std::unique_ptr<TileTransform> FitTileTransform(const CNormBase& norm, const cv::Mat& bgrSample) {
  return std::make_unique<FittedTileTransform>(norm.Fit(bgrSample));
}

}  // namespace histonorm::slide
