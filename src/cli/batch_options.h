#pragma once
// The batch program's options for long runs and what they print: going on past a failed image,
// leaving results that are already whole, tissue-only statistics, a stain parameters file, a
// progress line per image and a quiet console; and the help and version texts.
//
//   const CommandWords words = SplitCommandWords(args, BatchOptionRules());
//   const BatchFlags flags = BatchFlagsOf(words);
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/command_words.h"
#include "histonorm/method.h"

namespace histonorm::app {

// Exit status of a run that went to its end but could not normalise some images (--keep-going).
inline constexpr int kSomeImagesFailed = 2;

struct BatchFlags {
  bool keepGoing = false;     // --keep-going: report a failed image and go on with the next
  bool skipExisting = false;  // --skip-existing: leave results that already decode
  bool tissueOnly = false;    // --tissue-only: statistics from tissue pixels (not the stain method)
  bool progress = false;      // --progress: "[7/30] name" before each image is normalised
  bool quiet = false;         // --quiet: only failures and the summary
  std::optional<std::string> stainParamsPath;  // --stain-params FILE instead of params.txt

  // True when the run closes with a summary line (any option that changes what a run reports).
  [[nodiscard]] bool Summarised() const { return keepGoing || skipExisting || progress || quiet; }
};

// The options above, each to be given once.
[[nodiscard]] std::vector<OptionRule> BatchOptionRules();

// ensures: the options above as `words` gives them.
[[nodiscard]] BatchFlags BatchFlagsOf(const CommandWords& words);

// The line that refuses an option the method cannot use (--stain-params and --tissue-only), or
// empty.
[[nodiscard]] std::string FlagConflict(const BatchFlags& flags, Method method);

// The names of every method, "{A, B, C}".
[[nodiscard]] std::string MethodList();

// The full help of the batch program (--help), several lines ending in a line end.
[[nodiscard]] std::string BatchHelp();

// The folder the colour models are installed in, without a final '/'.
[[nodiscard]] std::string InstalledModelDir();

// "PROGRAM VERSION" (--version), without a line end.
[[nodiscard]] std::string VersionLine(const std::string& program);

// True when `args` ask only for the help or the version ("--help", "-h", "--version").
[[nodiscard]] bool IsHelpRequest(const std::vector<std::string>& args);
[[nodiscard]] bool IsVersionRequest(const std::vector<std::string>& args);

// Why the image at `path` could not be loaded: `known` when given (e.g. "truncated"), otherwise
// "missing" or "not an image".
[[nodiscard]] std::string LoadProblem(const std::string& path, const std::string& known);

// How a run with the options above ended, for its summary line.
struct RunTally {
  std::size_t listed = 0;
  std::size_t written = 0;
  std::size_t skipped = 0;
  std::vector<std::string> failed;  // the failed entries' paths, in list order

  // "Done: 27 of 30 written, 0 skipped, 3 failed: 'a.png', 'b.png', 'c.png'"
  [[nodiscard]] std::string Summary() const;
  [[nodiscard]] int ExitStatus() const { return failed.empty() ? 0 : kSomeImagesFailed; }
};

}  // namespace histonorm::app
