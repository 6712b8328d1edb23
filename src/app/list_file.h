#pragma once
// The list file of a batch: image names separated by any white space (blank, tab, line feed,
// carriage return, vertical tab, form feed), read as a sequence of words. A name ended by the end
// of the file counts.
//
// The file is opened and read once, completely, so that a named pipe or a file that changes
// during the run gives one list. ReadListFile throws ListFileError when the file cannot be opened
// (or is a folder), cannot be read to its end, is larger than kMaxListBytes, or holds a NUL byte
// in a name.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace histonorm::app {

// A list of images cannot be this long; a larger file (or one that never ends) is refused.
inline constexpr std::size_t kMaxListBytes = std::size_t{1} << 30;

class ListFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The names of the list at `path`, in order. The message of a ListFileError is the line to print.
[[nodiscard]] std::vector<std::string> ReadListFile(const std::string& path,
                                                    std::size_t maxBytes = kMaxListBytes);

// Splits list text into names (see above). Throws ListFileError naming `path` and the entry's
// number (counting from 1) when a name holds a NUL byte.
[[nodiscard]] std::vector<std::string> SplitListText(const std::string& text, const std::string& path);

}  // namespace histonorm::app
