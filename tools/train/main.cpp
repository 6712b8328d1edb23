// histonorm-train: trains a colour model file for the stain method from a set of images.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "cli/batch_options.h"
#include "common/safe_save.h"
#include "train/model_trainer.h"
#include "train/train_options.h"

int main(int argc, char** argv) {
  using namespace histonorm::train;
  // An interrupted run leaves no half-written model behind.
  histonorm::RemoveTemporaryFilesOnSignals();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (histonorm::app::IsHelpRequest(args)) {
    std::cout << TrainUsage() << "\n"
              << "The shipped models are installed in " << histonorm::app::InstalledModelDir() << "/.\n"
              << "Example:\n"
              << "  histonorm-train --out my-he.model --stains he slides/*.png\n"
              << "  histonorm-train --check my-he.model slides/*.png" << std::endl;
    return 0;
  }
  if (histonorm::app::IsVersionRequest(args)) {
    std::cout << histonorm::app::VersionLine("histonorm-train") << std::endl;
    return 0;
  }
  TrainOptions options;
  try {
    options = ParseTrainOptions(args);
  } catch (const UsageError& e) {
    std::cerr << "histonorm-train: " << e.what() << std::endl;
    std::cerr << TrainUsage() << std::endl;
    return 2;
  }
  try {
    if (options.checkModel) {
      const std::vector<SourceCheck> checks = CheckColourModel(options, std::cerr);
      const auto passes =
          std::count_if(checks.begin(), checks.end(), [](const SourceCheck& c) { return c.meetsBar; });
      std::cerr << "Checked model '" << *options.checkModel << "': " << passes << " of " << checks.size()
                << " images meet the bar" << std::endl;
      return 0;
    }
    const TrainingSummary s = TrainColourModel(options, std::cerr);
    std::cerr << "Wrote model '" << s.modelPath << "': D=" << s.dims << ", held-back accuracy stain 0 "
              << s.heldBackAccuracy[0] << ", stain 1 " << s.heldBackAccuracy[1] << ", background "
              << s.heldBackAccuracy[2] << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "histonorm-train: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
