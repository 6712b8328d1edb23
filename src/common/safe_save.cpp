#include "common/safe_save.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

namespace histonorm {

namespace {

constexpr std::size_t kRandomLetters = 16;
constexpr int kCreateAttempts = 100;

// Temporary files being written, for the signal handler: a fixed table of fixed buffers, so the
// handler only reads memory that exists and calls nothing but unlink. A slot is claimed by moving
// its state from kFree to kClaimed, filled, and then published as kReady.
enum SlotState : int { kFree, kClaimed, kReady };
struct PendingSlot {
  std::atomic<int> state{kFree};
  char path[4096];
};
std::array<PendingSlot, 64> pendingFiles;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slot states");

// Blocks SIGINT and SIGTERM on this thread while in scope, so a temporary file and its slot are
// created, renamed or removed together.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &previous_);
  }
  ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

void Publish(const std::string& path) {
  if (path.size() >= sizeof(PendingSlot::path)) return;
  for (PendingSlot& slot : pendingFiles) {
    int expected = kFree;
    if (slot.state.compare_exchange_strong(expected, kClaimed)) {
      std::memcpy(slot.path, path.c_str(), path.size() + 1);
      slot.state.store(kReady);
      return;
    }
  }
}

void Withdraw(const std::string& path) {
  for (PendingSlot& slot : pendingFiles) {
    if (slot.state.load() == kReady && path == slot.path) {
      slot.state.store(kFree);
      return;
    }
  }
}

extern "C" void RemovePendingFilesAndStop(int signal) {
  for (PendingSlot& slot : pendingFiles) {
    if (slot.state.load() == kReady) ::unlink(slot.path);
  }
  // Ends the process by the same signal once the handler returns (the signal is blocked until then).
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool IsUnderProc(const std::string& path) {
  std::array<char, PATH_MAX> resolved{};
  return ::realpath(path.c_str(), resolved.data()) != nullptr &&
         std::string_view(resolved.data()).starts_with("/proc/");
}

// Whether `path` reaches its file through the process file system (/dev/stdout, /dev/fd/1,
// /proc/self/fd/1): such a link stands for an open file, which is written into, never replaced.
bool ReachedThroughProc(std::string path) {
  constexpr int kMostLinks = 40;
  for (int hop = 0; hop < kMostLinks; ++hop) {
    const std::filesystem::path p(path);
    if (IsUnderProc(p.has_parent_path() ? p.parent_path().string() : ".")) return true;
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return false;
    std::array<char, PATH_MAX> target{};
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size() - 1);
    if (n <= 0) return false;
    const std::filesystem::path next(std::string(target.data(), static_cast<std::size_t>(n)));
    if (next.is_absolute() && next.string().starts_with("/proc/")) return true;
    path = next.is_absolute() ? next.string() : (p.parent_path() / next).string();
  }
  return false;
}

// Writes into an existing file that must not be replaced (a device, a pipe, an open file).
SaveResult WriteInto(const std::string& path, const void* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return SaveResult::FromErrno();
  const bool written = WriteAll(fd, data, size);
  const int writeError = errno;
  const bool closed = ::close(fd) == 0;
  if (!written) errno = writeError;
  return written && closed ? SaveResult::Done() : SaveResult::FromErrno();
}

SaveResult ReplaceThroughTemporaryFile(const std::string& path, const void* data, std::size_t size) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::optional<TemporaryFile> file = TemporaryFile::CreateIn(folder);
  if (file && file->Write(data, size) && file->RenameTo(path)) return SaveResult::Done();
  return SaveResult::FromErrno();
}

std::string RandomLetters() {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  std::string letters(kRandomLetters, ' ');
  for (char& c : letters) c = kLetters[pick(generator)];
  return letters;
}

}  // namespace

std::optional<TemporaryFile> TemporaryFile::CreateIn(const std::string& folder) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    const std::string path = folder + "." + RandomLetters() + ".tmp";
    const StopSignalsBlocked blocked;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      Publish(path);
      return TemporaryFile(fd, path);
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
  other.path_.clear();
}

TemporaryFile::~TemporaryFile() { Discard(); }

void TemporaryFile::Discard() {
  if (path_.empty()) return;
  const int reason = errno;  // callers report why the save failed, not how the cleanup went
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  const StopSignalsBlocked blocked;
  ::unlink(path_.c_str());
  Withdraw(path_);
  path_.clear();
  errno = reason;
}

bool TemporaryFile::Write(const void* data, std::size_t size) {
  return fd_ >= 0 && WriteAll(fd_, data, size);
}

bool TemporaryFile::RenameTo(const std::string& path) {
  if (fd_ < 0) return false;
  const bool synced = ::fsync(fd_) == 0;
  // A file system may report a failed write only when the file is closed.
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!synced || !closed) {
    Discard();
    return false;
  }
  const StopSignalsBlocked blocked;
  if (::rename(path_.c_str(), path.c_str()) != 0) {
    Discard();
    return false;
  }
  Withdraw(path_);
  path_.clear();
  return true;
}

SaveResult SaveResult::FromErrno() { return Failed(std::strerror(errno != 0 ? errno : EIO)); }

SaveResult ReplaceFile(const std::string& path, const void* data, std::size_t size) noexcept {
  try {
    errno = 0;
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) return ReplaceThroughTemporaryFile(path, data, size);
    if (S_ISDIR(target.st_mode)) return SaveResult::Failed(std::strerror(EISDIR));
    if (S_ISCHR(target.st_mode) || S_ISFIFO(target.st_mode)) return WriteInto(path, data, size);
    if (!S_ISREG(target.st_mode))
      return SaveResult::Failed("it is neither a regular file, a device nor a pipe");
    if (ReachedThroughProc(path)) return WriteInto(path, data, size);
    return ReplaceThroughTemporaryFile(path, data, size);
  } catch (const std::exception& e) {
    return SaveResult::Failed(e.what());
  }
}

SaveResult WriteStandardOutput(const void* data, std::size_t size) noexcept {
  errno = 0;
  return WriteAll(STDOUT_FILENO, data, size) ? SaveResult::Done() : SaveResult::FromErrno();
}

void RemoveTemporaryFilesOnSignals() {
  for (const int signal : {SIGINT, SIGTERM}) {
    struct sigaction current {};
    // A signal the process was started to ignore (a background job) stays ignored.
    if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemovePendingFilesAndStop;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    ::sigaction(signal, &action, nullptr);
  }
}

}  // namespace histonorm
