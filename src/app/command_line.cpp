#include "app/command_line.h"

#include <algorithm>

namespace histonorm::app {

namespace {

const char kVerbose[] = "/verbose";

bool VerboseFlag(const std::vector<std::string>& args) {
  // Arguments 3, 4 and 5 (indices 2..4 after the program name); later ones are never examined.
  const std::size_t last = std::min<std::size_t>(args.size(), 5);
  for (std::size_t i = 2; i < last; ++i) {
    if (args[i] == kVerbose) return true;
  }
  return false;
}

std::string DirectoryPrefix(const std::string& listPath) {
  const std::size_t slash = listPath.rfind('/');
  return slash == std::string::npos ? std::string() : listPath.substr(0, slash + 1);
}

}  // namespace

std::string RunSettings::VerbosePrefix() const {
  const std::string& named = referenceImage ? *referenceImage : listPath;
  const std::size_t slash = named.rfind('/');
  return dirPrefix + "normalised/" + (slash == std::string::npos ? named : named.substr(slash + 1));
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult result;
  if (args.size() < 2) {
    result.usage = Usage::kShortOfArguments;
    return result;
  }
  const std::optional<Method> method = ParseMethod(args[0]);
  if (!method) {
    result.usage = Usage::kUnknownMethod;
    return result;
  }
  RunSettings s;
  s.method = *method;
  s.listPath = args[1];
  s.dirPrefix = DirectoryPrefix(s.listPath);
  s.verbose = VerboseFlag(args);
  const std::size_t n = args.size();
  if (s.method != Method::kBimodalDeconvRVM) {
    if (n >= 3) s.referenceImage = args[2];
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
  result.settings = std::move(s);
  return result;
}

std::string ShortOfArgumentsUsage() {
  return "Usage: <method> <files_file.txt> (<ref_img>) (<colour_model>)\n"
         "where <method> = {Reinhard, BimodalDeconvRVM, RGBHistSpec, RGBHistSpecThresh}";
}

std::string ListExplanation() {
  return "\nfiles_file.txt should contain a list of image files stored in the same directory as "
         "files_file.txt. Output is to a directory called normalised, which should already exist before "
         "calling the program.";
}

std::string UnknownMethodUsage() {
  return "Usage: <method> <files_file.txt> (<ref_img>) (<colour_model>) (</verbose>)\n"
         "where <method> = {Reinhard, BimodalDeconvRVM, RGBHistSpec}";
}

}  // namespace histonorm::app
