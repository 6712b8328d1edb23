#include "support/model_builder.h"

#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace histonorm::test {

namespace {

dlib::matrix<double> Column(const std::vector<double>& values, long length, double fill) {
  dlib::matrix<double> m(length, 1);
  for (long i = 0; i < length; ++i) {
    m(i) = values.empty() ? fill : values.at(static_cast<std::size_t>(i));
  }
  return m;
}

constexpr std::uint32_t kTopMask = 0x808080u;
constexpr std::uint32_t kSecondMask = 0xC0C0C0u;

std::uint32_t OctantValue(int octant, int bit) {
  const auto b = static_cast<std::uint32_t>(1u << bit);
  return ((octant & 1) ? b : 0u) + ((octant & 2) ? b << 8 : 0u) + ((octant & 4) ? b << 16 : 0u);
}

int Octant(int bit, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  return ((b0 >> bit) & 1) + 2 * ((b1 >> bit) & 1) + 4 * ((b2 >> bit) & 1);
}

}  // namespace

ClassModel MakeClassModel(const ClassDefinition& definition, long featureLength) {
  if (definition.weights.size() != definition.basis.size())
    throw std::invalid_argument("one weight per basis vector");
  ClassModel model;
  const auto mean = Column(definition.mean, featureLength, 0.0);
  const auto scale = Column(definition.scale, featureLength, 1.0);
  // The normaliser has no setter for its statistics; its serialised form is mean, scale and an
  // empty legacy matrix, so it is built through that.
  std::stringstream normaliser;
  dlib::serialize(mean, normaliser);
  dlib::serialize(scale, normaliser);
  dlib::serialize(dlib::matrix<double>(), normaliser);
  dlib::deserialize(model.normalizer, normaliser);

  auto& f = model.function.decision_funct;
  model.function.alpha = definition.sigmoidA;
  model.function.beta = definition.sigmoidB;
  f.b = definition.bias;
  f.kernel_function = dlib::radial_basis_kernel<dlib::matrix<double>>(definition.gamma);
  f.alpha.set_size(static_cast<long>(definition.weights.size()));
  f.basis_vectors.set_size(static_cast<long>(definition.basis.size()));
  for (std::size_t r = 0; r < definition.basis.size(); ++r) {
    if (definition.basis[r].size() != static_cast<std::size_t>(featureLength)) {
      throw std::invalid_argument("basis vector of the wrong length");
    }
    f.alpha(static_cast<long>(r)) = definition.weights[r];
    f.basis_vectors(static_cast<long>(r)) = Column(definition.basis[r], featureLength, 0.0);
  }
  return model;
}

ClassDefinition SingleVectorClass(std::vector<double> v, double weight) {
  ClassDefinition definition;
  definition.basis = {std::move(v)};
  definition.weights = {weight};
  return definition;
}

OctTreeNodeRecord MakeLeaf(std::int32_t parent, std::uint32_t mask, std::uint32_t value, std::uint32_t id) {
  OctTreeNodeRecord r;
  r.parent = parent;
  r.isLeaf = true;
  r.mask = mask;
  r.value = value;
  r.id = id;
  return r;
}

std::vector<OctTreeNodeRecord> MakeRegularOctTree(int levels) {
  if (levels != 1 && levels != 2) throw std::invalid_argument("levels must be 1 or 2");
  std::vector<OctTreeNodeRecord> records;
  for (int t = 0; t < 8; ++t) {
    auto top = MakeLeaf(-1, kTopMask, OctantValue(t, 7), static_cast<std::uint32_t>(t + 1));
    top.level = 7;
    top.size = {128, 128, 128};
    if (levels == 2) {
      top.isLeaf = false;
      top.id = 0;
      top.hasChildren = true;
      for (int c = 0; c < 8; ++c) top.children[static_cast<std::size_t>(c)] = 8 + 8 * t + c;
    }
    records.push_back(top);
  }
  if (levels == 2) {
    for (int t = 0; t < 8; ++t) {
      for (int c = 0; c < 8; ++c) {
        auto leaf = MakeLeaf(t, kSecondMask, OctantValue(t, 7) + OctantValue(c, 6),
                             static_cast<std::uint32_t>(1 + 8 * t + c));
        leaf.level = 6;
        leaf.size = {64, 64, 64};
        records.push_back(leaf);
      }
    }
  }
  return records;
}

int RegularTreeCode(int levels, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  const int top = Octant(7, b0, b1, b2);
  return levels == 1 ? top + 1 : 1 + 8 * top + Octant(6, b0, b1, b2);
}

ColourModelData MakeModelData(int dims, const std::array<ClassDefinition, 3>& classes) {
  const long length = dims + 3;
  ColourModelData model;
  for (std::size_t k = 0; k < 3; ++k) {
    ClassDefinition definition = classes[k];
    if (definition.basis.empty()) {
      definition.basis = {std::vector<double>(static_cast<std::size_t>(length), 0.0)};
      definition.weights = {0.0};
    }
    model.classes[k] = MakeClassModel(definition, length);
  }
  model.nodes = MakeRegularOctTree(2);
  for (int code = 1; code <= 64; ++code) model.meanHistogram[static_cast<std::size_t>(code)] = 1.0f / 64.0f;
  model.eigenvectors.assign(kEigenvectorValues, 0.0);
  for (std::size_t i = 0; i < kCodeCount; ++i)
    model.eigenvectors[i * kCodeCount + (i + 1) % kCodeCount] = 1.0;
  model.eigenvalues.assign(static_cast<std::size_t>(dims), 1.0f);
  return model;
}

std::array<double, 3> TinyModelPrototype(int k) {
  static constexpr std::array<std::array<double, 3>, 3> kPrototypes{
      {{64, 32, 96}, {128, 160, 192}, {224, 224, 224}}};
  return kPrototypes.at(static_cast<std::size_t>(k));
}

ColourModelData MakeTinyModel() {
  std::array<ClassDefinition, 3> classes;
  for (int k = 0; k < 3; ++k) {
    auto& c = classes[static_cast<std::size_t>(k)];
    const auto p = TinyModelPrototype(k);
    c.basis = {{p[0] / 64.0, p[1] / 64.0, p[2] / 64.0}};
    c.weights = {1.0};
    c.gamma = 1.0;
    c.bias = 0.25;
    c.sigmoidA = -2.0;
    c.sigmoidB = 0.5 + 0.25 * k;
    c.scale = {1.0 / 64.0, 1.0 / 64.0, 1.0 / 64.0};
  }
  return MakeModelData(0, classes);
}

ColourModelData MakeStainLikeModel(int dims) {
  // Typical colours (bytes blue, green, red) of the three classes over a range of stain strengths
  // and scanner tints, from deep violet-blue to pale lilac nuclei and from magenta to pale pink
  // stroma.
  static const std::array<std::vector<std::array<double, 3>>, 3> kPrototypes{{
      {{186, 65, 103},
       {205, 92, 135},
       {142, 52, 61},
       {165, 86, 96},
       {67, 23, 48},
       {109, 59, 122},
       {120, 50, 80}},
      {{225, 122, 172},
       {238, 146, 198},
       {247, 164, 221},
       {199, 152, 162},
       {211, 173, 184},
       {221, 189, 196},
       {139, 95, 189},
       {167, 127, 209},
       {189, 157, 223}},
      {{255, 235, 252}, {245, 240, 245}, {238, 233, 238}, {233, 226, 241}, {250, 250, 250}},
  }};
  constexpr double kColourScale = 1.0 / 25.0;
  const auto length = static_cast<std::size_t>(dims + 3);
  std::array<ClassDefinition, 3> classes;
  for (std::size_t k = 0; k < 3; ++k) {
    auto& c = classes[k];
    c.scale.assign(length, 0.0);
    for (std::size_t i = length - 3; i < length; ++i) c.scale[i] = kColourScale;
    for (const auto& p : kPrototypes[k]) {
      std::vector<double> v(length, 0.0);
      for (std::size_t i = 0; i < 3; ++i) v[length - 3 + i] = p[i] * kColourScale;
      c.basis.push_back(v);
      c.weights.push_back(1.0);
    }
    c.gamma = 1.0;
    c.bias = 0.0;
    c.sigmoidA = -12.0;
    c.sigmoidB = 4.0;
  }
  return MakeModelData(dims, classes);
}

ColourModelData MakeRealisticModel(int dims, int basisPerClass, std::uint32_t seed) {
  auto model = MakeStainLikeModel(dims);
  std::mt19937 rng(seed);
  std::normal_distribution<double> jitter(0.0, 0.5);
  const auto length = static_cast<std::size_t>(dims + 3);
  for (auto& c : model.classes) {
    const auto& f = c.function.decision_funct;
    ClassDefinition definition;
    definition.scale.assign(length, 1.0 / 25.0);
    for (std::size_t i = 0; i < length - 3; ++i) definition.scale[i] = 4.0;
    for (int r = 0; r < basisPerClass; ++r) {
      const auto& proto = f.basis_vectors(r % f.basis_vectors.nr());
      std::vector<double> v(length);
      for (std::size_t i = 0; i < length; ++i) v[i] = proto(static_cast<long>(i)) + jitter(rng);
      definition.basis.push_back(v);
      definition.weights.push_back(1.0 + jitter(rng));
    }
    definition.gamma = 0.5;
    definition.bias = 0.1;
    definition.sigmoidA = -12.0;
    definition.sigmoidB = 4.0;
    c = MakeClassModel(definition, static_cast<long>(length));
  }
  return model;
}

std::string WriteModelFile(const std::string& path, const ColourModelData& model) {
  WriteColourModel(path, model);
  return path;
}

}  // namespace histonorm::test
