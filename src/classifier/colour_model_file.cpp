#include "classifier/colour_model_file.h"

#include <dlib/serialize.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "classifier/memory_stream.h"
#include "classifier/serialised_layout_check.h"
#include "common/log_line.h"
#include "common/safe_save.h"

namespace histonorm {

namespace {

constexpr int kClassCount = 3;

std::string ClassText(int k) { return "class " + std::to_string(k); }

bool IsColumn(const dlib::matrix<double>& m, long length) { return m.nr() == length && m.nc() == 1; }

// Rejects class models whose vectors do not all have the feature length of class 0, so that
// evaluating them never combines vectors of different lengths.
void CheckShapes(const std::array<ClassModel, kClassCount>& classes) {
  const long length = classes[0].normalizer.means().nr();
  if (length < kMinFeatureLength || length > kMaxFeatureLength) {
    throw ModelLoadError("feature length " + std::to_string(length) + " of class 0 is outside " +
                         std::to_string(kMinFeatureLength) + ".." + std::to_string(kMaxFeatureLength));
  }
  const std::string expected = std::to_string(length) + " x 1";
  for (int k = 0; k < kClassCount; ++k) {
    const auto& c = classes[static_cast<std::size_t>(k)];
    if (!IsColumn(c.normalizer.means(), length)) {
      throw ModelLoadError(ClassText(k) + ": normaliser mean is not " + expected);
    }
    if (!IsColumn(c.normalizer.std_devs(), length)) {
      throw ModelLoadError(ClassText(k) + ": normaliser scale is not " + expected);
    }
    const auto& f = c.function.decision_funct;
    if (f.alpha.nr() != f.basis_vectors.nr()) {
      throw ModelLoadError(ClassText(k) + ": " + std::to_string(f.alpha.nr()) + " weights for " +
                           std::to_string(f.basis_vectors.nr()) + " basis vectors");
    }
    for (long r = 0; r < f.basis_vectors.nr(); ++r) {
      if (!IsColumn(f.basis_vectors(r), length)) {
        throw ModelLoadError(ClassText(k) + ": basis vector " + std::to_string(r) + " is not " + expected);
      }
    }
  }
}

std::array<ClassModel, kClassCount> ReadClasses(std::istream& in) {
  std::array<ClassModel, kClassCount> classes;
  try {
    for (auto& c : classes) dlib::deserialize(c, in);
  } catch (const dlib::serialization_error& e) {
    throw ModelLoadError(e.what());
  }
  CheckShapes(classes);
  return classes;
}

[[noreturn]] void FailText(const std::string& item) {
  throw ModelLoadError("the text section ends early or holds an unreadable value in " + item);
}

template <typename T>
void ReadValues(std::istream& in, T* values, std::size_t count, const std::string& item) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!(in >> values[i])) FailText(item + " (value " + std::to_string(i) + ")");
  }
}

void ReadTextSection(std::istream& in, ColourModelData& model, const LogSink& log) {
  try {
    model.nodes = ReadOctTreeRecords(in, log);
    const OctTree linked(model.nodes);  // rejects links the search could not follow
  } catch (const OctTreeError& e) {
    throw ModelLoadError(e.what());
  }
  ReadValues(in, model.meanHistogram.data(), model.meanHistogram.size(), "the mean histogram");
  model.eigenvectors.resize(kEigenvectorValues);
  ReadValues(in, model.eigenvectors.data(), model.eigenvectors.size(), "the principal directions");

  const auto dims = static_cast<std::size_t>(model.FeatureLength() - kMinFeatureLength);
  LogLine(log, "Reduced PCA Dim=", dims);
  model.eigenvalues.resize(dims);
  for (std::size_t i = 0; i < dims; ++i) {
    ReadValues(in, &model.eigenvalues[i], 1, "eigenvalue " + std::to_string(i));
    LogLine(log, "EVec: ", std::sqrt(model.eigenvalues[i]));
  }
}

ColourModelData ParseModel(std::string_view bytes, const LogSink& log) {
  CheckSerialisedClassModels(bytes, kClassCount);
  MemoryStream binary(bytes);
  ColourModelData model;
  model.classes = ReadClasses(binary);
  // The text section starts at the first byte after the third class model.
  const auto offset =
      static_cast<std::size_t>(binary.rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in));
  MemoryStream text(bytes.substr(offset));
  ReadTextSection(text, model, log);
  return model;
}

template <typename T>
void WriteValues(std::ostream& out, const T* values, std::size_t count, const char* item) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(values[i]))
      throw std::runtime_error(std::string("a value of ") + item + " is not finite");
    out << values[i] << ((i + 1) % 16 == 0 || i + 1 == count ? '\n' : ' ');
  }
}

}  // namespace

void ValidateColourModel(const ColourModelData& model) {
  CheckShapes(model.classes);
  if (model.eigenvectors.size() != kEigenvectorValues) {
    throw ModelLoadError("the principal directions hold " + std::to_string(model.eigenvectors.size()) +
                         " values instead of 65536");
  }
  const auto dims = static_cast<std::size_t>(model.FeatureLength() - kMinFeatureLength);
  if (model.eigenvalues.size() != dims) {
    throw ModelLoadError(std::to_string(model.eigenvalues.size()) + " eigenvalues for " +
                         std::to_string(dims) + " principal components");
  }
  try {
    const OctTree linked(model.nodes);
  } catch (const OctTreeError& e) {
    throw ModelLoadError(e.what());
  }
}

ColourModelData ReadColourModel(const std::string& path, const LogSink& log) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw ModelLoadError("it is a folder");
  std::ifstream file(path, std::ios::binary);
  if (!file) throw ModelLoadError("the file cannot be opened");
  return ReadColourModel(file, log);
}

ColourModelData ReadColourModel(std::istream& in, const LogSink& log) {
  // Read in pieces, so that a read error ends as a failed stream and a device that never ends is
  // refused at the size bound.
  std::string bytes;
  std::array<char, 1 << 16> chunk;
  while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
    if (bytes.size() + static_cast<std::size_t>(in.gcount()) > kMaxModelFileBytes) {
      throw ModelLoadError("the file is larger than " + std::to_string(kMaxModelFileBytes >> 20) + " MiB");
    }
    bytes.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw ModelLoadError("the file cannot be read");
  return ParseModel(bytes, log);
}

void WriteColourModel(std::ostream& out, const ColourModelData& model) {
  const long length = model.FeatureLength();
  if (length < kMinFeatureLength || length > kMaxFeatureLength) {
    throw std::runtime_error("feature length " + std::to_string(length) + " is outside 3..259");
  }
  if (model.eigenvectors.size() != kEigenvectorValues) {
    throw std::runtime_error("the principal directions hold " + std::to_string(model.eigenvectors.size()) +
                             " values instead of 65536");
  }
  if (model.eigenvalues.size() != static_cast<std::size_t>(length - kMinFeatureLength)) {
    throw std::runtime_error(std::to_string(model.eigenvalues.size()) + " eigenvalues for feature length " +
                             std::to_string(length));
  }
  for (const auto& c : model.classes) dlib::serialize(c, out);
  WriteOctTreeRecords(out, model.nodes);
  const auto oldPrecision = out.precision(std::numeric_limits<float>::max_digits10);
  WriteValues(out, model.meanHistogram.data(), model.meanHistogram.size(), "the mean histogram");
  out.precision(std::numeric_limits<double>::max_digits10);
  WriteValues(out, model.eigenvectors.data(), model.eigenvectors.size(), "the principal directions");
  out.precision(std::numeric_limits<float>::max_digits10);
  WriteValues(out, model.eigenvalues.data(), model.eigenvalues.size(), "the eigenvalues");
  out.precision(oldPrecision);
  if (!out) throw std::runtime_error("the model could not be written");
}

void WriteColourModel(const std::string& path, const ColourModelData& model) {
  std::ostringstream buffer;
  WriteColourModel(buffer, model);
  const std::string bytes = buffer.str();
  if (const SaveResult saved = ReplaceFile(path, bytes.data(), bytes.size()); !saved)
    throw std::runtime_error("cannot write model file '" + path + "': " + saved.Reason());
}

}  // namespace histonorm
