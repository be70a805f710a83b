// The volume's allocation record ($Bitmap: one bit per cluster, set while a
// file or the volume itself holds the cluster), for the test a deleted
// file's runs must pass before its copy is vouched for: a deleted file gives
// its clusters back, so any of them set again belongs to some other file now
// (or to the volume's own files), and the deleted file's bytes there are
// gone.
//
// The bitmap is read in pieces as it is asked about, and at most 64 MiB of
// it is kept (a 2 TiB volume of 4 KiB clusters has a 64 MiB bitmap). It is taken
// only when it is believable: its record is the volume's record 6, named
// $Bitmap, in use, its stream large enough for every cluster, and the
// clusters every volume holds are set in it (the boot sector's, the start of
// the master file table, the bitmap's own). Otherwise Load answers null, and
// nothing is said about any file.
//
// It may be asked from several threads at once: the pieces it keeps are
// looked up under its lock, and a Reader of each thread keeps the last few
// pieces it was handed, which it asks again without the lock.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DataRunList.h"

class CNTFSDataRunList;
class CNTFSFileProperties;
class IStorageDevice;

class CNTFSClusterBitmap {
 public:
  // Bytes of the bitmap read at a time (8M clusters, 32 GiB in 4 KiB
  // clusters), and the most pieces kept: each piece is read once while the
  // whole bitmap of a volume of up to 2 TiB in 4 KiB clusters fits (64 MiB,
  // only the pieces asked about are read); beyond, the piece used longest
  // ago goes first. Deleted files lie all over a volume: a bound much
  // smaller would read the same pieces again and again.
  static constexpr uint32_t kPieceBytes = 1024 * 1024;
  static constexpr size_t kMaxPieces = 64;

  // The bitmap of the volume whose cluster 0 is device sector `volumeStart`
  // of `device`, with `sectorsPerCluster` device sectors per cluster,
  // `recordBytes`-byte FILE records and `clusters` clusters, its table laid
  // out by `mftRuns`. Null when the bitmap cannot be read or believed; one
  // whose every bit is lost when its record lies on sectors the medium could
  // not give.
  static std::unique_ptr<CNTFSClusterBitmap> Load(IStorageDevice& device, int64_t volumeStart,
                                                  uint32_t sectorsPerCluster, uint32_t recordBytes,
                                                  const CNTFSDataRunList& mftRuns, uint64_t clusters);

  // What a failing medium left of some bits: they lie in sectors it could
  // not give (UnreadableSectors.h), so the clusters they stand for may be
  // anybody's, and only the rest of the bitmap is read.
  static constexpr int kLost = -2;

  // 1 when some cluster of [lcn, lcn + count) is set, 0 when none is, -1
  // when it cannot be said (outside the volume, or unreadable), kLost when
  // none of those read is set but some bits were lost.
  int AnyInUse(int64_t lcn, int64_t count);
  // 1 when every cluster of the range is set, 0 when one is not, -1 and
  // kLost as above.
  int AllInUse(int64_t lcn, int64_t count);

  // Whether a deleted file's stored runs (resident data and holes have no
  // clusters) reach a cluster the volume now gives to something else, or
  // may (their bits were lost). A range that cannot be read otherwise says
  // nothing.
  bool ReachesClustersInUse(CNTFSFileProperties& properties);

  // What the last Load or the reads since cost, for benchmarks.
  uint64_t GetStreamBytes() const { return m_streamBytes; }
  size_t GetPiecesRead() const;
  size_t GetBytesHeld() const;

 private:
  struct Piece;

 public:
  // The bitmap as one thread asks it while others do too; it must not
  // outlive the bitmap.
  class Reader {
   public:
    explicit Reader(CNTFSClusterBitmap& bitmap) : m_bitmap(&bitmap) {}
    int AnyInUse(int64_t lcn, int64_t count);

    // Pieces a reader keeps besides those the bitmap keeps.
    static constexpr size_t kMaxHeld = 4;

   private:
    CNTFSClusterBitmap* m_bitmap;
    std::vector<std::shared_ptr<const Piece>> m_held;  // most recently used first
  };

 private:
  CNTFSClusterBitmap() = default;

  struct Piece {
    uint64_t index = 0;
    bool readable = false;
    // Whether every byte is 0, or 0xFF: a range over the whole piece is
    // answered without looking at its bits (runs of a damaged record may
    // span the volume, in record after record).
    bool allClear = false;
    bool allSet = false;
    std::vector<uint8_t> bytes;
    // Bytes [first, end) of the piece the medium could not give, ascending.
    std::vector<std::pair<uint32_t, uint32_t>> lost;
  };
  // The piece holding bitmap byte `index` x kPieceBytes, read when needed
  // (under the lock); null when it cannot be.
  std::shared_ptr<const Piece> PieceAt(uint64_t index);
  // Reads `bytes` of the stream from `offset` into `out`; byte ranges of
  // `out` the medium could not give are appended to `lost` when it is
  // given (otherwise such a read fails).
  bool ReadStream(uint64_t offset, uint8_t* out, uint32_t bytes,
                  std::vector<std::pair<uint32_t, uint32_t>>* lost = nullptr);
  // Counts the set bits of [lcn, lcn + count) in the pieces `pieceAt` hands
  // out (each kept until the next is asked): `any` stops at the first set,
  // otherwise at the first clear one.
  template <typename PieceSource>
  int Scan(int64_t lcn, int64_t count, bool any, PieceSource&& pieceAt) const;

  IStorageDevice* m_device = nullptr;  // not owned
  int64_t m_volumeStart = 0;
  uint32_t m_sectorSize = 512;
  uint32_t m_sectorsPerCluster = 1;
  uint64_t m_clusters = 0;
  uint64_t m_streamBytes = 0;
  std::vector<DataRun> m_runs;                       // the bitmap's own clusters, in order
  mutable std::mutex m_lock;                         // over the pieces kept and their count
  std::list<std::shared_ptr<const Piece>> m_pieces;  // most recently used first
  std::unordered_map<uint64_t, std::list<std::shared_ptr<const Piece>>::iterator> m_byIndex;
  size_t m_piecesRead = 0;
  bool m_allLost = false;  // the bitmap's own record lies on lost sectors
};
