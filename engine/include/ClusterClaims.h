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

#include <cstddef>
#include <cstdint>
#include <functional>
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

// ---- The files of a volume whose entries name its clusters (FAT, exFAT) ----
//
// Once a volume's folders are walked, each file's copy is held against what
// the other entries name (JudgeClaims):
//
// - A live file whose runs reach another live entry's chain (a damaged entry
//   pointing into another file's chain): both copies, as fsck.fat flags
//   both files.
// - A deleted file whose walk passed over clusters that entries hold (it was
//   taken to have been written around them): only where every holder's
//   clusters were all taken clearly before the deleted file's last write.
//   A holder made after it did not exist then, so those clusters were the
//   deleted file's own before a newer file took them; one whose times are
//   within a tick of it, or not recorded, or a cluster no entry reaches,
//   cannot tell.
// - Deleted files that name the same clusters. A deleted file's walk starts
//   at its first cluster and goes on over the clusters free now, so two
//   walks meet only where one file's first cluster lies in the other's
//   runs. Files that start at one cluster all held it: the one last written
//   clearly after every other holds its bytes there, the others were
//   written over. A walk that reaches another's first cluster past its own:
//   either the other was written over it, or it was written around the
//   other while the other was live; no time tells which, so it is not
//   vouched for, and the other stands only where it is clearly the newer.
//   Where the volume says where a deleted file lay (a chain the table still
//   holds, a flag that its clusters follow each other), it was not written
//   around anything, and it meets others wherever their runs name its
//   clusters (a chain in pieces, not only at first clusters): of it and a
//   file whose clusters it names, the one written clearly later holds them.
// - What the files' own bytes say (FileHeads.h), read only of deleted files
//   that meet others. One whose type requires a head and whose first
//   cluster does not begin with one is not there any more. One whose first
//   cluster does begin with its head, and whose end (where its type has
//   one) does not say it breaks up, is there: another walk that puts the
//   middle of its own file in that cluster is wrong there, and does not
//   count against it. A walk whose file holds together up to its own end
//   where the walk ends (a JPEG's segments and data up to its end of image
//   in its last two bytes, a media file's boxes ending at its size, the
//   last not its media data) laid
//   the file as it was written, as far as its length goes: the clusters it
//   passed over were never the file's, and a first cluster it reaches was
//   written over by it, not around; it stands there where it is clearly
//   newer than every other file that names that cluster.

// What a file's first cluster (or the end of its runs) holds, as the file's
// type reads it.
enum class Head : uint8_t {
  kUnknown,  // its type requires no head (end), or it could not be read
  kPresent,  // the head (end) its type requires
  kMissing,  // not the head its type requires: other bytes
};

// What a volume's bytes say of its files, asked by JudgeClaims only where a
// rule needs it, at most once per file (by the claim's index); null: not
// known.
struct Evidence {
  std::function<Head(size_t)> head;  // the first cluster
  std::function<Head(size_t)> tail;  // the file through its runs, up to the end its type has
};

// A volume's data clusters [first, end): a deleted file's walk that reaches
// the end with clusters still to go goes on at the first, as every
// allocator wraps.
struct Volume {
  uint64_t first = 2;
  uint64_t end = 2;
};

// The owner of clusters that the volume's own structures hold (the root,
// the allocation bitmap): live, and as old as the volume.
inline constexpr uint32_t kVolumeOwner = kNoOwner - 1;

// One file or folder of the volume as its scanner read it.
struct Claim {
  uint64_t first = 0;  // its first cluster; 0 when it names none of the volume's
  Times times;
  bool folder = false;
  bool live = false;    // a live entry in a live folder
  bool erased = false;  // deleted: its runs are taken from its first cluster on
  // Erased files: whether its runs past the first cluster are a walk over
  // the clusters free now (a guess), rather than what the volume says.
  bool walked = true;
  size_t runsAt = 0;  // its runs, in file order: the caller's runs from here
  size_t runCount = 0;
};

// Why a file is not vouched for (bits; a file may have several).
enum Reason : uint16_t {
  kCrossLinked = 1,    // a live file another live entry's chain runs into
  kAroundNewer = 2,    // a deleted file whose walk passed over a newer file's clusters
  kAroundUntold = 4,   // ... over clusters whose holder's times cannot tell
  kAroundUnheld = 8,   // ... over clusters that no entry holds
  kStartTaken = 16,    // a deleted file not clearly the newest of those naming its first cluster
  kReachesOther = 32,  // a deleted file whose runs reach another deleted file's first cluster
  kHeadMissing = 64,   // a deleted file whose first cluster does not begin with its type's head
  kMeetsPlaced = 128,  // a deleted file whose runs meet those the volume places another in, not clearly the later
};

// Per claim, why it is not vouched for (0: nothing against it). `runs`: the
// files' runs (owners ignored); `held`: the clusters that the chains of
// entries that are not erased hold, owned by their claim's index (or
// kVolumeOwner) and keyed by when they were taken at the latest; `tick`:
// the resolution of the volume's times.
std::vector<uint16_t> JudgeClaims(const std::vector<Claim>& claims, const std::vector<Span>& runs,
                                  std::vector<Span> held, const Volume& volume, uint64_t tick,
                                  const Evidence& evidence);

// How many claims each reason condemned, for the log and for tests;
// `marked` is the caller's (the files it marked that were not already).
struct Verdicts {
  uint64_t crossLinked = 0;
  uint64_t aroundNewer = 0;
  uint64_t aroundUntold = 0;  // not also around a newer file
  uint64_t aroundUnheld = 0;  // nor around a file of untold times
  uint64_t startTaken = 0;
  uint64_t reachesOther = 0;
  uint64_t headMissing = 0;
  uint64_t meetsPlaced = 0;
  uint64_t marked = 0;
};
Verdicts CountReasons(const std::vector<uint16_t>& reasons);
// One line on standard output when anything was marked: "SYSTEM claims: ...".
void PrintVerdicts(const char* system, const Verdicts& verdicts);

}  // namespace claims
