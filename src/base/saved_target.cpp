#include "histonorm/saved_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>

#include "base/target_record.h"

namespace histonorm {

namespace {

const char kFormat[] = "histonorm-target";
constexpr int kVersion = 1;

// Values shown in messages are cut to this many characters and this nesting depth, so that a
// hostile file can neither flood the console nor exhaust the stack while it is printed.
constexpr std::size_t kShownLength = 60;
constexpr int kShownDepth = 4;

void AppendShown(const nlohmann::json& value, int depth, std::string& out) {
  if (!value.is_structured()) {
    out += value.dump();
    return;
  }
  const bool array = value.is_array();
  out += array ? '[' : '{';
  if (depth >= kShownDepth && !value.empty()) out += "...";
  bool first = true;
  for (auto it = value.begin(); depth < kShownDepth && it != value.end() && out.size() <= kShownLength;
       ++it) {
    out += first ? "" : ",";
    first = false;
    if (!array) out += nlohmann::json(it.key()).dump() + ":";
    AppendShown(*it, depth + 1, out);
  }
  out += array ? ']' : '}';
}

// A value as shown in a message: JSON, cut short.
std::string Shown(const nlohmann::json& value) {
  std::string out;
  AppendShown(value, 0, out);
  if (out.size() > kShownLength) out = out.substr(0, kShownLength) + "...";
  return out;
}

// Reads an open file to its end, refusing more than kMaxTargetFileBytes.
std::string ReadBounded(int fd) {
  std::string text;
  std::array<char, 65536> chunk{};
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      throw TargetFileUnreadable(std::string("the file cannot be read: ") + std::strerror(error), error,
                                 true);
    }
    if (n == 0) return text;
    if (text.size() + static_cast<std::size_t>(n) > kMaxTargetFileBytes) {
      throw TargetFileError("the file is larger than " + std::to_string(kMaxTargetFileBytes >> 20) + " MiB");
    }
    text.append(chunk.data(), static_cast<std::size_t>(n));
  }
}

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() { ::close(fd_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

}  // namespace

std::string ReadTargetFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    throw TargetFileUnreadable(std::string("the file cannot be opened: ") + std::strerror(error), error,
                               false);
  }
  const FileCloser closer(fd);
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
    throw TargetFileUnreadable("it is a folder", EISDIR, true);
  // Opened without waiting (a pipe with no writer); reads wait again as usual.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return ReadBounded(fd);
}

namespace detail {

std::string HexDouble(double value) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%a", value);
  return std::string(text, static_cast<std::size_t>(n));
}

double ReadFiniteDouble(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    throw TargetFileError(std::string("'") + key + "' is missing or not a number written as text");
  }
  const std::string& text = it->get_ref<const std::string&>();
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value)) {
    const std::string shown = text.size() > kShownLength ? text.substr(0, kShownLength) + "..." : text;
    throw TargetFileError(std::string("'") + key + "' is not a finite number: '" + shown + "'");
  }
  return value;
}

const nlohmann::json& ReadArray(const nlohmann::json& object, const char* key, std::size_t size) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_array() || it->size() != size) {
    throw TargetFileError(std::string("'") + key + "' is missing or not an array of " + std::to_string(size) +
                          " values");
  }
  return *it;
}

std::uint64_t ReadCount(const nlohmann::json& value, const char* key) {
  if (!value.is_number_unsigned()) {
    throw TargetFileError(std::string("'") + key + "' holds a value that is not a count: " + Shown(value));
  }
  return value.get<std::uint64_t>();
}

void RequireMethod(const TargetRecord& record, const char* method) {
  if (record.method != method) {
    throw TargetFileError("Target was fitted with method '" + record.method + "', not '" + method + "'");
  }
  // Written by a tissue-only normaliser (base/tissue_only.h), which hands its method the rest.
  if (record.target.contains("tissueOnly")) {
    throw TargetFileError("the target was fitted from tissue pixels only: normalise tissue only too");
  }
}

}  // namespace detail

void CNormBase::ExportTarget(detail::TargetRecord& /*record*/) const {
  throw std::logic_error("SaveTarget: this method cannot save its target");
}

void CNormBase::ImportTarget(const detail::TargetRecord& /*record*/) {
  throw std::logic_error("LoadTarget: this method cannot load a saved target");
}

void SaveTarget(const CNormBase& normaliser, std::ostream& out) {
  if (!normaliser.HasUsableTarget()) throw std::logic_error("SaveTarget: there is no usable target to save");
  detail::TargetRecord record;
  normaliser.ExportTarget(record);
  const nlohmann::json file = {
      {"format", kFormat}, {"version", kVersion}, {"method", record.method}, {"target", record.target}};
  out << file.dump(1) << '\n';
}

void LoadTargetFile(CNormBase& normaliser, const std::string& path) {
  const std::string quoted = "'" + path + "'";
  try {
    std::istringstream in(ReadTargetFile(path));
    LoadTarget(normaliser, in);
  } catch (const TargetFileUnreadable& e) {
    if (!e.Opened())
      throw TargetFileUnreadable("Failed to read target file: " + quoted, e.SystemError(), false);
    throw TargetFileUnreadable("Bad target file " + quoted + ": " + e.what(), e.SystemError(), true);
  } catch (const TargetFileError& e) {
    throw TargetFileError("Bad target file " + quoted + ": " + e.what());
  }
}

void LoadTarget(CNormBase& normaliser, std::istream& in) {
  nlohmann::json file;
  try {
    file = nlohmann::json::parse(in);
  } catch (const nlohmann::json::parse_error& e) {
    throw TargetFileError("not a whole JSON file: it breaks off or goes wrong at byte " +
                          std::to_string(e.byte));
  } catch (const nlohmann::json::out_of_range&) {
    throw TargetFileError("it holds a number too large for a double");
  }
  const auto format = file.is_object() ? file.find("format") : file.end();
  if (!file.is_object() || format == file.end() || *format != kFormat) {
    throw TargetFileError(std::string("not a target file (format is not '") + kFormat + "')");
  }
  const auto version = file.find("version");
  if (version == file.end() || !version->is_number_integer() || *version != kVersion) {
    throw TargetFileError("target file version " +
                          (version == file.end() ? std::string("(none)") : Shown(*version)) +
                          " is not the supported version " + std::to_string(kVersion));
  }
  const auto method = file.find("method");
  const auto target = file.find("target");
  if (method == file.end() || !method->is_string() || target == file.end() || !target->is_object()) {
    throw TargetFileError("target file has no method name or no target");
  }
  detail::TargetRecord record{method->get<std::string>(), *target};
  try {
    normaliser.ImportTarget(record);
  } catch (const nlohmann::json::exception& e) {
    throw TargetFileError(std::string("a value is of the wrong kind: ") + e.what());
  }
}

}  // namespace histonorm
