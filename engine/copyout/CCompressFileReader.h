// The reader of NTFS-compressed file data. The file's runs are cut into
// compression units of 16 clusters; a unit is stored raw (all 16 clusters
// hold data), compressed with LZNT1 (its data clusters are followed by a
// sparse tail that ends the unit) or absent (all sparse: zeros). Every unit
// yields exactly 16 clusters of the file, whatever its chunks decode to.
//
// Two output modes besides ReadData: file mode writes the whole file to a
// destination path (copy-out uses it for whole files), memory mode fills a
// caller's buffer from the file's start (previews).
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "Progress.h"
#include "ResultCode.h"
#include "copyout/CFileReader.h"
#include "copyout/DestinationFile.h"

// Kinds of the pieces of a regrouped run list.
enum : uint32_t {
  NONECOMPRESSED_UNIT = 0,  // part of a unit stored raw
  COMPRESSED_UNIT = 1,      // part of an LZNT1-compressed unit
  SPARSE_UNIT = 2,          // part of a unit of zeros
};

// One piece of a regrouped run list: a part of one run that lies inside one
// compression unit.
struct tagCompressDataRun {
  int64_t s64LCN = -1;  // -1 for a sparse piece
  uint32_t length = 0;  // clusters
  uint32_t eType = NONECOMPRESSED_UNIT;
};

class CCompressFileReader : public CFileReader {
 public:
  static constexpr uint32_t kUnitClusters = 16;
  // NTFS compresses only volumes whose clusters are at most 4 KiB, which
  // keeps a unit inside 64 KiB.
  static constexpr uint32_t kMaxClusterBytes = 4096;
  static constexpr uint32_t kMaxUnitBytes = kUnitClusters * kMaxClusterBytes;

  CCompressFileReader() = default;
  ~CCompressFileReader() override;

  // CFileReader::Open, refusing (logged) clusters above 4 KiB.
  int Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) override;

  // File mode: writes the whole file to `path` (created or emptied). With a
  // resident run list it sets `fallback` and writes nothing: the caller copies
  // through the plain path. Asks the sink's Continued() before every unit and
  // reports after it; a full destination is reported and retried as in
  // copy-out (DataRecovery.h). True on success and when the sink stopped the
  // copy.
  bool Recovery(const char* path, IProgress* sink, bool& fallback);
  // File mode with the precise outcome: 0 written or stopped; the 0xD03 code
  // when the destination ran full without a sink; 0xF when `path` cannot be
  // opened; 0xD04 when all was written but is not the file (a unit could
  // not be read, the runs end before the file, or the node's runs or size
  // were not vouched for); 1 for any other failure (no runs, a failing
  // destination).
  ResultCode RecoverToFile(const char* path, IProgress* sink, bool& fallback);
  // Memory mode: fills `buffer` with the first min(capacity, file size) bytes
  // of the file. False for a null buffer, a negative capacity or a reader
  // that is not open.
  bool Recovery(char* buffer, int capacity, IProgress* sink);

  // Decodes only the units that cover the bytes asked for.
  unsigned int ReadData(long long offset, char* buffer, unsigned int length) override;
  // Same file and memory-mode settings; no destination.
  IFileReader* Clone() override;

  // Regroups `list` (it replaces the runs taken at Open) and writes `size`
  // bytes' worth of the file in the current mode: to the destination that a
  // running file mode holds open, or into the memory-mode buffer. False for a
  // null list or when the mode has nowhere to write.
  bool DeCompressFile(IDataRunList* list, long long size);

  // The runs of the open file as pieces, unit by unit, each piece carrying
  // its unit's kind. A unit is compressed when it is complete and ends in a
  // sparse piece after some data, sparse when it holds no data, raw
  // otherwise (a last unit that the runs do not complete is raw, and sparse
  // pieces inside raw units read as zeros). At most `maxUnits` units.
  void ReGroupCompressDataRunList(std::list<tagCompressDataRun>& pieces, uint64_t maxUnits) const;

 private:
  struct Unit {
    uint32_t eType = SPARSE_UNIT;
    uint32_t clusters = 0;  // clusters the runs give the unit (16 unless it is the last)
    uint32_t pieceCount = 0;
    tagCompressDataRun pieces[kUnitClusters];
  };
  // A run placed in the file: its first cluster's index in the file.
  struct PlacedRun {
    uint64_t vcn;
    uint64_t length;
    int64_t lcn;  // negative: sparse
  };

  CCompressFileReader(const CCompressFileReader& other);

  // Places the runs of `list` (the runs taken at Open when null) in the file.
  void PlaceRuns(IDataRunList* list);
  // Writes `size` bytes of the file unit by unit in the current mode. File
  // mode asks the sink before every unit (`stopped` when it says stop) and
  // reports after it; a full destination is retried as in copy-out.
  ResultCode RecoverCompressFile(uint64_t size, bool& stopped);

  uint32_t UnitBytes() const { return kUnitClusters * m_clusterBytes; }
  // The first unit at or after `index` that holds a stored cluster;
  // UINT64_MAX when none does.
  uint64_t NextUnitWithData(uint64_t index) const;
  uint64_t UnitsInRuns() const;
  // The pieces of unit `index`; a unit past the runs is sparse.
  void GetUnit(uint64_t index, Unit& unit) const;
  // Writes `unit`, UnitBytes() long, into `out`; `work` has room for a unit.
  // Unreadable parts are zeros.
  void DecodeUnit(const Unit& unit, uint8_t* work, uint8_t* out);
  // Reads the clusters of a data piece into `out`; false when they lie past
  // any byte offset or cannot be read.
  bool ReadClusters(const tagCompressDataRun& piece, uint8_t* out);
  void RecoverCompressFileSparseUnit(uint8_t* out) const;
  void RecoverCompressFileUnCompressUnit(const Unit& unit, uint8_t* out);
  void RecoverCompressFileCompressUnit(const Unit& unit, uint8_t* work, uint8_t* out);

  // The run list placed by file position (shared with clones).
  std::shared_ptr<const std::vector<PlacedRun>> m_placed;

  // The destination of a running file mode (never shared with clones).
  std::unique_ptr<CDestinationFile> m_output;
  // Memory-mode and sink settings.
  IProgress* m_sink = nullptr;
  char* m_memoryBuffer = nullptr;
  int m_memoryCapacity = 0;
  bool m_memoryMode = false;
  uint32_t m_memoryOffset = 0;
  // A unit of the copy could not be read (its zeros stand in): the copy is
  // not the file.
  bool m_unitLost = false;
};
