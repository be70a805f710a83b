// The tree builder's rules on small hand-made trees, its batches, its
// duplicates and its recycle-bin pass.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "DataRunList.h"
#include "SearchedPartitionInfo.h"
#include "TreeTestSupport.h"
#include "tree/RecycleNameRestorer.h"

namespace {

using treetest::BuilderFixture;
using treetest::LedgerNode;
using treetest::Lines;

enum { kHfs = 1, kRestoring = 2, kHome = 4 };

// Nodes as BuilderFixture::Feed takes them. NTFS trees start at 5, HFS+
// trees at 2; kHome sets HOME to /Users/alice (else it is unset).
const struct {
  const char* rule;
  const char* nodes;
  const char* tree;
  int flags = 0;
} kCases[] = {
    {"what never reaches the root is lost, but for empty files and folders without files",
     "d 20 999 orphan|f 30 20 kept.txt|f 31 998 loose.bin|e 32 998 empty.bin|d 21 997 empty-orphan|"
     "f 40 40 self.txt|f 41 5 unwanted.bin",
     "Other lost files/|Other lost files/orphan/|Other lost files/orphan/kept.txt|Other lost files/loose.bin"},
    {"dot files are refused, dot folders lose their dots",
     "d 20 5 .config|d 21 20  ..cache|f 30 21 data.bin|f 31 21 .lock|d 22 5 ..|f 32 22 a",
     "config/|config/ ..cache/|config/ ..cache/data.bin|/|/a"},
    {"a nameless node has the empty name", "d 20 5 <null>|f 30 20 <null>|f 31 20 named.txt",
     "<null>/|<null>/<null>|<null>/named.txt"},
    {"two versions in one partition gather their files in one",
     "d1 20 5 photos|d1 20 5 photos (older)|f1 30 20 a.jpg|+|f1 31 20 b.jpg", "photos/|photos/a.jpg|photos/b.jpg"},
    {"another partition's version never, children or not (volumes number their folders alike)",
     "d0 20 5 photos|d1 20 5 photos (older)|f1 30 20 a.jpg|+|f0 31 20 b.jpg",
     "photos/|photos/b.jpg|photos (older)/|photos (older)/a.jpg"},
    {"else the first version of the file's partition", "d3 20 5 v-other|d4 20 5 v-mine|d4 20 5 v-mine-too|f4 30 20 f",
     "v-mine/|v-mine/f"},
    {"a trash under the root is deleted; in it a live version beats a deleted one",
     "d 10 5 .Trashes|d 11 10 501|f 33 11 old.doc|D 20 10 album|f 30 20 p.jpg|d 20 10 album (restored)",
     "Trashes/ [deleted]|Trashes/501/ [deleted]|Trashes/501/old.doc [deleted]|Trashes/album (restored)/ [deleted]|"
     "Trashes/album (restored)/p.jpg [deleted]"},
    {"outside the trash the first version is taken, deleted or not",
     "D 20 5 album|f 30 20 p.jpg|d 20 5 album (restored)", "album/ [deleted]|album/p.jpg [deleted]"},
    {"the trash in HOME is deleted, other users' are not",
     "d 20 5 Users|d 21 20 alice|d 22 20 bob|d 23 21 .Trash|f 30 23 letter.doc|d 24 22 .Trash|f 31 24 memo.doc",
     "Users/|Users/alice/|Users/alice/Trash/ [deleted]|Users/alice/Trash/letter.doc [deleted]|Users/bob/|"
     "Users/bob/Trash/|Users/bob/Trash/memo.doc",
     kHome},
    {"the trash in HOME is found at the end when it came first",
     "d 23 21 .Trash|f 30 23 letter.doc|d 20 5 Users|d 21 20 alice",
     "Users/|Users/alice/|Users/alice/Trash/ [deleted]|Users/alice/Trash/letter.doc [deleted]", kHome},
    {"without HOME there is no user trash", "d 23 21 .Trash|f 30 23 letter.doc|d 20 5 Users|d 21 20 alice",
     "Users/|Users/alice/|Users/alice/Trash/|Users/alice/Trash/letter.doc"},
    {"parent IDs forming a cycle end under the lost files",
     "d 10 11 a|d 11 12 b|d 12 10 c|f 30 10 in-a.txt|f 31 12 in-c.txt|+|f 32 5 top.txt",
     "top.txt|Other lost files/|Other lost files/c/|Other lost files/c/in-c.txt|Other lost files/c/b/|"
     "Other lost files/c/b/a/|Other lost files/c/b/a/in-a.txt"},
    {"walks through versions and trashes stop on cycles",
     "d 9 5 .Trashes|d 10 11 a|d 10 11 a-too|d 11 10 b|d 11 10 b-too|f 30 10 f|f 31 11 g",
     "Other lost files/|Other lost files/b/|Other lost files/b/g|Other lost files/b/a/|Other lost files/b/a/f"},
    {"the HOME trash look-up stops on cycles", "d 10 11 x|d 11 10 y|d 12 11 .Trash|f 30 12 t",
     "Other lost files/|Other lost files/x/|Other lost files/x/y/|Other lost files/x/y/Trash/|"
     "Other lost files/x/y/Trash/t",
     kHome},
    {"recycled entries are deleted and records never enter",
     "d 20 5 $Recycle.Bin|f 30 20 $RXYZ.docx|f 31 20 desktop.ini|f 32 5 #Rstray|d 21 5 $RECYCLE.BIN|d 22 21 S-1-5|"
     "f 33 22 $RAB.jpg|f 34 22 $IAB.jpg",
     "$Recycle.Bin/ [deleted]|$Recycle.Bin/$RXYZ.docx [deleted]|$Recycle.Bin/desktop.ini [deleted]|#Rstray [deleted]|"
     "$RECYCLE.BIN/ [deleted]|$RECYCLE.BIN/S-1-5/ [deleted]|$RECYCLE.BIN/S-1-5/$RAB.jpg [deleted]"},
    {"bins of every generation in any case, but only folders",
     "d 20 5 recycler|f 30 20 a|d 21 5 Recycled|f 31 21 b|d 22 5 $recycle.bi0|f 32 22 c|d 23 5 Recycle|f 33 23 d|"
     "f 34 5 RECYCLER",
     "recycler/ [deleted]|recycler/a [deleted]|Recycled/ [deleted]|Recycled/b [deleted]|$recycle.bi0/ [deleted]|"
     "$recycle.bi0/c [deleted]|Recycle/|Recycle/d|RECYCLER"},
    {"metadata files with look-alike names are no recycled files",
     "d 11 5 $Extend|d 12 11 $RmMetadata|f 13 12 $Repair|f 14 11 $Reparse|f 15 11 $R",
     "$Extend/|$Extend/$RmMetadata/|$Extend/$RmMetadata/$Repair|$Extend/$Reparse|$Extend/$R"},
    {"folders in the HFS+ private-data folder under the root never enter",
     "d 40 18 dir_40|d 18 2 HFS+ Private Data|d 41 18 dir_41|d 16 2 Users|f 100 16 a|d 17 16 HFS+ Private Data|"
     "f 101 17 b",
     "Users/|Users/a|Users/HFS+ Private Data/|Users/HFS+ Private Data/b", kHfs},
    {"versions of a folder that the private-data folder takes leave the others to their files",
     "d 40 2 v40a|d 40 18 x|d 40 2 v40b|d 41 2 v41|d 41 18 x|d 42 18 x|d 42 2 v42|d 18 2 HFS+ Private Data|"
     "f 100 40 a|f 101 41 b|f 102 42 c",
     "v40a/|v40a/a|v41/|v41/b|v42/|v42/c", kHfs},
    {"a replayed HFS+ tree keeps it", "d 18 2 HFS+ Private Data|f 100 18 iNode100|+|f 101 18 iNode101",
     "HFS+ Private Data/|HFS+ Private Data/iNode100|HFS+ Private Data/iNode101", kHfs | kRestoring},
    {"a replay keeps every copy", "e 30 5 same.doc|e 30 5 same.doc|d 20 5 empty|e 31 999 empty-orphan",
     "same.doc|same.doc", kRestoring},
    {"opening a tree again adds a root ID: every volume's top level stays at the root, also what came first",
     "d 40 77 early|f 41 40 e.txt|R 77 0 -|f 30 77 new.txt|f 31 5 old.txt|R 88 0 -|d 50 88 third|f 51 50 t.txt",
     "early/|early/e.txt|new.txt|old.txt|third/|third/t.txt"},
};

TEST_F(BuilderFixture, RulesOnSmallTrees) {
  const char* home = std::getenv("HOME");
  const std::string savedHome = home != nullptr ? home : "";
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.rule);
    Reset((c.flags & kRestoring) != 0);
    Init();
    (c.flags & kHome) != 0 ? setenv("HOME", "/Users/alice", 1) : unsetenv("HOME");
    const _tagSearcherType type = (c.flags & kHfs) != 0 ? SEARCHER_TYPE_HFSPLUS : SEARCHER_TYPE_NTFS;
    ASSERT_EQ(builder->AddSearcherInfo(type, (c.flags & kHfs) != 0 ? 2 : 5), 1);
    Feed(c.nodes, type);
    builder->FlashBuild(type);
    Lines expected;
    std::istringstream lines(c.tree);
    for (std::string line; std::getline(lines, line, '|');) expected.insert(line);
    EXPECT_EQ(TreeOf(type), expected);
    // The tree owns what it shows, and what it does not show is released.
    EXPECT_EQ(Counters(type).owned, expected.size());
    EXPECT_EQ(static_cast<size_t>(ledger.Live()) + expected.count("Other lost files/"), expected.size());
    ExpectNoSinkProblems();
  }
  home != nullptr ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
}

TEST_F(BuilderFixture, NamesItsTreesAndKeepsThemApart) {
  Init("");
  const std::pair<_tagSearcherType, const char*> names[] = {
      {SEARCHER_TYPE_HFSPLUS, "Disk(HFS+)"}, {SEARCHER_TYPE_FAT, "Disk(FAT/FAT32)"},
      {SEARCHER_TYPE_EXFAT, "Disk(ExFat)"},  {SEARCHER_TYPE_RAW, "Disk(RAW Files)"},
      {SEARCHER_TYPE_NTFS, "Disk(NTFS)"},    {SEARCHER_TYPE_NONE, "Disk"}};
  for (const auto& [type, name] : names) {
    ASSERT_EQ(builder->AddSearcherInfo(type, 0), 1);
    EXPECT_STREQ(builder->GetRoot(type)->GetFileName(), name);
    EXPECT_STREQ(builder->GetRoot(type)->GetVolumeName(), "Disk");
    EXPECT_EQ(builder->GetRoot(type)->GetSearcheType(), type);
  }
  Feed("d 20 0 ntfs-dir|f 30 20 n.txt");
  Feed("d 20 0 fat-dir|f 31 20 f.txt", SEARCHER_TYPE_FAT);
  for (auto type : {SEARCHER_TYPE_FAT, SEARCHER_TYPE_NTFS}) builder->FlashBuild(type);
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_NTFS), (Lines{"ntfs-dir/", "ntfs-dir/n.txt"}));
  EXPECT_EQ(TreeOf(SEARCHER_TYPE_FAT), (Lines{"fat-dir/", "fat-dir/f.txt"}));

  Reset();
  EXPECT_EQ(builder->Initialize(nullptr, &sink, &filter) + builder->Initialize("d", nullptr, &filter) +
                builder->Initialize("d", &sink, nullptr),
            0);
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, 5), 1);
  EXPECT_EQ(Add(File(30, 5, "a.txt")), 0) << "nothing was set: no filter";
}

TEST_F(BuilderFixture, BatchesComeInArrivalOrderAfterAThousandNodesOrThreeSeconds) {
  Init();
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, 5) + builder->AddSearcherInfo(SEARCHER_TYPE_HFSPLUS, 2), 2);
  // The bin is held back, and let go with the unfinished builder; the report
  // waits for its folder through the first build.
  Feed("d 60 5 $Recycle.Bin|f 30 20 report.doc|+|f 31 5 a|d 20 5 Documents|+|f 32 5 b");
  ASSERT_EQ(sink.batches.size(), 2u);
  EXPECT_EQ(sink.batches[0].nodes.size(), 1u);
  ASSERT_EQ(sink.batches[1].nodes.size(), 3u);
  EXPECT_STREQ(sink.batches[1].nodes[0]->GetFileName(), "report.doc");
  for (int i = 0; i < CDirectoryTreeBuilder::kBuildNodeCount - 1; ++i) Add(File(1000 + i, 5, "f"));
  EXPECT_EQ(sink.batches.size(), 2u);
  Add(File(999, 5, "f"));
  ASSERT_EQ(sink.batches.size(), 3u);
  EXPECT_EQ(sink.batches[2].nodes.size(), 1024u);
  now += CDirectoryTreeBuilder::kBuildSeconds - 1;
  Feed("f 33 5 c");
  EXPECT_EQ(sink.batches.size(), 3u);
  now += 1;
  Feed("f 34 5 d");
  ASSERT_EQ(sink.batches.size(), 4u);

  // A hidden file is shown in the build that finds its folder deleted.
  filter.showNormal = false;
  Feed("f 40 41 x.txt|d 41 42 f|+|D 42 5 g");
  ASSERT_EQ(sink.batches.size(), 5u);
  EXPECT_EQ(sink.batches[4].nodes.size(), 3u);

  // HFS+ trees build only once the private-data folder is known.
  filter.showNormal = true;
  Feed("f 100 2 h|+|f 101 2 i", SEARCHER_TYPE_HFSPLUS);
  EXPECT_EQ(sink.batches.size(), 5u);
  Feed("d 18 2 HFS+ Private Data|f 102 2 j", SEARCHER_TYPE_HFSPLUS);
  ASSERT_EQ(sink.batches.size(), 6u);
  EXPECT_EQ(sink.batches[5].nodes.size(), 3u);
  EXPECT_EQ(sink.roots.size(), 2u);
  EXPECT_EQ(pauses, 2);
  ExpectNoSinkProblems();
}

TEST_F(BuilderFixture, DuplicatesGiveTheKeptNodeTheirRunsOnlyWhenOlder) {
  Init();
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, 5), 1);
  auto copy = [&](uint64_t size, uint64_t modified, int64_t start) {
    LedgerNode* node = Node(30, 5, "same.doc", false, size);
    node->SetModified(modified);
    node->SetDataRunList(new CDataRunList());
    const DataRun run{start, 4};
    node->GetDataRunList()->AddDataRun(&run);
    return node;
  };
  LedgerNode* kept = copy(4096, 50, 100);
  ASSERT_EQ(Add(kept), 1);
  EXPECT_EQ(Add(copy(0, 10, 200)) + Add(copy(8192, 50, 300)), 0);  // empty, or no older
  EXPECT_EQ(kept->GetFileSize(), 4096u);
  EXPECT_EQ(Add(copy(8192, 10, 500)), 0);
  EXPECT_EQ(kept->GetFileSize(), 8192u);
  EXPECT_EQ(kept->GetDataRunList()->GetFirst()->start, 500);
  // Copies that differ stay side by side; a node or root given again is owned once.
  LedgerNode* elsewhere = copy(10, 1, 0);
  elsewhere->SetBelongedPartition(2);
  EXPECT_EQ(Add(elsewhere) + Add(File(30, 5, "other.doc")), 2);
  EXPECT_EQ(builder->AddNode(kept, SEARCHER_TYPE_NTFS), 1);
  EXPECT_EQ(builder->AddNode(builder->GetRoot(SEARCHER_TYPE_NTFS), SEARCHER_TYPE_NTFS), 1);
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(TreeOf(), (Lines{"same.doc", "same.doc", "other.doc"}));
  ExpectNoSinkProblems();
}

// Renames a node after the first record with the same tail, from a table of
// former names, and notes each node it is asked about with the records left.
class FakeRestorer : public IRecycleNameRestorer {
 public:
  int RestoreName(CFileNode* node, _tagSearcherType, const std::vector<CFileNode*>& records,
                  CSearchedPartitionInfo* partition, IStorageDevice* device) override {
    const std::string name = node->GetFileName();
    calls.push_back(name + ":" + std::to_string(records.size()));
    seen = {partition, device};
    for (size_t i = 0; i < records.size() && name.rfind("$R", 0) == 0; ++i) {
      if (name.substr(2) != records[i]->GetFileName() + 2) continue;
      if (formerNames.count(name) != 0) static_cast<TestNode*>(node)->SetName(formerNames[name]);
      return static_cast<int>(i);
    }
    return -1;
  }
  std::map<std::string, std::string> formerNames;
  std::vector<std::string> calls;
  std::pair<CSearchedPartitionInfo*, IStorageDevice*> seen;
};

TEST_F(BuilderFixture, ARestorerRenamesFoldersOuterFirstThenFilesAndUsesEachRecordOnce) {
  FakeRestorer restorer;
  restorer.formerNames = {{"$RAB.jpg", "holiday.jpg"}, {"$Rz.txt", ".hidden"}};
  SetRecycleNameRestorer(&restorer);
  Reset();
  SetRecycleNameRestorer(nullptr);  // later registrations do not reach a builder
  Init();
  CSearchedPartitionInfo partition(512);
  auto* device = reinterpret_cast<IStorageDevice*>(&partition);  // only passed through
  builder->SetPartitonDevice(&partition, device);
  ASSERT_EQ(builder->AddSearcherInfo(SEARCHER_TYPE_NTFS, 5), 1);
  // "inner" comes before its parent is known as a bin folder; the former
  // name of "$Rz.txt" is refused when it comes back; the second "$RAB.jpg"
  // finds its record used.
  Feed(
      "d 20 5 RECYCLER|d 60 21 inner|d 21 20 S-1004|f 30 21 $RAB.jpg|d 61 21 Dc2|f 31 21 $IAB.jpg|f 32 21 $Rz.txt|"
      "f 33 21 $Iz.txt|d 22 20 S-1005|f 34 22 $RAB.jpg");
  builder->FlashBuild(SEARCHER_TYPE_NTFS);
  EXPECT_EQ(restorer.calls, (std::vector<std::string>{"RECYCLER:2", "S-1004:2", "S-1005:2", "Dc2:2", "$RAB.jpg:2",
                                                      "$Rz.txt:1", "$RAB.jpg:0"}));
  EXPECT_EQ(restorer.seen, std::make_pair(&partition, device));
  EXPECT_EQ(TreeOf(),
            (Lines{"RECYCLER/ [deleted]", "RECYCLER/S-1004/ [deleted]", "RECYCLER/S-1004/holiday.jpg [deleted]",
                   "RECYCLER/S-1005/ [deleted]", "RECYCLER/S-1005/$RAB.jpg [deleted]"}));
  EXPECT_EQ(static_cast<size_t>(ledger.Live()), 5u);
}

}  // namespace
