#pragma once
// The error a colour model file raises when it cannot be used: it cannot be opened, its binary
// section does not deserialise, or its content is inconsistent. what() gives the reason only; the
// caller names the file.
#include <stdexcept>

namespace histonorm {

class ModelLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace histonorm
