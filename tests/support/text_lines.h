#pragma once
// Splits captured console text into its lines (without line ends).
#include <sstream>
#include <string>
#include <vector>

namespace histonorm::test {

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace histonorm::test
