#pragma once
// Safety check of the binary section of a colour model file, run before the section is handed to
// the deserialiser. The deserialiser trusts the sizes it reads: a matrix size larger than the file
// makes it allocate without bound, and some integer encodings make it overflow. This check walks the
// same layout (three class models, each: normaliser mean, scale and legacy matrix, sigmoid A and B,
// weights, bias, kernel width, basis vectors) without allocating, and requires every size to be
// non-negative, every integer to be representable and every matrix to fit in the bytes present.
//
// Requires nothing of the bytes. Ensures that on return the deserialiser reads the three models
// using at most a few times the size of the input in memory; throws ModelLoadError otherwise.
#include <string_view>

namespace histonorm {

void CheckSerialisedClassModels(std::string_view bytes, int modelCount);

}  // namespace histonorm
