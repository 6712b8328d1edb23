#pragma once
// Octree colour quantiser: maps a 24-bit colour key (byte 0 + 256 x byte 1 + 65536 x byte 2 of a
// pixel as stored) to a colour code; a code of 0 or less means "no code".
//
// The tree has eight top-level slots, each holding a default node (matches its octant, answers 0)
// until a parentless record from the model file replaces it. Nodes are never added after
// construction, so a tree is immutable once built.
//
// Construction from records (or a stream) requires a well-formed tree: every index in range, no
// child index of -1, every non-leaf node with children, no node reachable twice and no cycle. It
// ensures every search terminates; a malformed tree is rejected with OctTreeError.
#include <array>
#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "histonorm/log_sink.h"

namespace histonorm {

class OctTreeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One octree node as stored in the model file.
struct OctTreeNodeRecord {
  std::int32_t parent = -1;  // record position of the parent, -1 for a top-level node
  std::uint32_t level = 0;
  std::uint32_t id = 0;
  bool isLeaf = false;
  std::array<std::uint32_t, 3> size{};
  std::uint32_t mask = 0;
  std::array<std::uint32_t, 3> origin{};
  std::uint32_t value = 0;
  bool hasChildren = false;
  std::uint32_t extraCount = 0;
  std::array<float, 3> extraValues{};      // held in this order; the file stores [0], [2], [1]
  std::array<std::int32_t, 8> children{};  // record positions, meaningful when hasChildren
};

// The default node of top-level slot `slot` (0..7): level 7, covers the octant whose bit 7 of bytes
// 0, 1, 2 equals bit 0, 1, 2 of `slot`, and answers "no code".
OctTreeNodeRecord DefaultTopLevelNode(int slot);

// Reads the node count and that many records from the current position of `in`, logging the
// "OctTree: ..." lines for a wrong number of parentless records. Throws OctTreeError when more than
// eight records have no parent or when the stream fails (a value does not parse, input ends).
[[nodiscard]] std::vector<OctTreeNodeRecord> ReadOctTreeRecords(std::istream& in, const LogSink& log = {});

// Writes the node count and the records in the layout ReadOctTreeRecords reads, each float with
// enough digits to read back exactly. Throws std::runtime_error for a value that is not finite.
void WriteOctTreeRecords(std::ostream& out, const std::vector<OctTreeNodeRecord>& records);

class OctTree {
 public:
  // Index of a node: 0..N-1 are file records, kDefaultNode + slot are the default nodes.
  using NodeIndex = std::int32_t;
  static constexpr NodeIndex kDefaultNode = -8;

  // Eight default top-level nodes: every colour has no code.
  OctTree();
  // Links the records (file order); parentless records fill slots 0, 1, ... in order. Throws
  // OctTreeError when the records do not form a well-formed tree (see above) or more than eight
  // have no parent.
  explicit OctTree(std::vector<OctTreeNodeRecord> records);
  // Reads the records from `in` and links them (see ReadOctTreeRecords). Throws OctTreeError.
  explicit OctTree(std::istream& in, const LogSink& log = {});

  // Replaces the tree with one read from `in`, logging as ReadOctTreeRecords. Returns false on
  // failure, leaving the tree unchanged; `reason`, when given, receives the cause.
  [[nodiscard]] bool Read(std::istream& in, std::string* reason = nullptr, const LogSink& log = {});

  // Searches the subtree of `node` for `key`: 0 when the key lies outside the node, the node's id
  // (as a signed value) at a leaf, else the first positive child result in slot order, or child
  // slot 7's result when none is positive.
  [[nodiscard]] std::int32_t Find(NodeIndex node, std::uint32_t key) const;
  // The colour code of `key`: the first positive result among the top-level slots, 0 if none.
  // Codes above 255 are returned unchanged.
  [[nodiscard]] std::int32_t FindCode(std::uint32_t key) const;

  NodeIndex TopLevel(int slot) const { return topLevel_[static_cast<std::size_t>(slot)]; }
  const OctTreeNodeRecord& Node(NodeIndex node) const;
  const std::vector<OctTreeNodeRecord>& Records() const { return records_; }

 private:
  void CheckLinks() const;

  std::vector<OctTreeNodeRecord> records_;
  std::array<OctTreeNodeRecord, 8> defaults_;
  std::array<NodeIndex, 8> topLevel_{};
};

}  // namespace histonorm
