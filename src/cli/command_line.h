#pragma once
// The command line of one batch run: method, list file, optional reference image, colour model
// and the "/verbose" flag, resolved into fixed run settings. The options "--save-target FILE",
// "--target FILE", "--out DIR", "--threads N", "--fit-only", "--check" and "--report FILE" may
// appear anywhere; they are
// taken out before the positional arguments are read, so those keep their positions.
#include <optional>
#include <string>
#include <vector>

#include "cli/batch_options.h"
#include "histonorm/method.h"

namespace histonorm::app {

struct RunSettings {
  Method method = Method::kReinhard;
  std::string listPath;                       // as typed
  std::string dirPrefix;                      // list path up to and including its last '/'
  bool verbose = false;                       // "/verbose" among arguments 3 to 5
  std::optional<std::string> referenceImage;  // single target; none means the mean of the list
  std::string colourModelPath;                // stain method only
  std::optional<std::string> saveTargetPath;  // --save-target: where the fitted target is saved
  std::optional<std::string> targetPath;      // --target: a saved target replaces the target pass
  std::optional<std::string> outDir;          // --out: the results' folder instead of normalised/
  bool fitOnly = false;                   // --fit-only: save the target (--save-target), normalise nothing
  unsigned threads = 0;                   // --threads: 0 = all cores, 1 = one thread
  BatchFlags flags;                       // options of long runs (batch_options.h)
  bool check = false;                     // --check: check every result and name the ones that look wrong
  std::optional<std::string> reportPath;  // --report: an HTML report of the run (with the checks)

  [[nodiscard]] bool Reviewed() const { return check || reportPath.has_value(); }

  // An absolute name as it is, any other under the list's folder.
  [[nodiscard]] std::string InputPath(const std::string& entry) const;
  // The results' folder, ending in '/'.
  [[nodiscard]] std::string OutputFolder() const;
  // Under the output folder: a name that stays inside the list's folder keeps its sub-folders,
  // any other (absolute, or climbing out with "..") is saved by its file name alone.
  [[nodiscard]] std::string OutputPath(const std::string& entry) const;
  // Prefix of the stain method's diagnostic files while the target is measured: the file name of
  // the reference image (or of the list) in the output folder, which exists whatever folders the
  // argument names.
  [[nodiscard]] std::string VerbosePrefix() const;
};

// Which usage text a rejected command line gets.
enum class Usage { kShortOfArguments, kUnknownMethod, kBadOption };

struct ParseResult {
  std::optional<RunSettings> settings;
  Usage usage = Usage::kShortOfArguments;  // meaningful when settings is empty
  std::string problem;                     // the line to print for kBadOption
  std::string method;                      // the name given, for kUnknownMethod
};

// args are the arguments after the program name. The method name is matched exactly and
// case-sensitively (ParseMethod).
[[nodiscard]] ParseResult ParseCommandLine(std::vector<std::string> args);

// True when `entry` names a file outside the list's folder: an absolute name, or one whose ".."
// components climb above it.
[[nodiscard]] bool LeavesListFolder(const std::string& entry);

// Usage texts, each printed followed by a line end: for too few arguments (followed by the list
// explanation) and for a method name that matches no method.
[[nodiscard]] std::string ShortOfArgumentsUsage();
[[nodiscard]] std::string ListExplanation();
[[nodiscard]] std::string UnknownMethodUsage();
[[nodiscard]] std::string UnknownMethodLine(const std::string& name);

}  // namespace histonorm::app
