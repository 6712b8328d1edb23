// Normalises an image in memory with an installed histonorm:
//   consumer <method> <colour model | -> <target.ppm> <source.ppm> <output.ppm>
// Images are binary PPM files (P6, 8-bit), read and written here so that the program needs nothing
// but histonorm and the OpenCV core module it brings.
#include <histonorm/histonorm.h>

#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

cv::Mat ReadPpm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int width = 0, height = 0, maxValue = 0;
  in >> magic >> width >> height >> maxValue;
  in.get();  // the one white-space byte before the pixels
  if (!in || magic != "P6" || maxValue != 255) throw std::runtime_error("not an 8-bit P6 file: " + path);
  cv::Mat rgb(height, width, CV_8UC3);
  in.read(reinterpret_cast<char*>(rgb.data), static_cast<std::streamsize>(rgb.total() * 3));
  if (!in) throw std::runtime_error("truncated: " + path);
  cv::Mat bgr(rgb.size(), CV_8UC3);
  cv::mixChannels(rgb, bgr, {0, 2, 1, 1, 2, 0});
  return bgr;
}

void WritePpm(const std::string& path, const cv::Mat& bgr) {
  cv::Mat rgb(bgr.size(), CV_8UC3);
  cv::mixChannels(bgr, rgb, {0, 2, 1, 1, 2, 0});
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << rgb.cols << ' ' << rgb.rows << "\n255\n";
  out.write(reinterpret_cast<const char*>(rgb.data), static_cast<std::streamsize>(rgb.total() * 3));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: consumer <method> <colour model> <target.ppm> <source.ppm> <output.ppm>\n";
    return 2;
  }
  try {
    const auto method = histonorm::ParseMethod(argv[1]);
    if (!method) throw std::runtime_error(std::string("unknown method ") + argv[1]);
    histonorm::Options options;
    // "-": the stain method's shipped model, from the folder find_package(histonorm) hands over.
    options.colourModelPath = std::string(argv[2]) == "-" ? HISTONORM_MODEL_DIR "/he.model" : argv[2];
    auto norm = histonorm::MakeNormaliser(*method, options);
    norm->CalcStats(ReadPpm(argv[3]));
    WritePpm(argv[5], norm->Norm(ReadPpm(argv[4])));
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "consumer: " << e.what() << '\n';
    return 1;
  }
}
