#include "slide/tile_transform.h"

#include <histonorm/method.h>

#include <opencv2/core.hpp>
#include <stdexcept>

namespace histonorm::slide {

TileTransform::~TileTransform() = default;

void IdentityTransform::Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const {
  if (bgrOut.data != bgrIn.data) bgrIn.copyTo(bgrOut);
}

ChannelTableTransform::ChannelTableTransform(const std::array<std::array<unsigned char, 256>, 3>& tables)
    : table_(1, 256, CV_8UC3) {
  for (int level = 0; level < 256; ++level) {
    auto& entry = table_.at<cv::Vec3b>(0, level);
    for (int channel = 0; channel < 3; ++channel)
      entry[channel] = tables[static_cast<std::size_t>(channel)][static_cast<std::size_t>(level)];
  }
}

void ChannelTableTransform::Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const {
  cv::LUT(bgrIn, table_, bgrOut);
}

std::unique_ptr<TileTransform> MakeTileTransform(std::string_view method, const TransformTarget& target,
                                                 const cv::Mat& bgrSample) {
  if (method == kIdentityMethod) return std::make_unique<IdentityTransform>();
  return MakeFittedTransform(method, target, bgrSample);
}

std::unique_ptr<TileTransform> MakeFittedTransform(std::string_view method, const TransformTarget& /*target*/,
                                                   const cv::Mat& /*bgrSample*/) {
  if (!ParseMethod(method)) throw std::invalid_argument("unknown method '" + std::string(method) + "'");
  throw std::runtime_error("normalising a whole slide with " + std::string(method) +
                           " is not available yet: it needs a transform fitted once per slide");
}

}  // namespace histonorm::slide
