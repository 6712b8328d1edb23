#pragma once
// The six thresholds of the stain method ("BimodalDeconvRVM").
//
//   histonorm::StainParams params;  // the defaults
//   params.probThreshold = 0.95f;   // select stain samples a little less strictly
#include <string>

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

}  // namespace histonorm
