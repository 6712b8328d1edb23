#pragma once
// The six thresholds of the stain normaliser and the parameters file that overrides them.
//
// The file holds up to six numbers separated by white space, in the order of the fields below;
// fewer numbers set the first fields and leave the others as they were. Anything after the sixth
// number is ignored. Every number read must be finite and within its field's range (the
// probabilities and the dot product threshold 0..1, the black and white thresholds 0 or more):
// anything else, text that is not a number included, is refused with a StainParamsError naming
// the line, and then no field is changed.
#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>

#include "stain/channel_stats.h"

namespace histonorm {

// A value of the parameters file that cannot be used; what() describes it.
class StainParamsError : public std::runtime_error {
 public:
  StainParamsError(std::size_t line, std::string text)
      : std::runtime_error("bad value '" + text + "' on line " + std::to_string(line)),
        line_(line),
        text_(std::move(text)) {}
  std::size_t Line() const { return line_; }  // counting from 1
  const std::string& Text() const { return text_; }

 private:
  std::size_t line_;
  std::string text_;
};

struct StainParams {
  float probThreshold = 0.99f;        // class probability threshold of the stain vector estimate
  float blackThreshold = 30.0f;       // channel value below which a channel counts as dark
  float whiteThreshold = 300.0f;      // channel value above which a value is not histogrammed
  float backgroundThreshold = 0.75f;  // background probability above which a pixel is background
  float foregroundThreshold = 0.75f;  // stain probability above which a pixel belongs to the stain
  float dotProductThreshold = 0.8f;   // largest dot product allowed between the two stain vectors

  // Reads the numbers from `in` as described above and prints the six current values, one line
  // each. Throws StainParamsError (printing nothing) for a value it refuses.
  void Read(std::istream& in);

  MembershipThresholds Membership() const {
    return {blackThreshold, whiteThreshold, backgroundThreshold, foregroundThreshold};
  }
};

}  // namespace histonorm
