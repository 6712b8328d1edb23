#pragma once
// Large benchmark images made by tiling a shipped sample.
#include <opencv2/core.hpp>
#include <string>

namespace histonorm::bench {

// A size x size image tiled from data/samples/<sample>.
cv::Mat TiledSample(const std::string& sample, int size);

}  // namespace histonorm::bench
