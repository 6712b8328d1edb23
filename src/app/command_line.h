#pragma once
// The command line of one batch run: method, list file, optional reference image, colour model
// and the "/verbose" flag, resolved into fixed run settings.
#include <optional>
#include <string>
#include <vector>

#include "histonorm/method.h"

namespace histonorm::app {

struct RunSettings {
  Method method = Method::kReinhard;
  std::string listPath;                       // as typed
  std::string dirPrefix;                      // list path up to and including its last '/'
  bool verbose = false;                       // "/verbose" among arguments 3 to 5
  std::optional<std::string> referenceImage;  // single target; none means the mean of the list
  std::string colourModelPath;                // stain method only

  std::string InputPath(const std::string& entry) const { return dirPrefix + entry; }
  std::string OutputPath(const std::string& entry) const { return dirPrefix + "normalised/" + entry; }
  // Prefix of the stain method's diagnostic files while the target is measured: the file name of
  // the reference image (or of the list) in the output folder, which exists whatever folders the
  // argument names.
  [[nodiscard]] std::string VerbosePrefix() const;
};

// Which usage text a rejected command line gets.
enum class Usage { kShortOfArguments, kUnknownMethod };

struct ParseResult {
  std::optional<RunSettings> settings;
  Usage usage = Usage::kShortOfArguments;  // meaningful when settings is empty
};

// args are the arguments after the program name. The method name is matched exactly and
// case-sensitively (ParseMethod).
[[nodiscard]] ParseResult ParseCommandLine(const std::vector<std::string>& args);

// Usage texts, each printed followed by a line end: for too few arguments (followed by the list
// explanation) and for a method name that matches no method.
[[nodiscard]] std::string ShortOfArgumentsUsage();
[[nodiscard]] std::string ListExplanation();
[[nodiscard]] std::string UnknownMethodUsage();

}  // namespace histonorm::app
