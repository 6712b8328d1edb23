#pragma once
// Builds the normaliser of a method.
//
//   histonorm::Options options;
//   options.colourModelPath = "/usr/share/histonorm/models/he.model";
//   auto norm = histonorm::MakeNormaliser(histonorm::Method::kBimodalDeconvRVM, options);
#include <memory>

#include "histonorm/method.h"
#include "histonorm/norm_base.h"
#include "histonorm/options.h"

namespace histonorm {

// requires: for Method::kBimodalDeconvRVM, options.colourModelPath names a readable colour model
//   and options.stainParams is valid (StainParamsProblem gives ""); nothing for the other methods.
// ensures: a normaliser without target that logs to options.log (a copy is kept), and for the
//   stain method hands its diagnostics to options.diagnostics. The stain method logs the model
//   reader's lines while it is built.
// throws: ModelLoadError (with the reason) when the colour model cannot be used;
//   std::invalid_argument for invalid stain thresholds or a method outside the enumeration.
[[nodiscard]] std::unique_ptr<CNormBase> MakeNormaliser(Method method, const Options& options);

}  // namespace histonorm
