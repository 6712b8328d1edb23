#include "app/list_file.h"

#include <filesystem>
#include <system_error>

namespace histonorm::app {

ListFile::ListFile(const std::string& path) {
  // A directory opens as a stream on some systems but reads as nothing: refuse it.
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) in_.open(path);
}

std::optional<std::string> ListFile::Next() {
  std::string name;
  if (in_ >> name) return name;
  return std::nullopt;
}

}  // namespace histonorm::app
