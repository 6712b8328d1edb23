// histonorm: batch colour normalisation of stained tissue images.
#include <exception>
#include <iostream>
#include <opencv2/core/utils/logger.hpp>
#include <string>
#include <vector>

#include "app/batch_run.h"
#include "common/safe_save.h"

int main(int argc, char** argv) {
  // The image library would otherwise add its own warnings to the console for unreadable files.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // An interrupted run leaves no half-written temporary file behind.
  histonorm::RemoveTemporaryFilesOnSignals();
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return histonorm::app::RunBatch(args);
  } catch (const std::exception& e) {
    std::cerr << "Internal error: " << e.what() << std::endl;
    return -1;
  }
}
