// Writes size x size tiles of sample images for whole-process benchmarks.
// Usage: make_tiles <output dir> <size> <sample image>...
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "support/bench_images.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "Usage: make_tiles <output dir> <size> <sample image>..." << std::endl;
    return 2;
  }
  const std::string outDir = argv[1];
  const int size = std::stoi(argv[2]);
  for (int i = 3; i < argc; ++i) {
    const cv::Mat tile = histonorm::bench::TiledSample(argv[i], size);
    if (!cv::imwrite(outDir + "/" + argv[i], tile)) {
      std::cerr << "make_tiles: cannot write " << argv[i] << std::endl;
      return 1;
    }
  }
  return 0;
}
