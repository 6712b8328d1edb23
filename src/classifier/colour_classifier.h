#pragma once
// Pixel colour classifier: gives every pixel of an 8-bit BGR image the probabilities of three
// classes (stain 0, stain 1, background).
//
// The classification of a pixel depends on its own colour and on a few values that describe the
// whole image (ImageDescriptor): the model classifier's descriptor (octree colour-code histogram
// projected on the model's principal directions), the optical-density classifier's stain
// directions. Each classification works the image's values out, uses them and returns them; a
// classifier keeps nothing of the images it saw, so one classifier serves any number of threads
// at once.
//
//   ClassProbabilityPlanes planes;
//   const ImageDescriptor d = classifier.ClassifyImage(image, planes);  // or with ClassifySettings
//   const auto p = classifier.ClassifyPixel({b, g, r}, d);  // equals the planes at that colour
#include <array>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/image_colours.h"
#include "common/pixel_planes.h"
#include "histonorm/log_sink.h"
#include "histonorm/model_load_error.h"

namespace histonorm {

struct ColourModelData;

// What a classification found out about a whole image: the values every pixel's probabilities
// depend on besides its colour (see each classifier). Empty stands for the classifier's default:
// the mean image's descriptor, the standard stain directions.
using ImageDescriptor = std::vector<float>;

// Two unit optical density vectors (red, green, blue), stain 0 then stain 1.
using StainDirections = std::array<std::array<float, 3>, 2>;

// How one call classifies.
struct ClassifySettings {
  // Threads the call may use (0 = all cores); results never depend on it.
  unsigned threads = 1;
  // The stain directions of the target the images will be normalised to: classifiers that measure
  // stains fall back to them and take them as the stains of rebuilt colours. Classifiers that work
  // from a trained model ignore them.
  std::optional<StainDirections> referenceStains;
  // Where the call's lines go; null: the log the classifier was made with.
  const LogSink* log = nullptr;
};

class ColourClassifierBase {
 public:
  virtual ~ColourClassifierBase() = default;
  // Requires an 8-bit, 3-channel BGR image (any row stride) or an empty one. Ensures planes are
  // resized to the image's width x height and hold, per pixel, the three class probabilities;
  // returns the image's descriptor.
  virtual ImageDescriptor ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes,
                                        const ClassifySettings& settings) const = 0;
  ImageDescriptor ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes) const {
    return ClassifyImage(image, planes, ClassifySettings{});
  }
  // The same, for a caller that already holds the image's distinct-colour index (which must have
  // been made from `image` with its per-pixel indices). Classifiers that cannot use the index
  // ignore it.
  virtual ImageDescriptor ClassifyImage(const cv::Mat& image, const ImageColours& colours,
                                        ClassProbabilityPlanes& planes,
                                        const ClassifySettings& settings) const {
    static_cast<void>(colours);
    return ClassifyImage(image, planes, settings);
  }
  ImageDescriptor ClassifyImage(const cv::Mat& image, const ImageColours& colours,
                                ClassProbabilityPlanes& planes) const {
    return ClassifyImage(image, colours, planes, ClassifySettings{});
  }
  // Classifies one colour (bytes blue, green, red) as a pixel of an image of that descriptor.
  [[nodiscard]] virtual std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel,
                                                           const ImageDescriptor& descriptor) const = 0;
  [[nodiscard]] std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel) const {
    return ClassifyPixel(pixel, ImageDescriptor{});
  }
  // The class probabilities of each distinct colour of the image, for a caller that holds its
  // distinct-colour index (as for ClassifyImage): `perColour` becomes colours.Keys().size() x 1
  // planes in the order of Keys(). This default classifies every pixel and keeps, per colour, the
  // probabilities of its first pixel; classifiers that depend on the colour alone override it to
  // hold nothing per pixel.
  virtual ImageDescriptor ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                          ClassProbabilityPlanes& perColour,
                                          const ClassifySettings& settings) const {
    ClassProbabilityPlanes perPixel;
    ImageDescriptor descriptor = ClassifyImage(image, colours, perPixel, settings);
    perColour.Resize(static_cast<int>(colours.Keys().size()), 1);
    const auto& index = colours.PixelIndices();
    for (std::size_t i = index.size(); i-- > 0;) {
      for (std::size_t k = 0; k < 3; ++k) perColour[k][index[i]] = perPixel[k][i];
    }
    return descriptor;
  }
  ImageDescriptor ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                  ClassProbabilityPlanes& perColour) const {
    return ClassifyColours(image, colours, perColour, ClassifySettings{});
  }
  // The same for an image whose colours were rebuilt from stain amounts with the reference stains
  // of `settings`: a classifier that measures stains may take those instead of estimating them
  // again. By default, ClassifyColours.
  virtual ImageDescriptor ClassifyRebuiltColours(const cv::Mat& image, const ImageColours& colours,
                                                 ClassProbabilityPlanes& perColour,
                                                 const ClassifySettings& settings) const {
    return ClassifyColours(image, colours, perColour, settings);
  }
  // True when ClassifyColours reads the colour index alone, never the image's pixels (which then
  // only need the image's size and type).
  [[nodiscard]] virtual bool ClassifiesIndexAlone() const { return false; }
};

class ColourClassifier_RVM_PCAVQ final : public ColourClassifierBase {
 public:
  // Reads the whole model file, logging the reader's lines to `log`, which also receives the
  // "Projection ..." line of every image described (a copy is kept). Throws ModelLoadError when
  // the file cannot be opened or used.
  explicit ColourClassifier_RVM_PCAVQ(const std::string& modelPath, LogSink log = {});
  // Uses a model already in memory. Throws ModelLoadError when it is inconsistent.
  explicit ColourClassifier_RVM_PCAVQ(const ColourModelData& model, LogSink log = {});
  ~ColourClassifier_RVM_PCAVQ() override;
  ColourClassifier_RVM_PCAVQ(const ColourClassifier_RVM_PCAVQ&) = delete;
  ColourClassifier_RVM_PCAVQ& operator=(const ColourClassifier_RVM_PCAVQ&) = delete;

  // Evaluates each distinct colour of the image once; the planes equal those of classifying every
  // pixel in turn; the descriptor is the D values of ComputeProjection. Throws
  // std::invalid_argument for a non-empty image that is not 8-bit 3-channel.
  using ColourClassifierBase::ClassifyImage;
  using ColourClassifierBase::ClassifyPixel;
  ImageDescriptor ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes,
                                const ClassifySettings& settings) const override;
  ImageDescriptor ClassifyImage(const cv::Mat& image, const ImageColours& colours,
                                ClassProbabilityPlanes& planes,
                                const ClassifySettings& settings) const override;
  // Against `descriptor` (D values; empty: all zeros, the mean image's). Throws
  // std::invalid_argument for a descriptor of another length.
  [[nodiscard]] std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel,
                                                   const ImageDescriptor& descriptor) const override;
  // Evaluates each distinct colour once, without per-pixel planes; the same values as ClassifyImage.
  using ColourClassifierBase::ClassifyColours;
  ImageDescriptor ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                  ClassProbabilityPlanes& perColour,
                                  const ClassifySettings& settings) const override;
  [[nodiscard]] bool ClassifiesIndexAlone() const override { return true; }

  // The image's descriptor (D values), logged as the "Projection ..." line. Same requirements on
  // the image as ClassifyImage.
  ImageDescriptor ComputeProjection(const cv::Mat& image, const ClassifySettings& settings = {}) const;

  // Number of principal components D in the descriptor.
  [[nodiscard]] unsigned PcaDim() const;

 private:
  [[nodiscard]] const LogSink& LogOf(const ClassifySettings& settings) const;

  struct Model;  // keeps the trained-function types out of this header
  std::unique_ptr<Model> model_;
  LogSink log_;
};

}  // namespace histonorm
