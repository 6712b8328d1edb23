#include "classifier/octree.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/model_builder.h"

namespace histonorm {
namespace {

std::uint32_t Key(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) { return b0 + 256u * b1 + 65536u * b2; }

std::string RecordsText(const std::vector<OctTreeNodeRecord>& records) {
  std::ostringstream out;
  WriteOctTreeRecords(out, records);
  return out.str();
}

// Reads a tree from text, returning the lines logged.
std::string ReadTree(const std::string& text, OctTree& tree, bool expectOk = true) {
  std::istringstream in(text);
  std::ostringstream log;
  std::string reason;
  const bool ok = tree.Read(in, &reason, LogSink::To(log));
  EXPECT_EQ(ok, expectOk) << reason;
  return log.str();
}

TEST(OctTreeTest, DefaultNodesCoverTheirOctantAndGiveNoCode) {
  const OctTree tree;
  for (int slot = 0; slot < 8; ++slot) {
    const auto& n = tree.Node(tree.TopLevel(slot));
    EXPECT_EQ(n.level, 7u);
    EXPECT_EQ(n.mask, 8421504u);
    EXPECT_TRUE(n.isLeaf);
    EXPECT_FALSE(n.hasChildren);
    EXPECT_EQ(n.size, (std::array<std::uint32_t, 3>{128, 128, 128}));
    // Bits 0, 1, 2 of the slot give bit 7 of bytes 0, 1, 2.
    const std::uint8_t b0 = (slot & 1) ? 200 : 10;
    const std::uint8_t b1 = (slot & 2) ? 200 : 10;
    const std::uint8_t b2 = (slot & 4) ? 200 : 10;
    EXPECT_EQ(n.value, Key(b0, b1, b2) & n.mask) << slot;
    EXPECT_EQ(tree.FindCode(Key(b0, b1, b2)), 0);
  }
  EXPECT_EQ(DefaultTopLevelNode(6).origin, (std::array<std::uint32_t, 3>{0, 128, 128}));
}

TEST(OctTreeTest, RegularTreeRoundTripsAndFindsEveryCode) {
  const auto records = test::MakeRegularOctTree(2);
  OctTree tree;
  EXPECT_EQ(ReadTree(RecordsText(records), tree), "");
  ASSERT_EQ(tree.Records().size(), records.size());
  for (int b0 = 0; b0 < 256; b0 += 17) {
    for (int b1 = 0; b1 < 256; b1 += 23) {
      for (int b2 = 0; b2 < 256; b2 += 29) {
        const auto c0 = static_cast<std::uint8_t>(b0), c1 = static_cast<std::uint8_t>(b1),
                   c2 = static_cast<std::uint8_t>(b2);
        ASSERT_EQ(tree.FindCode(Key(c0, c1, c2)), test::RegularTreeCode(2, c0, c1, c2));
      }
    }
  }
}

TEST(OctTreeTest, RecordFieldsAndExtraValueOrderSurviveText) {
  auto records = test::MakeRegularOctTree(1);
  records[3].extraCount = 7;
  records[3].extraValues = {0.1f, 2.5f, -3.25e-7f};
  records[3].origin = {1, 2, 3};
  const std::string text = RecordsText(records);
  // The file stores extra values 0, 2, 1.
  EXPECT_NE(text.find(" 7 0.100000001 -3.25000002e-07 2.5\n"), std::string::npos) << text;
  std::istringstream in(text);
  const auto back = ReadOctTreeRecords(in);
  ASSERT_EQ(back.size(), records.size());
  EXPECT_EQ(back[3].extraValues, records[3].extraValues);
  EXPECT_EQ(back[3].origin, records[3].origin);
  EXPECT_EQ(back[3].extraCount, 7u);
}

TEST(OctTreeTest, NoRecordsKeepsDefaults) {
  OctTree tree;
  EXPECT_EQ(ReadTree("0", tree), "OctTree: Internal error, only 0 nodes without parents\n");
  EXPECT_EQ(tree.FindCode(Key(255, 255, 255)), 0);
  EXPECT_EQ(tree.FindCode(0), 0);
}

TEST(OctTreeTest, SevenTopLevelRecordsLeaveSlotSevenDefault) {
  auto records = test::MakeRegularOctTree(1);
  records.pop_back();  // the octant with bit 7 set in all three bytes
  OctTree tree;
  EXPECT_EQ(ReadTree(RecordsText(records), tree), "OctTree: Internal error, only 7 nodes without parents\n");
  EXPECT_EQ(tree.TopLevel(7), OctTree::kDefaultNode + 7);
  EXPECT_EQ(tree.FindCode(Key(200, 200, 200)), 0);
  EXPECT_EQ(tree.FindCode(Key(200, 200, 10)), 4);
}

TEST(OctTreeTest, MoreThanEightTopLevelRecordsFail) {
  auto records = test::MakeRegularOctTree(1);
  records.push_back(records[0]);
  records.push_back(records[0]);
  OctTree tree;
  EXPECT_EQ(ReadTree(RecordsText(records), tree, false),
            "OctTree: Internal error >8 nodes without parents\n");
  EXPECT_THROW(OctTree{records}, OctTreeError);
}

TEST(OctTreeTest, IdZeroAndIdsWithTheSignBitGiveNoCodeAndTheSearchGoesOn) {
  // Slots 0 and 1 both claim every colour; slot 2 answers.
  std::vector<OctTreeNodeRecord> records{test::MakeLeaf(-1, 0, 0, 0), test::MakeLeaf(-1, 0, 0, 2147483648u),
                                         test::MakeLeaf(-1, 0, 0, 42)};
  const OctTree tree(records);
  EXPECT_EQ(tree.Find(tree.TopLevel(1), 5), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(tree.FindCode(Key(1, 2, 3)), 42);
  records[2].id = 4294967295u;  // -1
  EXPECT_EQ(OctTree(records).FindCode(Key(1, 2, 3)), 0);
}

TEST(OctTreeTest, LowerSlotWithPositiveCodeWins) {
  const std::vector<OctTreeNodeRecord> records{test::MakeLeaf(-1, 0xFF, 7, 300), test::MakeLeaf(-1, 0, 0, 9)};
  const OctTree tree(records);
  EXPECT_EQ(tree.FindCode(Key(7, 0, 0)), 300);  // codes above 255 come back unchanged
  EXPECT_EQ(tree.FindCode(Key(8, 0, 0)), 9);
}

TEST(OctTreeTest, InnerNodeTakesFirstPositiveChildElseSlotSeven) {
  std::vector<OctTreeNodeRecord> records{test::MakeLeaf(-1, 0, 0, 0)};
  records[0].isLeaf = false;
  records[0].hasChildren = true;
  for (int c = 0; c < 8; ++c) {
    records[0].children[static_cast<std::size_t>(c)] = c + 1;
    records.push_back(test::MakeLeaf(0, 0xFF, static_cast<std::uint32_t>(c < 4 ? 1 : c), 0));
  }
  records[3].id = 11;  // child slot 2, matches byte 0 == 1
  records[5].id = 12;  // child slot 4, matches byte 0 == 4
  records[8].id = static_cast<std::uint32_t>(-5);
  records[8].value = 0;  // child slot 7 matches byte 0 == 0
  const OctTree tree(records);
  EXPECT_EQ(tree.Find(tree.TopLevel(0), 1), 11);
  EXPECT_EQ(tree.Find(tree.TopLevel(0), 4), 12);
  EXPECT_EQ(tree.Find(tree.TopLevel(0), 0), -5);  // no positive child: slot 7's result
  EXPECT_EQ(tree.Find(tree.TopLevel(0), 2), 0);
  EXPECT_EQ(tree.FindCode(0), 0);
  // A leaf answers even when it has children.
  records[0].isLeaf = true;
  records[0].id = 99;
  EXPECT_EQ(OctTree(records).FindCode(1), 99);
}

TEST(OctTreeTest, MalformedLinksAreRejected) {
  const auto good = test::MakeRegularOctTree(2);
  struct Case {
    const char* name;
    void (*mutate)(std::vector<OctTreeNodeRecord>&);
  };
  const Case cases[] = {
      {"parent out of range", [](auto& r) { r[10].parent = 72; }},
      {"parent below -1", [](auto& r) { r[10].parent = -2; }},
      {"child out of range", [](auto& r) { r[1].children[3] = 72; }},
      {"child -1", [](auto& r) { r[1].children[3] = -1; }},
      {"inner node without children", [](auto& r) { r[1].hasChildren = false; }},
      {"node reachable twice", [](auto& r) { r[1].children[3] = r[1].children[2]; }},
      {"top-level node as a child", [](auto& r) { r[1].children[3] = 0; }},
  };
  for (const auto& c : cases) {
    auto records = good;
    c.mutate(records);
    EXPECT_THROW(OctTree{records}, OctTreeError) << c.name;
    OctTree tree;
    std::string reason;
    std::istringstream in(RecordsText(records));
    EXPECT_FALSE(tree.Read(in, &reason)) << c.name;
    EXPECT_FALSE(reason.empty());
  }
}

TEST(OctTreeTest, DetachedCycleIsRejected) {
  auto records = test::MakeRegularOctTree(1);
  OctTreeNodeRecord a = test::MakeLeaf(8, 0, 0, 1), b = test::MakeLeaf(8, 0, 0, 2);
  a.isLeaf = b.isLeaf = false;
  a.hasChildren = b.hasChildren = true;
  a.children = {9, 10, 11, 12, 13, 14, 15, 16};
  b.children = {8, 17, 18, 19, 20, 21, 22, 23};
  records.push_back(a);  // 8
  records.push_back(b);  // 9
  for (int j = 10; j < 24; ++j) records.push_back(test::MakeLeaf(8, 0, 0, 1));
  try {
    OctTree{records};
    FAIL() << "accepted a cycle";
  } catch (const OctTreeError& e) {
    EXPECT_NE(std::string(e.what()).find("cycle"), std::string::npos) << e.what();
  }
}

TEST(OctTreeTest, UnreadableOrShortRecordsFail) {
  const std::string good = RecordsText(test::MakeRegularOctTree(1));
  for (const std::string& text : {std::string("3 -1 7 1"), std::string("x"), std::string("1 -1 7 0 2"),
                                  good.substr(0, good.size() / 2)}) {
    OctTree tree;
    std::istringstream in(text);
    EXPECT_FALSE(tree.Read(in)) << text;
    EXPECT_EQ(tree.FindCode(0), 0);
  }
}

TEST(OctTreeTest, DeepChainSearchesWithoutRecursion) {
  // A chain of 200000 inner nodes, each with the next as child slot 0 and seven non-matching leaves.
  constexpr int kDepth = 200000;
  std::vector<OctTreeNodeRecord> records;
  records.reserve(kDepth * 8 + 1);
  for (int d = 0; d < kDepth; ++d) {
    auto inner = test::MakeLeaf(d == 0 ? -1 : (d - 1) * 8, 0, 0, 0);
    inner.isLeaf = false;
    inner.hasChildren = true;
    const int base = d * 8;
    inner.children = {base + 8, base + 1, base + 2, base + 3, base + 4, base + 5, base + 6, base + 7};
    records.push_back(inner);
    for (int c = 1; c < 8; ++c) records.push_back(test::MakeLeaf(base, 0xFF, 1, 5));
  }
  records.push_back(test::MakeLeaf((kDepth - 1) * 8, 0, 0, 77));
  const OctTree tree(records);
  EXPECT_EQ(tree.FindCode(0), 77);
  EXPECT_EQ(tree.FindCode(1), 77);
}

}  // namespace
}  // namespace histonorm
