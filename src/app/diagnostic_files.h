#pragma once
// The stain method's diagnostic files, written by the driver from the diagnostics the normaliser
// hands out: under a prefix, the stain vectors go to prefix + stage + ".vectors.txt" and stain
// channels 0 and 1 to prefix + stage + ".channels.1.jpg" and ".channels.2.jpg", in that order.
// Each file is replaced safely (see common/safe_save.h).
#include <stdexcept>
#include <string>

#include "histonorm/stain_diagnostics.h"

namespace histonorm::app {

// A diagnostic file that could not be written; what() is its path.
class DiagnosticFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes the files of one stage. Throws DiagnosticFileError naming the vector file when it cannot be
// written (the pictures are then not tried), or naming the ".channels.1.jpg" file when either
// picture cannot be written (both are tried).
void WriteDiagnosticFiles(const std::string& prefix, const StainDiagnostics& diagnostics);

}  // namespace histonorm::app
