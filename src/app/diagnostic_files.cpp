#include "app/diagnostic_files.h"

#include "cli/image_io.h"
#include "common/safe_save.h"

namespace histonorm::app {

void WriteDiagnosticFiles(const std::string& prefix, const StainDiagnostics& diagnostics) {
  const std::string base = prefix + diagnostics.stage;
  const std::string vectors = base + ".vectors.txt";
  if (!ReplaceFile(vectors, diagnostics.vectors.data(), diagnostics.vectors.size())) {
    throw DiagnosticFileError(vectors);
  }
  if (diagnostics.channels[0].empty()) return;
  const std::string pictures = base + ".channels";
  const bool first = static_cast<bool>(SaveImage(pictures + ".1.jpg", diagnostics.channels[0]));
  const bool second = static_cast<bool>(SaveImage(pictures + ".2.jpg", diagnostics.channels[1]));
  if (!first || !second) throw DiagnosticFileError(pictures + ".1.jpg");
}

}  // namespace histonorm::app
