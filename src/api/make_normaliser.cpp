#include "histonorm/make_normaliser.h"

#include <stdexcept>
#include <string>

#include "base/tissue_only.h"
#include "norm/reinhard.h"
#include "norm/rgb_hist_spec.h"
#include "stain/norm_bimodal_deconv_rvm.h"
#include "stain/norm_od_stain.h"
#include "stain/od_classifier.h"

namespace histonorm {

namespace {

std::unique_ptr<CNormBase> MakeMethod(Method method, const Options& options) {
  switch (method) {
    case Method::kReinhard:
      return std::make_unique<CNormReinhard>(options.log, options.threads);
    case Method::kRGBHistSpec:
      return std::make_unique<CNormRGBHistSpec>(HistSpecVariant::kShares, options.threads);
    case Method::kRGBHistSpecThresh:
      return std::make_unique<CNormRGBHistSpec>(HistSpecVariant::kPresence, options.threads);
    case Method::kBimodalDeconvRVM: {
      return std::make_unique<CNormBimodalDeconvRVM>(options);
    }
    case Method::kBimodalDeconvPCA: {
      Options own = options;
      own.colourModelPath.clear();  // no model: the stains come from each image itself
      return std::make_unique<CNormBimodalDeconvRVM>(
          std::make_unique<OdStainClassifier>(OdStainParams{}, options.log), own, "BimodalDeconvPCA",
          OdStainParams{});
    }
    case Method::kMacenko:
      return std::make_unique<CNormOdStain>(DirectionEstimator::kPrincipalPlane, options);
    case Method::kVahadane:
      return std::make_unique<CNormOdStain>(DirectionEstimator::kSparseFactorisation, options);
  }
  throw std::invalid_argument("MakeNormaliser: no method with number " +
                              std::to_string(static_cast<int>(method)));
}

}  // namespace

std::unique_ptr<CNormBase> MakeNormaliser(Method method, const Options& options) {
  std::unique_ptr<CNormBase> made = MakeMethod(method, options);
  if (!options.tissueOnly || method == Method::kBimodalDeconvRVM) return made;
  return std::make_unique<TissueOnlyNormaliser>(std::move(made), options.threads);
}

}  // namespace histonorm
