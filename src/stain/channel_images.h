#pragma once
// Greyscale pictures of stain channels 0 and 1 for diagnostics.
//
// A channel value v becomes the pixel v * scale truncated towards zero when v is at most 255, and
// 255 otherwise (a value that is not a number included); results are kept within 0..255. Unstained
// areas (channel value 255.5) come out white, strongly stained areas dark.
#include <opencv2/core.hpp>
#include <string>

#include "common/pixel_planes.h"
#include "stain/colour_table.h"

namespace histonorm {

// The 8-bit single-channel picture of plane `channel` (0..2) of `channels`.
cv::Mat ChannelImage(const StainChannelPlanes& channels, int channel, float scale);

// Writes channel 0 to baseName + ".1.jpg" and channel 1 to baseName + ".2.jpg", in that order.
// Returns false, printing nothing, when either file cannot be written.
bool SaveChannelImages(const StainChannelPlanes& channels, float scale, const std::string& baseName);
// The same pictures from stain channel values given once per distinct colour of the table's image,
// without per-pixel planes.
bool SaveChannelImages(const ColourTable& table, const StainChannelPlanes& colourValues, float scale,
                       const std::string& baseName);

}  // namespace histonorm
