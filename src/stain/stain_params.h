#pragma once
// The six thresholds of the stain normaliser and the parameters file that overrides them.
//
// The file holds up to six numbers separated by white space, in the order of the fields below;
// reading stops at the first number that cannot be read, and that field and every later one keep
// their values. Anything after the sixth number is ignored; no value is validated.
#include <istream>

#include "stain/channel_stats.h"

namespace histonorm {

struct StainParams {
  float probThreshold = 0.99f;        // class probability threshold of the stain vector estimate
  float blackThreshold = 30.0f;       // channel value below which a channel counts as dark
  float whiteThreshold = 300.0f;      // channel value above which a value is not histogrammed
  float backgroundThreshold = 0.75f;  // background probability above which a pixel is background
  float foregroundThreshold = 0.75f;  // stain probability above which a pixel belongs to the stain
  float dotProductThreshold = 0.8f;   // largest dot product allowed between the two stain vectors

  // Reads the numbers from `in` as described above and prints the six current values, one line each.
  void Read(std::istream& in);

  MembershipThresholds Membership() const {
    return {blackThreshold, whiteThreshold, backgroundThreshold, foregroundThreshold};
  }
};

}  // namespace histonorm
