#include "train/model_trainer.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "classifier/colour_classifier.h"
#include "common/safe_save.h"
#include "train/class_trainer.h"
#include "train/colour_quantiser.h"
#include "train/descriptor_model.h"
#include "train/source_selection.h"
#include "train/stain_augment.h"

namespace histonorm::train {

namespace {

namespace fs = std::filesystem;

// Fewest training and held-back pixels a class may have over all images.
constexpr std::size_t kMinTraining = 10;
constexpr std::size_t kMinHeldBack = 5;
constexpr int kMaxCodes = 255;
// Kernel widths tried for features of unit variance.
const std::vector<double> kGammaGrid{0.03, 0.1, 0.3};

constexpr std::array<const char*, 3> kClassNames{"stain 0", "stain 1", "background"};

struct TrainingImage {
  std::string path;
  std::string source;
  int group = 0;
  cv::Mat pixels;
  cv::Mat labels;          // 0..4 (see pixel_labels.h): what the stain checks measure purity against
  cv::Mat shares;          // share of stain 0 per tissue pixel, NaN elsewhere
  cv::Mat groups;          // sampling groups + 1: 1 mostly stain 0, 2 mostly stain 1, 3 glass, 0 none
  StainDirections stains;  // the image's own, for re-staining
  std::optional<StainDirections> independent;
};

// One image as trained on: the original or a re-stained copy, with its descriptors.
struct TrainingCopy {
  int image = 0;
  std::array<double, 2> scale{1.0, 1.0};  // stain amounts of the copy relative to the original
  cv::Mat pixels;
  cv::Mat codes;
  std::optional<TileGrid> tiles;
  std::vector<double> descriptor;
  std::vector<std::vector<double>> tileDescriptors;

  const std::vector<double>& TrainingDescriptor(int x, int y) const {
    return tiles ? tileDescriptors[static_cast<std::size_t>(tiles->TileAt(x, y))] : descriptor;
  }
};

std::string SourceOf(const std::string& path) {
  std::string stem = fs::path(path).stem().string();
  const std::size_t underscore = stem.find_last_of('_');
  if (underscore != std::string::npos && underscore + 1 < stem.size() &&
      stem.find_first_not_of("0123456789", underscore + 1) == std::string::npos) {
    stem.erase(underscore);
  }
  return stem;
}

void CheckOutputDirectory(const std::string& path) {
  const fs::path parent = fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(parent, ec)) {
    throw std::runtime_error("cannot write model '" + path + "': there is no directory '" + parent.string() +
                             "'");
  }
}

cv::Mat LabelsFor(const TrainOptions& options, const std::string& imagePath, const cv::Mat& pixels) {
  if (options.labelDir) {
    const fs::path mask =
        fs::path(*options.labelDir) / fs::path(imagePath).filename().replace_extension(".png");
    return ReadLabelMask(mask.string(), pixels.size());
  }
  return AutomaticLabels(pixels, *options.stains);
}

// Groups for leaving sources out: the sources, or the images when all come from one source.
void AssignGroups(std::vector<TrainingImage>& images) {
  std::map<std::string, int> sources;
  for (const TrainingImage& image : images) sources.emplace(image.source, 0);
  int next = 0;
  for (auto& [name, index] : sources) index = next++;
  for (std::size_t i = 0; i < images.size(); ++i) {
    images[i].group = sources.size() > 1 ? sources[images[i].source] : static_cast<int>(i);
  }
}

cv::Mat SamplingGroups(const cv::Mat& labels, const cv::Mat& shares) {
  cv::Mat groups(labels.size(), CV_8UC1);
  for (int y = 0; y < labels.rows; ++y) {
    const std::uint8_t* label = labels.ptr<std::uint8_t>(y);
    const float* share = shares.ptr<float>(y);
    std::uint8_t* out = groups.ptr<std::uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x) {
      out[x] = label[x] == 3 ? 3 : std::isnan(share[x]) ? 0 : share[x] >= 0.5f ? 1 : 2;
    }
  }
  return groups;
}

std::vector<TrainingImage> LoadImages(const TrainOptions& options, std::ostream& progress) {
  const StainPair pair = options.stains.value_or(StainPair::kHaematoxylinEosin);
  std::vector<TrainingImage> images;
  for (const std::string& path : options.images) {
    TrainingImage image;
    image.path = path;
    image.source = SourceOf(path);
    image.pixels = cv::imread(path, cv::IMREAD_COLOR);
    if (image.pixels.empty()) throw std::runtime_error("cannot read image '" + path + "'");
    image.labels = LabelsFor(options, path, image.pixels);
    image.shares = options.labelDir ? SharesFromLabels(image.labels) : StainShares(image.pixels, pair);
    image.groups = SamplingGroups(image.labels, image.shares);
    image.independent = ImageStainDirections(image.pixels, pair);
    image.stains = image.independent.value_or(ReferenceDirections(pair));
    const std::array<std::size_t, 5> counts = CountLabels(image.labels);
    progress << "Labels '" << path << "': stain 0 " << counts[1] << ", stain 1 " << counts[2]
             << ", background " << counts[3] << ", both stains " << counts[4] << ", unlabelled " << counts[0]
             << std::endl;
    images.push_back(std::move(image));
  }
  AssignGroups(images);
  return images;
}

std::vector<TrainingCopy> MakeCopies(const std::vector<TrainingImage>& images, const TrainOptions& options,
                                     std::ostream& progress) {
  SeededRandom random(options.seed ^ 0x5EEDC0DEull);
  std::vector<TrainingCopy> copies;
  for (std::size_t i = 0; i < images.size(); ++i) {
    copies.push_back({static_cast<int>(i), {1.0, 1.0}, images[i].pixels, {}, {}, {}, {}});
    for (int k = 0; k < options.augment; ++k) {
      const Restaining change = RandomRestaining(images[i].stains, random);
      copies.push_back({static_cast<int>(i),
                        change.scale,
                        Restain(images[i].pixels, images[i].stains, change),
                        {},
                        {},
                        {},
                        {}});
    }
  }
  progress << "Augmentation: " << options.augment << " re-stained copies of each image, " << copies.size()
           << " images in all" << std::endl;
  return copies;
}

std::vector<OctTreeNodeRecord> BuildQuantiser(std::vector<TrainingCopy>& copies, std::ostream& progress) {
  ColourQuantiserBuilder builder;
  for (const TrainingCopy& copy : copies) builder.Add(copy.pixels);
  std::vector<OctTreeNodeRecord> records = builder.Build(kMaxCodes);
  const OctTree tree(records);
  std::uint32_t codes = 0;
  for (const OctTreeNodeRecord& r : records) {
    if (r.isLeaf && r.extraCount > 0) ++codes;
  }
  for (TrainingCopy& copy : copies) copy.codes = CodeImage(copy.pixels, tree);
  progress << "Quantiser: " << codes << " colour codes, " << records.size() << " node records" << std::endl;
  return records;
}

DescriptorModel FitDescriptors(std::vector<TrainingCopy>& copies, const TrainOptions& options,
                               std::ostream& progress) {
  std::vector<CodeHistogram> histograms;
  for (const TrainingCopy& copy : copies) {
    for (const CodeHistogram& h : TileHistograms(copy.codes, options.tileSide)) histograms.push_back(h);
  }
  progress << "Histograms: " << histograms.size();
  if (options.tileSide > 0) progress << " (tiles of about " << options.tileSide << " pixels)";
  progress << std::endl;

  DescriptorModel model;
  try {
    model = FitDescriptorModel(histograms, options.pcaDims);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(std::string("--pca-dims: ") + e.what());
  }
  progress << "PCA: " << model.eigenvalues.size() << " components, variances";
  for (const double v : model.leadingVariances) progress << " " << v;
  progress << std::endl;
  if (model.eigenvalues.size() < model.leadingVariances.size()) {
    progress << "PCA: dropped " << model.leadingVariances.size() - model.eigenvalues.size()
             << " components whose variance is near zero" << std::endl;
  }
  for (TrainingCopy& copy : copies) {
    copy.descriptor = Describe(copy.codes, model);
    if (options.tileSide > 0) {
      copy.tiles.emplace(copy.codes.size(), options.tileSide);
      for (int i = 0; i < copy.tiles->Count(); ++i) {
        copy.tileDescriptors.push_back(Describe(copy.codes(copy.tiles->Tile(i)), model));
      }
    }
    copy.codes.release();
  }
  return model;
}

FeatureVector FeatureOf(const cv::Mat& pixels, const LabelledPixel& p,
                        const std::vector<double>& descriptor) {
  const std::size_t dims = descriptor.size();
  FeatureVector f(static_cast<long>(dims + 3), 1);
  for (std::size_t i = 0; i < dims; ++i) f(static_cast<long>(i)) = descriptor[i];
  const std::uint8_t* bgr = pixels.ptr<std::uint8_t>(p.y) + 3 * p.x;
  for (int c = 0; c < 3; ++c) f(static_cast<long>(dims) + c) = bgr[c];
  return f;
}

std::array<std::size_t, kLabelGroups> CountByGroup(const std::vector<LabelledPixel>& pixels) {
  std::array<std::size_t, kLabelGroups> counts{};
  for (const LabelledPixel& p : pixels) ++counts[static_cast<std::size_t>(p.label)];
  return counts;
}

bool IsOriginal(const std::vector<TrainingImage>& images, const TrainingCopy& copy) {
  return copy.pixels.data == images[std::size_t(copy.image)].pixels.data;
}

std::array<std::size_t, kLabelGroups> CountOriginals(const std::vector<TrainingImage>& images,
                                                     const std::vector<TrainingCopy>& copies,
                                                     const std::vector<LabelledPixel>& pixels) {
  std::array<std::size_t, kLabelGroups> counts{};
  for (const LabelledPixel& p : pixels)
    counts[std::size_t(p.label)] += IsOriginal(images, copies[std::size_t(p.image)]);
  return counts;
}

PixelSample SampleAndCheck(const std::vector<TrainingImage>& images, const std::vector<TrainingCopy>& copies,
                           const TrainOptions& options, std::ostream& progress) {
  std::vector<cv::Mat> labels;
  for (const TrainingCopy& copy : copies) labels.push_back(images[std::size_t(copy.image)].groups);
  PixelSample sample = SamplePixels(labels, options.samplesPerClass, options.seed);
  const auto train = CountByGroup(sample.training);
  const auto held = CountByGroup(sample.heldBack);
  progress << "Sampling: training " << train[0] << "/" << train[1] << "/" << train[2] << "/" << train[3]
           << ", held back " << held[0] << "/" << held[1] << "/" << held[2]
           << " pixels (stain 0/stain 1/background/both stains)" << std::endl;
  // Copies repeat the originals' pixels, so only the originals' pixels count as usable.
  const auto originalTrain = CountOriginals(images, copies, sample.training);
  const auto originalHeld = CountOriginals(images, copies, sample.heldBack);
  for (std::size_t k = 0; k < 3; ++k) {
    if (originalTrain[k] < kMinTraining || originalHeld[k] < kMinHeldBack) {
      throw std::runtime_error(std::string("too few labelled pixels of ") + kClassNames[k] + ": " +
                               std::to_string(originalTrain[k] + originalHeld[k]) + " usable, at least " +
                               std::to_string(kMinTraining + kMinHeldBack) + " are needed");
    }
  }
  // Only the originals' held-back pixels of the three classes measure the model.
  std::erase_if(sample.heldBack, [&](const LabelledPixel& p) {
    return p.label == kBothStainsGroup || !IsOriginal(images, copies[std::size_t(p.image)]);
  });
  for (LabelledPixel& p : sample.heldBack) p.image = copies[std::size_t(p.image)].image;
  return sample;
}

// The share of stain 0 of a sampled pixel in its copy: the original's share with the copy's
// stain amounts; NaN for glass.
double CopyShare(const TrainingImage& image, const TrainingCopy& copy, const LabelledPixel& p) {
  if (p.label == 2) return std::nan("");
  const double s = image.shares.at<float>(p.y, p.x);
  const double first = copy.scale[0] * s;
  const double second = copy.scale[1] * (1.0 - s);
  return first + second > 0.0 ? first / (first + second) : 0.5;
}

// Distinct training features (repeated samples add nothing but weight), normalised.
TrainingSet BuildTrainingSet(const std::vector<TrainingImage>& images,
                             const std::vector<TrainingCopy>& copies, const PixelSample& sample,
                             dlib::vector_normalizer<FeatureVector>& normaliser, std::ostream& progress) {
  std::vector<FeatureVector> features;
  TrainingSet set;
  std::set<std::pair<std::vector<double>, int>> seen;
  for (const LabelledPixel& p : sample.training) {
    const TrainingCopy& copy = copies[static_cast<std::size_t>(p.image)];
    FeatureVector f = FeatureOf(copy.pixels, p, copy.TrainingDescriptor(p.x, p.y));
    if (!seen.emplace(std::vector<double>(f.begin(), f.end()), p.label).second) continue;
    features.push_back(std::move(f));
    set.labels.push_back(p.label);
    set.shares.push_back(CopyShare(images[std::size_t(copy.image)], copy, p));
    set.groups.push_back(images[std::size_t(copy.image)].group);
  }
  normaliser.train(features);
  for (const FeatureVector& f : features) set.normalised.push_back(normaliser(f));
  for (const int g : set.groups) set.groupCount = std::max(set.groupCount, g + 1);
  progress << "Training on " << features.size() << " distinct samples from " << set.groupCount << " sources"
           << std::endl;
  return set;
}

std::vector<HeldOutImage> HeldOutImages(const std::vector<TrainingImage>& images) {
  std::vector<HeldOutImage> out;
  for (const TrainingImage& image : images) {
    out.push_back({image.path, image.group, image.pixels, image.labels, image.independent});
  }
  return out;
}

SourceFolds ChooseWidth(const TrainingSet& set, const std::vector<HeldOutImage>& heldOut,
                        const ColourModelData& frame,
                        const dlib::vector_normalizer<FeatureVector>& normaliser, const TrainOptions& options,
                        std::ostream& progress) {
  if (set.groupCount < 2) {
    throw std::runtime_error("leaving sources out needs at least two images (or two sources)");
  }
  std::optional<SourceFolds> best;
  std::string problems;
  for (const double gamma : options.gamma ? std::vector<double>{*options.gamma} : kGammaGrid) {
    SourceFolds folds = LeaveSourcesOut(set, heldOut, frame, normaliser, gamma);
    if (!folds.ok) {
      progress << "Width " << gamma << ": " << folds.problem << std::endl;
      problems += (problems.empty() ? "" : "; ") + folds.problem;
      continue;
    }
    progress << "Width " << gamma << ": " << folds.passes << " of " << folds.checks.size()
             << " left-out images meet the bar, mean deviation from the label-free stains "
             << folds.meanDeviation << " degrees" << std::endl;
    if (!best || folds.passes > best->passes ||
        (folds.passes == best->passes && folds.meanDeviation < best->meanDeviation)) {
      best = std::move(folds);
    }
  }
  if (!best)
    throw TrainingError("no kernel width gives classifiers that separate their classes (" + problems + ")");
  return std::move(*best);
}

std::array<ClassModel, 3> TrainFinal(const TrainingSet& set, const SourceFolds& chosen,
                                     const dlib::vector_normalizer<FeatureVector>& normaliser,
                                     std::ostream& progress) {
  std::array<ClassModel, 3> classes;
  for (int k = 0; k < 3; ++k) {
    std::vector<double> y;
    for (std::size_t i = 0; i < set.labels.size(); ++i) y.push_back(Target(set, i, k));
    const DecisionFunction f = TrainDecision(set.normalised, y, chosen.gamma, k == 2);
    ClassModel& model = classes[std::size_t(k)];
    model.normalizer = normaliser;
    model.function =
        k == 2 ? CalibrateWithFallback(f, chosen.values[2], chosen.targets[2], set.normalised, y, "class 2")
               : StainSigmoid(f);
    progress << "Class " << k << " (" << kClassNames[std::size_t(k)] << "): gamma " << chosen.gamma << ", "
             << f.basis_vectors.size() << " basis vectors, sigmoid " << model.function.alpha << " "
             << model.function.beta << std::endl;
  }
  return classes;
}

void PrintChecks(const std::vector<SourceCheck>& checks, std::ostream& progress) {
  progress << "Left-out checks (image: purity stain 0, purity stain 1, degrees between the stains, "
              "degrees from the label-free stains 0 and 1):"
           << std::endl;
  for (const SourceCheck& c : checks) {
    progress << "  " << c.path << ": " << c.check.purity[0] << ", " << c.check.purity[1] << ", "
             << c.check.separation << ", " << c.check.deviation[0] << ", " << c.check.deviation[1]
             << (c.meetsBar ? "" : "  (below the bar)") << std::endl;
  }
}

// Share of each class's held-back pixels whose most probable class is their label.
std::array<double, 3> HeldBackAccuracy(const std::vector<TrainingImage>& images, const PixelSample& sample,
                                       const std::vector<std::vector<double>>& descriptors,
                                       const std::array<ClassModel, 3>& classes) {
  std::array<std::size_t, 3> right{}, total{};
  for (const LabelledPixel& p : sample.heldBack) {
    const TrainingImage& image = images[static_cast<std::size_t>(p.image)];
    const FeatureVector f = FeatureOf(image.pixels, p, descriptors[std::size_t(p.image)]);
    int best = 0;
    double bestQ = classes[0](f);
    for (int k = 1; k < 3; ++k) {
      const double q = classes[std::size_t(k)](f);
      if (q > bestQ) {
        bestQ = q;
        best = k;
      }
    }
    ++total[std::size_t(p.label)];
    right[std::size_t(p.label)] += best == p.label;
  }
  std::array<double, 3> accuracy{};
  for (std::size_t k = 0; k < 3; ++k) accuracy[k] = total[k] ? double(right[k]) / double(total[k]) : 0.0;
  return accuracy;
}

void WriteAtomically(const std::string& path, const ColourModelData& data) {
  std::ostringstream bytes;
  WriteColourModel(bytes, data);
  const std::string text = bytes.str();
  if (const SaveResult saved = ReplaceFile(path, text.data(), text.size()); !saved)
    throw std::runtime_error("cannot write model '" + path + "': " + saved.Reason());
}

}  // namespace

std::vector<SourceCheck> CheckColourModel(const TrainOptions& options, std::ostream& progress) {
  if (!options.checkModel) throw std::runtime_error("no model to check");
  ColourModelData model;
  try {
    model = ReadColourModel(*options.checkModel);
  } catch (const ModelLoadError& e) {
    throw std::runtime_error("cannot read model '" + *options.checkModel + "': " + e.what());
  }
  ColourClassifier_RVM_PCAVQ classifier(model);
  std::vector<SourceCheck> checks;
  for (const TrainingImage& image : LoadImages(options, progress)) {
    const StainCheck c = CheckStainEstimate(classifier, image.pixels, image.labels, image.independent);
    checks.push_back({image.path, c, MeetsBar(c)});
  }
  PrintChecks(checks, progress);
  return checks;
}

TrainingSummary TrainColourModel(const TrainOptions& options, std::ostream& progress) {
  if (options.images.empty()) throw std::runtime_error("no training images given");
  if (!options.labelDir && !options.stains)
    throw std::runtime_error("no labels: give a mask directory or a stain pair");
  CheckOutputDirectory(options.outputPath);

  const std::vector<TrainingImage> images = LoadImages(options, progress);
  std::vector<TrainingCopy> copies = MakeCopies(images, options, progress);
  ColourModelData data;
  data.nodes = BuildQuantiser(copies, progress);
  const DescriptorModel descriptor = FitDescriptors(copies, options, progress);
  data.meanHistogram = descriptor.mean;
  data.eigenvectors = descriptor.directions;
  data.eigenvalues = descriptor.eigenvalues;

  const PixelSample sample = SampleAndCheck(images, copies, options, progress);
  dlib::vector_normalizer<FeatureVector> normaliser;
  const TrainingSet set = BuildTrainingSet(images, copies, sample, normaliser, progress);
  std::vector<std::vector<double>> originalDescriptors;
  for (const TrainingCopy& copy : copies) {
    if (IsOriginal(images, copy)) originalDescriptors.push_back(copy.descriptor);
  }
  copies.clear();

  const SourceFolds chosen = ChooseWidth(set, HeldOutImages(images), data, normaliser, options, progress);
  data.classes = TrainFinal(set, chosen, normaliser, progress);

  TrainingSummary summary;
  summary.modelPath = options.outputPath;
  summary.gamma = chosen.gamma;
  summary.dims = descriptor.eigenvalues.size();
  for (const ImageCheck& c : chosen.checks)
    summary.sourceChecks.push_back({c.path, c.check, MeetsBar(c.check)});
  PrintChecks(summary.sourceChecks, progress);
  summary.heldBackAccuracy = HeldBackAccuracy(images, sample, originalDescriptors, data.classes);
  summary.heldBack = sample.heldBack;
  WriteAtomically(options.outputPath, data);
  return summary;
}

}  // namespace histonorm::train
