#pragma once
// The stain method's diagnostics, handed to the caller as data: the stain vectors it estimated,
// stain channels 0 and 1 as greyscale pictures and the curves that remap them. The library writes
// no file; a caller that wants the files writes them, for example under a prefix of its choice:
//
//   options.diagnostics = [&prefix](const histonorm::StainDiagnostics& d) {
//     std::ofstream(prefix + d.stage + ".vectors.txt") << d.vectors;
//     if (!d.channels[0].empty()) cv::imwrite(prefix + d.stage + ".channels.1.jpg", d.channels[0]);
//     if (!d.channels[1].empty()) cv::imwrite(prefix + d.stage + ".channels.2.jpg", d.channels[1]);
//   };
#include <array>
#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace histonorm {

struct StainDiagnostics {
  // ".target" while a target image is measured (CalcStats), ".mapped" while an image is
  // normalised (Norm, first stage only).
  std::string stage;
  // The raw stain vectors, one stain per line, three numbers separated by blanks (red, green,
  // blue components), in the console's number format.
  std::string vectors;
  // Stain channels 0 and 1 of the image, 8-bit single-channel of the image's size (a channel
  // value v becomes v truncated when v <= 255, else 255). Both empty when the estimate could not
  // transform images.
  std::array<cv::Mat, 2> channels;
  // ".mapped" with usable channels only: the curves that remap stain channels 0 and 1, as the mapped
  // value of the channel values 0, kCurveSampleStep, ..., 500 (51 values each). Empty otherwise.
  std::array<std::vector<float>, 2> curves = {};
};

// The step between the channel values at which StainDiagnostics::curves are sampled.
inline constexpr int kCurveSampleStep = 10;

// Called once per stage, in the order of the work; it may throw to end the operation.
using DiagnosticSink = std::function<void(const StainDiagnostics&)>;

}  // namespace histonorm
