#pragma once
// The colour model file: three serialised probabilistic kernel classifiers (binary section),
// followed by a text section holding the octree node records, the mean colour-code histogram, the
// 256 principal directions and the first D eigenvalues (D = feature length - 3).
//
// ReadColourModel parses and validates a whole file: it ensures the returned data is usable by the
// classifier (feature length 3..259 shared by all classes and all their vectors, a well-formed
// octree, every value present) or throws ModelLoadError with the reason. WriteColourModel writes a
// file in exactly the layout the reader expects (used by the trainer and by tests); every number
// in the text section is written with enough digits to read back exactly.
#include <dlib/matrix.h>
#include <dlib/statistics.h>
#include <dlib/svm/function.h>
#include <dlib/svm/kernel.h>

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "classifier/octree.h"
#include "histonorm/log_sink.h"
#include "histonorm/model_load_error.h"

namespace histonorm {

using FeatureVector = dlib::matrix<double>;  // column vector of length D + 3
using ClassModel = dlib::normalized_function<
    dlib::probabilistic_decision_function<dlib::radial_basis_kernel<dlib::matrix<double>>>>;

inline constexpr std::size_t kCodeCount = 256;                              // colour codes 0..255
inline constexpr std::size_t kEigenvectorValues = kCodeCount * kCodeCount;  // 256 directions of 256 weights
inline constexpr long kMinFeatureLength = 3;
inline constexpr long kMaxFeatureLength = 3 + static_cast<long>(kCodeCount);

struct ColourModelData {
  std::array<ClassModel, 3> classes;     // class 0, 1, 2
  std::vector<OctTreeNodeRecord> nodes;  // file order
  std::array<float, 256> meanHistogram{};
  std::vector<double> eigenvectors;  // 65536 values, column by column (direction i = values 256i..256i+255)
  std::vector<float> eigenvalues;    // D values

  // Feature length L = D + 3, taken from class 0's normaliser mean.
  long FeatureLength() const { return classes[0].normalizer.means().nr(); }
};

// Model files hold a few megabytes; a larger file (or a device that never ends) is refused.
inline constexpr std::size_t kMaxModelFileBytes = std::size_t{64} << 20;

// Reads and validates a whole model file, logging the reader's lines ("OctTree: ...",
// "Reduced PCA Dim=", "EVec: "). Throws ModelLoadError with the reason when the file cannot be
// opened, read or used (a folder, a read error, more than kMaxModelFileBytes).
[[nodiscard]] ColourModelData ReadColourModel(const std::string& path, const LogSink& log = {});
// The same for a model held in a stream (read to its end).
[[nodiscard]] ColourModelData ReadColourModel(std::istream& in, const LogSink& log = {});

// Checks a model held in memory as ReadColourModel checks a file: feature lengths, vector counts
// and the octree links. Throws ModelLoadError with the reason.
void ValidateColourModel(const ColourModelData& model);

// Writes a model file (binary section, then text section). Throws std::runtime_error when the
// file cannot be written or the data cannot be read back (wrong number of principal-direction
// values or eigenvalues, a value that is not finite).
void WriteColourModel(const std::string& path, const ColourModelData& model);
void WriteColourModel(std::ostream& out, const ColourModelData& model);

}  // namespace histonorm
