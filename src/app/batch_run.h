#pragma once
// One batch run: build the method's normaliser, measure the target (the reference image or every
// listed image), then normalise every listed image into the list's "normalised" sub-directory.
// Every message goes to standard error.
#include <string>
#include <vector>

namespace histonorm::app {

// args are the arguments after the program name. Returns the exit status: 0 after a complete
// run, -1 on a usage error or any failure (which has been reported by then).
[[nodiscard]] int RunBatch(const std::vector<std::string>& args);

// The start-up banner, ending with a blank line.
[[nodiscard]] std::string Banner();

}  // namespace histonorm::app
