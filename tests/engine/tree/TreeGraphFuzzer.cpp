// Fuzz target for the tree builder: arbitrary graphs of node and parent IDs
// (cycles, versions, orphans, special names) fed to three trees with builds
// and finishes in between. Every accepted node must end shown or released,
// every refused one must come back untouched, and nothing may hang.
//
// Input: 8-byte records
//   0    op: bits 0-2 what (0-4 add a node, 5 finish a tree, 6 move the
//        clock on, 7 toggle normal files), bits 3-4 the tree (NTFS, FAT, HFS+)
//   1-2  node ID, 3-4 parent ID (little-endian, small on purpose so that
//        IDs collide; 0xFFFF stands for the tree's root ID)
//   5    flags: 1 folder, 2 deleted, 4 partition 1, 8 null name, 16 size 0
//   6    name (index into a list of ordinary and special names)
//   7    modification time
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "TreeDoubles.h"
#include "tree/CDirectoryTreeBuilder.h"
#include "tree/RecycleNameRestorer.h"

namespace {

using treetest::LedgerNode;

const char* const kNames[] = {"a",     "b.txt", ".x",       ".Trash",   ".Trashes", "$Recycle.Bin",
                              "$Rabc", "$Iabc", "#Rq",      "RECYCLER", "",         "HFS+ Private Data",
                              " . .y", "..",    "$Reparse", "Users",    "c.jpg",    "$Rabd"};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

LedgerNode* MakeNode(treetest::NodeLedger* ledger, int64_t id, int64_t parent, const char* name, uint8_t flags,
                     uint8_t time) {
  auto* node = new LedgerNode(ledger, id, parent, name, (flags & 1) != 0, (flags & 16) != 0 ? 0 : 100);
  node->SetBelongedPartition((flags & 4) != 0 ? 1 : 0xFFFF);
  node->SetModified(time);
  if ((flags & 2) != 0) node->MarkDeleted();
  if ((flags & 8) != 0) node->SetNullName();
  return node;
}

// Takes the first record with the same tail and renames the node after the
// record's modification time, into any of the names (special ones too).
struct Restorer : IRecycleNameRestorer {
  int RestoreName(CFileNode* node, _tagSearcherType, const std::vector<CFileNode*>& records, CSearchedPartitionInfo*,
                  IStorageDevice*) override {
    const char* name = node->GetFileName();
    for (size_t i = 0; name != nullptr && std::strncmp(name, "$R", 2) == 0 && i < records.size(); ++i) {
      const char* recordName = records[i]->GetFileName();
      if (recordName == nullptr || std::strcmp(recordName + 2, name + 2) != 0) continue;
      static_cast<TestNode*>(node)->SetName(kNames[records[i]->GetModificationTime() % kNameCount]);
      return static_cast<int>(i);
    }
    return -1;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const _tagSearcherType kTypes[] = {SEARCHER_TYPE_NTFS, SEARCHER_TYPE_FAT, SEARCHER_TYPE_HFSPLUS,
                                            SEARCHER_TYPE_NTFS};
  static const int64_t kRoots[] = {5, 0, 2, 5};
  treetest::NodeLedger ledger;
  treetest::RecordingTree sink;
  treetest::FakeFilter filter;
  Restorer restorer;
  int64_t now = 0;
  auto* builder = new CDirectoryTreeBuilder((size > 0 && (data[0] & 0x80) != 0));
  builder->SetClock([&now] { return now; });
  builder->SetPause([] {});
  builder->SetRecycleNameRestorer(&restorer);
  builder->Initialize("fuzz", &sink, &filter);
  for (int t = 0; t < 3; ++t) builder->AddSearcherInfo(kTypes[t], kRoots[t]);

  for (size_t at = 0; at + 8 <= size; at += 8) {
    const uint8_t* r = data + at;
    const int tree = (r[0] >> 3) & 3;
    const auto id16 = static_cast<uint16_t>(r[1] | (r[2] << 8));
    const auto parent16 = static_cast<uint16_t>(r[3] | (r[4] << 8));
    const int64_t id = id16 == 0xFFFF ? kRoots[tree] : id16 % 97;
    const int64_t parent = parent16 == 0xFFFF ? kRoots[tree] : parent16 % 97;
    if ((r[0] & 7) == 5) {
      builder->FlashBuild(kTypes[tree]);
    } else if ((r[0] & 7) == 6) {
      now += r[7] % 8;
    } else if ((r[0] & 7) == 7) {
      filter.showNormal = !filter.showNormal;
    } else if (auto* node = MakeNode(&ledger, id, parent, kNames[r[6] % kNameCount], r[5], r[7]);
               builder->AddNode(node, kTypes[tree]) == 0) {
      if (node->GetParent() != nullptr || node->GetFirstChild() != nullptr) std::abort();
      node->Release();
    }
  }
  for (int t = 0; t < 3; ++t) builder->FlashBuild(kTypes[t]);
  builder->Release();
  // A node shown twice or before its root, or one leaked.
  if (!sink.problems.empty() || ledger.Live() != 0) std::abort();
  return 0;
}
