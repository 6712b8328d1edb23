#pragma once
// The colour model file: three serialised probabilistic kernel classifiers (binary section),
// followed by a text section holding the octree node records, the mean colour-code histogram, the
// 256 principal directions and the first D eigenvalues (D = feature length - 3).
//
// ReadColourModel parses and validates a whole file; WriteColourModel writes one in exactly the
// layout the reader expects (used by the trainer and by tests).
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <dlib/matrix.h>
#include <dlib/svm.h>

namespace histonorm {

using FeatureVector = dlib::matrix<double>;  // column vector of length D + 3
using ClassModel = dlib::normalized_function<dlib::probabilistic_decision_function<dlib::radial_basis_kernel<dlib::matrix<double>>>>;

// One octree node as stored in the file.
struct OctTreeNodeRecord {
  std::int32_t parent = -1;  // record position of the parent, -1 for a top-level node
  std::uint32_t level = 0;
  std::uint32_t id = 0;
  bool isLeaf = false;
  std::array<std::uint32_t, 3> size{};
  std::uint32_t mask = 0;
  std::array<std::uint32_t, 3> origin{};
  std::uint32_t value = 0;
  bool hasChildren = false;
  std::uint32_t extraCount = 0;
  std::array<float, 3> extraValues{};     // held in this order; the file stores [0], [2], [1]
  std::array<std::int32_t, 8> children{};  // record positions, meaningful when hasChildren
};

struct ColourModelData {
  std::array<ClassModel, 3> classes;       // class 0, 1, 2
  std::vector<OctTreeNodeRecord> nodes;    // file order
  std::array<float, 256> meanHistogram{};
  std::vector<double> eigenvectors;        // 65536 values, column by column (direction i = values 256i..256i+255)
  std::vector<float> eigenvalues;          // D values
};

// Reads and validates a whole model file, printing the reader's console lines.
// Throws ModelLoadError with the reason when the file cannot be opened or used.
ColourModelData ReadColourModel(const std::string& path);

// Writes a model file (binary section, then text section). Throws std::runtime_error on failure.
void WriteColourModel(const std::string& path, const ColourModelData& model);

}  // namespace histonorm
