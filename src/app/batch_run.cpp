#include "app/batch_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <opencv2/core/utility.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <streambuf>

#include "app/diagnostic_files.h"
#include "app/list_file.h"
#include "app/ordered_pipeline.h"
#include "cli/batch_options.h"
#include "cli/command_line.h"
#include "cli/image_io.h"
#include "common/parallel_for.h"
#include "common/safe_save.h"
#include "common/sha256.h"
#include "histonorm/histonorm.h"
#include "histonorm/stain_params.h"
#include "report/run_review.h"
#include "slide/normalise_slide.h"

namespace histonorm::app {

namespace {

constexpr int kFailure = -1;

// A failure that ends the run; the message is the line to print.
class RunFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// The line that ends the run when the image at `path` could not be loaded. A run that goes on
// past failures always says why (missing, not an image, truncated).
std::string LoadFailure(const std::string& path, const LoadedImage& loaded, bool withReason = false) {
  std::string message = "Failed to load image: " + Quoted(path);
  if (withReason) return message + ": " + LoadProblem(path, loaded.problem);
  if (!loaded.problem.empty()) message += ": " + loaded.problem;
  return message;
}

cv::Mat LoadOrFail(const std::string& path) {
  LoadedImage loaded = LoadColourImage(path);
  if (loaded.image.empty()) throw RunFailure(LoadFailure(path, loaded));
  return loaded.image;
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

// Two entries that name different files may not give one result ("a.svs" and "a.tif", or
// "x/a.png" and "/y/a.png" saved by file name): the run is refused before any work rather than
// letting one overwrite the other. The same file named twice is normalised twice, as listed.
void RefuseClashingResults(const RunSettings& s, const std::vector<ListEntry>& entries) {
  std::map<std::string, const ListEntry*> saved;
  const auto input = [&s](const ListEntry& entry) {
    return std::filesystem::path(s.InputPath(entry.name)).lexically_normal();
  };
  for (const ListEntry& entry : entries) {
    const std::string result = std::filesystem::path(ResultPath(s, entry)).lexically_normal().string();
    const auto [earlier, added] = saved.emplace(result, &entry);
    if (!added && input(*earlier->second) != input(entry)) {
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

// True when `entry` names the list file itself (as `ls > list.txt` writes it).
bool IsTheListFile(const RunSettings& s, const std::string& entry) {
  std::error_code error;
  return std::filesystem::equivalent(s.InputPath(entry), s.listPath, error) && !error;
}

// The list's names, read once; refused before any work when the list cannot be read or a name
// gives no file name to save under. The list file itself is left out, with a line.
std::vector<ListEntry> ReadListOrFail(const RunSettings& s) {
  std::vector<std::string> names;
  try {
    names = ReadListFile(s.listPath);
  } catch (const ListFileError& e) {
    throw RunFailure(e.what());
  }
  std::vector<ListEntry> entries;
  for (std::string& name : names) {
    const std::string fileName = std::filesystem::path(s.OutputPath(name)).filename().string();
    if (fileName.empty() || fileName == "." || fileName == "..") {
      throw RunFailure("Image name has no file name to save under: " + Quoted(name));
    }
    if (IsTheListFile(s, name)) {
      std::cerr << "Skipped the list file itself: " << Quoted(name) << std::endl;
      continue;
    }
    const bool slide = slide::IsSlidePath(s.InputPath(name));
    entries.push_back({std::move(name), slide});
  }
  RefuseClashingResults(s, entries);
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

// The stain method's parameters file (--stain-params, or params.txt in the working directory), read
// before the normaliser is made (its thresholds are part of the normaliser's options) but reported
// after the model's lines.
struct ParamsFile {
  std::string path;
  bool present = false;
  StainParams params;
  std::optional<StainParamsError> error;
};

// Thresholds of the stain method, read from the working directory when present.
const char kParamsFile[] = "params.txt";

ParamsFile ReadParamsFile(const RunSettings& s) {
  ParamsFile file;
  file.path = s.flags.stainParamsPath.value_or(kParamsFile);
  std::ifstream in(file.path);
  if (!in.is_open()) {
    if (s.flags.stainParamsPath)
      throw RunFailure("Failed to read stain parameters file: " + Quoted(file.path));
    return file;
  }
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
    throw RunFailure("Bad value in " + file.path + " line " + std::to_string(file.error->Line()) + ": " +
                     Quoted(file.error->Text()));
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
  std::unique_ptr<report::RunReview> review;  // --check, --report: the target's colours, each result's checks
  std::ostream* report = &std::cerr;          // failures, progress and the summary, even with --quiet
  RunTally tally;
  std::vector<bool> failed;    // per list entry: failed already (--keep-going)
  report::StainFigures stain;  // --report: the stain vectors and curves of the last image
};

// Reports the failure of list entry `item` and goes on with a --keep-going run; ends any other.
void FailEntry(const RunSettings& s, RunContext& context, std::size_t item, const std::string& path,
               const std::string& line) {
  if (!s.flags.keepGoing) throw RunFailure(line);
  *context.report << line << std::endl;
  if (!context.failed[item]) context.tally.failed.push_back(path);
  context.failed[item] = true;
}

// A result already there that --skip-existing leaves: an image that decodes, or a slide's result
// (written under a temporary name and renamed when complete) that is not empty.
bool ResultIsWhole(const std::string& path, bool slide) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  if (slide) return std::filesystem::file_size(path, error) > 0 && !error;
  return !LoadColourImage(path).image.empty();
}

// What the normalise pass does with list entry `item` before its work: nothing for an entry that
// failed already, nothing but a line for a result already there (--skip-existing).
enum class EntryStep { kNormalise, kFailed, kSkip };

EntryStep StepOf(const RunSettings& s, const RunContext& context, std::size_t item, const std::string& result,
                 bool slide) {
  if (context.failed[item]) return EntryStep::kFailed;
  if (s.flags.skipExisting && ResultIsWhole(result, slide)) return EntryStep::kSkip;
  return EntryStep::kNormalise;
}

// The --progress line of entry `item` and the line of a skipped result; true when the entry is to
// be normalised.
bool AnnounceEntry(const RunSettings& s, RunContext& context, std::size_t item, std::size_t count,
                   const std::string& inputPath, const std::string& result, EntryStep step) {
  if (s.flags.progress) {
    *context.report << "[" << item + 1 << "/" << count << "] " << inputPath << std::endl;
  }
  if (step == EntryStep::kSkip) {
    std::cerr << "Skipped, already saved: " << Quoted(result) << std::endl;
    ++context.tally.skipped;
  }
  return step == EntryStep::kNormalise;
}

std::unique_ptr<CNormBase> MakeStainNormaliser(const RunSettings& s, RunContext& context) {
  const ParamsFile params = ReadParamsFile(s);
  Options options;
  options.colourModelPath = s.colourModelPath;
  options.stainParams = params.params;
  options.log = context.log;
  options.threads = s.threads;
  if (s.verbose) {
    options.diagnostics = [&context](const StainDiagnostics& d) {
      WriteDiagnosticFiles(context.diagnosticPrefix, d);
      context.stain = {d.vectors, d.curves};
    };
  } else if (s.reportPath) {
    options.diagnostics = [&context](const StainDiagnostics& d) { context.stain = {d.vectors, d.curves}; };
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
  // The two-stage stain pipeline, with or without a colour model, takes params.txt and writes
  // diagnostics in verbose mode.
  if (s.method == Method::kBimodalDeconvRVM || s.method == Method::kBimodalDeconvPCA) {
    return MakeStainNormaliser(s, context);
  }
  context.options.log = context.log;
  context.options.threads = s.threads;
  context.options.tissueOnly = s.flags.tissueOnly;
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
int MeanTargetPass(const RunSettings& s, const std::vector<ListEntry>& names, CNormBase& normaliser,
                   RunContext& context) {
  std::cerr << "No image target (using mean)" << std::endl;
  auto announce = [&](std::size_t item) {
    std::cerr << std::endl;
    std::cerr << "[CalcStats] " << Quoted(s.InputPath(names[item].name)) << std::endl;
  };
  int measured = 0;
  auto measure = [&](std::size_t item, const LoadedImage& loaded) {
    const std::string path = s.InputPath(names[item].name);
    if (loaded.image.empty()) {
      FailEntry(s, context, item, path,
                names[item].slide ? SlideLoadFailure(path, loaded.problem)
                                  : LoadFailure(path, loaded, s.flags.keepGoing));
      return;
    }
    ++measured;
    std::cerr << (names[item].slide ? "Slide sample loaded ok: " : "Image loaded ok: ") << loaded.image.cols
              << "," << loaded.image.rows << std::endl;
    normaliser.CalcStats(loaded.image);
    if (context.review) context.review->AddTarget(loaded.image, false);
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
  if (measured == 0 && !names.empty())
    throw RunFailure("No image of the list could be measured for the target");
  return measured;
}

void SingleTargetPass(const std::string& reference, CNormBase& normaliser, report::RunReview* review) {
  std::cerr << "Single image target" << std::endl;
  const cv::Mat image = LoadOrFail(reference);
  std::cerr << "Loaded target image OK" << std::endl;
  normaliser.CalcStats(image);
  if (review != nullptr) review->AddTarget(image, true);
}

// Replaces the pass over the target images with the saved target at `path`.
void LoadTargetOrFail(const std::string& path, CNormBase& normaliser) {
  try {
    LoadTargetFile(normaliser, path);
  } catch (const TargetFileError& e) {
    throw RunFailure(e.what());
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

// The checks of a slide: its sample before and after the transform.
report::ImageEntry ReviewSample(const report::RunReview& review, const std::string& name,
                                const cv::Mat& sample, const FittedTransform& transform) {
  report::ImageEntry entry = review.Inspect(name, sample, transform.Apply(sample));
  entry.note = report::kSlideSampleNote;
  return entry;
}

// A slide of the list: measured on its sample with the run's target and streamed tile by tile
// into a pyramidal TIFF (JPEG tiles) by all the run's threads.
void NormaliseSlideEntry(const RunSettings& s, std::size_t item, const ListEntry& entry,
                         CNormBase& normaliser, RunContext& context) {
  slide::SlideJob job;
  job.slidePath = s.InputPath(entry.name);
  job.outputPath = ResultPath(s, entry);
  job.write.threads = s.threads;
  std::cerr << "[Norm] " << job.slidePath << std::endl;
  if (s.verbose) context.diagnosticPrefix = job.outputPath;
  MakeParentFolder(s, job.outputPath);
  std::optional<report::ImageEntry> reviewed;
  try {
    slide::NormaliseSlide(job, [&](const cv::Mat& sample) {
      std::cerr << "Slide sample loaded ok: " << sample.cols << "," << sample.rows << std::endl;
      std::unique_ptr<const FittedTransform> transform = normaliser.Fit(sample);
      if (context.review) reviewed = ReviewSample(*context.review, entry.name, sample, *transform);
      return transform;
    });
  } catch (const slide::SlideJobError& e) {
    FailEntry(s, context, item, job.slidePath, SlideFailure(e, job));
    return;
  }
  std::cerr << "->" << Quoted(job.outputPath) << std::endl;
  if (reviewed) context.review->Add(std::move(*reviewed));
  ++context.tally.written;
}

void NormaliseInTurn(const RunSettings& s, const std::vector<ListEntry>& names, CNormBase& normaliser,
                     RunContext& context) {
  for (std::size_t item = 0; item < names.size(); ++item) {
    const ListEntry& listed = names[item];
    const std::string& entry = listed.name;
    const std::string inputPath = s.InputPath(entry);
    const EntryStep step = StepOf(s, context, item, ResultPath(s, listed), listed.slide);
    if (!AnnounceEntry(s, context, item, names.size(), inputPath, ResultPath(s, listed), step)) continue;
    if (listed.slide) {
      NormaliseSlideEntry(s, item, listed, normaliser, context);
      continue;
    }
    std::cerr << "[Norm] " << inputPath << std::endl;
    const LoadedImage loaded = LoadColourImage(inputPath);
    if (loaded.image.empty()) {
      FailEntry(s, context, item, inputPath, LoadFailure(inputPath, loaded, s.flags.keepGoing));
      continue;
    }
    const cv::Mat& input = loaded.image;
    cv::Mat output(input.rows, input.cols, CV_8UC3);
    const std::string outputPath = s.OutputPath(entry);
    if (s.verbose) context.diagnosticPrefix = outputPath;
    normaliser.Norm(input, output);
    std::cerr << "->" << Quoted(outputPath) << std::endl;
    MakeParentFolder(s, outputPath);
    if (const SaveResult saved = SaveImage(outputPath, output, loaded.resolution); !saved) {
      FailEntry(s, context, item, inputPath,
                "Failed to save image: " + Quoted(outputPath) + ": " + saved.Reason());
      continue;
    }
    ++context.tally.written;
    if (context.review) context.review->Add(context.review->Inspect(entry, input, output, context.stain));
  }
}

// A worker of the parallel normalise pass: the lines and the stain vectors of the image it works on
// (all workers share the run's one normaliser, each call handing its lines to its worker).
struct ImageWorker {
  std::unique_ptr<std::string> lines = std::make_unique<std::string>();
  std::unique_ptr<report::StainFigures> stain = std::make_unique<report::StainFigures>();  // for the report

  // Where a call's lines (and, for the report, stain vectors and curves) go.
  [[nodiscard]] CallSinks Sinks(bool report) const {
    CallSinks sinks;
    sinks.log = LogSink([lines = lines.get()](std::string_view line) {
      lines->append(line);
      lines->push_back('\n');
    });
    if (report) {
      sinks.diagnostics = [figures = stain.get()](const StainDiagnostics& d) {
        *figures = {d.vectors, d.curves};
      };
    }
    return sinks;
  }
};

// One image of the parallel normalise pass, ready to be reported and written.
struct NormalisedImage {
  EntryStep step = EntryStep::kNormalise;
  bool slide = false;                  // a slide, which the consumer normalises in its turn
  std::string lines;                   // the console lines up to the save, as a run in turn prints them
  std::optional<std::string> failure;  // the line that ends the run when the image did not load
  std::exception_ptr error;            // what normalising it threw
  bool encoded = false;
  std::vector<std::uint8_t> bytes;             // the encoded result
  std::optional<report::ImageEntry> reviewed;  // its checks (--check, --report)
};

NormalisedImage NormaliseOne(const RunSettings& s, const std::string& entry, const CNormBase& normaliser,
                             ImageWorker& worker, const report::RunReview* review) {
  const bool withReason = s.flags.keepGoing;
  NormalisedImage result;
  std::string& lines = *worker.lines;
  lines = "[Norm] " + s.InputPath(entry) + "\n";
  const LoadedImage loaded = LoadColourImage(s.InputPath(entry));
  if (loaded.image.empty()) {
    result.failure = LoadFailure(s.InputPath(entry), loaded, withReason);
  } else {
    cv::Mat output(loaded.image.rows, loaded.image.cols, CV_8UC3);
    try {
      normaliser.Norm(loaded.image, output, ChannelOrder::kBgr, worker.Sinks(s.reportPath.has_value()));
      lines += "->" + Quoted(s.OutputPath(entry)) + "\n";
      result.encoded = EncodeImage(s.OutputPath(entry), output, result.bytes, loaded.resolution);
      if (review != nullptr) result.reviewed = review->Inspect(entry, loaded.image, output, *worker.stain);
    } catch (...) {
      result.error = std::current_exception();
    }
  }
  result.lines = std::move(lines);
  return result;
}

// Prints an image's lines and writes its file, in list order; a failure ends the run there, so no
// later image's file is written (with --keep-going it is reported and the run goes on).
void ReportAndWrite(const RunSettings& s, std::size_t item, const std::string& entry, NormalisedImage& image,
                    RunContext& context) {
  std::cerr << image.lines << std::flush;
  const std::string inputPath = s.InputPath(entry);
  if (image.failure) return FailEntry(s, context, item, inputPath, *image.failure);
  if (image.error) std::rethrow_exception(image.error);
  const std::string outputPath = s.OutputPath(entry);
  MakeParentFolder(s, outputPath);
  const SaveResult saved = image.encoded ? ReplaceFile(outputPath, image.bytes.data(), image.bytes.size())
                                         : SaveResult::Failed(kCannotEncode);
  if (!saved) {
    return FailEntry(s, context, item, inputPath,
                     "Failed to save image: " + Quoted(outputPath) + ": " + saved.Reason());
  }
  if (context.review && image.reviewed) context.review->Add(std::move(*image.reviewed));
  ++context.tally.written;
}

// Several images are loaded, normalised and encoded at once (each worker's normaliser gets its
// share of the threads); their lines are printed and their files written in list order. At most
// one image per worker is decoded at a time, and at most workers + 1 results wait to be written.
// Slides are normalised in their turn, each by all the threads, while the workers go on with the
// images after it.
void NormalisePass(const RunSettings& s, const std::vector<ListEntry>& names, CNormBase& normaliser,
                   RunContext& context) {
  const unsigned workers = ImageWorkers(s, names.size() - CountSlides(names));
  if (workers <= 1) {
    NormaliseInTurn(s, names, normaliser, context);
    return;
  }
  std::vector<ImageWorker> pool(workers);
  RunOrdered<NormalisedImage>(
      names.size(), workers, std::size_t{workers} + 1,
      [&](std::size_t item, unsigned worker) {
        // The failed marks were all set by the target pass, before this pass started.
        const EntryStep step = StepOf(s, context, item, ResultPath(s, names[item]), names[item].slide);
        if (!names[item].slide && step == EntryStep::kNormalise) {
          return NormaliseOne(s, names[item].name, normaliser, pool[worker], context.review.get());
        }
        NormalisedImage deferred;
        deferred.step = step;
        deferred.slide = names[item].slide;
        return deferred;
      },
      [&](std::size_t item, NormalisedImage&& image) {
        const std::string result = ResultPath(s, names[item]);
        if (!AnnounceEntry(s, context, item, names.size(), s.InputPath(names[item].name), result,
                           image.step)) {
          return;
        }
        if (image.slide) {
          NormaliseSlideEntry(s, item, names[item], normaliser, context);
        } else {
          ReportAndWrite(s, item, names[item].name, image, context);
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

// The settings the report shows.
report::RunInfo ReportInfo(const RunSettings& s) {
  report::RunInfo info;
  info.program = "histonorm";
  info.version = report::ProgramVersion();
  info.method = MethodName(s.method);
  info.target = s.targetPath       ? "saved target " + *s.targetPath
                : s.referenceImage ? *s.referenceImage
                                   : "mean of the list " + s.listPath;
  info.threads = std::to_string(ResolveThreadCount(s.threads));
  info.started = report::UtcNow();
  if (s.method == Method::kBimodalDeconvRVM) {
    info.model = s.colourModelPath;
    if (const std::optional<FileDigest> digest = DigestFile(s.colourModelPath))
      info.modelSha256 = digest->sha256;
  }
  return info;
}

// The checks' summary line, the report, and the status: kLooksWrongStatus when a result looks wrong.
int FinishReview(const RunSettings& s, const report::RunReview& review, std::ostream& report) {
  report << review.SummaryLine() << std::endl;
  if (s.reportPath) {
    const std::string html = review.Html();
    if (!ReplaceFile(*s.reportPath, html.data(), html.size()))
      throw RunFailure("Failed to save report: " + Quoted(*s.reportPath));
    report << "Saved report " << Quoted(*s.reportPath) << std::endl;
  }
  return review.AnyWrong() ? report::kLooksWrongStatus : 0;
}

// The output folder must be there and writable before any work, or the run is refused with why.
void CheckOutputFolder(const RunSettings& s) {
  if (s.outDir && !std::filesystem::is_directory(*s.outDir)) {
    throw RunFailure("Output folder does not exist: " + Quoted(*s.outDir));
  }
  if (s.fitOnly) return;
  const std::string folder = s.OutputFolder();
  if (!std::filesystem::is_directory(folder))
    throw RunFailure("Output folder does not exist: " + Quoted(folder));
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    throw RunFailure("Output folder is not writable: " + Quoted(folder) + ": " + std::strerror(errno));
  }
}

int Run(const RunSettings& s, std::ostream& report) {
  // The image library's own threads follow the setting too. It uses all cores unless told
  // otherwise, and asking it for more threads than it may start prints a warning: only lower it.
  if (s.threads != 0 && static_cast<int>(s.threads) < cv::getNumThreads()) {
    cv::setNumThreads(static_cast<int>(s.threads));
  }
  // The list is read once, before any work, so a mistyped list path is never an empty success.
  const std::vector<ListEntry> names = ReadListOrFail(s);
  std::cerr << " DIR: " << s.dirPrefix << std::endl;
  if (CountSlides(names) > 0) StartSlideReader();
  CheckOutputFolder(s);
  RunContext context;
  if (s.Reviewed())
    context.review = std::make_unique<report::RunReview>(s.reportPath.has_value(), ReportInfo(s));
  context.report = &report;
  context.failed.assign(names.size(), false);
  context.tally.listed = names.size();
  const std::unique_ptr<CNormBase> normaliser = MakeRunNormaliser(s, context);
  int measured = 1;
  if (s.targetPath) {
    LoadTargetOrFail(*s.targetPath, *normaliser);
  } else if (s.referenceImage) {
    SingleTargetPass(*s.referenceImage, *normaliser, context.review.get());
  } else {
    measured = MeanTargetPass(s, names, *normaliser, context);
  }
  // An empty list has nothing to normalise; otherwise the target must be usable (for the stain
  // method: usable stain vectors).
  if (measured > 0 && !normaliser->HasUsableTarget()) throw RunFailure("Target has no usable stain estimate");
  std::cerr << "Calculated target stats" << std::endl;
  if (s.saveTargetPath) {
    if (measured == 0) throw RunFailure("No target to save: the list is empty");
    SaveTargetOrFail(*s.saveTargetPath, *normaliser);
  }
  if (s.fitOnly) return 0;
  NormalisePass(s, names, *normaliser, context);
  if (s.flags.Summarised()) report << context.tally.Summary() << std::endl;
  const int status = context.tally.ExitStatus();
  const int reviewStatus = context.review ? FinishReview(s, *context.review, report) : 0;
  return status != 0 ? status : reviewStatus;
}

// With --quiet, standard error passes only what goes to Report() (failures, progress, summary)
// while the run lasts; every other line, the normaliser's included, is dropped.
class QuietConsole {
 public:
  explicit QuietConsole(bool quiet) : report_(std::cerr.rdbuf()) {
    if (quiet) saved_ = std::cerr.rdbuf(&dropped_);
  }
  ~QuietConsole() {
    if (saved_ != nullptr) std::cerr.rdbuf(saved_);
  }
  QuietConsole(const QuietConsole&) = delete;
  QuietConsole& operator=(const QuietConsole&) = delete;
  std::ostream& Report() { return report_; }

 private:
  struct Dropped : std::streambuf {
    int overflow(int c) override { return traits_type::not_eof(c); }
  };
  Dropped dropped_;
  std::streambuf* saved_ = nullptr;
  std::ostream report_;
};

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
  if (IsHelpRequest(args)) {
    std::cout << BatchHelp() << std::flush;
    return 0;
  }
  if (IsVersionRequest(args)) {
    std::cout << VersionLine("histonorm") << std::endl;
    return 0;
  }
  const ParseResult parsed = ParseCommandLine(args);
  if (!parsed.settings || !parsed.settings->flags.quiet) std::cerr << Banner() << std::endl;
  if (!parsed.settings) {
    if (parsed.usage == Usage::kBadOption) {
      std::cerr << parsed.problem << std::endl;
    } else if (parsed.usage == Usage::kUnknownMethod) {
      std::cerr << UnknownMethodLine(parsed.method) << std::endl;
      std::cerr << UnknownMethodUsage() << std::endl;
    } else {
      std::cerr << ShortOfArgumentsUsage() << std::endl;
      std::cerr << ListExplanation() << std::endl;
    }
    return kFailure;
  }
  QuietConsole console(parsed.settings->flags.quiet);
  try {
    return Run(*parsed.settings, console.Report());
  } catch (const RunFailure& failure) {
    console.Report() << failure.what() << std::endl;
  } catch (const DiagnosticFileError& e) {
    console.Report() << "Failed to write diagnostic file: " << Quoted(e.what()) << std::endl;
  }
  return kFailure;
}

}  // namespace histonorm::app
