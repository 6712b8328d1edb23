// Splits a range of independent work items into contiguous chunks and runs them on worker threads.
//
//   histonorm::ParallelFor(image.rows, threads, [&](std::size_t begin, std::size_t end) {
//     for (std::size_t row = begin; row < end; ++row) NormaliseRow(row);
//   });
//
// Each item is handled by exactly one call of the body, and the chunks are fixed by (count, threads) alone,
// so a body that writes only its own items gives the same bytes for every thread count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace histonorm {

// The number of threads a setting of 0 ("all cores") stands for; never less than 1.
[[nodiscard]] inline unsigned ResolveThreadCount(unsigned requested) {
  if (requested != 0) return requested;
  return std::max(1U, std::thread::hardware_concurrency());
}

// requires: body(begin, end) is safe to call concurrently for disjoint ranges.
// ensures:  body has been called for disjoint ranges covering [0, count), at most `threads` at once
//           (0 = all cores); the calling thread takes the first chunk. Fewer threads are used when there are
//           fewer than `minChunk` items per thread.
// throws:   the first exception thrown by any call of body, after every started call has finished.
template <typename Body>
void ParallelFor(std::size_t count, unsigned threads, Body&& body, std::size_t minChunk = 1) {
  const std::size_t byWork = std::max<std::size_t>(1, count / std::max<std::size_t>(1, minChunk));
  const std::size_t chunks = std::min<std::size_t>(ResolveThreadCount(threads), byWork);
  if (chunks <= 1) {
    if (count > 0) body(std::size_t{0}, count);
    return;
  }
  std::vector<std::exception_ptr> errors(chunks);
  auto run = [&](std::size_t chunk) {
    try {
      body(count * chunk / chunks, count * (chunk + 1) / chunks);
    } catch (...) {
      errors[chunk] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> workers;
    workers.reserve(chunks - 1);
    for (std::size_t chunk = 1; chunk < chunks; ++chunk) workers.emplace_back(run, chunk);
    run(0);
  }
  for (const auto& error : errors)
    if (error) std::rethrow_exception(error);
}

// Rows per chunk so that a chunk of parallel per-pixel work holds at least about 64 Ki pixels: small
// images stay on the calling thread, where starting threads would cost more than it saves.
[[nodiscard]] inline std::size_t MinRowsPerChunk(int cols) {
  constexpr std::size_t kPixelsPerChunk = std::size_t{1} << 16;
  return std::max<std::size_t>(1, kPixelsPerChunk / static_cast<std::size_t>(std::max(1, cols)));
}

}  // namespace histonorm
