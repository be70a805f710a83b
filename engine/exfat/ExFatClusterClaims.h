// What the files of one exFAT volume name of its clusters, and what the
// volume then says of copies that name the same clusters (the rules:
// ClusterClaims.h, JudgeClaims). The scans gather each node as it is made,
// before the tree builder is asked to take it, and judge once every folder
// is read (and before the tree finishes, while every node the builder took
// is still alive); each file whose copy the volume contradicts is marked
// content-unsure. Here:
//
// - the clusters entries hold are those of live files (their runs) and live
//   folders (their chains; the first cluster dates from the folder's
//   creation, the clusters it grew by later have no date of their own), and
//   the volume's own: the root folder's chain, the allocation bitmap and the
//   up-case table, as old as the volume. A deleted file's runs reach none of
//   them: where they do, the builder of its runs has already marked it
//   (CExFatPartition::BuildFile: a live holder always wins).
// - a deleted file's runs are a walk's guess only where its chain is gone
//   from the table and its entry does not say its clusters follow each
//   other (the NoFatChain flag); otherwise they are where the volume put it.
//
// exFAT entries keep their times to 10 ms. A writer that keeps fewer digits
// (whole seconds, two-second steps) cuts the rest off, as the clock's whole
// seconds come, so that two times apart by more than 10 ms were written in
// that order. Times without their UTC offset are the local time of a zone
// the volume does not say: beside times with one, they may be a day off.
#pragma once

#include <cstdint>

#include "ClaimsLedger.h"
#include "ClusterClaims.h"
#include "ClusterSpans.h"

class CExFatFileNode;
class CExFatPartition;
class IProgress;
class IStorageDevice;

class CExFatClusterClaims {
 public:
  // The resolution of exFAT times, and how far apart the local time of an
  // unknown zone and UTC may be (_FILETIME units).
  static constexpr uint64_t kTick = 100'000;
  static constexpr uint64_t kZoneSpread = 26 * 3600 * 10'000'000ULL;

  // Claims on the clusters of `partition` (its geometry, its table, and the
  // structures its root names, as it knows them when judging); heads are
  // read through `device` (null: none are) while `progress` (null: none)
  // does not say stop. All must outlive the judgement.
  CExFatClusterClaims(CExFatPartition& partition, IStorageDevice* device, IProgress* progress = nullptr);

  // What a node names, read before the tree builder is asked to take it;
  // Keep records it, and keeps the node to mark only where the builder took
  // it.
  using Entry = CClaimsLedger::Entry;
  Entry Read(CExFatFileNode* node);
  void Keep(Entry&& entry, bool taken);

  // Marks every file the rules condemn content-unsure (under the node tree
  // lock: the nodes may be shown) and answers what it found. Once.
  claims::Verdicts Judge();

 private:
  // The `count` clusters of a chain from `first` (next ones on disk for a
  // contiguous chain, by the table otherwise, where the table has none for
  // a structure of the volume's), as held spans of `owner`, up to the first
  // cluster a chain walked before took (kept as the meeting point).
  enum class Follow { kContiguous, kTable, kTableElseNext };
  // The root's chain, the bitmap's and the up-case table's clusters.
  void HoldVolume();
  void Hold(uint32_t first, uint64_t count, Follow follow, uint32_t owner, uint64_t firstKey, uint64_t restKey);

  CExFatPartition& m_partition;
  IStorageDevice* m_device;
  IProgress* m_progress;
  CClaimsLedger m_ledger;
  ClusterSpans m_taken;  // the clusters some chain walk took
  bool m_local = false;  // some file's times carry no UTC offset
  bool m_zoned = false;  // some file's do
  bool m_judged = false;
};
