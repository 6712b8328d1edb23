// histonorm: batch colour normalisation of stained tissue images.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/batch_run.h"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return histonorm::app::RunBatch(args);
  } catch (const std::exception& e) {
    std::cerr << "Internal error: " << e.what() << std::endl;
    return -1;
  }
}
