#include "cli/image_io.h"

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "common/safe_save.h"

namespace histonorm::app {

namespace {

// ".png" for "dir/a.b/img.png"; empty when the file name has no extension.
std::string Extension(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot);
}

// The bytes of a regular file, read in one piece; false on any read error.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  bytes.resize(static_cast<std::size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<std::size_t>(in.gcount()) == bytes.size();
}

cv::Mat ColourOrEmpty(const cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC3) return {};
  return image;
}

// JPEG markers (the byte after 0xFF).
constexpr std::uint8_t kStartOfImage = 0xD8;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::uint8_t kStartOfScan = 0xDA;

// Markers that stand alone, without a length: TEM and the restart markers RST0..RST7.
bool IsStandalone(std::uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

}  // namespace

bool IsTruncatedJpeg(const std::vector<std::uint8_t>& bytes) {
  const std::size_t n = bytes.size();
  if (n < 3 || bytes[0] != 0xFF || bytes[1] != kStartOfImage || bytes[2] != 0xFF) return false;
  std::size_t i = 2;
  while (i < n) {
    if (bytes[i] != 0xFF) {
      ++i;  // stray byte between segments; decoders skip it too
      continue;
    }
    while (i < n && bytes[i] == 0xFF) ++i;  // fill bytes
    if (i >= n) return true;
    const std::uint8_t marker = bytes[i++];
    if (marker == kEndOfImage) return false;
    if (IsStandalone(marker)) continue;
    if (i + 2 > n) return true;
    const std::size_t length = (static_cast<std::size_t>(bytes[i]) << 8) | bytes[i + 1];
    if (length < 2 || i + length > n) return true;
    i += length;
    if (marker != kStartOfScan) continue;
    // Entropy-coded data runs to the next marker that is neither a stuffed zero nor a restart.
    while (i < n) {
      if (bytes[i] == 0xFF && i + 1 < n && bytes[i + 1] != 0x00 && !IsStandalone(bytes[i + 1]) &&
          bytes[i + 1] != 0xFF) {
        break;
      }
      ++i;
    }
  }
  return true;
}

LoadedImage LoadColourImage(const std::string& path) {
  LoadedImage loaded;
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (ec || std::filesystem::is_directory(status)) return loaded;
  try {
    if (!std::filesystem::is_regular_file(status)) {
      // A pipe or a device has no size to read up to: the decoder reads what it needs.
      loaded.image = ColourOrEmpty(cv::imread(path, cv::IMREAD_COLOR));
      return loaded;
    }
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(path, bytes) || bytes.empty()) return loaded;
    if (IsTruncatedJpeg(bytes)) {
      loaded.problem = "truncated";
      return loaded;
    }
    loaded.image = ColourOrEmpty(cv::imdecode(bytes, cv::IMREAD_COLOR));
    if (!loaded.image.empty()) loaded.resolution = ReadResolution(bytes);
  } catch (const cv::Exception&) {
  }
  return loaded;
}

bool EncodeImage(const std::string& path, const cv::Mat& image, std::vector<std::uint8_t>& bytes,
                 const std::optional<Resolution>& resolution) {
  const std::string extension = Extension(path);
  if (extension.empty()) return false;
  try {
    if (!resolution) return cv::imencode(extension, image, bytes);
    if (IsTiffExtension(extension))
      return cv::imencode(extension, image, bytes, TiffResolutionParams(*resolution));
    // A resolution that the format cannot hold is left out rather than failing the save.
    if (cv::imencode(extension, image, bytes)) {
      static_cast<void>(StampResolution(extension, *resolution, bytes));
      return true;
    }
    return false;
  } catch (const cv::Exception&) {
    return false;
  }
}

SaveResult SaveImage(const std::string& path, const cv::Mat& image,
                     const std::optional<Resolution>& resolution) {
  std::vector<std::uint8_t> encoded;
  if (!EncodeImage(path, image, encoded, resolution)) return SaveResult::Failed(kCannotEncode);
  return ReplaceFile(path, encoded.data(), encoded.size());
}

}  // namespace histonorm::app
