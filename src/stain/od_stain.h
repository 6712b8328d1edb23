#pragma once
// Label-free stain directions from an image's own optical densities (OD), shared by the
// BimodalDeconvPCA, Macenko and Vahadane methods: which colours are tissue, the two stain directions
// (from the principal plane of the tissue ODs, or by sparse non-negative factorisation), the guards
// that fall back to reference directions, and each colour's two stain concentrations.
//
//   const ImageColours colours(image);
//   const TissueColours tissue = CollectTissue(colours, params);
//   const StainBasis basis = GuardedDirections(tissue, DirectionEstimator::kPrincipalPlane,
//                                              {StandardHaemEosin(), "the standard H&E", false}, params,
//                                              log).basis;
//   const ConcentrationSolver solver(basis, 0.0f);
//   const std::array<float, 2> c = solver.Solve(OdOfKey(colours.Keys()[0]));
//
// Vectors are red, green, blue. Stain 0 is haematoxylin, stain 1 the counterstain (eosin or DAB).
// Everything here is sequential over the distinct colours, so results never depend on threads.
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/image_colours.h"
#include "histonorm/log_sink.h"
#include "stain/od_stain_params.h"

namespace histonorm {

using OdVector = std::array<float, 3>;  // red, green, blue optical densities

// Two unit OD vectors: stain 0 (haematoxylin) and stain 1.
struct StainBasis {
  std::array<OdVector, 2> stain{};
};

// The standard haematoxylin and eosin directions, used when an image (a target) has none of its own.
[[nodiscard]] StainBasis StandardHaemEosin();

// ensures: the OD of each byte value: -ln((v + 1) / 256).
[[nodiscard]] const std::array<float, 256>& OdTable();
// ensures: the red, green, blue OD of a colour key (ImageColours: byte 0 blue, 1 green, 2 red).
[[nodiscard]] OdVector OdOfKey(std::uint32_t key);
// ensures: the byte whose OD is nearest `od` (0 for large densities, 255 for 0 and below).
[[nodiscard]] std::uint8_t ByteOfOd(float od);
[[nodiscard]] float Norm(const OdVector& v);
[[nodiscard]] float Dot(const OdVector& a, const OdVector& b);

// The tissue colours of an image (OD norm above params.tissueOd) with their pixel counts.
struct TissueColours {
  std::vector<OdVector> od;
  std::vector<std::uint32_t> weight;
  std::uint64_t pixels = 0;
};
// requires: an indexed ImageColours (Counts() filled).
[[nodiscard]] TissueColours CollectTissue(const ImageColours& colours, const OdStainParams& params);

enum class DirectionEstimator {
  kPrincipalPlane,       // extreme angles (at percentiles) in the principal plane of the tissue ODs
  kSparseFactorisation,  // sparse non-negative factorisation, started from the principal plane's
};

// Directions to fall back on.
struct ReferenceStains {
  StainBasis basis;
  const char* name;  // for the log line: "the target's", "the standard H&E"
  // Whether a tile of one stain (measured along these directions) falls back: true for the
  // target's directions; the standard ones may not describe the image's stains at all.
  bool oneStainCheck;
};

struct GuardedBasis {
  StainBasis basis;
  bool fellBack = false;
};

// The image's two stain directions by `estimator`, or the reference directions (logging one line
// naming the reason and which directions are used) when there are fewer than params.minTissuePixels
// tissue pixels, the directions lie closer than params.minAngleDegrees, or (with oneStainCheck)
// the tile holds one stain (directions within 2 x minAngleDegrees and, split along the reference
// directions, one stain's concentration percentile below params.oneStainRatio of the other's).
[[nodiscard]] GuardedBasis GuardedDirections(const TissueColours& tissue, DirectionEstimator estimator,
                                             const ReferenceStains& reference, const OdStainParams& params,
                                             const LogSink& log);

// Unguarded estimators (nothing when the tissue's ODs span no plane).
[[nodiscard]] std::optional<StainBasis> PlaneDirections(const TissueColours& tissue,
                                                        const OdStainParams& params);
// requires: `start` of two unit, non-parallel vectors.
[[nodiscard]] StainBasis FactorisedDirections(const TissueColours& tissue, const StainBasis& start,
                                              const OdStainParams& params);

// The non-negative two-stain concentrations c of an OD x minimising |x - c0 s0 - c1 s1|^2 / 2 +
// sparsity (c0 + c1), solved exactly by trying the active sets.
class ConcentrationSolver {
 public:
  // requires: two unit, non-parallel vectors; sparsity >= 0.
  ConcentrationSolver(const StainBasis& basis, float sparsity);
  [[nodiscard]] std::array<float, 2> Solve(const OdVector& od) const;

 private:
  StainBasis basis_;
  float sparsity_;
  double cross_;   // s0 . s1
  double invDet_;  // 1 / (1 - cross^2)
};

// ensures: each stain's concentration at `percent` percent of the tissue pixels.
[[nodiscard]] std::array<float, 2> ConcentrationPercentiles(const TissueColours& tissue,
                                                            const ConcentrationSolver& solver, float percent);

// How much of a colour of OD norm `odNorm` is replaced by its mapped colour: 0 for glass (below
// params.glassOd), 1 for tissue (params.tissueOd and above), linear between.
[[nodiscard]] float TissueWeight(float odNorm, const OdStainParams& params);
// Gives every glass colour of `colours` (a 1 x N BGR image) its own bytes back in `mapped` (its
// mapped colours), blending in optical density up to tissue (TissueWeight).
void KeepGlass(const cv::Mat& colours, cv::Mat& mapped, const OdStainParams& params, unsigned threads);

// "(r, g, b)" with four decimals, for log lines.
[[nodiscard]] std::string VectorText(const OdVector& v);

}  // namespace histonorm
