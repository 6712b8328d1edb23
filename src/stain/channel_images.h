#pragma once
// Greyscale pictures of stain channels 0 and 1 for diagnostics.
//
// A channel value v becomes the pixel v * scale truncated towards zero when v is at most 255, and
// 255 otherwise (a value that is not a number included); results are kept within 0..255. Unstained
// areas (channel value 255.5) come out white, strongly stained areas dark.
#include <array>
#include <opencv2/core.hpp>

#include "common/pixel_planes.h"
#include "stain/colour_table.h"

namespace histonorm {

// The 8-bit single-channel picture of plane `channel` (0..2) of `channels`.
[[nodiscard]] cv::Mat ChannelImage(const StainChannelPlanes& channels, int channel, float scale);

// The pictures of stain channels 0 and 1 of the table's image, from channel values given once per
// distinct colour (table.Size() values per plane, in the order of table.Colours()).
[[nodiscard]] std::array<cv::Mat, 2> ChannelPictures(const ColourTable& table,
                                                     const StainChannelPlanes& colourValues, float scale);

}  // namespace histonorm
