#include "norm/colour_map_transform.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

namespace histonorm {

namespace {

constexpr std::size_t kColours = std::size_t{1} << 24;
constexpr std::uint32_t kMapped = std::uint32_t{1} << 24;

std::uint32_t Load(std::uint32_t& word) {
  return std::atomic_ref<std::uint32_t>(word).load(std::memory_order_relaxed);
}

void Store(std::uint32_t& word, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_relaxed);
}

// The distinct colours of `input` that the table does not hold yet, in ascending key order.
std::vector<std::uint32_t> UnmappedColours(const cv::Mat& input, std::uint32_t* table) {
  std::vector<std::uint32_t> keys;
  for (int y = 0; y < input.rows; ++y) {
    const std::uint8_t* p = input.ptr<std::uint8_t>(y);
    for (int x = 0; x < input.cols; ++x, p += 3) {
      const std::uint32_t key = ImageColours::Key(p);
      if (Load(table[key]) == 0) keys.push_back(key);
    }
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

cv::Mat ColoursOfKeys(const std::vector<std::uint32_t>& keys) {
  cv::Mat colours(1, static_cast<int>(keys.size()), CV_8UC3);
  std::uint8_t* p = colours.ptr<std::uint8_t>(0);
  for (const std::uint32_t key : keys) {
    for (int b = 0; b < 3; ++b) *p++ = ImageColours::KeyByte(key, b);
  }
  return colours;
}

}  // namespace

ColourMapTransform::~ColourMapTransform() = default;

std::uint32_t* ColourMapTransform::Table() const {
  std::call_once(tableMade_, [this] {
    // Zeroed pages straight from the system: untouched colours cost no memory.
    void* words = std::calloc(kColours, sizeof(std::uint32_t));
    if (words == nullptr) throw std::bad_alloc();
    table_ = std::unique_ptr<std::uint32_t, void (*)(void*)>(static_cast<std::uint32_t*>(words), std::free);
  });
  return table_.get();
}

void ColourMapTransform::Transform(const cv::Mat& input, cv::Mat& output) const {
  std::uint32_t* table = Table();
  const std::vector<std::uint32_t> unmapped = UnmappedColours(input, table);
  if (!unmapped.empty()) {
    cv::Mat mapped;
    MapColours(ColoursOfKeys(unmapped), mapped);
    const std::uint8_t* m = mapped.ptr<std::uint8_t>(0);
    for (std::size_t i = 0; i < unmapped.size(); ++i, m += 3)
      Store(table[unmapped[i]], kMapped | ImageColours::Key(m));
  }
  // Another thread may map the same colour at the same time: it stores the same word.
  for (int y = 0; y < input.rows; ++y) {
    const std::uint8_t* in = input.ptr<std::uint8_t>(y);
    std::uint8_t* out = output.ptr<std::uint8_t>(y);
    for (int x = 0; x < input.cols; ++x, in += 3, out += 3) {
      const std::uint32_t word = Load(table[ImageColours::Key(in)]);
      out[0] = ImageColours::KeyByte(word, 0);
      out[1] = ImageColours::KeyByte(word, 1);
      out[2] = ImageColours::KeyByte(word, 2);
    }
  }
}

}  // namespace histonorm
