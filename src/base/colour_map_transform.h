#pragma once
// A fitted transform given as a function of the colour. Every colour is mapped once and kept in a
// table shared by all later applications (and threads), so the tiles of a slide, which repeat most
// of their colours, cost little more than a table look-up per pixel.
#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <vector>

#include "common/image_colours.h"
#include "histonorm/fitted_transform.h"

namespace histonorm {

class ColourMapTransform : public FittedTransform {
 public:
  ~ColourMapTransform() override;

 protected:
  ColourMapTransform() = default;

 private:
  // requires: `colours` is a 1 x N CV_8UC3 image of distinct BGR colours.
  // ensures: `mapped` is a 1 x N CV_8UC3 image of their transformed colours.
  virtual void MapColours(const cv::Mat& colours, cv::Mat& mapped) const = 0;
  void Transform(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const final;
  // One pass over the pixels: those of colours already mapped are written at once, the others once
  // their distinct colours have been mapped (in ascending key order) and stored in the table.
  template <ChannelOrder Order>
  void TransformIn(const cv::Mat& input, cv::Mat& output) const;
  void MapInto(const std::vector<std::uint32_t>& keys, std::uint32_t* table) const;

  // The table of mapped colours, made on first use: one word per 24-bit colour, at a slot where
  // similar colours lie close together; 0 until the colour is mapped, then kMapped | its output
  // colour's key. 64 MiB of address space, of which only the pages of colours met are ever touched.
  std::uint32_t* Table() const;

  mutable std::once_flag tableMade_;
  mutable std::unique_ptr<std::uint32_t, void (*)(void*)> table_{nullptr, nullptr};
};

}  // namespace histonorm
