// Which files of a volume name the same clusters, and what the volume's own
// times say of who came first. Two files cannot both hold their bytes in one
// cluster: where a deleted file's clusters are named by another file, the
// one whose clusters were taken last holds its bytes there, and the other's
// copy is someone else's. Times decide which was last only where they are
// clearly apart; where they are not (equal within the volume's resolution,
// or not recorded), the volume cannot tell, and neither copy is vouched for.
//
// The work is done on spans of clusters with sorted sweeps and a range-max
// tree, so that a volume of millions of files costs O(n log n) time and a few
// words per span, however many files overlap.
#pragma once

#include <cstdint>
#include <vector>

namespace claims {

// Clusters [first, end) that `owner` (an index the caller gives its files)
// names; `key` is what the span stands for in LargestOverlappingKey (at least
// 1).
struct Span {
  uint64_t first = 0;
  uint64_t end = 0;
  uint32_t owner = 0;
  uint64_t key = 1;
};

inline constexpr uint32_t kNoOwner = UINT32_MAX;
// The answer of LargestOverlappingKey for a query no key span overlaps.
inline constexpr uint64_t kNoOverlap = 0;
// A time the volume does not give; as a key it is later than every time.
inline constexpr uint64_t kUnknownTime = UINT64_MAX;

// Joins the spans of each owner that overlap, keeping the larger key, and
// drops empty ones; spans that only touch stay apart. Sorted by owner, then
// first cluster.
void JoinByOwner(std::vector<Span>& spans);

// For each query span, the largest key among the key spans that overlap it
// and belong to another owner than the query's; kNoOverlap when none does.
// The key spans of one owner are joined first (JoinByOwner). A query's own
// owner must have no key span that starts inside the query after its first
// cluster (a query that lies within one of its owner's joined spans, or whose
// owner has none, is fine).
std::vector<uint64_t> LargestOverlappingKey(std::vector<Span> keys, const std::vector<Span>& queries);

// What a volume says of when a file was made and last written (_FILETIME;
// 0 where it says nothing).
struct Times {
  uint64_t created = 0;
  uint64_t written = 0;
};

// When a file's clusters were last given to it, as far as its times say: the
// later of its creation and its last write (a file takes clusters as it is
// written, and is written after it is made). kUnknownTime unless both are
// known: a write time can be carried over from another copy of the file and
// come before the creation, so one alone says nothing.
uint64_t TakenBy(const Times& times);

// Whether `later` is known and comes after `earlier` by more than `tick`
// (the resolution of the volume's times: each may be off by up to a tick, so
// times a tick apart or less cannot be told apart). False when `earlier` is
// kUnknownTime.
bool ClearlyAfter(uint64_t later, uint64_t earlier, uint64_t tick);

// Deleted files whose runs (`spans`, owners 0 .. times.size() - 1) overlap
// another's. Two files cannot hold a cluster at once, and a file takes its
// clusters while it is written and holds them until it is deleted, after its
// last write: so of two whose runs both name a cluster, the one last written
// clearly later (TakenBy) took it after the other let it go, and holds its
// bytes there; the other was written over. Per owner: whether its copy
// cannot be vouched for, because some file it overlaps was not clearly
// written before it.
std::vector<bool> OverwrittenAmongOverlapping(std::vector<Span> spans, const std::vector<Times>& times, uint64_t tick);

}  // namespace claims
