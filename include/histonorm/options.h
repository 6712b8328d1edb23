#pragma once
// Everything a normaliser is built from besides its method (see make_normaliser.h).
//
//   histonorm::Options options;
//   options.colourModelPath = "he.model";             // the stain method only
//   options.log = histonorm::LogSink::To(std::cerr);  // default: no lines anywhere
//   options.threads = 1;                              // default 0: all cores
#include <string>

#include "histonorm/log_sink.h"
#include "histonorm/stain_diagnostics.h"
#include "histonorm/stain_params.h"

namespace histonorm {

struct Options {
  // The trained colour model file of the stain method; ignored by the other methods.
  std::string colourModelPath;
  // The stain method's thresholds; ignored by the other methods.
  StainParams stainParams;
  // Receives the progress and statistics lines of every operation. Default: dropped.
  LogSink log;
  // Receives the stain method's diagnostics; when empty none are made. Ignored by the other methods.
  DiagnosticSink diagnostics;
  // Threads one CalcStats or Norm call may use: 0 = every core of the machine, 1 = only the
  // calling thread. Results are bit-identical whatever the number. The extra threads live
  // only while a call runs (several callers may share one normaliser, see norm_base.h).
  unsigned threads = 0;
  // Reinhard and the histogram methods: statistics from tissue pixels only; glass pixels (every
  // channel's optical density -log10((v + 1) / 256) below 0.1, i.e. every channel at 203 or above)
  // are shifted to the target's glass colour, so a glass tile stays glass. A saved target then
  // holds the glass colour too and loads only into a tissue-only normaliser. The stain method
  // ignores it (it classifies the background itself). Default false: every pixel, as before.
  bool tissueOnly = false;
};

}  // namespace histonorm
