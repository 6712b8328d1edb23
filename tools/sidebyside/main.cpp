// histonorm-sidebyside: writes a picture of image groups set side by side, one row per group.
//
//   histonorm-sidebyside OUTPUT.png [--height H] CAPTION=IMAGE ... [-- CAPTION=IMAGE ...]
//
// "--" starts a new row; the caption is the text before the first '='.
#include <cstdlib>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "sidebyside/side_by_side.h"

namespace {

constexpr int kDefaultHeight = 300;

void PrintUsage() {
  std::cerr << "Usage: histonorm-sidebyside OUTPUT.png [--height H] CAPTION=IMAGE ... [-- CAPTION=IMAGE ...]"
            << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  using histonorm::tools::CaptionedImage;
  using histonorm::tools::SideBySideRow;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 2) {
    PrintUsage();
    return 2;
  }
  int height = kDefaultHeight;
  std::vector<SideBySideRow> rows(1);
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--height" && i + 1 < args.size()) {
      height = std::atoi(args[++i].c_str());
      continue;
    }
    if (args[i] == "--") {
      if (!rows.back().empty()) rows.emplace_back();
      continue;
    }
    const std::size_t eq = args[i].find('=');
    const std::string path = eq == std::string::npos ? args[i] : args[i].substr(eq + 1);
    const std::string caption = eq == std::string::npos ? args[i] : args[i].substr(0, eq);
    cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (image.empty()) {
      std::cerr << "histonorm-sidebyside: cannot read image '" << path << "'" << std::endl;
      return 1;
    }
    rows.back().push_back(CaptionedImage{image, caption});
  }
  if (rows.back().empty()) rows.pop_back();
  if (rows.empty() || height <= 0) {
    PrintUsage();
    return 2;
  }
  try {
    if (!cv::imwrite(args[0], histonorm::tools::ComposeSideBySide(rows, height))) {
      std::cerr << "histonorm-sidebyside: cannot write '" << args[0] << "'" << std::endl;
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "histonorm-sidebyside: " << e.what() << std::endl;
    return 1;
  }
  std::cerr << "Wrote '" << args[0] << "'" << std::endl;
  return 0;
}
