#include "app/list_file.h"

namespace histonorm::app {

std::optional<std::string> ListFile::Next() {
  std::string name;
  if (in_ >> name) return name;
  return std::nullopt;
}

}  // namespace histonorm::app
