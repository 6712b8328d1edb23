#include "base/colour_map_transform.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <new>
#include <vector>

#include "common/channel_order.h"

namespace histonorm {

namespace {

constexpr std::size_t kColours = std::size_t{1} << 24;
constexpr std::size_t kTableBytes = kColours * sizeof(std::uint32_t);
constexpr std::uint32_t kMapped = std::uint32_t{1} << 24;

std::uint32_t Load(std::uint32_t& word) {
  return std::atomic_ref<std::uint32_t>(word).load(std::memory_order_relaxed);
}

void Store(std::uint32_t& word, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_relaxed);
}

void Unmap(void* table) { ::munmap(table, kTableBytes); }

// The bits of a byte spread out to every third bit: bit i goes to bit 3 i.
constexpr std::array<std::uint32_t, 256> kSpread = [] {
  std::array<std::uint32_t, 256> spread{};
  for (std::uint32_t v = 0; v < 256; ++v)
    for (std::uint32_t bit = 0; bit < 8; ++bit) spread[v] |= ((v >> bit) & 1u) << (3 * bit);
  return spread;
}();

// Where a colour's word lies in the table: the bits of the three bytes interleaved, so that similar
// colours, which neighbouring pixels mostly have, share cache lines and pages (laid out by key, colours
// one red level apart would lie 256 KiB apart).
std::uint32_t Slot(std::uint32_t byte0, std::uint32_t byte1, std::uint32_t byte2) {
  return kSpread[byte0] | kSpread[byte1] << 1 | kSpread[byte2] << 2;
}

std::uint32_t SlotOfKey(std::uint32_t key) { return Slot(KeyByte(key, 0), KeyByte(key, 1), KeyByte(key, 2)); }

// The slot of the colour of a pixel stored in `Order`.
template <ChannelOrder Order>
std::uint32_t SlotOfPixel(const std::uint8_t* pixel) {
  return Slot(pixel[StoredIndex(0, Order)], pixel[1], pixel[StoredIndex(2, Order)]);
}

// Writes the colour of a table word as a pixel stored in `Order`.
template <ChannelOrder Order>
void WriteColour(std::uint32_t word, std::uint8_t* out) {
  out[StoredIndex(0, Order)] = KeyByte(word, 0);
  out[1] = KeyByte(word, 1);
  out[StoredIndex(2, Order)] = KeyByte(word, 2);
}

// A pixel whose colour was not in the table: its slot, its key and where its output goes.
struct PendingPixel {
  std::uint32_t slot;
  std::uint32_t key;
  std::uint8_t* out;
};

cv::Mat ColoursOfKeys(const std::vector<std::uint32_t>& keys) {
  cv::Mat colours(1, static_cast<int>(keys.size()), CV_8UC3);
  std::uint8_t* p = colours.ptr<std::uint8_t>(0);
  for (const std::uint32_t key : keys) {
    for (int b = 0; b < 3; ++b) *p++ = KeyByte(key, b);
  }
  return colours;
}

// Writes every pixel whose colour the table holds; returns the others. A row's words are gathered
// first, with no branch between the look-ups, so that their cache misses overlap.
template <ChannelOrder Order>
std::vector<PendingPixel> WriteMapped(const cv::Mat& input, cv::Mat& output, std::uint32_t* table) {
  std::vector<PendingPixel> pending;
  std::vector<std::uint32_t> slots(static_cast<std::size_t>(input.cols));
  std::vector<std::uint32_t> words(slots.size());
  for (int y = 0; y < input.rows; ++y) {
    const std::uint8_t* in = input.ptr<std::uint8_t>(y);
    std::uint8_t* out = output.ptr<std::uint8_t>(y);
    for (std::size_t x = 0; x < slots.size(); ++x) slots[x] = SlotOfPixel<Order>(in + 3 * x);
    for (std::size_t x = 0; x < slots.size(); ++x) words[x] = Load(table[slots[x]]);
    for (std::size_t x = 0; x < slots.size(); ++x, in += 3, out += 3) {
      if (words[x] != 0)
        WriteColour<Order>(words[x], out);
      else
        pending.push_back({slots[x], ReadBgrKey<Order>(in), out});
    }
  }
  return pending;
}

}  // namespace

ColourMapTransform::~ColourMapTransform() = default;

std::uint32_t* ColourMapTransform::Table() const {
  std::call_once(tableMade_, [this] {
    // Zeroed pages straight from the system: untouched colours cost no memory. Large pages, where the
    // system gives them, save most of the address translation misses of scattered look-ups.
    void* words = ::mmap(nullptr, kTableBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (words == MAP_FAILED) throw std::bad_alloc();
    ::madvise(words, kTableBytes, MADV_HUGEPAGE);  // only a hint: fine if refused
    table_ = std::unique_ptr<std::uint32_t, void (*)(void*)>(static_cast<std::uint32_t*>(words), Unmap);
  });
  return table_.get();
}

void ColourMapTransform::MapInto(const std::vector<std::uint32_t>& keys, std::uint32_t* table) const {
  cv::Mat mapped;
  MapColours(ColoursOfKeys(keys), mapped);
  const std::uint8_t* m = mapped.ptr<std::uint8_t>(0);
  // Another thread may map the same colour at the same time: it stores the same word.
  for (std::size_t i = 0; i < keys.size(); ++i, m += 3)
    Store(table[SlotOfKey(keys[i])], kMapped | ReadKey(m));
}

template <ChannelOrder Order>
void ColourMapTransform::TransformIn(const cv::Mat& input, cv::Mat& output) const {
  std::uint32_t* table = Table();
  const std::vector<PendingPixel> pending = WriteMapped<Order>(input, output, table);
  if (pending.empty()) return;
  std::vector<std::uint32_t> keys(pending.size());
  std::transform(pending.begin(), pending.end(), keys.begin(), [](const PendingPixel& p) { return p.key; });
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  MapInto(keys, table);
  for (const PendingPixel& pixel : pending) WriteColour<Order>(Load(table[pixel.slot]), pixel.out);
}

void ColourMapTransform::Transform(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const {
  if (order == ChannelOrder::kBgr)
    TransformIn<ChannelOrder::kBgr>(input, output);
  else
    TransformIn<ChannelOrder::kRgb>(input, output);
}

}  // namespace histonorm
