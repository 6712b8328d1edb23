#pragma once
// The parameters file (params.txt) of the stain normaliser, which overrides its six thresholds
// (histonorm/stain_params.h).
//
// The file holds up to six numbers separated by white space, in the order of the fields of
// StainParams; fewer numbers set the first fields and leave the others as they were. Anything after
// the sixth number is ignored. Every number read must be finite and within its field's range (the
// probabilities and the dot product threshold 0..1, the black and white thresholds 0 or more):
// anything else, text that is not a number included, is refused with a StainParamsError naming
// the line, and then no field is changed.
#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>

#include "histonorm/log_sink.h"
#include "histonorm/stain_params.h"

namespace histonorm {

// A value of the parameters file that cannot be used; what() describes it.
class StainParamsError : public std::runtime_error {
 public:
  StainParamsError(std::size_t line, std::string text)
      : std::runtime_error("bad value '" + text + "' on line " + std::to_string(line)),
        line_(line),
        text_(std::move(text)) {}
  [[nodiscard]] std::size_t Line() const { return line_; }  // counting from 1
  [[nodiscard]] const std::string& Text() const { return text_; }

 private:
  std::size_t line_;
  std::string text_;
};

// Reads the numbers from `in` into `params` as described above. Throws StainParamsError for a
// value it refuses, leaving `params` unchanged. Logs nothing.
void ReadStainParams(std::istream& in, StainParams& params);

// Logs the six values, one line each ("Prob threshold: 0.99", ...).
void LogStainParams(const LogSink& log, const StainParams& params);

}  // namespace histonorm
