#include "app/batch_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <opencv2/core/utility.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "app/command_line.h"
#include "app/diagnostic_files.h"
#include "app/image_io.h"
#include "app/list_file.h"
#include "app/ordered_pipeline.h"
#include "common/parallel_for.h"
#include "common/safe_save.h"
#include "histonorm/histonorm.h"
#include "slide/normalise_slide.h"
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

// The line that ends the run when the image at `path` could not be loaded.
std::string LoadFailure(const std::string& path, const LoadedImage& loaded) {
  std::string message = "Failed to load image: " + Quoted(path);
  if (!loaded.problem.empty()) message += ": " + loaded.problem;
  return message;
}

cv::Mat LoadOrFail(const std::string& path) {
  LoadedImage loaded = LoadColourImage(path);
  if (loaded.image.empty()) throw RunFailure(LoadFailure(path, loaded));
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

// A name of the list and whether it names a whole slide rather than an ordinary image.
struct ListEntry {
  std::string name;
  bool slide = false;
};

// Where the result of `entry` is saved: an image under its own name, a slide as a pyramidal TIFF
// named after the slide (its stem and ".tif", in the same sub-folder).
std::string ResultPath(const RunSettings& s, const ListEntry& entry) {
  if (!entry.slide) return s.OutputPath(entry.name);
  const std::filesystem::path name(entry.name);
  return s.OutputPath((name.parent_path() / name.stem()).string() + ".tif");
}

// A slide's result may not take the name of another entry's result ("a.svs" and "a.tif"): the
// run is refused before any work rather than letting one overwrite the other.
void RefuseClashingSlides(const RunSettings& s, const std::vector<ListEntry>& entries) {
  std::map<std::string, const ListEntry*> saved;
  for (const ListEntry& entry : entries) {
    const std::string result = std::filesystem::path(ResultPath(s, entry)).lexically_normal().string();
    const auto [earlier, added] = saved.emplace(result, &entry);
    if (!added && earlier->second->name != entry.name && (entry.slide || earlier->second->slide)) {
      throw RunFailure("Two list entries would be saved as " + Quoted(result) + ": " +
                       Quoted(earlier->second->name) + " and " + Quoted(entry.name));
    }
  }
}

// No result may be saved over one of the run's inputs (the same file, also through links or
// sub-folders, as `--out` on the list's own folder would do): the run is refused before any work.
void RefuseResultsOverInputs(const RunSettings& s, const std::vector<ListEntry>& entries) {
  std::map<std::pair<dev_t, ino_t>, std::string> inputs;
  const auto addInput = [&inputs](const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) inputs.emplace(std::pair{info.st_dev, info.st_ino}, path);
  };
  addInput(s.listPath);
  for (const std::optional<std::string>* path : {&s.referenceImage, &s.targetPath}) {
    if (*path) addInput(**path);
  }
  if (!s.colourModelPath.empty()) addInput(s.colourModelPath);
  for (const ListEntry& entry : entries) addInput(s.InputPath(entry.name));
  const auto refuse = [&inputs](const std::string& result) {
    struct stat info {};
    if (::stat(result.c_str(), &info) != 0) return;
    const auto input = inputs.find({info.st_dev, info.st_ino});
    if (input != inputs.end())
      throw RunFailure("A result would overwrite an input: " + Quoted(result) + " is " +
                       Quoted(input->second));
  };
  if (!s.fitOnly) {
    for (const ListEntry& entry : entries) refuse(ResultPath(s, entry));
  }
  if (s.saveTargetPath && *s.saveTargetPath != "-") refuse(*s.saveTargetPath);
}

// The list's names, read once; refused before any work when the list cannot be read or one of
// its names would be saved outside the output folder.
std::vector<ListEntry> ReadListOrFail(const RunSettings& s) {
  std::vector<std::string> names;
  try {
    names = ReadListFile(s.listPath);
  } catch (const ListFileError& e) {
    throw RunFailure(e.what());
  }
  std::vector<ListEntry> entries;
  for (std::string& name : names) {
    if (LeavesOutputFolder(name)) throw RunFailure("Image name leaves the output folder: " + Quoted(name));
    const bool slide = slide::IsSlidePath(s.InputPath(name));
    entries.push_back({std::move(name), slide});
  }
  RefuseClashingSlides(s, entries);
  RefuseResultsOverInputs(s, entries);
  return entries;
}

std::size_t CountSlides(const std::vector<ListEntry>& entries) {
  return static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(), [](const ListEntry& e) { return e.slide; }));
}

// An entry's target-pass image: the image itself, or the sample a slide's colours are measured on.
LoadedImage LoadEntry(const RunSettings& s, const ListEntry& entry) {
  if (!entry.slide) return LoadColourImage(s.InputPath(entry.name));
  try {
    return {slide::OpenSampledSlide(s.InputPath(entry.name), 0).sample, {}};
  } catch (const slide::SlideError& e) {
    return {cv::Mat(), e.what()};
  }
}

// The line that ends the run when the slide at `path` could not be opened or read.
std::string SlideLoadFailure(const std::string& path, const std::string& problem) {
  return "Failed to load slide: " + Quoted(path) + ": " + problem;
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
// diagnostic files are written under (changed by the driver as the run goes on); and the options
// it was made with, from which the workers of a parallel pass make their own.
struct RunContext {
  LogSink log = LogSink::To(std::cerr);
  std::string diagnosticPrefix;
  Options options;
};

std::unique_ptr<CNormBase> MakeStainNormaliser(const RunSettings& s, RunContext& context) {
  const ParamsFile params = ReadParamsFile();
  Options options;
  options.colourModelPath = s.colourModelPath;
  options.stainParams = params.params;
  options.log = context.log;
  options.threads = s.threads;
  if (s.verbose) {
    options.diagnostics = [&context](const StainDiagnostics& d) {
      WriteDiagnosticFiles(context.diagnosticPrefix, d);
    };
  }
  context.options = options;
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
  context.options.log = context.log;
  context.options.threads = s.threads;
  return MakeNormaliser(s.method, context.options);
}

// Threads that work on different images at once: all of them, but no more than there are images;
// one in verbose mode, whose diagnostic files follow the image being normalised.
unsigned ImageWorkers(const RunSettings& s, std::size_t images) {
  if (s.verbose) return 1;
  return static_cast<unsigned>(std::min<std::size_t>(ResolveThreadCount(s.threads), images));
}

// Returns the number of target images measured. With several threads, the images ahead of the one
// being measured are decoded meanwhile (at most threads + 1 images at once); they are measured in
// list order, so the target is the same as with one thread.
// A slide counts once, through the statistics of its sample.
int MeanTargetPass(const RunSettings& s, const std::vector<ListEntry>& names, CNormBase& normaliser) {
  std::cerr << "No image target (using mean)" << std::endl;
  auto announce = [&](std::size_t item) {
    std::cerr << std::endl;
    std::cerr << "[CalcStats] " << Quoted(s.InputPath(names[item].name)) << std::endl;
  };
  auto measure = [&](std::size_t item, const LoadedImage& loaded) {
    const std::string path = s.InputPath(names[item].name);
    if (loaded.image.empty()) {
      throw RunFailure(names[item].slide ? SlideLoadFailure(path, loaded.problem)
                                         : LoadFailure(path, loaded));
    }
    std::cerr << (names[item].slide ? "Slide sample loaded ok: " : "Image loaded ok: ") << loaded.image.cols
              << "," << loaded.image.rows << std::endl;
    normaliser.CalcStats(loaded.image);
    std::cerr << "calculated stats ok" << std::endl;
  };
  const unsigned workers = ImageWorkers(s, names.size());
  if (workers <= 1) {
    for (std::size_t item = 0; item < names.size(); ++item) {
      announce(item);
      measure(item, LoadEntry(s, names[item]));
    }
  } else {
    RunOrdered<LoadedImage>(
        names.size(), workers, std::size_t{workers} + 1,
        [&](std::size_t item, unsigned /*worker*/) { return LoadEntry(s, names[item]); },
        [&](std::size_t item, LoadedImage&& loaded) {
          announce(item);
          measure(item, loaded);
        });
  }
  return static_cast<int>(names.size());
}

void SingleTargetPass(const std::string& reference, CNormBase& normaliser) {
  std::cerr << "Single image target" << std::endl;
  const cv::Mat image = LoadOrFail(reference);
  std::cerr << "Loaded target image OK" << std::endl;
  normaliser.CalcStats(image);
}

// Replaces the pass over the target images with the saved target at `path`.
void LoadTargetOrFail(const std::string& path, CNormBase& normaliser) {
  try {
    std::istringstream in(ReadTargetFile(path));
    LoadTarget(normaliser, in);
  } catch (const TargetFileUnreadable& e) {
    if (!e.Opened()) throw RunFailure("Failed to read target file: " + Quoted(path));
    throw RunFailure("Bad target file " + Quoted(path) + ": " + e.what());
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
  const SaveResult saved = path == "-" ? WriteStandardOutput(bytes.data(), bytes.size())
                                       : ReplaceFile(path, bytes.data(), bytes.size());
  if (!saved) throw RunFailure("Failed to save target: " + Quoted(path) + ": " + saved.Reason());
  std::cerr << "Saved target " << Quoted(path) << std::endl;
}

// With --out, the sub-folders of list names are created under the output folder as needed.
void MakeParentFolder(const RunSettings& s, const std::string& outputPath) {
  if (!s.outDir) return;
  const std::filesystem::path parent = std::filesystem::path(outputPath).parent_path();
  std::error_code error;
  if (!parent.empty()) std::filesystem::create_directories(parent, error);
}

// The slide step that failed, as the line that ends the run.
std::string SlideFailure(const slide::SlideJobError& e, const slide::SlideJob& job) {
  switch (e.Step()) {
    case slide::SlideStep::kOpen:
      return SlideLoadFailure(job.slidePath, e.what());
    case slide::SlideStep::kFit:
      return "Failed to normalise slide: " + Quoted(job.slidePath) + ": " + e.what();
    case slide::SlideStep::kWrite:
      break;
  }
  return "Failed to save slide: " + Quoted(job.outputPath) + ": " + e.what();
}

// A slide of the list: measured on its sample with the run's target and streamed tile by tile
// into a pyramidal TIFF (JPEG tiles) by all the run's threads.
void NormaliseSlideEntry(const RunSettings& s, const ListEntry& entry, CNormBase& normaliser,
                         RunContext& context) {
  slide::SlideJob job;
  job.slidePath = s.InputPath(entry.name);
  job.outputPath = ResultPath(s, entry);
  job.write.threads = s.threads;
  std::cerr << "[Norm] " << job.slidePath << std::endl;
  if (s.verbose) context.diagnosticPrefix = job.outputPath;
  MakeParentFolder(s, job.outputPath);
  try {
    slide::NormaliseSlide(job, [&](const cv::Mat& sample) {
      std::cerr << "Slide sample loaded ok: " << sample.cols << "," << sample.rows << std::endl;
      return slide::FitTileTransform(normaliser, sample);
    });
  } catch (const slide::SlideJobError& e) {
    throw RunFailure(SlideFailure(e, job));
  }
  std::cerr << "->" << Quoted(job.outputPath) << std::endl;
}

void NormaliseInTurn(const RunSettings& s, const std::vector<ListEntry>& names, CNormBase& normaliser,
                     RunContext& context) {
  for (const ListEntry& listed : names) {
    if (listed.slide) {
      NormaliseSlideEntry(s, listed, normaliser, context);
      continue;
    }
    const std::string& entry = listed.name;
    const std::string inputPath = s.InputPath(entry);
    std::cerr << "[Norm] " << inputPath << std::endl;
    const cv::Mat input = LoadOrFail(inputPath);
    cv::Mat output(input.rows, input.cols, CV_8UC3);
    const std::string outputPath = s.OutputPath(entry);
    if (s.verbose) context.diagnosticPrefix = outputPath;
    normaliser.Norm(input, output);
    std::cerr << "->" << Quoted(outputPath) << std::endl;
    MakeParentFolder(s, outputPath);
    if (const SaveResult saved = SaveImage(outputPath, output); !saved)
      throw RunFailure("Failed to save image: " + Quoted(outputPath) + ": " + saved.Reason());
  }
}

// A worker of the parallel normalise pass: its own normaliser (a normaliser serves one caller at a
// time) and the lines of the image it works on.
struct ImageWorker {
  std::unique_ptr<std::string> lines = std::make_unique<std::string>();
  std::unique_ptr<CNormBase> normaliser;
};

// Workers whose normalisers hold the target of `fitted` (through a saved target, which loads
// bit-exactly) and log into the worker's lines. Empty when they cannot be made, e.g. when the
// colour model file has gone since the run started; the images are then normalised in turn.
std::vector<ImageWorker> MakeWorkers(const RunSettings& s, const RunContext& context, const CNormBase& fitted,
                                     unsigned workers, unsigned threadsEach) {
  std::vector<ImageWorker> made(workers);
  try {
    std::ostringstream saved;
    SaveTarget(fitted, saved);
    for (ImageWorker& worker : made) {
      Options options = context.options;
      options.threads = threadsEach;
      options.diagnostics = {};
      options.log = LogSink([lines = worker.lines.get()](std::string_view line) {
        lines->append(line);
        lines->push_back('\n');
      });
      worker.normaliser = MakeNormaliser(s.method, options);
      std::istringstream in(saved.str());
      LoadTarget(*worker.normaliser, in);
      worker.lines->clear();  // the colour model's lines were printed when the run started
    }
  } catch (const std::exception&) {
    return {};
  }
  return made;
}

// One image of the parallel normalise pass, ready to be reported and written.
struct NormalisedImage {
  bool slide = false;                  // a slide, which the consumer normalises in its turn
  std::string lines;                   // the console lines up to the save, as a run in turn prints them
  std::optional<std::string> failure;  // the line that ends the run when the image did not load
  std::exception_ptr error;            // what normalising it threw
  bool encoded = false;
  std::vector<std::uint8_t> bytes;  // the encoded result
};

NormalisedImage NormaliseOne(const RunSettings& s, const std::string& entry, ImageWorker& worker) {
  NormalisedImage result;
  std::string& lines = *worker.lines;
  lines = "[Norm] " + s.InputPath(entry) + "\n";
  const LoadedImage loaded = LoadColourImage(s.InputPath(entry));
  if (loaded.image.empty()) {
    result.failure = LoadFailure(s.InputPath(entry), loaded);
  } else {
    cv::Mat output(loaded.image.rows, loaded.image.cols, CV_8UC3);
    try {
      worker.normaliser->Norm(loaded.image, output);
      lines += "->" + Quoted(s.OutputPath(entry)) + "\n";
      result.encoded = EncodeImage(s.OutputPath(entry), output, result.bytes);
    } catch (...) {
      result.error = std::current_exception();
    }
  }
  result.lines = std::move(lines);
  return result;
}

// Prints an image's lines and writes its file, in list order; a failure ends the run there, so no
// later image's file is written.
void ReportAndWrite(const RunSettings& s, const std::string& entry, const NormalisedImage& image) {
  std::cerr << image.lines << std::flush;
  if (image.failure) throw RunFailure(*image.failure);
  if (image.error) std::rethrow_exception(image.error);
  const std::string outputPath = s.OutputPath(entry);
  MakeParentFolder(s, outputPath);
  const SaveResult saved = image.encoded ? ReplaceFile(outputPath, image.bytes.data(), image.bytes.size())
                                         : SaveResult::Failed(kCannotEncode);
  if (!saved) throw RunFailure("Failed to save image: " + Quoted(outputPath) + ": " + saved.Reason());
}

// Several images are loaded, normalised and encoded at once (each worker's normaliser gets its
// share of the threads); their lines are printed and their files written in list order. At most
// one image per worker is decoded at a time, and at most workers + 1 results wait to be written.
// Slides are normalised in their turn, each by all the threads, while the workers go on with the
// images after it.
void NormalisePass(const RunSettings& s, const std::vector<ListEntry>& names, CNormBase& normaliser,
                   RunContext& context) {
  const unsigned workers = ImageWorkers(s, names.size() - CountSlides(names));
  std::vector<ImageWorker> pool;
  if (workers > 1) {
    pool =
        MakeWorkers(s, context, normaliser, workers, std::max(1U, ResolveThreadCount(s.threads) / workers));
  }
  if (pool.empty()) {
    NormaliseInTurn(s, names, normaliser, context);
    return;
  }
  RunOrdered<NormalisedImage>(
      names.size(), workers, std::size_t{workers} + 1,
      [&](std::size_t item, unsigned worker) {
        if (!names[item].slide) return NormaliseOne(s, names[item].name, pool[worker]);
        NormalisedImage deferred;
        deferred.slide = true;
        return deferred;
      },
      [&](std::size_t item, NormalisedImage&& image) {
        if (image.slide) {
          NormaliseSlideEntry(s, names[item], normaliser, context);
        } else {
          ReportAndWrite(s, names[item].name, image);
        }
      });
}

// libvips starts once, on this thread, before slides are read by several at once.
void StartSlideReader() {
  try {
    slide::StartVips();
  } catch (const slide::SlideError& e) {
    throw RunFailure(e.what());
  }
}

int Run(const RunSettings& s) {
  // The image library's own threads follow the setting too. It uses all cores unless told
  // otherwise, and asking it for more threads than it may start prints a warning: only lower it.
  if (s.threads != 0 && static_cast<int>(s.threads) < cv::getNumThreads()) {
    cv::setNumThreads(static_cast<int>(s.threads));
  }
  // The list is read once, before any work, so a mistyped list path is never an empty success.
  const std::vector<ListEntry> names = ReadListOrFail(s);
  std::cerr << " DIR: " << s.dirPrefix << std::endl;
  if (CountSlides(names) > 0) StartSlideReader();
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
