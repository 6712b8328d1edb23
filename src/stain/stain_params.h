#pragma once
// What the stain method derives from its thresholds (histonorm/stain_params.h).
#include "histonorm/stain_params.h"
#include "stain/channel_stats.h"

namespace histonorm {

// The thresholds that place pixels in the channel statistics.
[[nodiscard]] MembershipThresholds MembershipOf(const StainParams& params);

}  // namespace histonorm
