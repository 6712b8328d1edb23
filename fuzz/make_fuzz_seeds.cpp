// Writes the seed corpora into the two directories given as arguments: into the first, for the
// model reader fuzzer, models from the test builders, as whole files and cut short for the
// completed form (see fuzz_input.h); into the second, for the target reader fuzzer, every
// method's saved target of a sample image, after the byte that selects the method.
#include <dlib/serialize.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "histonorm/histonorm.h"
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

void WriteTargetSeeds(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  const cv::Mat sample = cv::imread(HISTONORM_FUZZ_SAMPLE, cv::IMREAD_COLOR);
  for (std::size_t m = 0; m < histonorm::kAllMethods.size(); ++m) {
    histonorm::Options options;
    options.colourModelPath = HISTONORM_FUZZ_MODEL;
    const auto norm = histonorm::MakeNormaliser(histonorm::kAllMethods[m], options);
    norm->CalcStats(sample);
    std::ostringstream text;
    histonorm::SaveTarget(*norm, text);
    WriteSeed(dir, std::string(histonorm::MethodName(histonorm::kAllMethods[m])), static_cast<char>(m),
              text.str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_fuzz_seeds <model seed directory> <target seed directory>" << std::endl;
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
  WriteTargetSeeds(argv[2]);
  return 0;
}
