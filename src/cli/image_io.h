#pragma once
// Loading and saving the driver's images.
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "cli/image_resolution.h"
#include "common/safe_save.h"

namespace histonorm::app {

struct LoadedImage {
  cv::Mat image;        // 8-bit, 3-channel BGR; empty when the file could not be used
  std::string problem;  // why, when it is known beyond "not readable as an image" (e.g. "truncated")
  std::optional<Resolution> resolution =
      std::nullopt;  // what the file states (PNG, JPEG, TIFF), for its result
};

// Loads an image as 8-bit, 3-channel BGR (grey-scale and alpha inputs are converted). A JPEG file
// that ends before its end-of-image marker is refused as truncated rather than decoded in part.
[[nodiscard]] LoadedImage LoadColourImage(const std::string& path);

// True when `bytes` start like a JPEG file but end before its end-of-image marker. Segments are
// followed by their lengths and scans by their markers, so an embedded thumbnail's end marker does
// not count.
[[nodiscard]] bool IsTruncatedJpeg(const std::vector<std::uint8_t>& bytes);

// Encodes an image in the format of the path's extension into `bytes`, with `resolution` when given
// (PNG, JPEG and TIFF carry it). False when the path has no extension or the image cannot be encoded
// in that format.
// Why an image could not be encoded, as the reason of a failed save.
inline constexpr const char* kCannotEncode = "the image cannot be encoded in the format of its extension";
[[nodiscard]] bool EncodeImage(const std::string& path, const cv::Mat& image,
                               std::vector<std::uint8_t>& bytes,
                               const std::optional<Resolution>& resolution = std::nullopt);

// Saves an image in the format of the path's extension: it is encoded in memory and written to an
// exclusively created temporary file in the same folder, which is flushed to the disk and renamed
// over the path (see common/safe_save.h). On failure (with the reason) an earlier file at the path
// is unchanged.
[[nodiscard]] SaveResult SaveImage(const std::string& path, const cv::Mat& image,
                                   const std::optional<Resolution>& resolution = std::nullopt);

}  // namespace histonorm::app
