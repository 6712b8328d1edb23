#pragma once
// Saving a fitted target, so that later runs (on this or another machine) normalise against it
// without measuring the target images again.
//
//   norm->CalcStats(reference);
//   std::ofstream out("target.json");
//   histonorm::SaveTarget(*norm, out);
//   ...
//   auto later = histonorm::MakeNormaliser(histonorm::Method::kReinhard, {});
//   std::ifstream in("target.json");
//   histonorm::LoadTarget(*later, in);      // later->Norm(...) now equals norm->Norm(...)
//
// The file is JSON: a format name ("histonorm-target"), its version, the method's name and the
// method's target statistics. Floating-point numbers are written as hexadecimal strings (C's "%a")
// so that they read back bit-exactly; counts are JSON integers. A BimodalDeconvRVM target also
// holds the size and SHA-256 of the colour model file it was fitted with, and loads only into a
// normaliser that read the same file.
#include <cstddef>
#include <iosfwd>
#include <stdexcept>
#include <string>

#include "histonorm/norm_base.h"

namespace histonorm {

// A target file that cannot be used; what() says why.
class TargetFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A target file that cannot be opened or read (a folder included); what() says why,
// SystemError() is the system's error number.
class TargetFileUnreadable : public TargetFileError {
 public:
  TargetFileUnreadable(const std::string& why, int systemError, bool opened)
      : TargetFileError(why), systemError_(systemError), opened_(opened) {}
  [[nodiscard]] int SystemError() const noexcept { return systemError_; }
  // False when the file could not even be opened (missing, no permission).
  [[nodiscard]] bool Opened() const noexcept { return opened_; }

 private:
  int systemError_;
  bool opened_;
};

// The largest target file read; saved targets are a few kilobytes.
inline constexpr std::size_t kMaxTargetFileBytes = std::size_t{16} << 20;

// The text of the target file at `path`, for LoadTarget.
// throws: TargetFileUnreadable when it cannot be opened or read, or is a folder;
//   TargetFileError when it holds more than kMaxTargetFileBytes (a device such as /dev/zero is
//   refused after reading that much).
[[nodiscard]] std::string ReadTargetFile(const std::string& path);

// Writes the target of `normaliser` to `out` as JSON.
// requires: normaliser.HasUsableTarget().
// ensures: LoadTarget of the written text into a new normaliser of the same method gives one whose
//   Norm results equal those of `normaliser`.
// throws: std::logic_error when there is no usable target, before anything is written;
//   TargetFileError when the stain method's colour model file can no longer be read.
void SaveTarget(const CNormBase& normaliser, std::ostream& out);

// Replaces the target of `normaliser` with the one read from `in`.
// requires: `in` holds a whole target file written by SaveTarget.
// ensures: normaliser.HasUsableTarget().
// throws: TargetFileError, leaving the normaliser unchanged, when the text is not JSON (or holds a
//   number beyond double), has another format name or version, was saved by another method or with another
//   colour model ("Target was fitted with another colour model: ..."), or holds numbers that are missing, not
//   finite, negative or do not add up.
void LoadTarget(CNormBase& normaliser, std::istream& in);

// Replaces the target of `normaliser` with the one saved at `path` (ReadTargetFile, then LoadTarget): the
// one place that words a saved target's failures, for every program.
// ensures: normaliser.HasUsableTarget().
// throws: TargetFileUnreadable "Failed to read target file: 'PATH'" when the file cannot be opened;
//   TargetFileError "Bad target file 'PATH': why" for anything else wrong with it (a TargetFileUnreadable
//   with Opened() for a folder); std::logic_error when the method cannot load targets. The normaliser is
//   then unchanged.
void LoadTargetFile(CNormBase& normaliser, const std::string& path);

}  // namespace histonorm
