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

namespace detail {

// The shared state of one RunOrdered call.
template <typename Result>
class OrderedItems {
 public:
  OrderedItems(std::size_t count, std::size_t window) : slots_(count), window_(window) {}

  // A worker's loop: takes the next item while there is one within the window, produces it and
  // files the result (or what producing it threw).
  template <typename Produce>
  void Work(unsigned worker, Produce& produce) {
    for (;;) {
      std::size_t item = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || next_ >= slots_.size() || next_ < consumed_ + window_; });
        if (stop_ || next_ >= slots_.size()) return;
        item = next_++;
      }
      Slot made;
      try {
        made.result.emplace(produce(item, worker));
      } catch (...) {
        made.error = std::current_exception();
      }
      made.done = true;
      {
        const std::scoped_lock lock(mutex_);
        slots_[item] = std::move(made);
      }
      changed_.notify_all();
    }
  }

  // The consuming loop: every item in order, as soon as it is ready. Anything thrown stops the
  // workers from taking new items and is passed on.
  template <typename Consume>
  void Drive(Consume& consume) {
    try {
      for (std::size_t item = 0; item < slots_.size(); ++item) {
        Slot ready = Take(item);
        if (ready.error) std::rethrow_exception(ready.error);
        consume(item, std::move(*ready.result));
        {
          const std::scoped_lock lock(mutex_);
          consumed_ = item + 1;
        }
        changed_.notify_all();
      }
    } catch (...) {
      {
        const std::scoped_lock lock(mutex_);
        stop_ = true;
      }
      changed_.notify_all();
      throw;
    }
  }

 private:
  struct Slot {
    std::optional<Result> result;
    std::exception_ptr error;
    bool done = false;
  };

  Slot Take(std::size_t item) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slots_[item].done; });
    return std::move(slots_[item]);
  }

  std::vector<Slot> slots_;
  std::size_t window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;      // the next item to hand out
  std::size_t consumed_ = 0;  // items consumed so far
  bool stop_ = false;
};

}  // namespace detail

// requires: workers >= 1 and window >= 1; produce(item, worker) is safe to call concurrently for
//   different items (worker, in [0, workers), tells the calls of one thread from the others').
// ensures: consume(item, result) has been called on the calling thread for every item in order,
//   each with the result of produce(item, ...); no item is produced before item - window + 1 has
//   been consumed, so at most `window` results exist at once (the one being consumed included).
// throws: the first exception of consume, or the exception of produce for the earliest item that
//   had one, when that item's turn comes; no new item is produced after that, and the call returns
//   only when every worker has stopped.
template <typename Result, typename Produce, typename Consume>
void RunOrdered(std::size_t count, unsigned workers, std::size_t window, Produce&& produce,
                Consume&& consume) {
  detail::OrderedItems<Result> items(count, window);
  // One chunk per thread: the calling thread consumes, the others produce.
  ParallelFor(std::size_t{workers} + 1, workers + 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t role = begin; role < end; ++role) {
      if (role == 0) {
        items.Drive(consume);
      } else {
        items.Work(static_cast<unsigned>(role - 1), produce);
      }
    }
  });
}

}  // namespace histonorm::app
