#include "cli/batch_options.h"

#include <filesystem>
#include <utility>

#include "histonorm/method.h"

namespace histonorm::app {

std::vector<OptionRule> BatchOptionRules() {
  return {{"--keep-going"}, {"--skip-existing"}, {"--tissue-only"},
          {"--progress"},   {"--quiet"},         {"--stain-params", true}};
}

BatchFlags BatchFlagsOf(const CommandWords& words) {
  BatchFlags flags;
  flags.keepGoing = words.Has("--keep-going");
  flags.skipExisting = words.Has("--skip-existing");
  flags.tissueOnly = words.Has("--tissue-only");
  flags.progress = words.Has("--progress");
  flags.quiet = words.Has("--quiet");
  flags.stainParamsPath = words.Value("--stain-params");
  return flags;
}

std::string FlagConflict(const BatchFlags& flags, Method method) {
  const bool stain = method == Method::kBimodalDeconvRVM;
  if (flags.stainParamsPath && !stain) return "--stain-params sets the thresholds of BimodalDeconvRVM only";
  if (flags.tissueOnly && stain) {
    return "--tissue-only is for Reinhard and the histogram methods: BimodalDeconvRVM finds the "
           "background itself";
  }
  return {};
}

std::string MethodList() {
  std::string list = "{";
  for (const Method method : kAllMethods) {
    if (list.size() > 1) list += ", ";
    list += MethodName(method);
  }
  return list + "}";
}

std::string BatchHelp() {
  return "Usage: histonorm <method> <files_file.txt> [<ref_img>] [/verbose] [options]\n"
         "       histonorm BimodalDeconvRVM <files_file.txt> [<ref_img>] <colour_model> [/verbose] "
         "[options]\n"
         "       histonorm <method> <files_file.txt> --target FILE [options]\n"
         "       histonorm <method> <files_file.txt> [<ref_img>] --save-target FILE --fit-only\n"
         "       histonorm --help | --version\n"
         "where <method> = " +
         MethodList() +
         "\n"
         "\n"
         "Normalises the colours of every image named in <files_file.txt> (names separated by white\n"
         "space, relative to the list's folder, or absolute) to the colours of <ref_img>, or of the\n"
         "mean of the listed images, and saves the results in normalised/ beside the list.\n"
         "\n"
         "Options:\n"
         "  --out DIR            save the results in DIR (which must exist) instead of normalised/\n"
         "  --save-target FILE   save the fitted target (JSON) after the target pass\n"
         "  --target FILE        use a saved target instead of measuring one\n"
         "  --fit-only           with --save-target: fit and save the target, normalise nothing\n"
         "  --threads N          threads to use, 0 = all cores (default 0)\n"
         "  --keep-going         report an image that fails and go on with the next; exit status " +
         std::to_string(kSomeImagesFailed) +
         "\n"
         "                       when some failed\n"
         "  --skip-existing      leave results that already exist and decode as images\n"
         "  --tissue-only        Reinhard and the histogram methods: statistics from tissue pixels\n"
         "                       only; glass is mapped to the target's glass colour\n"
         "  --stain-params FILE  the stain method's thresholds (the format of params.txt)\n"
         "  --check              check every result; name the ones that look wrong (exit status 3)\n"
         "  --report FILE.html   the checks and a self-contained HTML report of the run\n"
         "  --progress           print \"[i/n] name\" before each image is normalised\n"
         "  --quiet              print only failures and the summary\n"
         "  --help, --version    print this help or the version and exit\n"
         "\n"
         "Colour models for BimodalDeconvRVM are installed in " HISTONORM_MODEL_DIR_INSTALLED
         "/\n"
         "(he.model, hdab.model). A params.txt in the working directory sets the stain method's\n"
         "thresholds unless --stain-params is given.\n"
         "\n"
         "Exit status: 0 when every image was normalised, " +
         std::to_string(kSomeImagesFailed) +
         " when --keep-going went past a failed image,\n"
         "3 when --check or --report found results that look wrong (and none failed),\n"
         "255 on a usage error or a failure that ends the run.\n"
         "\n"
         "Example:\n"
         "  histonorm Reinhard run/list.txt run/reference.png --progress --keep-going\n";
}

std::string InstalledModelDir() { return HISTONORM_MODEL_DIR_INSTALLED; }

std::string VersionLine(const std::string& program) { return program + " " HISTONORM_VERSION; }

bool IsHelpRequest(const std::vector<std::string>& args) {
  return args.size() == 1 && (args[0] == "--help" || args[0] == "-h");
}

bool IsVersionRequest(const std::vector<std::string>& args) {
  return args.size() == 1 && args[0] == "--version";
}

std::string LoadProblem(const std::string& path, const std::string& known) {
  if (!known.empty()) return known;
  std::error_code error;
  return std::filesystem::exists(path, error) ? "not an image" : "missing";
}

std::string RunTally::Summary() const {
  std::string line = "Done: " + std::to_string(written) + " of " + std::to_string(listed) + " written, " +
                     std::to_string(skipped) + " skipped, " + std::to_string(failed.size()) + " failed";
  for (std::size_t k = 0; k < failed.size(); ++k) line += (k == 0 ? ": '" : ", '") + failed[k] + "'";
  return line;
}

}  // namespace histonorm::app
