#pragma once
// Saving a file safely: the one way every tool, the library and the Python module write a result.
//
//   if (const SaveResult saved = ReplaceFile("out/a.json", text.data(), text.size()); !saved)
//     throw MyError("cannot save 'out/a.json': " + saved.Reason());
//
// A regular destination (or one that does not exist yet) is replaced: the new content goes to a
// temporary file created exclusively in the same folder, is flushed to the disk and only then
// renamed over the old file, so that a failed or interrupted save keeps the earlier file and
// leaves nothing half-written behind. A destination that is a special file after following links
// (a terminal, a pipe, /dev/stdout, /dev/null, /dev/full) is written into and never replaced; a
// folder, a block device or a socket is refused.
//
// Temporary names are short and of fixed length (a '.', 16 random letters and digits, ".tmp"), so
// any name that fits the folder can be replaced, and no image tool mistakes them for images. They
// are created with O_EXCL and never through a symbolic link. Every temporary file is listed for
// removal while it exists; once a program calls RemoveTemporaryFilesOnSignals (the library never
// does), SIGINT and SIGTERM remove the files being written before the process ends by the signal.
#include <cstddef>
#include <optional>
#include <string>

namespace histonorm {

// Whether a save succeeded and, if not, why (the system's words, e.g. "No space left on device").
class SaveResult {
 public:
  [[nodiscard]] static SaveResult Done() { return SaveResult(std::string()); }
  // requires: `reason` not empty.
  [[nodiscard]] static SaveResult Failed(std::string reason) { return SaveResult(std::move(reason)); }
  // The reason of the calling thread's errno (EIO when errno is 0).
  [[nodiscard]] static SaveResult FromErrno();

  explicit operator bool() const { return reason_.empty(); }
  // ensures: empty exactly when the save succeeded.
  [[nodiscard]] const std::string& Reason() const { return reason_; }

 private:
  explicit SaveResult(std::string reason) : reason_(std::move(reason)) {}
  std::string reason_;
};

class TemporaryFile {
 public:
  // Creates a new temporary file in `folder` ("" for the working directory, otherwise ending in
  // '/'). Returns nothing when it cannot be created (errno tells why).
  [[nodiscard]] static std::optional<TemporaryFile> CreateIn(const std::string& folder);

  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  // Removes the file unless it was renamed into place.
  ~TemporaryFile();

  [[nodiscard]] const std::string& Path() const { return path_; }
  // Appends bytes; false on any write error (a full disk included), with errno set.
  [[nodiscard]] bool Write(const void* data, std::size_t size);
  // Flushes the file to the disk, closes it and renames it to `path`. False on any failure (errno
  // set), after which the temporary file is gone and `path` is as it was.
  [[nodiscard]] bool RenameTo(const std::string& path);

 private:
  TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  void Discard();

  int fd_ = -1;
  std::string path_;
};

// Saves `size` bytes at `path` as described at the top. On failure an earlier file at `path` is
// unchanged (a special file may have taken part of the bytes) and no temporary file is left.
// ensures: never throws.
[[nodiscard]] SaveResult ReplaceFile(const std::string& path, const void* data, std::size_t size) noexcept;

// Writes `size` bytes to the process's standard output (file descriptor 1), whatever it is.
[[nodiscard]] SaveResult WriteStandardOutput(const void* data, std::size_t size) noexcept;

// Installs handlers of SIGINT and SIGTERM that remove the temporary files being written, then end
// the process by the same signal. For programs only: a library leaves the signals to its host.
void RemoveTemporaryFilesOnSignals();

}  // namespace histonorm
