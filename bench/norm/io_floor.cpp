// Loads every image of a list and saves it unchanged to the list's "normalised" sub-directory:
// the same image I/O as a batch run, without any normalisation. Usage: io_floor <list file>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "Usage: io_floor <files_file.txt>" << std::endl;
    return 2;
  }
  const std::string list = argv[1];
  const std::size_t slash = list.rfind('/');
  const std::string prefix = slash == std::string::npos ? std::string() : list.substr(0, slash + 1);
  std::ifstream in(list);
  std::string name;
  while (in >> name) {
    const cv::Mat image = cv::imread(prefix + name, cv::IMREAD_COLOR);
    if (image.empty() || !cv::imwrite(prefix + "normalised/" + name, image)) {
      std::cerr << "io_floor: cannot copy " << name << std::endl;
      return 1;
    }
  }
  return 0;
}
