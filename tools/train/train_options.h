#pragma once
// Command line of the model trainer.
//
// ParseTrainOptions turns the arguments (without the program name) into TrainOptions; it throws
// UsageError naming the offending argument when an option is unknown, lacks its value or has a value
// out of range, when no image is given, or when the label source is missing or given twice.
#include <stdexcept>
#include <string>
#include <vector>

#include "train/model_trainer.h"

namespace histonorm::train {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

TrainOptions ParseTrainOptions(const std::vector<std::string>& args);

// The usage text, several lines without a final line end.
std::string TrainUsage();

}  // namespace histonorm::train
