#include "app/batch_run.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "app/command_line.h"
#include "app/diagnostic_files.h"
#include "app/image_io.h"
#include "app/list_file.h"
#include "app/temporary_file.h"
#include "histonorm/histonorm.h"
#include "stain/stain_params.h"

namespace histonorm::app {

namespace {

constexpr int kFailure = -1;

// A failure that ends the run; the message is the line to print.
class RunFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

cv::Mat LoadOrFail(const std::string& path) {
  LoadedImage loaded = LoadColourImage(path);
  if (loaded.image.empty()) {
    std::string message = "Failed to load image: " + Quoted(path);
    if (!loaded.problem.empty()) message += ": " + loaded.problem;
    throw RunFailure(message);
  }
  return loaded.image;
}

// True when the output path of `entry` lies outside the output folder: an absolute name, or one
// whose ".." components climb above it.
bool LeavesOutputFolder(const std::string& entry) {
  const std::filesystem::path name(entry);
  if (name.is_absolute()) return true;
  const std::filesystem::path normal = name.lexically_normal();
  return !normal.empty() && *normal.begin() == "..";
}

// The list's names, read once; refused before any work when the list cannot be read or one of
// its names would be saved outside the output folder.
std::vector<std::string> ReadListOrFail(const std::string& path) {
  std::vector<std::string> names;
  try {
    names = ReadListFile(path);
  } catch (const ListFileError& e) {
    throw RunFailure(e.what());
  }
  for (const std::string& name : names) {
    if (LeavesOutputFolder(name)) throw RunFailure("Image name leaves the output folder: " + Quoted(name));
  }
  return names;
}

// The stain method's parameters file in the working directory, read before the normaliser is made
// (its thresholds are part of the normaliser's options) but reported after the model's lines.
struct ParamsFile {
  bool present = false;
  StainParams params;
  std::optional<StainParamsError> error;
};

// Thresholds of the stain method, read from the working directory when present.
const char kParamsFile[] = "params.txt";

ParamsFile ReadParamsFile() {
  ParamsFile file;
  std::ifstream in(kParamsFile);
  if (!in.is_open()) return file;
  file.present = true;
  try {
    ReadStainParams(in, file.params);
  } catch (const StainParamsError& e) {
    file.error = e;
  }
  return file;
}

// The console lines of the parameters file; a value it refused ends the run.
void ReportParamsFile(const ParamsFile& file, const LogSink& log) {
  if (!file.present) return;
  std::cerr << "PARAMETERS FILE PROVIDED" << std::endl;
  if (file.error) {
    throw RunFailure("Bad value in " + std::string(kParamsFile) + " line " +
                     std::to_string(file.error->Line()) + ": " + Quoted(file.error->Text()));
  }
  LogStainParams(log, file.params);
}

// What the normaliser needs from the run: where its lines go and, in verbose mode, the prefix its
// diagnostic files are written under (changed by the driver as the run goes on).
struct RunContext {
  LogSink log = LogSink::To(std::cerr);
  std::string diagnosticPrefix;
};

std::unique_ptr<CNormBase> MakeStainNormaliser(const RunSettings& s, RunContext& context) {
  const ParamsFile params = ReadParamsFile();
  Options options;
  options.colourModelPath = s.colourModelPath;
  options.stainParams = params.params;
  options.log = context.log;
  if (s.verbose) {
    options.diagnostics = [&context](const StainDiagnostics& d) {
      WriteDiagnosticFiles(context.diagnosticPrefix, d);
    };
  }
  std::unique_ptr<CNormBase> stain;
  try {
    stain = MakeNormaliser(s.method, options);
  } catch (const ModelLoadError& e) {
    throw RunFailure("Failed to read colour model " + Quoted(s.colourModelPath) + ": " + e.what());
  }
  if (s.verbose) {
    std::cerr << "Verbose mode, outputing deconvolution files" << std::endl;
    std::cerr << "IS TARGET: " << (s.referenceImage ? 1 : 0) << std::endl;
    std::cerr << "Prefix: " << s.VerbosePrefix() << std::endl;
    context.diagnosticPrefix = s.VerbosePrefix();
  }
  ReportParamsFile(params, context.log);
  return stain;
}

std::unique_ptr<CNormBase> MakeRunNormaliser(const RunSettings& s, RunContext& context) {
  if (s.method == Method::kBimodalDeconvRVM) return MakeStainNormaliser(s, context);
  Options options;
  options.log = context.log;
  return MakeNormaliser(s.method, options);
}

// Returns the number of target images measured.
int MeanTargetPass(const RunSettings& s, const std::vector<std::string>& names, CNormBase& normaliser) {
  std::cerr << "No image target (using mean)" << std::endl;
  int measured = 0;
  for (const std::string& entry : names) {
    const std::string path = s.InputPath(entry);
    std::cerr << std::endl;
    std::cerr << "[CalcStats] " << Quoted(path) << std::endl;
    const cv::Mat image = LoadOrFail(path);
    std::cerr << "Image loaded ok: " << image.cols << "," << image.rows << std::endl;
    normaliser.CalcStats(image);
    ++measured;
    std::cerr << "calculated stats ok" << std::endl;
  }
  return measured;
}

void SingleTargetPass(const std::string& reference, CNormBase& normaliser) {
  std::cerr << "Single image target" << std::endl;
  const cv::Mat image = LoadOrFail(reference);
  std::cerr << "Loaded target image OK" << std::endl;
  normaliser.CalcStats(image);
}

// Replaces the pass over the target images with the saved target at `path`.
void LoadTargetOrFail(const std::string& path, CNormBase& normaliser) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw RunFailure("Failed to read target file: " + Quoted(path));
  try {
    LoadTarget(normaliser, in);
  } catch (const TargetFileError& e) {
    throw RunFailure("Bad target file " + Quoted(path) + ": " + e.what());
  } catch (const std::logic_error& e) {
    throw RunFailure("Cannot use a saved target: " + std::string(e.what()));
  }
  std::cerr << "Loaded target " << Quoted(path) << std::endl;
}

void SaveTargetOrFail(const std::string& path, const CNormBase& normaliser) {
  std::ostringstream text;
  try {
    SaveTarget(normaliser, text);
  } catch (const std::logic_error& e) {
    throw RunFailure("Cannot save the target: " + std::string(e.what()));
  }
  const std::string bytes = text.str();
  if (!ReplaceFile(path, bytes.data(), bytes.size()))
    throw RunFailure("Failed to save target: " + Quoted(path));
  std::cerr << "Saved target " << Quoted(path) << std::endl;
}

// With --out, the sub-folders of list names are created under the output folder as needed.
void MakeParentFolder(const RunSettings& s, const std::string& outputPath) {
  if (!s.outDir) return;
  const std::filesystem::path parent = std::filesystem::path(outputPath).parent_path();
  std::error_code error;
  if (!parent.empty()) std::filesystem::create_directories(parent, error);
}

void NormalisePass(const RunSettings& s, const std::vector<std::string>& names, CNormBase& normaliser,
                   RunContext& context) {
  for (const std::string& entry : names) {
    const std::string inputPath = s.InputPath(entry);
    std::cerr << "[Norm] " << inputPath << std::endl;
    const cv::Mat input = LoadOrFail(inputPath);
    cv::Mat output(input.rows, input.cols, CV_8UC3);
    const std::string outputPath = s.OutputPath(entry);
    if (s.verbose) context.diagnosticPrefix = outputPath;
    normaliser.Norm(input, output);
    std::cerr << "->" << Quoted(outputPath) << std::endl;
    MakeParentFolder(s, outputPath);
    if (!SaveImage(outputPath, output)) throw RunFailure("Failed to save image: " + Quoted(outputPath));
  }
}

int Run(const RunSettings& s) {
  // The list is read once, before any work, so a mistyped list path is never an empty success.
  const std::vector<std::string> names = ReadListOrFail(s.listPath);
  std::cerr << " DIR: " << s.dirPrefix << std::endl;
  if (s.outDir && !std::filesystem::is_directory(*s.outDir)) {
    throw RunFailure("Output folder does not exist: " + Quoted(*s.outDir));
  }
  RunContext context;
  const std::unique_ptr<CNormBase> normaliser = MakeRunNormaliser(s, context);
  int measured = 1;
  if (s.targetPath) {
    LoadTargetOrFail(*s.targetPath, *normaliser);
  } else if (s.referenceImage) {
    SingleTargetPass(*s.referenceImage, *normaliser);
  } else {
    measured = MeanTargetPass(s, names, *normaliser);
  }
  // An empty list has nothing to normalise; otherwise the target must be usable (for the stain
  // method: usable stain vectors).
  if (measured > 0 && !normaliser->HasUsableTarget()) throw RunFailure("Target has no usable stain estimate");
  std::cerr << "Calculated target stats" << std::endl;
  if (s.saveTargetPath) {
    if (measured == 0) throw RunFailure("No target to save: the list is empty");
    SaveTargetOrFail(*s.saveTargetPath, *normaliser);
  }
  if (!s.fitOnly) NormalisePass(s, names, *normaliser, context);
  return 0;
}

}  // namespace

std::string Banner() {
  return "\n"
         "histonorm - colour normalisation of stained tissue images\n"
         "=========================================================\n"
         "Conditions of use:\n"
         " 1. This program is provided as is, without warranty of any kind.\n"
         " 2. Its results are for research use and are not a medical diagnosis.\n"
         " 3. Check normalised images before relying on them.\n"
         " 4. Keep this notice with any copy of the program.\n";
}

int RunBatch(const std::vector<std::string>& args) {
  std::cerr << Banner() << std::endl;
  const ParseResult parsed = ParseCommandLine(args);
  if (!parsed.settings) {
    if (parsed.usage == Usage::kBadOption) {
      std::cerr << parsed.problem << std::endl;
    } else if (parsed.usage == Usage::kUnknownMethod) {
      std::cerr << UnknownMethodUsage() << std::endl;
    } else {
      std::cerr << ShortOfArgumentsUsage() << std::endl;
      std::cerr << ListExplanation() << std::endl;
    }
    return kFailure;
  }
  try {
    return Run(*parsed.settings);
  } catch (const RunFailure& failure) {
    std::cerr << failure.what() << std::endl;
  } catch (const DiagnosticFileError& e) {
    std::cerr << "Failed to write diagnostic file: " << Quoted(e.what()) << std::endl;
  }
  return kFailure;
}

}  // namespace histonorm::app
