#include "train/model_trainer.h"

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "train/class_trainer.h"
#include "train/colour_quantiser.h"
#include "train/descriptor_model.h"

namespace histonorm::train {

namespace {

namespace fs = std::filesystem;

// Fewest training and held-back pixels a class may have over all images.
constexpr std::size_t kMinTraining = 10;
constexpr std::size_t kMinHeldBack = 5;
constexpr int kMaxCodes = 255;

constexpr std::array<const char*, 3> kClassNames{"stain 0", "stain 1", "background"};

struct TrainingImage {
  std::string path;
  cv::Mat pixels;
  cv::Mat labels;
  cv::Mat codes;
  std::vector<double> descriptor;                    // of the whole image, as the classifier sees it
  std::optional<TileGrid> tiles;                     // with --tile
  std::vector<std::vector<double>> tileDescriptors;  // one per tile

  // The descriptor that trains pixel (x, y): its tile's when the image is tiled. Tile descriptors
  // spread over the range of descriptors that the principal components describe, so the
  // classifiers learn to cope with descriptors other than those of the few training images.
  const std::vector<double>& TrainingDescriptor(int x, int y) const {
    return tiles ? tileDescriptors[static_cast<std::size_t>(tiles->TileAt(x, y))] : descriptor;
  }
};

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

std::vector<TrainingImage> LoadImages(const TrainOptions& options, std::ostream& progress) {
  std::vector<TrainingImage> images;
  for (const std::string& path : options.images) {
    TrainingImage image;
    image.path = path;
    image.pixels = cv::imread(path, cv::IMREAD_COLOR);
    if (image.pixels.empty()) throw std::runtime_error("cannot read image '" + path + "'");
    image.labels = LabelsFor(options, path, image.pixels);
    const std::array<std::size_t, 4> counts = CountLabels(image.labels);
    progress << "Labels '" << path << "': stain 0 " << counts[1] << ", stain 1 " << counts[2]
             << ", background " << counts[3] << ", unlabelled " << counts[0] << std::endl;
    images.push_back(std::move(image));
  }
  return images;
}

std::vector<OctTreeNodeRecord> BuildQuantiser(std::vector<TrainingImage>& images, std::ostream& progress) {
  ColourQuantiserBuilder builder;
  for (const TrainingImage& image : images) builder.Add(image.pixels);
  std::vector<OctTreeNodeRecord> records = builder.Build(kMaxCodes);
  const CodeLookup lookup(records);
  std::uint32_t codes = 0;
  for (const OctTreeNodeRecord& r : records) {
    if (r.isLeaf && r.extraCount > 0) ++codes;
  }
  for (TrainingImage& image : images) image.codes = CodeImage(image.pixels, lookup);
  progress << "Quantiser: " << codes << " colour codes, " << records.size() << " node records" << std::endl;
  return records;
}

DescriptorModel FitDescriptors(std::vector<TrainingImage>& images, const TrainOptions& options,
                               std::ostream& progress) {
  std::vector<CodeHistogram> histograms;
  for (const TrainingImage& image : images) {
    for (const CodeHistogram& h : TileHistograms(image.codes, options.tileSide)) histograms.push_back(h);
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
  for (TrainingImage& image : images) {
    image.descriptor = Describe(image.codes, model);
    if (options.tileSide > 0) {
      image.tiles.emplace(image.codes.size(), options.tileSide);
      for (int i = 0; i < image.tiles->Count(); ++i) {
        image.tileDescriptors.push_back(Describe(image.codes(image.tiles->Tile(i)), model));
      }
    }
  }
  return model;
}

FeatureVector FeatureOf(const TrainingImage& image, const LabelledPixel& p,
                        const std::vector<double>& descriptor) {
  const std::size_t dims = descriptor.size();
  FeatureVector f(static_cast<long>(dims + 3), 1);
  for (std::size_t i = 0; i < dims; ++i) f(static_cast<long>(i)) = descriptor[i];
  const std::uint8_t* bgr = image.pixels.ptr<std::uint8_t>(p.y) + 3 * p.x;
  for (int c = 0; c < 3; ++c) f(static_cast<long>(dims) + c) = bgr[c];
  return f;
}

std::array<std::size_t, 3> CountByClass(const std::vector<LabelledPixel>& pixels) {
  std::array<std::size_t, 3> counts{};
  for (const LabelledPixel& p : pixels) ++counts[static_cast<std::size_t>(p.label)];
  return counts;
}

PixelSample SampleAndCheck(const std::vector<TrainingImage>& images, const TrainOptions& options,
                           std::ostream& progress) {
  std::vector<cv::Mat> labels;
  for (const TrainingImage& image : images) labels.push_back(image.labels);
  PixelSample sample = SamplePixels(labels, options.samplesPerClass, options.seed);
  const std::array<std::size_t, 3> train = CountByClass(sample.training);
  const std::array<std::size_t, 3> held = CountByClass(sample.heldBack);
  progress << "Sampling: training " << train[0] << "/" << train[1] << "/" << train[2] << ", held back "
           << held[0] << "/" << held[1] << "/" << held[2] << " pixels (stain 0/stain 1/background)"
           << std::endl;
  for (std::size_t k = 0; k < 3; ++k) {
    if (train[k] < kMinTraining || held[k] < kMinHeldBack) {
      throw std::runtime_error(std::string("too few labelled pixels of ") + kClassNames[k] + ": " +
                               std::to_string(train[k] + held[k]) + " usable, at least " +
                               std::to_string(kMinTraining + kMinHeldBack) + " are needed");
    }
  }
  return sample;
}

std::array<ClassModel, 3> TrainClasses(const std::vector<TrainingImage>& images, const PixelSample& sample,
                                       const TrainOptions& options, std::ostream& progress) {
  // Repeated samples (the same colour with the same label in the same image, common on glass)
  // make the relevance vector training numerically singular, so each is kept once.
  std::vector<FeatureVector> features;
  std::vector<int> labels;
  std::set<std::pair<std::vector<double>, int>> seen;
  for (const LabelledPixel& p : sample.training) {
    const TrainingImage& image = images[static_cast<std::size_t>(p.image)];
    FeatureVector f = FeatureOf(image, p, image.TrainingDescriptor(p.x, p.y));
    if (!seen.emplace(std::vector<double>(f.begin(), f.end()), p.label).second) continue;
    features.push_back(std::move(f));
    labels.push_back(p.label);
  }
  progress << "Training on " << features.size() << " distinct samples" << std::endl;
  ClassTrainerSettings settings;
  settings.gamma = options.gamma;
  std::array<ClassModel, 3> classes;
  for (int k = 0; k < 3; ++k) {
    const ClassFit fit = TrainClass(features, labels, k, settings);
    progress << "Class " << k << " (" << kClassNames[std::size_t(k)] << "): gamma " << fit.gamma
             << ", cross-validated accuracy " << fit.crossValidatedAccuracy << ", " << fit.basisVectors
             << " basis vectors" << std::endl;
    classes[std::size_t(k)] = fit.function;
  }
  return classes;
}

// Share of each class's held-back pixels whose most probable class is their label.
std::array<double, 3> HeldBackAccuracy(const std::vector<TrainingImage>& images, const PixelSample& sample,
                                       const std::array<ClassModel, 3>& classes) {
  std::array<std::size_t, 3> right{}, total{};
  for (const LabelledPixel& p : sample.heldBack) {
    const TrainingImage& image = images[static_cast<std::size_t>(p.image)];
    const FeatureVector f = FeatureOf(image, p, image.descriptor);
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
  const std::string temporary = path + ".partial";
  try {
    WriteColourModel(temporary, data);
    fs::rename(temporary, path);
  } catch (const std::exception& e) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw std::runtime_error("cannot write model '" + path + "': " + e.what());
  }
}

}  // namespace

TrainingSummary TrainColourModel(const TrainOptions& options, std::ostream& progress) {
  if (options.images.empty()) throw std::runtime_error("no training images given");
  if (!options.labelDir && !options.stains)
    throw std::runtime_error("no labels: give a mask directory or a stain pair");
  CheckOutputDirectory(options.outputPath);

  std::vector<TrainingImage> images = LoadImages(options, progress);
  ColourModelData data;
  data.nodes = BuildQuantiser(images, progress);
  const DescriptorModel descriptor = FitDescriptors(images, options, progress);
  data.meanHistogram = descriptor.mean;
  data.eigenvectors = descriptor.directions;
  data.eigenvalues = descriptor.eigenvalues;

  const PixelSample sample = SampleAndCheck(images, options, progress);
  data.classes = TrainClasses(images, sample, options, progress);

  TrainingSummary summary;
  summary.modelPath = options.outputPath;
  summary.dims = descriptor.eigenvalues.size();
  summary.heldBackAccuracy = HeldBackAccuracy(images, sample, data.classes);
  summary.heldBack = sample.heldBack;
  WriteAtomically(options.outputPath, data);
  return summary;
}

}  // namespace histonorm::train
