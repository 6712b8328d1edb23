#include "app/list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace histonorm::app {

namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

[[noreturn]] void FailToRead(const std::string& path, const std::string& reason) {
  throw ListFileError("Failed to read list file: " + Quoted(path) + ": " + reason);
}

std::string TooLarge(std::size_t maxBytes) {
  if (maxBytes == kMaxListBytes) return "larger than 1 GiB";
  return "larger than " + std::to_string(maxBytes) + " bytes";
}

// Closes the descriptor when the read ends, however it ends.
struct Descriptor {
  int fd;
  ~Descriptor() { ::close(fd); }
};

bool IsListSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::vector<std::string> SplitListText(const std::string& text, const std::string& path) {
  std::vector<std::string> names;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsListSpace(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !IsListSpace(text[i])) ++i;
    if (i == start) break;
    std::string name = text.substr(start, i - start);
    if (name.find('\0') != std::string::npos) {
      FailToRead(path, "entry " + std::to_string(names.size() + 1) + " holds a NUL byte");
    }
    names.push_back(std::move(name));
  }
  return names;
}

std::vector<std::string> ReadListFile(const std::string& path, std::size_t maxBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0) throw ListFileError("Failed to open list file: " + Quoted(path));
  const Descriptor closer{fd};
  if (::fstat(fd, &info) != 0) FailToRead(path, std::strerror(errno));
  // A folder opens for reading but holds no list.
  if (S_ISDIR(info.st_mode)) throw ListFileError("Failed to open list file: " + Quoted(path));
  if (S_ISREG(info.st_mode) && static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
    FailToRead(path, TooLarge(maxBytes));
  }
  std::string text;
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      FailToRead(path, std::strerror(errno));
    }
    if (text.size() + static_cast<std::size_t>(n) > maxBytes) FailToRead(path, TooLarge(maxBytes));
    text.append(chunk, static_cast<std::size_t>(n));
    // A stream of NUL bytes (a device that never ends) is refused as soon as it shows.
    if (text.find('\0', text.size() - static_cast<std::size_t>(n)) != std::string::npos) break;
  }
  return SplitListText(text, path);
}

}  // namespace histonorm::app
