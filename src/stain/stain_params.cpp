#include "stain/stain_params.h"

#include <array>
#include <charconv>
#include <cmath>
#include <iostream>
#include <limits>
#include <optional>

namespace histonorm {

namespace {

struct Field {
  const char* label;
  float StainParams::*value;
  float low;
  float high;
};

constexpr float kUnbounded = std::numeric_limits<float>::max();

constexpr std::array<Field, 6> kFields = {{
    {"Prob threshold: ", &StainParams::probThreshold, 0.0f, 1.0f},
    {"Black threshold: ", &StainParams::blackThreshold, 0.0f, kUnbounded},
    {"White threshold: ", &StainParams::whiteThreshold, 0.0f, kUnbounded},
    {"Background threshold: ", &StainParams::backgroundThreshold, 0.0f, 1.0f},
    {"Foreground threshold: ", &StainParams::foregroundThreshold, 0.0f, 1.0f},
    {"Dot product correction threshold: ", &StainParams::dotProductThreshold, 0.0f, 1.0f},
}};

// The whole of `text` as a finite float, or nothing.
std::optional<float> ParseFloat(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') ++begin;
  float value = 0.0f;
  const auto [next, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || next != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

void StainParams::Read(std::istream& in) {
  StainParams read = *this;
  std::size_t line = 1;
  std::size_t count = 0;
  std::string word;
  for (char c = 0; count < kFields.size() && in.get(c);) {
    const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    if (!space) word += c;
    if (space || in.peek() == std::char_traits<char>::eof()) {
      if (!word.empty()) {
        const Field& field = kFields[count++];
        const std::optional<float> value = ParseFloat(word);
        if (!value || *value < field.low || *value > field.high) throw StainParamsError(line, word);
        read.*field.value = *value;
        word.clear();
      }
      if (c == '\n') ++line;
    }
  }
  *this = read;
  for (const Field& field : kFields) std::cerr << field.label << this->*field.value << std::endl;
}

}  // namespace histonorm
