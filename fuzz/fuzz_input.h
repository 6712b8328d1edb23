#pragma once
// How a fuzzer input becomes a model file. The first byte selects the form: even, the rest is a
// whole model file; odd, the rest is a model file up to any point of its text section, completed
// by a fixed valid ending (zero mean histogram, zero principal directions, 259 unit eigenvalues;
// whatever the input already holds comes first, and what is left over is ignored). The second
// form lets small inputs reach every part of the reader.
#include <cstddef>
#include <cstdint>
#include <string>

namespace histonorm::fuzz {

inline const std::string& ValidEnding() {
  static const std::string ending = [] {
    std::string s;
    for (int i = 0; i < 256 + 65536; ++i) s += "0 ";
    for (int i = 0; i < 259; ++i) s += "1 ";
    return s;
  }();
  return ending;
}

inline std::string ModelBytes(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1u) != 0) bytes += " " + ValidEnding();
  return bytes;
}

}  // namespace histonorm::fuzz
