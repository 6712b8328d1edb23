#pragma once
// Loading and saving the driver's images.
#include <opencv2/core.hpp>
#include <string>

namespace histonorm::app {

// Loads an image as 8-bit, 3-channel BGR (grey-scale and alpha inputs are converted).
// Returns an empty matrix when the file cannot be read as an image.
cv::Mat LoadColourImage(const std::string& path);

// Saves an image in the format of the path's extension. The image is written to a temporary file
// beside the path and renamed into place, so a failed save leaves no half-written file.
// Returns false when the image could not be saved.
bool SaveImage(const std::string& path, const cv::Mat& image);

}  // namespace histonorm::app
