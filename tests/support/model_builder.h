#pragma once
// Colour model files for tests, built by hand (no training): class models from explicit basis
// vectors and parameters, regular octrees, and complete models written with WriteColourModel.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "classifier/colour_model_file.h"

namespace histonorm::test {

// One class model: f(x) = sum_r weights[r] * exp(-gamma * |z - basis[r]|^2) - bias with
// z = (x - mean) * scale element by element, and q = 1 / (1 + exp(sigmoidA * f + sigmoidB)).
struct ClassDefinition {
  std::vector<std::vector<double>> basis;  // each of the feature length
  std::vector<double> weights;             // one per basis vector
  double gamma = 1.0;
  double bias = 0.0;
  double sigmoidA = -1.0;
  double sigmoidB = 0.0;
  std::vector<double> mean;   // feature length values; empty gives zeros
  std::vector<double> scale;  // feature length values; empty gives ones
};

ClassModel MakeClassModel(const ClassDefinition& definition, long featureLength);
// A class definition with the one basis vector `v` of weight `weight` and default parameters.
ClassDefinition SingleVectorClass(std::vector<double> v, double weight = 1.0);

// A regular octree: `levels` = 1 gives the eight octants (bit 7 of each byte) as leaves with codes
// 1..8; `levels` = 2 splits each octant by bit 6 into eight leaves, codes 1..64. The code of a colour
// is RegularTreeCode(levels, b0, b1, b2).
std::vector<OctTreeNodeRecord> MakeRegularOctTree(int levels);
int RegularTreeCode(int levels, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2);
// A leaf record covering colours whose key AND mask equals value.
OctTreeNodeRecord MakeLeaf(std::int32_t parent, std::uint32_t mask, std::uint32_t value, std::uint32_t id);

// A model with `dims` principal components and the given classes: the regular two-level tree, a
// mean histogram spread evenly over codes 1..64, principal direction i = unit weight on code i + 1,
// eigenvalues all 1. Classes with empty definitions get one zero basis vector of weight 0.
ColourModelData MakeModelData(int dims, const std::array<ClassDefinition, 3>& classes);

// A tiny model for exact tests: D = 0, each class one basis vector in raw colour units
// (mean 0, scale 1/64), gamma 1, bias 0.25, sigmoid A -2, B 0.5 + k/4 for class k. Class k's basis
// vector is TinyModelPrototype(k).
ColourModelData MakeTinyModel();
std::array<double, 3> TinyModelPrototype(int k);

// A hand-built model that behaves like a haematoxylin and eosin classifier on the shipped samples:
// class 0 high on dark purple / blue nuclei, class 1 high on pink eosin, class 2 high on near-white
// background. The descriptor features (D = `dims`) get scale 0 so only the colour matters. On the
// three H&E samples each class wins 5..80 % of the pixels and has more than 3 % above 0.9.
ColourModelData MakeStainLikeModel(int dims = 2);

// A model of the size a trained one has, for benchmarks: `dims` components, `basisPerClass` basis
// vectors per class scattered around the stain-like prototypes, every feature with a nonzero scale.
ColourModelData MakeRealisticModel(int dims = 8, int basisPerClass = 30, std::uint32_t seed = 1);

// Writes `model` to `path` (WriteColourModel) and returns the path.
std::string WriteModelFile(const std::string& path, const ColourModelData& model);

}  // namespace histonorm::test
