// Writes the seed corpus of the model reader fuzzer into the directory given as argument: models
// from the test builders, as whole files and cut short for the completed form (see fuzz_input.h).
#include <dlib/serialize.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "support/model_builder.h"

namespace {

void WriteSeed(const std::filesystem::path& dir, const std::string& name, char form,
               const std::string& bytes) {
  std::ofstream out(dir / name, std::ios::binary);
  out << form << bytes;
}

std::string FileBytes(const histonorm::ColourModelData& model) {
  std::ostringstream out;
  histonorm::WriteColourModel(out, model);
  return out.str();
}

// The binary section and the octree records only.
std::string HeadBytes(const histonorm::ColourModelData& model) {
  std::ostringstream out;
  for (const auto& c : model.classes) dlib::serialize(c, out);
  histonorm::WriteOctTreeRecords(out, model.nodes);
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_fuzz_seeds <directory>" << std::endl;
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  using namespace histonorm;
  auto tiny = test::MakeTinyModel();
  tiny.nodes = test::MakeRegularOctTree(1);
  WriteSeed(dir, "tiny_head", '\1', HeadBytes(tiny));
  WriteSeed(dir, "tiny_two_level_head", '\1', HeadBytes(test::MakeTinyModel()));
  WriteSeed(dir, "stain_like_head", '\1', HeadBytes(test::MakeStainLikeModel(2)));
  auto deep = test::MakeModelData(1, {});
  deep.nodes = test::MakeRegularOctTree(1);
  deep.nodes[0].isLeaf = false;
  deep.nodes[0].hasChildren = true;
  for (int c = 0; c < 8; ++c) {
    deep.nodes[0].children[static_cast<std::size_t>(c)] = 8 + c;
    deep.nodes.push_back(test::MakeLeaf(0, 0x404040u, static_cast<std::uint32_t>(c) << 6, 300u + c));
  }
  WriteSeed(dir, "codes_above_range_head", '\1', HeadBytes(deep));
  WriteSeed(dir, "tiny_whole", '\0', FileBytes(test::MakeTinyModel()));
  return 0;
}
