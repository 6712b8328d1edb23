#include "classifier/octree.h"

#include <cmath>
#include <istream>
#include <limits>
#include <ostream>
#include <utility>

#include "common/log_line.h"

namespace histonorm {

namespace {

constexpr int kSlots = 8;
constexpr int kChildren = 8;

bool ReadRecord(std::istream& in, OctTreeNodeRecord& r) {
  in >> r.parent >> r.level >> r.id >> r.isLeaf;
  in >> r.size[0] >> r.size[1] >> r.size[2] >> r.mask;
  in >> r.origin[0] >> r.origin[1] >> r.origin[2] >> r.value;
  in >> r.hasChildren >> r.extraCount;
  in >> r.extraValues[0] >> r.extraValues[2] >> r.extraValues[1];
  if (r.hasChildren) {
    for (auto& c : r.children) in >> c;
  }
  return static_cast<bool>(in);
}

void WriteRecord(std::ostream& out, const OctTreeNodeRecord& r) {
  for (const float v : r.extraValues) {
    if (!std::isfinite(v)) throw std::runtime_error("an octree node holds an extra value that is not finite");
  }
  out << r.parent << ' ' << r.level << ' ' << r.id << ' ' << (r.isLeaf ? 1 : 0) << ' ';
  out << r.size[0] << ' ' << r.size[1] << ' ' << r.size[2] << ' ' << r.mask << ' ';
  out << r.origin[0] << ' ' << r.origin[1] << ' ' << r.origin[2] << ' ' << r.value << ' ';
  out << (r.hasChildren ? 1 : 0) << ' ' << r.extraCount << ' ';
  out << r.extraValues[0] << ' ' << r.extraValues[2] << ' ' << r.extraValues[1];
  if (r.hasChildren) {
    for (const auto c : r.children) out << ' ' << c;
  }
  out << '\n';
}

std::string NodeText(std::size_t j) { return "octree node " + std::to_string(j); }

}  // namespace

OctTreeNodeRecord DefaultTopLevelNode(int slot) {
  const auto i = static_cast<std::uint32_t>(slot);
  OctTreeNodeRecord r;
  r.parent = -1;
  r.level = 7;
  r.id = 0;
  r.isLeaf = true;
  r.hasChildren = false;
  r.size = {128, 128, 128};
  r.mask = 128u * 0x010101u;
  r.origin = {128u * (i & 1u), 128u * ((i >> 2) & 1u), 128u * ((i >> 1) & 1u)};
  r.value = r.origin[0] + 65536u * r.origin[1] + 256u * r.origin[2];
  return r;
}

std::vector<OctTreeNodeRecord> ReadOctTreeRecords(std::istream& in, const LogSink& log) {
  std::uint32_t count = 0;
  if (!(in >> count)) throw OctTreeError("the octree node count is missing or unreadable");
  std::vector<OctTreeNodeRecord> records;
  std::uint32_t parentless = 0;
  for (std::uint32_t j = 0; j < count; ++j) {
    OctTreeNodeRecord r;
    if (!ReadRecord(in, r)) {
      throw OctTreeError("the text section ends early or holds an unreadable value in " + NodeText(j));
    }
    if (r.parent == -1) {
      if (parentless == kSlots) {
        log.Line("OctTree: Internal error >8 nodes without parents");
        throw OctTreeError("more than eight octree nodes without a parent");
      }
      ++parentless;
    }
    records.push_back(r);
  }
  if (parentless != kSlots) {
    LogLine(log, "OctTree: Internal error, only ", parentless, " nodes without parents");
  }
  return records;
}

void WriteOctTreeRecords(std::ostream& out, const std::vector<OctTreeNodeRecord>& records) {
  const auto oldPrecision = out.precision(std::numeric_limits<float>::max_digits10);
  out << records.size() << '\n';
  for (const auto& r : records) WriteRecord(out, r);
  out.precision(oldPrecision);
}

OctTree::OctTree() {
  for (int s = 0; s < kSlots; ++s) {
    defaults_[static_cast<std::size_t>(s)] = DefaultTopLevelNode(s);
    topLevel_[static_cast<std::size_t>(s)] = kDefaultNode + s;
  }
}

OctTree::OctTree(std::vector<OctTreeNodeRecord> records) : OctTree() {
  records_ = std::move(records);
  std::size_t slot = 0;
  for (std::size_t j = 0; j < records_.size(); ++j) {
    if (records_[j].parent != -1) continue;
    if (slot == kSlots) throw OctTreeError("more than eight octree nodes without a parent");
    topLevel_[slot++] = static_cast<NodeIndex>(j);
  }
  CheckLinks();
}

OctTree::OctTree(std::istream& in, const LogSink& log) : OctTree(ReadOctTreeRecords(in, log)) {}

bool OctTree::Read(std::istream& in, std::string* reason, const LogSink& log) {
  try {
    *this = OctTree(in, log);
    return true;
  } catch (const OctTreeError& e) {
    if (reason != nullptr) *reason = e.what();
    return false;
  }
}

// Rejects every record set whose search could follow a link that does not exist or visit a node
// twice: indexes in range, non-leaf nodes with children, each node the target of at most one link
// (a top-level slot counts as one), and no cycle among the child links.
void OctTree::CheckLinks() const {
  const auto n = records_.size();
  if (n > static_cast<std::size_t>(std::numeric_limits<NodeIndex>::max())) {
    throw OctTreeError("too many octree nodes");
  }
  const auto inRange = [n](std::int32_t index) { return index >= 0 && static_cast<std::size_t>(index) < n; };
  std::vector<std::uint8_t> incoming(n, 0);
  for (const NodeIndex top : topLevel_) {
    if (top >= 0) incoming[static_cast<std::size_t>(top)] = 1;
  }
  for (std::size_t j = 0; j < n; ++j) {
    const auto& r = records_[j];
    if (r.parent != -1 && !inRange(r.parent)) {
      throw OctTreeError(NodeText(j) + " names parent " + std::to_string(r.parent) + ", outside 0.." +
                         std::to_string(n - 1));
    }
    if (!r.isLeaf && !r.hasChildren) throw OctTreeError(NodeText(j) + " is not a leaf but has no children");
    if (!r.hasChildren) continue;
    for (const auto c : r.children) {
      if (!inRange(c)) {
        throw OctTreeError(NodeText(j) + " names child " + std::to_string(c) + ", outside 0.." +
                           std::to_string(n - 1));
      }
      auto& in = incoming[static_cast<std::size_t>(c)];
      if (in != 0) throw OctTreeError(NodeText(static_cast<std::size_t>(c)) + " is reachable twice");
      in = 1;
    }
  }
  // Every node now has at most one incoming link, so a node that cannot be reached from a node
  // without incoming links lies on a cycle.
  std::vector<std::uint8_t> seen(n, 0);
  std::vector<std::size_t> pending;
  for (std::size_t j = 0; j < n; ++j) {
    if (incoming[j] == 0 || records_[j].parent == -1) pending.push_back(j);
  }
  while (!pending.empty()) {
    const auto j = pending.back();
    pending.pop_back();
    if (seen[j] != 0) continue;
    seen[j] = 1;
    if (!records_[j].hasChildren) continue;
    for (const auto c : records_[j].children) pending.push_back(static_cast<std::size_t>(c));
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (seen[j] == 0) throw OctTreeError(NodeText(j) + " lies on a cycle of child links");
  }
}

const OctTreeNodeRecord& OctTree::Node(NodeIndex node) const {
  if (node < 0) return defaults_[static_cast<std::size_t>(node - kDefaultNode)];
  return records_[static_cast<std::size_t>(node)];
}

std::int32_t OctTree::Find(NodeIndex node, std::uint32_t key) const {
  // Depth-first search without recursion, so a deep tree cannot exhaust the call stack. `result`
  // holds the result of the node most recently finished.
  struct Frame {
    NodeIndex node;
    int nextChild;
  };
  std::int32_t result = 0;
  // Settles a node that needs no descent; returns false when its children must be searched.
  const auto settle = [&](NodeIndex n) {
    const auto& r = Node(n);
    if ((key & r.mask) != r.value) {
      result = 0;
      return true;
    }
    if (r.isLeaf) {
      result = static_cast<std::int32_t>(r.id);
      return true;
    }
    return false;
  };
  if (settle(node)) return result;
  std::vector<Frame> stack{{node, 0}};
  while (!stack.empty()) {
    Frame& f = stack.back();
    if ((f.nextChild > 0 && result > 0) || f.nextChild == kChildren) {
      stack.pop_back();  // its result is the positive one found, or child slot 7's
      continue;
    }
    const NodeIndex child = Node(f.node).children[static_cast<std::size_t>(f.nextChild++)];
    if (!settle(child)) stack.push_back({child, 0});
  }
  return result;
}

std::int32_t OctTree::FindCode(std::uint32_t key) const {
  for (const NodeIndex top : topLevel_) {
    const std::int32_t code = Find(top, key);
    if (code > 0) return code;
  }
  return 0;
}

}  // namespace histonorm
