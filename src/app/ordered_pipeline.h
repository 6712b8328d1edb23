#pragma once
// Items of a list produced by several worker threads and consumed one by one, in list order, on
// the calling thread: the batch decodes, normalises and encodes several images at once while its
// console lines, statistics and files follow the list exactly as a one-thread run would.
//
//   RunOrdered<cv::Mat>(names.size(), workers, workers + 1,
//       [&](std::size_t item, unsigned worker) { return Load(names[item]); },   // any order
//       [&](std::size_t item, cv::Mat&& image) { Measure(image); });            // 0, 1, 2, ...
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

#include "common/parallel_for.h"

namespace histonorm::app {

// requires: workers >= 1 and window >= 1; produce(item, worker) is safe to call concurrently for
//   different items (worker, in [0, workers), tells the calls of one thread from the others').
// ensures: consume(item, result) has been called on the calling thread for every item in order,
//   each with the result of produce(item, ...); no item is produced before item - window + 1 has
//   been consumed, so at most `window` results exist at once (the one being consumed included).
// throws: the first exception of consume, or the exception of produce for the earliest item that
//   had one, when that item's turn comes; no new item is produced after that, and the call returns
//   only when every worker has stopped.
template <typename Result, typename Produce, typename Consume>
void RunOrdered(std::size_t count, unsigned workers, std::size_t window, Produce&& produce, Consume&& consume) {
  struct Slot {
    std::optional<Result> result;
    std::exception_ptr error;
    bool done = false;
  };
  std::vector<Slot> slots(count);
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t next = 0;      // the next item to hand out
  std::size_t consumed = 0;  // items consumed so far
  bool stop = false;

  auto work = [&](unsigned worker) {
    for (;;) {
      std::size_t item = 0;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stop || next >= count || next < consumed + window; });
        if (stop || next >= count) return;
        item = next++;
      }
      Slot made;
      try {
        made.result.emplace(produce(item, worker));
      } catch (...) {
        made.error = std::current_exception();
      }
      made.done = true;
      {
        const std::scoped_lock lock(mutex);
        slots[item] = std::move(made);
      }
      changed.notify_all();
    }
  };
  auto drive = [&] {
    try {
      for (std::size_t item = 0; item < count; ++item) {
        Slot ready;
        {
          std::unique_lock lock(mutex);
          changed.wait(lock, [&] { return slots[item].done; });
          ready = std::move(slots[item]);
        }
        if (ready.error) std::rethrow_exception(ready.error);
        consume(item, std::move(*ready.result));
        {
          const std::scoped_lock lock(mutex);
          consumed = item + 1;
        }
        changed.notify_all();
      }
    } catch (...) {
      {
        const std::scoped_lock lock(mutex);
        stop = true;
      }
      changed.notify_all();
      throw;
    }
  };
  // One chunk per thread: the calling thread consumes, the others produce.
  ParallelFor(std::size_t{workers} + 1, workers + 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t role = begin; role < end; ++role) {
      if (role == 0) {
        drive();
      } else {
        work(static_cast<unsigned>(role - 1));
      }
    }
  });
}

}  // namespace histonorm::app
