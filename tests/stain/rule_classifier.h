#pragma once
// Stand-in pixel classifiers for the stain normaliser's tests: the probabilities of a pixel come
// from a rule of its colour, position and the number of the ClassifyImage call (1 for the first).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>

#include "classifier/colour_classifier.h"

namespace histonorm::test {

using Probabilities = std::array<float, 3>;  // stain 0, stain 1, background
using Rule = std::function<Probabilities(const std::array<std::uint8_t, 3>& bgr, int x, int y, int call)>;

// It counts its calls, so one serves one thread.
class RuleClassifier final : public ColourClassifierBase {
 public:
  // With `indexAlone`, ClassifyColours applies the rule to the index's colours (at position 0, 0)
  // without reading the image, and says so.
  explicit RuleClassifier(Rule rule, bool indexAlone = false)
      : rule_(std::move(rule)), indexAlone_(indexAlone) {}
  using ColourClassifierBase::ClassifyColours;
  using ColourClassifierBase::ClassifyImage;
  using ColourClassifierBase::ClassifyPixel;
  ImageDescriptor ClassifyColours(const cv::Mat& image, const ImageColours& colours,
                                  ClassProbabilityPlanes& perColour,
                                  const ClassifySettings& settings) const override {
    if (!indexAlone_) return ColourClassifierBase::ClassifyColours(image, colours, perColour, settings);
    ++calls_;
    perColour.Resize(static_cast<int>(colours.Keys().size()), 1);
    for (std::size_t c = 0; c < colours.Keys().size(); ++c) {
      const std::uint32_t key = colours.Keys()[c];
      const Probabilities p = rule_({KeyByte(key, 0), KeyByte(key, 1), KeyByte(key, 2)}, 0, 0, calls_);
      for (std::size_t k = 0; k < 3; ++k) perColour[k][c] = p[k];
    }
    return {};
  }
  [[nodiscard]] bool ClassifiesIndexAlone() const override { return indexAlone_; }
  ImageDescriptor ClassifyImage(const cv::Mat& image, ClassProbabilityPlanes& planes,
                                const ClassifySettings& /*settings*/) const override {
    ++calls_;
    planes.Resize(image.cols, image.rows);
    for (int y = 0; y < image.rows; ++y) {
      const std::uint8_t* px = image.ptr<std::uint8_t>(y);
      for (int x = 0; x < image.cols; ++x, px += 3) {
        const Probabilities p = rule_({px[0], px[1], px[2]}, x, y, calls_);
        const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(image.cols) + x;
        for (std::size_t k = 0; k < 3; ++k) planes[k][i] = p[k];
      }
    }
    return {};
  }
  [[nodiscard]] std::array<float, 3> ClassifyPixel(const std::array<std::uint8_t, 3>& pixel,
                                                   const ImageDescriptor& /*descriptor*/) const override {
    return rule_(pixel, 0, 0, calls_);
  }

 private:
  Rule rule_;
  bool indexAlone_;
  mutable int calls_ = 0;
};

// Haematoxylin and eosin by colour: near-white is background, bluer than red is stain 0 (nuclei),
// redder is stain 1 (eosin), with soft transitions so that probabilities spread.
inline Probabilities HeRule(const std::array<std::uint8_t, 3>& bgr) {
  const float b = bgr[0], g = bgr[1], r = bgr[2];
  const float background = 1.0f / (1.0f + std::exp(-(std::min({b, g, r}) - 205.0f) / 6.0f));
  const float nuclei = 1.0f / (1.0f + std::exp(-(b - r + 10.0f) / 8.0f));
  return {(1.0f - background) * nuclei, (1.0f - background) * (1.0f - nuclei), background};
}

inline std::unique_ptr<ColourClassifierBase> HeClassifier() {
  return std::make_unique<RuleClassifier>([](const auto& bgr, int, int, int) { return HeRule(bgr); });
}

}  // namespace histonorm::test
