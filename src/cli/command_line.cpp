#include "cli/command_line.h"

#include <algorithm>
#include <filesystem>
#include <utility>

namespace histonorm::app {

namespace {

const char kVerbose[] = "/verbose";

bool IsLabelFree(Method method) {
  return method == Method::kBimodalDeconvPCA || method == Method::kMacenko || method == Method::kVahadane;
}

bool VerboseFlag(const std::vector<std::string>& args) {
  // Arguments 3, 4 and 5 (indices 2..4 after the program name); later ones are never examined.
  const std::size_t last = std::min<std::size_t>(args.size(), 5);
  for (std::size_t i = 2; i < last; ++i) {
    if (args[i] == kVerbose) return true;
  }
  return false;
}

// The most threads --threads accepts: far more than any machine's cores, few enough to start.
constexpr long long kMaxThreads = 1024;

// Takes the "--" options out of `args` into `s`; false (with `problem` set) for an unknown or repeated
// option, one without its value or a bad number of threads.
bool TakeOptions(std::vector<std::string>& args, RunSettings& s, std::string& problem) {
  std::vector<OptionRule> rules = BatchOptionRules();
  for (const char* flag : {"--fit-only", "--check"}) rules.push_back({flag});
  for (const char* valued : {"--save-target", "--target", "--out", "--threads", "--report"})
    rules.push_back({valued, true});
  CommandWords words;
  try {
    words = SplitCommandWords(args, rules);
  } catch (const CommandLineError& e) {
    problem = e.what();
    return false;
  }
  s.flags = BatchFlagsOf(words);
  s.fitOnly = words.Has("--fit-only");
  s.check = words.Has("--check");
  s.saveTargetPath = words.Value("--save-target");
  s.targetPath = words.Value("--target");
  s.outDir = words.Value("--out");
  s.reportPath = words.Value("--report");
  if (const std::optional<std::string> threads = words.Value("--threads")) {
    const std::optional<long long> parsed = ParseWholeNumber(*threads, 0, kMaxThreads);
    if (!parsed || threads->find_first_not_of("0123456789") != std::string::npos) {
      problem = BadValueLine("--threads", *threads,
                             "a whole number from 0, all cores, to " + std::to_string(kMaxThreads));
      return false;
    }
    s.threads = static_cast<unsigned>(*parsed);
  }
  args = std::move(words.positional);
  return true;
}

std::string DirectoryPrefix(const std::string& listPath) {
  const std::size_t slash = listPath.rfind('/');
  return slash == std::string::npos ? std::string() : listPath.substr(0, slash + 1);
}

}  // namespace

bool LeavesListFolder(const std::string& entry) {
  const std::filesystem::path name(entry);
  if (name.is_absolute()) return true;
  const std::filesystem::path normal = name.lexically_normal();
  return !normal.empty() && *normal.begin() == "..";
}

std::string RunSettings::InputPath(const std::string& entry) const {
  return std::filesystem::path(entry).is_absolute() ? entry : dirPrefix + entry;
}

std::string RunSettings::OutputPath(const std::string& entry) const {
  if (!LeavesListFolder(entry)) return OutputFolder() + entry;
  return OutputFolder() + std::filesystem::path(entry).lexically_normal().filename().string();
}

std::string RunSettings::OutputFolder() const {
  if (!outDir) return dirPrefix + "normalised/";
  return outDir->back() == '/' ? *outDir : *outDir + "/";
}

std::string RunSettings::VerbosePrefix() const {
  const std::string& named = referenceImage ? *referenceImage : listPath;
  const std::size_t slash = named.rfind('/');
  return OutputFolder() + (slash == std::string::npos ? named : named.substr(slash + 1));
}

ParseResult ParseCommandLine(std::vector<std::string> args) {
  ParseResult result;
  RunSettings s;
  if (!TakeOptions(args, s, result.problem)) {
    result.usage = Usage::kBadOption;
    return result;
  }
  if (args.size() < 2) {
    result.usage = Usage::kShortOfArguments;
    return result;
  }
  const std::optional<Method> method = ParseMethod(args[0]);
  if (!method) {
    result.usage = Usage::kUnknownMethod;
    result.method = args[0];
    return result;
  }
  s.method = *method;
  result.problem = FlagConflict(s.flags, s.method);
  if (!result.problem.empty()) {
    result.usage = Usage::kBadOption;
    return result;
  }
  s.listPath = args[1];
  s.dirPrefix = DirectoryPrefix(s.listPath);
  s.verbose = VerboseFlag(args);
  const std::size_t n = args.size();
  if (s.method != Method::kBimodalDeconvRVM) {
    // The methods without a model take "/verbose" where the reference image would be.
    const bool verboseFirst = IsLabelFree(s.method) && n >= 3 && args[2] == kVerbose;
    if (n >= 3 && !verboseFirst) s.referenceImage = args[2];
  } else if (n == 2) {
    // The stain method needs a colour model: refuse rather than read a missing argument.
    result.usage = Usage::kShortOfArguments;
    return result;
  } else if (n == 3 || (n == 4 && s.verbose)) {
    s.colourModelPath = args[2];
  } else {
    s.referenceImage = args[2];
    s.colourModelPath = args[3];
  }
  if (s.targetPath && s.referenceImage) {
    result.usage = Usage::kBadOption;
    result.problem = "A saved target (--target) replaces the reference image: give one or the other";
    return result;
  }
  if (s.fitOnly && !s.saveTargetPath) {
    result.usage = Usage::kBadOption;
    result.problem = "--fit-only normalises nothing: give --save-target FILE to keep the fitted target";
    return result;
  }
  if (s.fitOnly && s.Reviewed()) {
    result.usage = Usage::kBadOption;
    result.problem = "--fit-only normalises nothing to check: leave out --check and --report";
    return result;
  }
  result.settings = std::move(s);
  return result;
}

std::string ShortOfArgumentsUsage() {
  return "Usage: <method> <files_file.txt> (<ref_img>) (<colour_model>)\n"
         "where <method> = " +
         MethodList();
}

std::string ListExplanation() {
  return "\nfiles_file.txt should contain a list of image files stored in the same directory as "
         "files_file.txt. Output is to a directory called normalised, which should already exist before "
         "calling the program.";
}

std::string UnknownMethodUsage() {
  return "Usage: <method> <files_file.txt> (<ref_img>) (<colour_model>) (</verbose>)\n"
         "where <method> = " +
         MethodList();
}

std::string UnknownMethodLine(const std::string& name) { return "Unknown method: '" + name + "'"; }

}  // namespace histonorm::app
