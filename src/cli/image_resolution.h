#pragma once
// The physical resolution an image file states, read from a source and written into its result so
// that a normalised image keeps its scale.
//
//   const std::optional<Resolution> resolution = ReadResolution(sourceBytes);
//   cv::imencode(".png", result, bytes);
//   if (resolution) StampResolution(".png", *resolution, bytes);
//
// PNG (the pHYs chunk in pixels per metre), JPEG (the JFIF density in dots per inch or centimetre)
// and TIFF (the X/Y resolution tags with their unit) are read; PNG and JPEG results are stamped
// after encoding, TIFF results get the tags through the encoder's parameters (TiffResolutionParams).
// A file that states no resolution (or only an aspect ratio) has none.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace histonorm::app {

struct Resolution {
  double xPerMetre = 0;  // pixels per metre across; > 0
  double yPerMetre = 0;  // pixels per metre down; > 0
  bool inches = false;   // the source stated it per inch (JPEG and TIFF results keep that unit)
};

// The resolution `bytes` (a whole PNG, JPEG or TIFF file) state; none for other formats, for a file
// without one, and for a damaged header.
[[nodiscard]] std::optional<Resolution> ReadResolution(const std::vector<std::uint8_t>& bytes);

// Writes `resolution` into `encoded`, a PNG (extension ".png") or JFIF JPEG (".jpg", ".jpeg", any
// case) file as OpenCV encodes it. ensures: other formats and files are left as they are; false only
// when the file is not what its extension says or the resolution does not fit the format.
[[nodiscard]] bool StampResolution(const std::string& extension, const Resolution& resolution,
                                   std::vector<std::uint8_t>& encoded);

// OpenCV's TIFF encoder parameters that write `resolution` (whole units per inch or centimetre).
[[nodiscard]] std::vector<int> TiffResolutionParams(const Resolution& resolution);

// True for the extensions whose resolution the encoder's parameters carry (".tif", ".tiff").
[[nodiscard]] bool IsTiffExtension(const std::string& extension);

}  // namespace histonorm::app
