#pragma once
// The order of the three bytes of a pixel, for the calls that take pixels in either order.
//
//   norm->Norm(rgb, rgbResult, histonorm::ChannelOrder::kRgb);  // red-green-blue pixels in and out

namespace histonorm {

// The order of the three bytes of a pixel: blue, green, red (OpenCV's) or red, green, blue.
enum class ChannelOrder { kBgr, kRgb };

}  // namespace histonorm
