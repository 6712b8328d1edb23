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
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace histonorm {

// The number of threads a setting of 0 ("all cores") stands for; never less than 1.
[[nodiscard]] inline unsigned ResolveThreadCount(unsigned requested) {
  if (requested != 0) return requested;
  return std::max(1U, std::thread::hardware_concurrency());
}

// Pieces per thread when the items outnumber the threads: a thread slowed by other work on its core
// leaves its remaining pieces to the others instead of holding up the whole call.
inline constexpr std::size_t kPiecesPerThread = 8;

// requires: body(begin, end) is safe to call concurrently for disjoint ranges.
// ensures:  body has been called for disjoint ranges covering [0, count), at most `threads` at once
//           (0 = all cores), the ranges fixed by (count, threads, minChunk) alone; fewer threads are used
//           when there are fewer than `minChunk` items per thread. With more items than threads, the
//           ranges are pieces taken in turn by whichever thread is free, so calls of body must not wait
//           for each other; with at most one item per thread, every range has a thread of its own (the
//           calling thread takes the first), so they may.
// throws:   the first exception thrown by any call of body (in range order), after every started call
//           has finished; no piece is started after a call has thrown.
template <typename Body>
void ParallelFor(std::size_t count, unsigned threads, Body&& body, std::size_t minChunk = 1) {
  const std::size_t byWork = std::max<std::size_t>(1, count / std::max<std::size_t>(1, minChunk));
  const std::size_t chunks = std::min<std::size_t>(ResolveThreadCount(threads), byWork);
  if (chunks <= 1) {
    if (count > 0) body(std::size_t{0}, count);
    return;
  }
  const std::size_t pieces = count > chunks ? std::min(byWork, chunks * kPiecesPerThread) : chunks;
  std::vector<std::exception_ptr> errors(pieces);
  std::atomic<std::size_t> next{chunks};  // the first piece not yet taken (each thread starts with its own)
  std::atomic<bool> failed{false};
  auto run = [&](std::size_t piece) {
    while (piece < pieces && !failed.load(std::memory_order_relaxed)) {
      try {
        body(count * piece / pieces, count * (piece + 1) / pieces);
      } catch (...) {
        errors[piece] = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
      piece = next.fetch_add(1, std::memory_order_relaxed);
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

// requires: T is default-constructible and has an operator+= whose totals do not depend on the order
//           of additions (integer counts); body(begin, end, sum) adds items [begin, end) to `sum` and is
//           safe to call concurrently for disjoint ranges.
// ensures:  returns the sum of items [0, count), each range added into a T of its own and that added
//           to the total under a lock (ranges as ParallelFor makes them).
// throws:   as ParallelFor.
template <typename T, typename Body>
[[nodiscard]] T ParallelAccumulate(std::size_t count, unsigned threads, Body&& body,
                                   std::size_t minChunk = 1) {
  T total{};
  std::mutex merge;
  ParallelFor(
      count, threads,
      [&](std::size_t begin, std::size_t end) {
        T own{};
        body(begin, end, own);
        const std::scoped_lock lock(merge);
        total += own;
      },
      minChunk);
  return total;
}

// Rows per chunk so that a chunk of parallel per-pixel work holds at least about 64 Ki pixels: small
// images stay on the calling thread, where starting threads would cost more than it saves.
[[nodiscard]] inline std::size_t MinRowsPerChunk(int cols) {
  constexpr std::size_t kPixelsPerChunk = std::size_t{1} << 16;
  return std::max<std::size_t>(1, kPixelsPerChunk / static_cast<std::size_t>(std::max(1, cols)));
}

}  // namespace histonorm
