#include "stain/stain_params.h"

#include <array>
#include <iostream>
#include <utility>

namespace histonorm {

void StainParams::Read(std::istream& in) {
  const std::array<std::pair<const char*, float*>, 6> fields = {{
      {"Prob threshold: ", &probThreshold},
      {"Black threshold: ", &blackThreshold},
      {"White threshold: ", &whiteThreshold},
      {"Background threshold: ", &backgroundThreshold},
      {"Foreground threshold: ", &foregroundThreshold},
      {"Dot product correction threshold: ", &dotProductThreshold},
  }};
  for (const auto& [label, field] : fields) {
    float value = 0.0f;
    if (!(in >> value)) break;
    *field = value;
  }
  for (const auto& [label, field] : fields) std::cerr << label << *field << std::endl;
}

}  // namespace histonorm
