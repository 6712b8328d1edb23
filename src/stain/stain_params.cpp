#include "histonorm/stain_params.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <sstream>

#include "common/log_line.h"

namespace histonorm {

namespace {

struct Field {
  const char* label;
  const char* name;
  float StainParams::*value;
  float low;
  float high;
};

constexpr float kUnbounded = std::numeric_limits<float>::max();

constexpr std::array<Field, 6> kFields = {{
    {"Prob threshold: ", "probThreshold", &StainParams::probThreshold, 0.0f, 1.0f},
    {"Black threshold: ", "blackThreshold", &StainParams::blackThreshold, 0.0f, kUnbounded},
    {"White threshold: ", "whiteThreshold", &StainParams::whiteThreshold, 0.0f, kUnbounded},
    {"Background threshold: ", "backgroundThreshold", &StainParams::backgroundThreshold, 0.0f, 1.0f},
    {"Foreground threshold: ", "foregroundThreshold", &StainParams::foregroundThreshold, 0.0f, 1.0f},
    {"Dot product correction threshold: ", "dotProductThreshold", &StainParams::dotProductThreshold, 0.0f,
     1.0f},
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

bool InRange(const Field& field, float value) {
  return std::isfinite(value) && value >= field.low && value <= field.high;
}

}  // namespace

void ReadStainParams(std::istream& in, StainParams& params) {
  StainParams read = params;
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
        if (!value || !InRange(field, *value)) throw StainParamsError(line, word);
        read.*field.value = *value;
        word.clear();
      }
      if (c == '\n') ++line;
    }
  }
  params = read;
}

void LogStainParams(const LogSink& log, const StainParams& params) {
  for (const Field& field : kFields) LogLine(log, field.label, params.*field.value);
}

std::string StainParamsProblem(const StainParams& params) {
  for (const Field& field : kFields) {
    const float value = params.*field.value;
    if (InRange(field, value)) continue;
    std::ostringstream problem;
    problem << field.name << " " << value << " is outside " << field.low << "..";
    if (field.high == kUnbounded) {
      problem << "infinity";
    } else {
      problem << field.high;
    }
    return problem.str();
  }
  return {};
}

}  // namespace histonorm
