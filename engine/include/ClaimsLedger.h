// What a scanner of a volume whose entries name its clusters (FAT, exFAT)
// gathers of its files for the claims (ClusterClaims.h), and what it does
// with the answer: each file's node, claim and runs, read before the tree
// builder is asked to take the node (nothing of a node is read later), the
// chains entries hold, and, once judged, the nodes the rules condemn marked
// content-unsure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "ClusterClaims.h"
#include "FileHeads.h"

class CFileNode;

class CClaimsLedger {
 public:
  struct Entry {
    // Null once refused: nothing to mark, and nothing of its own bytes read
    // (its name is asked of the node only when the rules need its head).
    CFileNode* node = nullptr;
    claims::Claim claim;  // the scanner fills its flags, first cluster and times
    bool unsure = false;  // already not vouched for
    uint64_t size = 0;
  };

  // `end`: one past the volume's last cluster (clusters count from 2).
  explicit CClaimsLedger(uint64_t end) : m_end(end) {}

  // A new entry of `node` (null: an empty one): its size and state, and its
  // runs within the volume, in file order, waiting for Keep.
  Entry Read(CFileNode* node);
  // Keeps the entry read last (its runs its index's), the node only where
  // the builder took it; a file without a first cluster on the volume, or an
  // erased folder, names nothing. Its index, or kNoOwner when not kept.
  uint32_t Keep(Entry&& entry, bool taken);

  size_t Size() const { return m_entries.size(); }
  const Entry& At(size_t i) const { return m_entries[i]; }
  std::span<const claims::Span> RunsOf(size_t i) const {
    const claims::Claim& c = m_entries[i].claim;
    return std::span<const claims::Span>(m_runs.data() + c.runsAt, c.runCount);
  }
  // The chains entries hold (see JudgeClaims), filled by the scanner.
  std::vector<claims::Span>& Held() { return m_held; }
  // Holds for `owner` the chain from `first`, at most `count` clusters,
  // keyed `firstKey` at its first cluster and `restKey` past it: `step(c,
  // &next)` says whether the volume gives c to the chain, and the cluster
  // after it (0: the chain ends at c); `take(c)` takes c for the chains
  // walked so far, false where one took it before. The first taken cluster
  // a chain meets (another's, or its own come back round) is kept as the
  // meeting point and ends it: the chain walked first holds the rest, so
  // that the chains of a volume cost its clusters together, however many
  // entries name one.
  using Take = std::function<bool(uint64_t cluster)>;
  using Step = std::function<bool(uint64_t cluster, uint64_t* next)>;
  void HoldChain(uint64_t first, uint64_t count, uint32_t owner, uint64_t firstKey, uint64_t restKey, const Take& take,
                 const Step& step);

  // Judges the kept files (what their bytes say read through `place`, no
  // device: nothing), marks every one the rules condemn content-unsure
  // under the node tree lock (and hands it to `mark`), prints what it found
  // ("SYSTEM claims: ...", and with `trace` a line per file marked), frees
  // what it gathered and answers the counts.
  claims::Verdicts Judge(const char* system, uint64_t tick, const fileheads::ClusterPlace& place, bool trace,
                         const std::function<void(CFileNode*)>& mark = {});

 private:
  uint64_t m_end;
  std::vector<Entry> m_entries;
  std::vector<claims::Span> m_runs;  // every kept file's runs, one after another
  std::vector<claims::Span> m_read;  // those of the node read last
  std::vector<claims::Span> m_held;
};
