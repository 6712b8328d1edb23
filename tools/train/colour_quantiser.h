#pragma once
// Octree colour quantiser built from training colours, and the colour-code lookup over its node records.
//
// ColourQuantiserBuilder counts the colours of the training images, then reduces an octree over them
// (merging the least populated deepest nodes first) until at most `maxLeaves` populated leaves remain.
// Build() returns the node records in file order: every internal node has all eight children, so every
// 24-bit colour reaches a leaf; leaves holding training colours are numbered 1..K in file order, and
// empty leaves answer with the code of the populated leaf whose mean colour lies nearest to their box.
//
// Colour codes are looked up with the classifier's own OctTree, so the trainer's histograms are the
// classifier's.
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "classifier/colour_model_file.h"
#include "classifier/image_descriptor.h"

namespace histonorm::train {

class ColourQuantiserBuilder {
 public:
  // Requires an 8-bit, 3-channel image (any row stride). Ensures every pixel colour is counted.
  void Add(const cv::Mat& image);
  // Requires at least one counted colour and 8 <= maxLeaves. Ensures records as described above.
  std::vector<OctTreeNodeRecord> Build(int maxLeaves = 255) const;

 private:
  std::vector<std::uint32_t> keys_;
};

}  // namespace histonorm::train
