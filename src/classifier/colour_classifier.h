#pragma once
// Pixel colour classifier: gives every pixel of an 8-bit BGR image the probabilities of three
// classes (stain 0, stain 1, background) from a trained colour model file.
//
// The classification of a pixel depends on its own colour and on a descriptor of the whole image
// (octree colour-code histogram projected on the model's principal directions), so ClassifyImage
// first describes the image and then classifies its pixels. The model never changes after
// construction; the descriptor is replaced by each ClassifyImage or ComputeProjection, so one
// classifier serves one caller at a time.
#include <array>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "common/image_colours.h"
#include "common/pixel_planes.h"
#include "histonorm/log_sink.h"
#include "histonorm/model_load_error.h"

namespace histonorm {

struct ColourModelData;

class ColourClassifierBase {
 public:
  virtual ~ColourClassifierBase() = default;
  // Requires an 8-bit, 3-channel BGR image (any row stride) or an empty one. Ensures planes are
  // resized to the image's width x height and hold, per pixel, the three class probabilities.
  virtual void ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes) = 0;
  // The same, for a caller that already holds the image's distinct-colour index (which must have
  // been made from `image` with its per-pixel indices). Classifiers that cannot use the index
  // ignore it.
  virtual void ClassifyImage(const cv::Mat& image, const ImageColours& colours,
                             ClassProbabilityPlanes& planes) {
    static_cast<void>(colours);
    ClassifyImage(image, planes);
  }
  // Classifies one colour (bytes blue, green, red) against the descriptor of the most recent
  // ClassifyImage (the all-zero mean descriptor before any).
  virtual std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel) = 0;
  // The class probabilities of each distinct colour of the image, for a caller that holds its
  // distinct-colour index (as for ClassifyImage): `perColour` becomes colours.Keys().size() x 1
  // planes in the order of Keys(). This default classifies every pixel and keeps, per colour, the
  // probabilities of its first pixel; classifiers that depend on the colour alone override it to
  // hold nothing per pixel.
  virtual void ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                               ClassProbabilityPlanes& perColour) {
    ClassProbabilityPlanes perPixel;
    ClassifyImage(image, colours, perPixel);
    perColour.Resize(static_cast<int>(colours.Keys().size()), 1);
    const auto& index = colours.PixelIndices();
    for (std::size_t i = index.size(); i-- > 0;) {
      for (std::size_t k = 0; k < 3; ++k) perColour[k][index[i]] = perPixel[k][i];
    }
  }
  // The same for an image whose colours were rebuilt from stain amounts with the reference stains
  // (SetReferenceStains): a classifier that measures stains may take those instead of estimating
  // them again. By default, ClassifyColours.
  virtual void ClassifyRebuiltColours(const cv::Mat& image, const ImageColours& colours,
                                      ClassProbabilityPlanes& perColour) {
    ClassifyColours(image, colours, perColour);
  }
  // How many threads later classifications may use (0 = all cores). Results do not depend on it;
  // classifiers that always use one thread ignore it.
  virtual void SetThreads(unsigned threads) { static_cast<void>(threads); }
  // True when ClassifyColours reads the colour index alone, never the image's pixels (which then
  // only need the image's size and type).
  [[nodiscard]] virtual bool ClassifiesIndexAlone() const { return false; }
  // The stain directions (unit optical density vectors, red, green, blue; stain 0 then 1) of the
  // target the images will be normalised to. Classifiers that work from a trained model ignore them.
  virtual void SetReferenceStains(const std::array<std::array<float, 3>, 2>& stains) {
    static_cast<void>(stains);
  }
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
  // pixel in turn. Throws std::invalid_argument for a non-empty image that is not 8-bit 3-channel.
  void ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes) override;
  void ClassifyImage(const cv::Mat& image, const ImageColours& colours,
                     ClassProbabilityPlanes& planes) override;
  std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel) override;
  // Evaluates each distinct colour once, without per-pixel planes; the same values as ClassifyImage.
  void ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                       ClassProbabilityPlanes& perColour) override;

  // Splits the colour code look-ups, the per-colour evaluation and the per-pixel planes over this
  // many threads (0 = all cores; 1 is the default); the results are the same for every count.
  void SetThreads(unsigned threads) override { threads_ = threads; }
  [[nodiscard]] bool ClassifiesIndexAlone() const override { return true; }

  // Computes the image descriptor and logs it ("Projection ..." line). Same requirements on the
  // image as ClassifyImage.
  void ComputeProjection(const cv::Mat& image);

  // Number of principal components D in the descriptor.
  [[nodiscard]] unsigned PcaDim() const;
  // The current descriptor (D values).
  [[nodiscard]] std::array<float, 256> Projection() const;

 private:
  struct Model;  // keeps the trained-function types out of this header
  std::unique_ptr<Model> model_;
  LogSink log_;
  unsigned threads_ = 1;
};

}  // namespace histonorm
