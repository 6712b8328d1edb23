#include "app/image_io.h"

#include <cstdio>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <system_error>

namespace histonorm::app {

namespace {

// ".png" for "dir/a.b/img.png"; empty when the file name has no extension.
std::string Extension(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot);
}

}  // namespace

cv::Mat LoadColourImage(const std::string& path) {
  try {
    cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (image.empty() || image.type() != CV_8UC3) return {};
    return image;
  } catch (const cv::Exception&) {
    return {};
  }
}

bool SaveImage(const std::string& path, const cv::Mat& image) {
  const std::string extension = Extension(path);
  if (extension.empty()) return false;
  const std::string temporary = path + ".partial" + extension;
  bool written = false;
  try {
    written = cv::imwrite(temporary, image);
  } catch (const cv::Exception&) {
    written = false;
  }
  std::error_code ec;
  if (written) {
    std::filesystem::rename(temporary, path, ec);
    if (!ec) return true;
  }
  std::filesystem::remove(temporary, ec);
  return false;
}

}  // namespace histonorm::app
