#include "sidebyside/side_by_side.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

namespace histonorm::tools {

namespace {

constexpr int kCaptionBand = 28;
constexpr int kGap = 8;
const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kBlack(0, 0, 0);

cv::Mat ScaledToHeight(const cv::Mat& image, int height) {
  if (image.empty() || image.type() != CV_8UC3)
    throw std::invalid_argument("side by side: images must be 8-bit colour");
  const int width = std::max(1, static_cast<int>(double(image.cols) * height / image.rows + 0.5));
  cv::Mat scaled;
  cv::resize(image, scaled, cv::Size(width, height), 0, 0,
             height < image.rows ? cv::INTER_AREA : cv::INTER_LINEAR);
  return scaled;
}

int RowWidth(const std::vector<cv::Mat>& scaled) {
  int width = kGap;
  for (const cv::Mat& m : scaled) width += m.cols + kGap;
  return width;
}

}  // namespace

cv::Mat ComposeSideBySide(const std::vector<SideBySideRow>& rows, int rowHeight) {
  if (rows.empty() || rowHeight <= 0) throw std::invalid_argument("side by side: nothing to compose");
  std::vector<std::vector<cv::Mat>> scaled;
  int width = 0;
  for (const SideBySideRow& row : rows) {
    std::vector<cv::Mat> images;
    for (const CaptionedImage& item : row) images.push_back(ScaledToHeight(item.image, rowHeight));
    width = std::max(width, RowWidth(images));
    scaled.push_back(std::move(images));
  }
  const int band = kCaptionBand + rowHeight + kGap;
  cv::Mat picture(kGap + band * static_cast<int>(rows.size()), width, CV_8UC3, kWhite);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const int top = kGap + band * static_cast<int>(r);
    int left = kGap;
    for (std::size_t i = 0; i < scaled[r].size(); ++i) {
      const cv::Mat& m = scaled[r][i];
      cv::putText(picture, rows[r][i].caption, cv::Point(left, top + kCaptionBand - 8),
                  cv::FONT_HERSHEY_SIMPLEX, 0.6, kBlack, 1, cv::LINE_AA);
      m.copyTo(picture(cv::Rect(left, top + kCaptionBand, m.cols, m.rows)));
      left += m.cols + kGap;
    }
  }
  return picture;
}

}  // namespace histonorm::tools
