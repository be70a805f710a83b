// What the files of one FAT volume name of its clusters, gathered while its
// folders are walked, and what the volume then says of copies that name the
// same clusters. Once the walk is done (and before the tree finishes, while
// every node the tree builder took is still alive) each file whose copy the
// volume contradicts is marked content-unsure:
//
// - A live file whose chain another live entry's chain runs into (a damaged
//   entry pointing into another file's chain): both copies, as fsck.fat
//   flags both files. Only entries of live folders count; an entry found in
//   a deleted or lost folder may be older than the chain it points at.
// - A deleted file whose walk passed over clusters that files hold (it was
//   taken to have been written around them): only where every holder's
//   clusters were all taken clearly before the deleted file's last write.
//   A holder created after it did not exist then, so those clusters were
//   the deleted file's own before a newer file took them; one whose times
//   are within a tick of it, or not recorded, or a cluster no entry reaches,
//   cannot tell. A folder's first cluster dates from its creation; the
//   clusters it grew by later have no date of their own.
// - Deleted files that name the same clusters. Every deleted file's walk
//   starts at its first cluster and takes every free cluster after it that
//   its size needs, so two walks meet only where one file's first cluster
//   lies in the other's runs. Files that start at one cluster all held it:
//   the one last written clearly after every other (ClusterClaims.h) holds
//   its bytes there, the others were written over. A file
//   whose runs reach another's first cluster past its own: either the other
//   was written over it, or it was written around the other while the other
//   was live; no time tells which, so it is not vouched for, and the other
//   stands only where it is clearly the newer.
//
// FAT times count in two-second steps, which writers round either way: times
// a step apart or less cannot be told apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ClusterClaims.h"
#include "DirecotryTreeBuilder.h"

class CFATFileNode;
class IFATTable;

class CFATClusterClaims {
 public:
  // The resolution of FAT times (_FILETIME units).
  static constexpr uint64_t kTick = 2 * 10'000'000ULL;

  // What a judgement found, for the log and for tests.
  struct Verdicts {
    uint64_t crossLinked = 0;   // live files another live file's chain runs into
    uint64_t aroundNewer = 0;   // deleted files whose walk passed over a newer file's clusters
    uint64_t aroundUntold = 0;  // ... over clusters whose holder's times cannot tell
    uint64_t aroundUnheld = 0;  // ... over clusters that no entry's chain reaches
    uint64_t startTaken = 0;    // deleted files not clearly the newest of those naming their first cluster
    uint64_t reachesOther = 0;  // deleted files whose runs reach another deleted file's first cluster
    uint64_t marked = 0;        // files marked content-unsure (each counted once)
  };

  // `rootCluster`: the first cluster of a FAT32 root (0 for FAT16's fixed
  // root). Valid clusters are 2 .. clusterCount + 1.
  CFATClusterClaims(IFATTable* table, uint64_t clusterCount, uint32_t rootCluster);

  // What a node names, read before the tree builder is asked to take it
  // (nothing of it is read later; its runs wait in the claims until Keep);
  // Keep records it, and keeps the node to mark only where the builder took
  // it: a node it refused (a file the scan does not show) still names its
  // clusters.
  struct Entry {
    CFATFileNode* node = nullptr;  // null once refused: nothing to mark
    bool folder = false;
    bool erased = false;  // the entry's chain was freed
    bool live = false;    // in a live folder, not erased
    bool unsure = false;  // already not vouched for
    uint64_t first = 0;   // first cluster; 0 when it names none of the volume's
    claims::Times times;
    size_t runsAt = 0;  // the clusters its copy reads, in file order: m_runs from here
    size_t runCount = 0;
  };
  Entry Read(CFATFileNode* node);
  void Keep(Entry&& entry, bool taken);

  // Marks every file the rules above condemn content-unsure (under the node
  // tree lock: the nodes may be shown) and answers what it found. Once.
  Verdicts Judge();

 private:
  bool InVolume(uint64_t cluster) const { return cluster >= 2 && cluster <= m_clusters + 1; }
  // The clusters of the chain from `first` that the table gives out and no
  // chain walked before took (the first taken one ends the walk, kept as the
  // meeting point), as spans of `owner`; folders' spans past their first
  // cluster get an unknown time as their key.
  void WalkChain(uint64_t first, uint32_t owner, uint64_t firstKey, uint64_t restKey);

  IFATTable* m_table;
  uint64_t m_clusters;
  std::vector<Entry> m_entries;
  // Every kept file's runs, one after another (owned by the entry's index),
  // and those of the node read last.
  std::vector<claims::Span> m_runs;
  std::vector<claims::Span> m_read;
  // Chains of entries that are not erased (and the FAT32 root's), owned by
  // the entry's index (kRootOwner for the root) and keyed by when their
  // clusters were taken at the latest.
  static constexpr uint32_t kRootOwner = claims::kNoOwner - 1;
  std::vector<claims::Span> m_held;
  std::vector<bool> m_taken;  // clusters some chain walk took
  bool m_judged = false;
};

// The tree builder a FAT walk feeds: everything goes on to `inner` (which may
// be null: every node is then refused), and each FAT node it takes is made
// known to `claims`.
class CFATClaimingTreeBuilder final : public IDirecotryTreeBuilder {
 public:
  CFATClaimingTreeBuilder(IDirecotryTreeBuilder* inner, CFATClusterClaims& claims) : m_inner(inner), m_claims(claims) {}

  int Initialize(const char* description, IDrirectoryTree* tree, IRecoveryFilter* filter) override;
  int AddNode(IFileNode* node, _tagSearcherType type) override;
  int AddSearcherInfo(_tagSearcherType type, int64_t rootNodeID) override;
  void FlashBuild(_tagSearcherType type) override;
  // The inner builder is not owned: nothing to release.
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override;
  void SetPartitionSource(_tagSearcherType type, IFileSystemSearchController* searcher) override;

 private:
  IDirecotryTreeBuilder* m_inner;
  CFATClusterClaims& m_claims;
};
