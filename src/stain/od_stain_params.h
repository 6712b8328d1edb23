#pragma once
// The constants of the three label-free stain methods (BimodalDeconvPCA, Macenko, Vahadane), in one
// place with their defaults: the quality benchmark calibrates them by changing these values only.
//
//   histonorm::OdStainParams params;        // the defaults
//   params.minAngleDegrees = 8.0f;          // accept stain directions a little closer together
//
// Optical density (OD) is -ln((byte + 1) / 256) per colour channel; a colour's OD norm is the
// Euclidean length of its three channel densities (0 for white, about 9.6 for black).
#include <cstdint>

namespace histonorm {

struct OdStainParams {
  // Colours whose OD norm exceeds this are tissue: they alone choose the stain directions and the
  // concentration percentiles. 0.2 leaves out glass and its scanner tint (slides of pale
  // tinted glass measure up to about 0.15) but keeps pale eosin.
  float tissueOd = 0.2f;
  // Colours whose OD norm is below this are glass and keep their bytes (glassOd <= tissueOd); between glassOd
  // and tissueOd the result is blended from the input to the mapped colour, so no edge appears at the
  // threshold.
  float glassOd = 0.12f;
  // The two stain directions are the directions in the principal plane of the tissue ODs at this
  // percentile and at 100 minus it of the colours' angles (pixel-weighted): a few percent of stray
  // colours (dust, pen, folds) do not set the directions.
  float anglePercentile = 1.0f;
  // Each stain's concentrations are scaled so that this percentile (pixel-weighted, tissue only)
  // matches the target's.
  float concentrationPercentile = 99.0f;
  // Two directions closer than this angle are one stain seen twice: the tile is not split into
  // two stains but falls back to the reference directions.
  float minAngleDegrees = 10.0f;
  // A tile whose directions lie within twice minAngleDegrees and whose weaker stain (split along the
  // reference directions, percentile as above) has less than this fraction of the stronger one's
  // holds one stain: it falls back to the reference directions instead of splitting one stain in
  // two. (Two-stain tiles measured so far lie 25 degrees apart or more; one stain's hues spread
  // less than 20.)
  float oneStainRatio = 0.1f;
  // With fewer tissue pixels than this, directions are not estimated: the reference ones are used.
  std::uint32_t minTissuePixels = 500;
  // A stain whose concentration percentile is below this fraction of the target's is taken to be
  // absent from the image and is never amplified (no stain is invented where there is none).
  float presentFraction = 0.15f;
  // BimodalDeconvPCA: how sharply a colour's share along the second stain direction turns into
  // stain probabilities (the logistic slope at a share of one half). At 12 the colours at either
  // direction have probabilities above 0.99 and so serve as stain samples.
  float shareSharpness = 12.0f;
  // BimodalDeconvPCA: the logistic slope, per unit of OD norm, of the background probability around
  // tissueOd.
  float backgroundSlope = 40.0f;
  // Vahadane: L1 penalty of the concentrations while the stain matrix is factorised, and when the
  // concentrations of each colour are solved.
  float factorisationSparsity = 0.1f;
  float concentrationSparsity = 0.01f;
  // Vahadane: alternating passes of the factorisation, and at most this many tissue samples (taken
  // evenly along the pixel-weighted list of tissue colours, so the same image gives the same samples).
  int factorisationPasses = 30;
  std::uint32_t factorisationSamples = 20000;
};

}  // namespace histonorm
