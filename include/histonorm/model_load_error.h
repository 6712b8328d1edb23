#pragma once
// The error raised when a colour model cannot be used: the file cannot be opened or read, its
// binary section does not deserialise, or its content is inconsistent. what() gives the reason
// only; the caller knows which file it named.
#include <stdexcept>

namespace histonorm {

class ModelLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace histonorm
