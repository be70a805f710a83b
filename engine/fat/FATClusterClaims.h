// What the files of one FAT volume name of its clusters, gathered while its
// folders are walked, and what the volume then says of copies that name the
// same clusters (the rules: ClusterClaims.h, JudgeClaims). Once the walk is
// done (and before the tree finishes, while every node the tree builder took
// is still alive) each file whose copy the volume contradicts is marked
// content-unsure. Here:
//
// - the chains that entries hold are those of the entries that are not
//   erased (and the FAT32 root's): only entries of live folders count as
//   live; an entry found in a deleted or lost folder may be older than the
//   chain it points at, and vouches for its chain only where the walk found
//   the chain to be its own. A folder's first cluster dates from its
//   creation; the clusters it grew by later have no date of their own.
// - every deleted file's runs are a walk: a deleted file never follows a
//   chain (FATBuildDataRun.h).
//
// FAT times count in two-second steps, which writers round either way: times
// a step apart or less cannot be told apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ClaimsLedger.h"
#include "ClusterClaims.h"
#include "DirecotryTreeBuilder.h"
#include "FileHeads.h"

class CFATFileNode;
class IFATTable;

class CFATClusterClaims {
 public:
  // The resolution of FAT times (_FILETIME units).
  static constexpr uint64_t kTick = 2 * 10'000'000ULL;

  // `rootCluster`: the first cluster of a FAT32 root (0 for FAT16's fixed
  // root). Valid clusters are 2 .. clusterCount + 1.
  // `place`: where the clusters lie, for what files' own bytes say (no
  // device: nothing is read).
  CFATClusterClaims(IFATTable* table, uint64_t clusterCount, uint32_t rootCluster,
                    const fileheads::ClusterPlace& place = {});

  // What a node names, read before the tree builder is asked to take it;
  // Keep records it, and keeps the node to mark only where the builder took
  // it: a node it refused (a file the scan does not show) still names its
  // clusters.
  using Entry = CClaimsLedger::Entry;
  Entry Read(CFATFileNode* node);
  void Keep(Entry&& entry, bool taken);

  // Marks every file the rules condemn content-unsure (under the node tree
  // lock: the nodes may be shown) and answers what it found. Once.
  claims::Verdicts Judge();

 private:
  bool InVolume(uint64_t cluster) const { return cluster >= 2 && cluster <= m_clusters + 1; }
  // The clusters of the chain from `first` that the table gives out and no
  // chain walked before took (the first taken one ends the walk, kept as the
  // meeting point), as held spans of `owner`; folders' spans past their
  // first cluster get an unknown time as their key.
  void WalkChain(uint64_t first, uint32_t owner, uint64_t firstKey, uint64_t restKey);

  IFATTable* m_table;
  uint64_t m_clusters;
  fileheads::ClusterPlace m_place;
  // The files, their runs, and the chains of entries that are not erased
  // (and the FAT32 root's), owned by the entry's index (the volume for the
  // root) and keyed by when their clusters were taken at the latest.
  CClaimsLedger m_ledger;
  CFATFileNode* m_last = nullptr;  // the node kept last
  std::vector<bool> m_taken;       // clusters some chain walk took
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
