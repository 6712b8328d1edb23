#pragma once
// An allocator that takes large blocks straight from the system's virtual memory and gives them
// back when freed, for per-pixel tables: images of many sizes come and go in a batch, and blocks of
// their size kept by the general allocator for reuse add up to more than one image's worth.
//
// Blocks of at least kMappedBytes are mapped pages, returned on deallocate. They are asked for in huge
// pages where the system grants them, and faulted in by whichever thread first writes them (the
// owners write their tables on all threads), not all at once by the allocating thread;
// smaller ones come from operator new. allocate throws std::bad_alloc when no memory is to be had.
// Elements made without a value are left uninitialised (a resized table is written in full by its
// owner, so it is not zeroed first).
#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <utility>

namespace histonorm {

template <typename T>
class MappedAllocator {
 public:
  using value_type = T;
  static constexpr std::size_t kMappedBytes = std::size_t{1} << 20;

  MappedAllocator() = default;
  template <typename U>
  explicit MappedAllocator(const MappedAllocator<U>& /*other*/) {}

  [[nodiscard]] T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMappedBytes) return static_cast<T*>(::operator new(bytes));
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    // Advice only: without huge pages the block is mapped in ordinary pages.
    static_cast<void>(madvise(block, bytes, MADV_HUGEPAGE));
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMappedBytes) {
      ::operator delete(p);
    } else {
      munmap(p, bytes);
    }
  }
  template <typename U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const MappedAllocator<U>& /*other*/) const {
    return true;
  }
};

}  // namespace histonorm
