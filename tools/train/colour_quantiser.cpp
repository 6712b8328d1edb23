#include "train/colour_quantiser.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>

namespace histonorm::train {

namespace {

constexpr int kTopLevel = 7;

// Bits of a colour key that a node at `level` tests: bits 7..level of each byte.
std::uint32_t MaskOf(int level) { return ((0xFFu << level) & 0xFFu) * 0x010101u; }

// Prefix of the child in `slot` (bit 0 blue, bit 1 green, bit 2 red) of a node one level up.
std::uint32_t ChildPrefix(std::uint32_t parentPrefix, int childLevel, int slot) {
  return parentPrefix | (static_cast<std::uint32_t>(slot & 1) << childLevel) |
         (static_cast<std::uint32_t>((slot >> 1) & 1) << (8 + childLevel)) |
         (static_cast<std::uint32_t>((slot >> 2) & 1) << (16 + childLevel));
}

// Pixel count and colour sums of the training colours inside one node's box.
struct Population {
  std::uint64_t count = 0;
  std::array<double, 3> sum{};  // bytes 0, 1, 2 (blue, green, red)

  void Merge(const Population& other) {
    count += other.count;
    for (int c = 0; c < 3; ++c) sum[c] += other.sum[c];
  }
  std::array<double, 3> Mean() const {
    std::array<double, 3> mean{};
    for (int c = 0; c < 3; ++c) mean[c] = count > 0 ? sum[c] / static_cast<double>(count) : 0.0;
    return mean;
  }
};

using NodeId = std::pair<int, std::uint32_t>;  // level, prefix

// Distinct colours with their counts, as level-0 leaves ordered by key.
std::map<std::uint32_t, Population> CountColours(std::vector<std::uint32_t> keys) {
  std::sort(keys.begin(), keys.end());
  std::map<std::uint32_t, Population> colours;
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i;
    while (j < keys.size() && keys[j] == keys[i]) ++j;
    Population p;
    p.count = j - i;
    const std::uint32_t k = keys[i];
    const std::array<double, 3> bytes{double(k & 0xFFu), double((k >> 8) & 0xFFu), double(k >> 16)};
    for (int c = 0; c < 3; ++c) p.sum[c] = bytes[c] * static_cast<double>(p.count);
    colours.emplace_hint(colours.end(), k, p);
    i = j;
  }
  return colours;
}

// Reduces the leaves level by level, deepest first: within a level the least populated parents
// (ties by prefix) absorb their children until at most maxLeaves leaves remain.
std::map<NodeId, Population> ReduceLeaves(const std::map<std::uint32_t, Population>& colours,
                                          std::size_t maxLeaves) {
  std::map<std::uint32_t, Population> leaves = colours;
  for (int level = 0; level < kTopLevel; ++level) {
    if (leaves.size() <= maxLeaves) {
      std::map<NodeId, Population> result;
      for (const auto& [prefix, p] : leaves) result.emplace(NodeId{level, prefix}, p);
      return result;
    }
    const std::uint32_t parentMask = MaskOf(level + 1);
    std::map<std::uint32_t, std::pair<Population, std::size_t>> parents;  // population, child count
    for (const auto& [prefix, p] : leaves) {
      auto& entry = parents[prefix & parentMask];
      entry.first.Merge(p);
      ++entry.second;
    }
    std::vector<std::pair<std::uint64_t, std::uint32_t>> order;  // count, prefix
    order.reserve(parents.size());
    for (const auto& [prefix, entry] : parents) order.emplace_back(entry.first.count, prefix);
    std::sort(order.begin(), order.end());

    std::size_t leafCount = leaves.size();
    std::set<std::uint32_t> merged;
    for (const auto& [count, prefix] : order) {
      if (leafCount <= maxLeaves) break;
      leafCount -= parents[prefix].second - 1;
      merged.insert(prefix);
    }
    if (merged.size() == parents.size()) {
      leaves.clear();
      for (const auto& [prefix, entry] : parents) leaves.emplace(prefix, entry.first);
      continue;
    }
    std::map<NodeId, Population> result;
    for (const auto& [prefix, p] : leaves) {
      if (!merged.count(prefix & parentMask)) result.emplace(NodeId{level, prefix}, p);
    }
    for (const std::uint32_t prefix : merged)
      result.emplace(NodeId{level + 1, prefix}, parents[prefix].first);
    return result;
  }
  std::map<NodeId, Population> result;
  for (const auto& [prefix, p] : leaves) result.emplace(NodeId{kTopLevel, prefix}, p);
  return result;
}

// Writes the records of the reduced tree in depth-first order.
class RecordWriter {
 public:
  explicit RecordWriter(const std::map<NodeId, Population>& leaves) : leaves_(leaves) {
    for (const auto& [id, p] : leaves) {
      for (int level = id.first + 1; level <= kTopLevel; ++level)
        internal_.insert({level, id.second & MaskOf(level)});
    }
  }

  std::vector<OctTreeNodeRecord> Write() {
    for (int slot = 0; slot < 8; ++slot) Emit(kTopLevel, ChildPrefix(0, kTopLevel, slot), -1);
    AssignEmptyLeaves();
    return std::move(records_);
  }

 private:
  std::int32_t Emit(int level, std::uint32_t prefix, std::int32_t parent) {
    const auto index = static_cast<std::int32_t>(records_.size());
    OctTreeNodeRecord r;
    r.parent = parent;
    r.level = static_cast<std::uint32_t>(level);
    r.size = {1u << level, 1u << level, 1u << level};
    r.mask = MaskOf(level);
    r.origin = {prefix & 0xFFu, prefix >> 16, (prefix >> 8) & 0xFFu};
    r.value = prefix;
    records_.push_back(r);

    if (const auto leaf = leaves_.find({level, prefix}); leaf != leaves_.end()) {
      const Population& p = leaf->second;
      const std::array<double, 3> mean = p.Mean();
      OctTreeNodeRecord& rec = records_[static_cast<std::size_t>(index)];
      rec.isLeaf = true;
      rec.id = ++leafCount_;
      rec.extraCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(p.count, 0xFFFFFFFFu));
      rec.extraValues = {float(mean[0]), float(mean[1]), float(mean[2])};
      populated_.push_back({rec.id, mean});
    } else if (internal_.count({level, prefix})) {
      std::array<std::int32_t, 8> children{};
      for (int slot = 0; slot < 8; ++slot)
        children[slot] = Emit(level - 1, ChildPrefix(prefix, level - 1, slot), index);
      OctTreeNodeRecord& rec = records_[static_cast<std::size_t>(index)];
      rec.hasChildren = true;
      rec.children = children;
    } else {
      records_[static_cast<std::size_t>(index)].isLeaf = true;
      empty_.push_back(static_cast<std::size_t>(index));
    }
    return index;
  }

  // An empty leaf answers with the populated leaf whose mean colour is nearest its box centre.
  void AssignEmptyLeaves() {
    for (const std::size_t index : empty_) {
      OctTreeNodeRecord& rec = records_[index];
      const double half = rec.size[0] / 2.0;
      const std::array<double, 3> centre{rec.origin[0] + half, rec.origin[2] + half, rec.origin[1] + half};
      double best = std::numeric_limits<double>::infinity();
      for (const auto& [id, mean] : populated_) {
        double d = 0.0;
        for (int c = 0; c < 3; ++c) d += (mean[c] - centre[c]) * (mean[c] - centre[c]);
        if (d < best) {
          best = d;
          rec.id = id;
        }
      }
    }
  }

  const std::map<NodeId, Population>& leaves_;
  std::set<NodeId> internal_;
  std::vector<OctTreeNodeRecord> records_;
  std::vector<std::size_t> empty_;
  std::vector<std::pair<std::uint32_t, std::array<double, 3>>> populated_;
  std::uint32_t leafCount_ = 0;
};

}  // namespace

void ColourQuantiserBuilder::Add(const cv::Mat& image) {
  if (image.type() != CV_8UC3) throw std::invalid_argument("colour quantiser: image is not 8-bit 3-channel");
  keys_.reserve(keys_.size() + image.total());
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* row = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x) keys_.push_back(ReadKey(row + 3 * x));
  }
}

std::vector<OctTreeNodeRecord> ColourQuantiserBuilder::Build(int maxLeaves) const {
  if (keys_.empty()) throw std::invalid_argument("colour quantiser: no colours to quantise");
  if (maxLeaves < 8) throw std::invalid_argument("colour quantiser: at least 8 leaves are needed");
  const auto leaves = ReduceLeaves(CountColours(keys_), static_cast<std::size_t>(maxLeaves));
  return RecordWriter(leaves).Write();
}

}  // namespace histonorm::train
