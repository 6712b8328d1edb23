#include "support/bench_images.h"

#include <opencv2/imgcodecs.hpp>
#include <stdexcept>

namespace histonorm::bench {

cv::Mat TiledSample(const std::string& sample, int size) {
  const std::string path = std::string(HISTONORM_SAMPLE_DIR) + "/" + sample;
  const cv::Mat tile = cv::imread(path, cv::IMREAD_COLOR);
  if (tile.empty()) throw std::runtime_error("cannot read " + path);
  const cv::Mat tiled = cv::repeat(tile, size / tile.rows + 1, size / tile.cols + 1);
  return tiled(cv::Rect(0, 0, size, size)).clone();
}

}  // namespace histonorm::bench
