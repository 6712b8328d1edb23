#include <dlib/serialize.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "classifier/colour_model_file.h"
#include "support/cli_run.h"
#include "support/model_builder.h"

namespace histonorm {
namespace {

std::string ModelBytes(const ColourModelData& model) {
  std::ostringstream out;
  WriteColourModel(out, model);
  return out.str();
}

std::string BinaryBytes(const ColourModelData& model) {
  std::ostringstream out;
  for (const auto& c : model.classes) dlib::serialize(c, out);
  return out.str();
}

struct ReadOutcome {
  std::string err;
  std::string failure;  // empty on success
  ColourModelData model;
};

ReadOutcome ReadBytes(const std::string& bytes) {
  ReadOutcome outcome;
  std::istringstream in(bytes);
  std::ostringstream log;
  try {
    outcome.model = ReadColourModel(in, LogSink::To(log));
  } catch (const ModelLoadError& e) {
    outcome.failure = e.what();
    if (outcome.failure.empty()) outcome.failure = "(empty reason)";
  }
  outcome.err = log.str();
  return outcome;
}

TEST(ColourModelFileTest, WriteThenReadIsExact) {
  auto model = test::MakeStainLikeModel(3);
  model.eigenvectors[5] = 0.1;
  model.eigenvectors[70000 % kEigenvectorValues] = -1.0 / 3.0;
  model.meanHistogram[17] = 1.0f / 3.0f;
  model.eigenvalues = {4.0f, 0.3f, 1e-7f};
  const auto back = ReadBytes(ModelBytes(model));
  ASSERT_EQ(back.failure, "");
  EXPECT_EQ(back.err, "Reduced PCA Dim=3\nEVec: 2\nEVec: 0.547723\nEVec: 0.000316228\n");
  EXPECT_EQ(back.model.eigenvectors, model.eigenvectors);
  EXPECT_EQ(back.model.meanHistogram, model.meanHistogram);
  EXPECT_EQ(back.model.eigenvalues, model.eigenvalues);
  ASSERT_EQ(back.model.nodes.size(), model.nodes.size());
  EXPECT_EQ(back.model.nodes[9].children, model.nodes[9].children);
  EXPECT_EQ(back.model.nodes[9].value, model.nodes[9].value);
  EXPECT_EQ(back.model.FeatureLength(), 6);
  for (std::size_t k = 0; k < 3; ++k) {
    const auto& a = model.classes[k];
    const auto& b = back.model.classes[k];
    EXPECT_EQ(dlib::max(dlib::abs(a.normalizer.std_devs() - b.normalizer.std_devs())), 0.0);
    EXPECT_EQ(a.function.alpha, b.function.alpha);
    EXPECT_EQ(a.function.decision_funct.basis_vectors.nr(), b.function.decision_funct.basis_vectors.nr());
  }
}

TEST(ColourModelFileTest, ReadsFromAPathAndReportsAMissingFile) {
  test::ScratchDir dir;
  const auto path = test::WriteModelFile(dir / "model.dat", test::MakeTinyModel());
  std::ostringstream log;
  EXPECT_EQ(ReadColourModel(path, LogSink::To(log)).FeatureLength(), 3);
  EXPECT_EQ(log.str(), "Reduced PCA Dim=0\n");
  try {
    static_cast<void>(ReadColourModel(dir / "absent.dat"));
    FAIL();
  } catch (const ModelLoadError& e) {
    EXPECT_STREQ(e.what(), "the file cannot be opened");
  }
}

TEST(ColourModelFileTest, ConsoleLinesForTreeAndEigenvalues) {
  auto model = test::MakeModelData(2, {});
  model.nodes = test::MakeRegularOctTree(1);
  model.nodes.resize(5);
  model.eigenvalues = {-1.0f, 2.25f};
  const auto back = ReadBytes(ModelBytes(model));
  ASSERT_EQ(back.failure, "");
  EXPECT_EQ(
      back.err,
      "OctTree: Internal error, only 5 nodes without parents\nReduced PCA Dim=2\nEVec: -nan\nEVec: 1.5\n");
}

TEST(ColourModelFileTest, TextInAnyNumberFormatAndTrailingDataAreAccepted) {
  const auto model = test::MakeTinyModel();
  const std::string binary = BinaryBytes(model);
  std::string text = ModelBytes(model).substr(binary.size());
  // Replace the first histogram value "0" (after the tree) with another spelling of zero, use tabs
  // and carriage returns, and append junk.
  for (auto& ch : text) {
    if (ch == '\n') ch = '\t';
  }
  text = "\r\n" + text + "\r\n 1.25e-05 trailing words";
  EXPECT_EQ(ReadBytes(binary + text).failure, "");
}

TEST(ColourModelFileTest, UnusableBinarySectionsFail) {
  const auto model = test::MakeTinyModel();
  const std::string bytes = ModelBytes(model);
  const std::string binary = BinaryBytes(model);
  std::vector<std::pair<std::string, std::string>> cases{
      {"empty", ""},
      {"truncated first class", bytes.substr(0, 20)},
      {"truncated third class", binary.substr(0, binary.size() - 3)},
      {"huge matrix", std::string("\x08\xff\xff\xff\xff\xff\xff\xff\x7f\x01\x01", 11)},
      {"most negative size", std::string("\x88\x00\x00\x00\x00\x00\x00\x00\x80\x01\x01", 11)},
      {"mixed size signs", std::string("\x01\x05\x81\x03", 4) + bytes},
      {"oversized integer", std::string("\x09", 1) + bytes},
  };
  // A legacy projection matrix that is not empty.
  {
    std::ostringstream out;
    dlib::serialize(model.classes[0].normalizer.means(), out);
    dlib::serialize(model.classes[0].normalizer.std_devs(), out);
    dlib::serialize(dlib::matrix<double>(dlib::identity_matrix<double>(3)), out);
    dlib::serialize(model.classes[0].function, out);
    cases.push_back({"legacy projection", out.str() + bytes.substr(binary.size() / 3)});
  }
  for (const auto& [name, data] : cases) {
    const auto outcome = ReadBytes(data);
    EXPECT_NE(outcome.failure, "") << name;
    EXPECT_EQ(outcome.err, "") << name;
  }
}

TEST(ColourModelFileTest, InconsistentShapesFail) {
  using Mutation = void (*)(ColourModelData&);
  const std::pair<const char*, Mutation> cases[] = {
      {"feature length 2",
       [](ColourModelData& m) {
         for (auto& c : m.classes) c = test::MakeClassModel(test::SingleVectorClass({1, 2}), 2);
       }},
      {"feature length 260",
       [](ColourModelData& m) {
         for (auto& c : m.classes)
           c = test::MakeClassModel(test::SingleVectorClass(std::vector<double>(260)), 260);
       }},
      {"class 2 longer",
       [](ColourModelData& m) {
         m.classes[2] = test::MakeClassModel(test::SingleVectorClass({1, 2, 3, 4}), 4);
       }},
      {"class 1 scale shorter",
       [](ColourModelData& m) {
         auto other = test::MakeClassModel(test::SingleVectorClass({1, 2}), 2);
         std::stringstream s;
         dlib::serialize(m.classes[1].normalizer.means(), s);
         dlib::serialize(other.normalizer.std_devs(), s);
         dlib::serialize(dlib::matrix<double>(), s);
         dlib::deserialize(m.classes[1].normalizer, s);
       }},
      {"basis vector longer",
       [](ColourModelData& m) {
         m.classes[0].function.decision_funct.basis_vectors(0) = dlib::zeros_matrix<double>(4, 1);
       }},
      {"basis vector a row",
       [](ColourModelData& m) {
         m.classes[0].function.decision_funct.basis_vectors(0) = dlib::zeros_matrix<double>(1, 3);
       }},
      {"more weights than basis vectors",
       [](ColourModelData& m) {
         m.classes[1].function.decision_funct.alpha = dlib::ones_matrix<double>(2, 1);
       }},
  };
  for (const auto& [name, mutate] : cases) {
    auto model = test::MakeTinyModel();
    mutate(model);
    // Written piecewise: the writer itself refuses some of these.
    std::string bytes = BinaryBytes(model);
    const auto tiny = test::MakeTinyModel();
    bytes += ModelBytes(tiny).substr(BinaryBytes(tiny).size());
    const auto outcome = ReadBytes(bytes);
    EXPECT_NE(outcome.failure, "") << name;
  }
}

TEST(ColourModelFileTest, ShortOrUnreadableTextSectionsFail) {
  auto model = test::MakeTinyModel();
  model.eigenvalues = {};
  const std::string bytes = ModelBytes(model);
  const std::string binary = BinaryBytes(model);
  const auto treeEnd = bytes.find('\n', bytes.find('\n', binary.size()) + 1);  // count line, first record
  // Each case: what is cut or spoilt, the part of the reason that names where, the file.
  using Name = std::pair<const char*, const char*>;
  const std::pair<Name, std::string> cases[] = {
      {{"no text", "node count"}, binary},
      {{"ends in the tree", "octree node 1"}, bytes.substr(0, treeEnd)},
      {{"ends in the histogram", "mean histogram"}, bytes.substr(0, bytes.size() - 65536 * 2 - 100)},
      {{"ends in the directions", "directions (value 65036)"}, bytes.substr(0, bytes.size() - 1000)},
      {{"letter in the directions", "directions (value 65036)"},
       bytes.substr(0, bytes.size() - 1000) + "x" + bytes.substr(bytes.size() - 999)},
      {{"flag 2 in a record", "octree node 0"},
       binary + "1 -1 7 0 2 0 0 0 0 0 0 0 0 0 0 0 0 0 " + bytes.substr(treeEnd)},
  };
  for (const auto& [name, data] : cases) {
    const auto outcome = ReadBytes(data);
    EXPECT_NE(outcome.failure.find(name.second), std::string::npos) << name.first << ": " << outcome.failure;
  }

  auto withEigen = test::MakeModelData(2, {});
  const std::string full = ModelBytes(withEigen);
  const auto shortEigen = ReadBytes(full.substr(0, full.find_last_not_of("\n ") - 1));
  EXPECT_NE(shortEigen.failure, "");
  EXPECT_EQ(shortEigen.err, "Reduced PCA Dim=2\nEVec: 1\n");
}

TEST(ColourModelFileTest, TreeFailuresFail) {
  auto model = test::MakeTinyModel();
  model.nodes.push_back(model.nodes[0]);
  model.nodes.back().parent = -1;
  const auto tooMany = ReadBytes(ModelBytes(model));
  EXPECT_NE(tooMany.failure, "");
  EXPECT_EQ(tooMany.err, "OctTree: Internal error >8 nodes without parents\n");
  model = test::MakeTinyModel();
  model.nodes[3].children[0] = 4000;
  EXPECT_NE(ReadBytes(ModelBytes(model)).failure, "");
}

TEST(ColourModelFileTest, WriterRefusesDataItCouldNotReadBack) {
  auto model = test::MakeTinyModel();
  model.eigenvalues = {1.0f};
  std::ostringstream out;
  EXPECT_THROW(WriteColourModel(out, model), std::runtime_error);
  model = test::MakeTinyModel();
  model.eigenvectors.pop_back();
  EXPECT_THROW(WriteColourModel(out, model), std::runtime_error);
  model = test::MakeTinyModel();
  model.meanHistogram[3] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_THROW(WriteColourModel(out, model), std::runtime_error);
}

}  // namespace
}  // namespace histonorm
