#pragma once
// Octree colour quantiser built from training colours, and the colour-code lookup over its node records.
//
// ColourQuantiserBuilder counts the colours of the training images, then reduces an octree over them
// (merging the least populated deepest nodes first) until at most `maxLeaves` populated leaves remain.
// Build() returns the node records in file order: every internal node has all eight children, so every
// 24-bit colour reaches a leaf; leaves holding training colours are numbered 1..K in file order, and
// empty leaves answer with the code of the populated leaf whose mean colour lies nearest to their box.
//
// CodeLookup searches node records the way the classifier does (a key lies in a node when
// key AND mask equals value; children in slot order), so the trainer's histograms match the
// classifier's.
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "classifier/colour_model_file.h"

namespace histonorm::train {

// Colour key of the bytes of one pixel as stored (blue, green, red).
inline std::uint32_t ColourKey(const std::uint8_t* bgr) {
  return static_cast<std::uint32_t>(bgr[0]) + 256u * bgr[1] + 65536u * bgr[2];
}

class ColourQuantiserBuilder {
 public:
  // Requires an 8-bit, 3-channel image (any row stride). Ensures every pixel colour is counted.
  void Add(const cv::Mat& image);
  // Requires at least one counted colour and 8 <= maxLeaves. Ensures records as described above.
  std::vector<OctTreeNodeRecord> Build(int maxLeaves = 255) const;

 private:
  std::vector<std::uint32_t> keys_;
};

class CodeLookup {
 public:
  // Requires records that form eight top-level trees with valid child indexes.
  explicit CodeLookup(const std::vector<OctTreeNodeRecord>& records);
  // Code of one colour key: the first positive leaf id found, 0 when none.
  std::int32_t Code(std::uint32_t key) const;

 private:
  std::int32_t Find(std::size_t node, std::uint32_t key) const;

  std::vector<OctTreeNodeRecord> records_;
  std::vector<std::size_t> topLevel_;
};

}  // namespace histonorm::train
