#pragma once
// Replacing a file safely: the new content goes to a temporary file created exclusively in the
// same folder, is flushed to the disk and only then renamed over the old file, so that a failed
// or interrupted save keeps the earlier file and leaves nothing half-written behind.
//
// Temporary names are short and of fixed length (a '.', 16 random letters and digits, ".tmp"), so
// any name that fits the folder can be replaced, and no image tool mistakes them for images. They
// are created with O_EXCL and never through a symbolic link. After RemoveTemporaryFilesOnSignals,
// SIGINT and SIGTERM remove the temporary file being written before the process ends by the signal.
#include <cstddef>
#include <optional>
#include <string>

namespace histonorm::app {

class TemporaryFile {
 public:
  // Creates a new temporary file in `folder` ("" for the working directory, otherwise ending in
  // '/'). Returns nothing when it cannot be created.
  [[nodiscard]] static std::optional<TemporaryFile> CreateIn(const std::string& folder);

  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  // Removes the file unless it was renamed into place.
  ~TemporaryFile();

  const std::string& Path() const { return path_; }
  // Appends bytes; false on any write error (a full disk included).
  [[nodiscard]] bool Write(const void* data, std::size_t size);
  // Flushes the file to the disk, closes it and renames it to `path`. False on any failure, after
  // which the temporary file is gone and `path` is as it was.
  [[nodiscard]] bool RenameTo(const std::string& path);

 private:
  TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  void Discard();

  int fd_ = -1;
  std::string path_;
};

// Writes `size` bytes to `path` through a TemporaryFile in the same folder. False on any failure,
// after which an earlier file at `path` is unchanged.
[[nodiscard]] bool ReplaceFile(const std::string& path, const void* data, std::size_t size);

// Installs handlers of SIGINT and SIGTERM that remove the temporary file being written, then end
// the process by the same signal.
void RemoveTemporaryFilesOnSignals();

}  // namespace histonorm::app
