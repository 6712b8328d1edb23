#pragma once
// The list file of a batch: image names separated by any white space, read as a sequence of words.
#include <fstream>
#include <optional>
#include <string>

namespace histonorm::app {

class ListFile {
 public:
  // Opens the list; IsOpen() tells whether it could be.
  explicit ListFile(const std::string& path);
  // False when the file could not be opened or is a directory.
  bool IsOpen() const { return in_.is_open(); }
  // The next name, or nothing at the end of the list. A name ended by the end of the file counts.
  std::optional<std::string> Next();

 private:
  std::ifstream in_;
};

}  // namespace histonorm::app
