// A found file held against its volume as the volume is now: what a saved
// scan result loaded later (and copied from later still) must ask before a
// copy is called recovered. The card may have been used since the scan: a
// file deleted then, or live then and deleted since, may have lost its
// clusters to newer files, and the saved runs would read their bytes.
//
// A file answers taken when some cluster of its runs is given now, by the
// volume's own allocation record read as a scan reads it, to another file
// or to the volume's metadata: in use, and its own record on the volume
// (reached through the node's metadata sector, parent and IDs as its
// scanner set them) no longer describes it there. A file whose clusters are
// free, or still its own, is not taken: one deleted since the scan and not
// written over is still recovered whole. Where the allocation record cannot
// be read or believed, a judge says no more than a scan would; the part of
// it on sectors a failing medium could not give (UnreadableSectors.h) may
// give any cluster away, so a file that needs it is taken unless its own
// record vouches for it.
//
// One judge serves one volume (one partition record of one device) and
// reads its allocation record once, lazily and within bounds; it is asked
// about the nodes of that volume only, from one thread at a time. A judge
// that can be shared hands out judges of the same volume for other threads,
// which read the same allocation record (not again) and the files' own
// records into buffers of their own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "DataRunList.h"

class CFileNode;
class CSearchedPartitionInfo;

class IAllocationJudge {
 public:
  virtual ~IAllocationJudge() = default;

  // Whether the node's content is no longer its own on the volume (see
  // above). Folders and files without runs on the volume are never taken.
  virtual bool IsTaken(CFileNode& node) = 0;

  // Whether the file must still be described by its own entry or record on
  // the volume even where its clusters are free: set when nothing tells
  // that the volume is the one scanned (a result without identities), so
  // that free clusters of another volume vouch for nothing.
  virtual void SetOwnEntryRequired(bool required) { m_ownEntryRequired = required; }
  bool OwnEntryRequired() const { return m_ownEntryRequired; }

  // A judge of the same volume for another thread, sharing this one's
  // allocation record and answering as this one; null when it cannot be
  // shared (its files are then judged on one thread). This judge must
  // outlive it.
  virtual std::unique_ptr<IAllocationJudge> Share() { return nullptr; }

  // Carved files belong to no entry of the volume: they are held against
  // what it gives now, piece by piece. Calls `given(from, to)` for the
  // pieces of [begin, end) (bytes of the judge's device) that lie on
  // clusters the volume now gives to a file or to its own metadata,
  // neighbouring ones joined. What lies in front of its clusters (boot
  // sectors and tables, the same at any scan of the volume) or past them is
  // given to nothing; a cluster whose mark lies on a part of the allocation
  // record a failing medium could not give is given (nothing vouches for a
  // carved file). False, with nothing called, when the allocation record
  // cannot be believed.
  using GivenPiece = std::function<void(uint64_t from, uint64_t to)>;
  virtual bool ForEachGiven(uint64_t /*begin*/, uint64_t /*end*/, const GivenPiece& /*given*/) { return false; }

 protected:
  bool m_ownEntryRequired = false;
};

// Runs as (first cluster, clusters), neighbours joined; holes as (-1, n):
// what a file's record says and what the scan saved, compared.
using JoinedRuns = std::vector<std::pair<int64_t, int64_t>>;
// Appends the run (start, length) to `out`, joined to the last one where it
// goes on from it (start -1: a hole).
void JoinRun(int64_t start, int64_t length, JoinedRuns& out);
void JoinRuns(IDataRunList* runs, JoinedRuns& out);
// Whether `now` begins with the runs `saved` (the file may have grown
// since: its last run may be longer now, and more may follow).
bool RunsBeginWith(const JoinedRuns& saved, const JoinedRuns& now);

// Where a saved result's runs lie: bytes on the record's device of the
// volume's first sector and of the record's cluster 0, and the record's own
// cluster and sector sizes.
struct RecordPlace {
  uint64_t volumeByte = 0;
  uint64_t base = 0;
  uint64_t clusterBytes = 0;
  uint32_t sectorSize = 512;

  // From `record`, on a device of `deviceSector`-byte sectors; false when it
  // names no volume there (a negative sector, no cluster size, a volume that
  // starts inside a device sector).
  bool Of(const CSearchedPartitionInfo& record, uint32_t deviceSector);
};

// What the clusters of a file's saved runs are on a volume as it is now.
struct ClustersNow {
  bool beforeHeap = false;  // some lie in front of its clusters (its own sectors now)
  bool aligned = true;      // they fall on its clusters, whole
};

// Calls `visit(cluster)` for each cluster of `runs` (counted as `place`
// says) in the numbering of a volume whose cluster 2 starts `heap` bytes
// from its start, `clusterBytes` each, up to `heapEnd`; in file order, past
// bytes before the volume or after its last cluster.
template <typename Visit>
ClustersNow ForEachClusterNow(IDataRunList* runs, const RecordPlace& place, unsigned __int128 heap,
                              unsigned __int128 heapEnd, uint64_t clusterBytes, Visit&& visit) {
  using Wide = unsigned __int128;
  ClustersNow now;
  now.aligned = place.clusterBytes == clusterBytes;
  if (runs == nullptr || clusterBytes == 0) return now;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    if (run->IsSparse() || run->length <= 0) continue;
    const Wide begin = Wide(place.base) + Wide(static_cast<uint64_t>(run->start)) * place.clusterBytes;
    const Wide end = begin + Wide(static_cast<uint64_t>(run->length)) * place.clusterBytes;
    if (end <= place.volumeByte) continue;
    Wide from = begin > place.volumeByte ? begin - place.volumeByte : 0;
    const Wide to = std::min<Wide>(end - place.volumeByte, heapEnd);
    if (from < heap) {
      now.beforeHeap = true;
      now.aligned = false;
      from = heap;
    }
    if (from >= to) continue;
    if ((from - heap) % clusterBytes != 0 || (to - heap) % clusterBytes != 0) now.aligned = false;
    const Wide last = (to - heap - 1) / clusterBytes + 2;
    for (Wide c = (from - heap) / clusterBytes + 2; c <= last; ++c) visit(static_cast<uint32_t>(c));
  }
  return now;
}

// The clusters of a volume as ForEachGiven counts them: `count` clusters of
// `bytes` bytes each, numbered from `number` up, the first of them at byte
// `first` of the judge's device.
struct ClusterHeap {
  uint64_t first = 0;
  uint64_t bytes = 0;
  uint64_t number = 0;
  uint64_t count = 0;
};

// ForEachGiven over `heap`, asking `inUse(number)` of each cluster that
// [begin, end) reaches, in order; a cluster it answers true for is given.
void ForEachGivenCluster(uint64_t begin, uint64_t end, const ClusterHeap& heap,
                         const std::function<bool(uint64_t)>& inUse, const IAllocationJudge::GivenPiece& given);

// Files judged by one worker at the least: fewer are not worth a thread.
inline constexpr size_t kFilesPerJudgeThread = 10000;

// How many threads judge `files` files: one per kFilesPerJudgeThread, no
// more than the processors this process may run on.
unsigned JudgeThreadsFor(size_t files);

// A file to judge, and where its record lies (its metadata sector).
struct JudgedFile {
  int64_t sector = -1;
  CFileNode* file = nullptr;
};

// Judges `files` of the judge's volume in the order their records lie (so
// that each piece of the volume is read once) and answers, in the order
// given, whether each is taken. With more than one thread, and a judge that
// can be shared, each worker takes the files whose records lie in one part
// of the volume; the answers are those of one thread. The caller holds no
// lock the files need.
std::vector<uint8_t> JudgeFiles(IAllocationJudge& judge, const std::vector<JudgedFile>& files, unsigned threads);
