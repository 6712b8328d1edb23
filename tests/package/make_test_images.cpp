// Writes the consumer test's images as PPM files into a folder: a target and two sources cut from
// the shipped samples.
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "support/test_images.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_test_images <folder>" << std::endl;
    return 2;
  }
  const std::string folder = argv[1];
  using histonorm::test::LoadSample;
  const bool written =
      cv::imwrite(folder + "/target.ppm", LoadSample("he_sample_2.png")(cv::Rect(100, 80, 160, 120))) &&
      cv::imwrite(folder + "/source1.ppm", LoadSample("he_sample_1.png")(cv::Rect(200, 150, 150, 100))) &&
      cv::imwrite(folder + "/source2.ppm", LoadSample("he_sample_3.png")(cv::Rect(40, 60, 120, 90)));
  return written ? 0 : 1;
}
