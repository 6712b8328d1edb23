#pragma once
// The six thresholds of the stain method ("BimodalDeconvRVM").
//
//   histonorm::StainParams params;  // the defaults
//   params.probThreshold = 0.95f;   // select stain samples a little less strictly
//   std::ifstream in("params.txt");
//   histonorm::ReadStainParams(in, params);  // the command line's parameters file
//
// The parameters file (params.txt, --stain-params) holds up to six numbers separated by white space,
// in the order of the fields of StainParams; fewer numbers set the first fields and leave the others
// as they were. Anything after the sixth number is ignored. Every number read must be finite and
// within its field's range (the probabilities and the dot product threshold 0..1, the black and white
// thresholds 0 or more): anything else, text that is not a number included, is refused with a
// StainParamsError naming the line, and then no field is changed.
#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>
#include <utility>

#include "histonorm/log_sink.h"

namespace histonorm {

struct StainParams {
  float probThreshold = 0.99f;        // class probability threshold of the stain vector estimate, 0..1
  float blackThreshold = 30.0f;       // channel value below which a channel counts as dark, >= 0
  float whiteThreshold = 300.0f;      // channel value above which a value is not histogrammed, >= 0
  float backgroundThreshold = 0.75f;  // background probability above which a pixel is background, 0..1
  float foregroundThreshold = 0.75f;  // stain probability above which a pixel belongs to the stain, 0..1
  float dotProductThreshold = 0.8f;   // largest dot product allowed between the two stain vectors, 0..1
};

// ensures: an empty string when every field is finite and within its range above, otherwise the
//   first field that is not, with its value (for example "probThreshold 1.5 is outside 0..1").
[[nodiscard]] std::string StainParamsProblem(const StainParams& params);

// A value of a parameters file that cannot be used; what() describes it ("bad value 'x' on line 2").
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

// Reads a parameters file.
// requires: nothing of `in`'s text.
// ensures: the fields the numbers read stand for are set, as described at the top; nothing is logged.
// throws: StainParamsError for the first value it refuses, `params` then unchanged.
void ReadStainParams(std::istream& in, StainParams& params);

// ensures: the six values handed to `log`, a line each ("Prob threshold: 0.99", ...).
// throws: what `log`'s writer throws.
void LogStainParams(const LogSink& log, const StainParams& params);

}  // namespace histonorm
