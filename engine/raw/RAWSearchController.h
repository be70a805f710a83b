// The complete-scan carver (searcher type 34): every sector of every block
// is offered to the analysers; files whose header gives their length are
// sized at once, the others wait in a queue until 20 blocks have passed and
// are sized from the ring of recent blocks (or the device). Files are
// settled in the order they start, and each goes to the tree once no other
// file can start inside it: a file that starts at a sector boundary inside
// one whose own structure does not prove that sector its own ends that one
// there.
//
// A device of sectors larger than 512 bytes is carved through a 512-byte
// view of it: file systems made for 512-byte sectors (and files laid by
// them) start at any 512-byte boundary, and a disk behind a USB enclosure
// shows such volumes in 4096-byte sectors. Heads are looked for, files sized
// and their runs counted in 512-byte units there, exactly as on a device of
// 512-byte sectors holding the same bytes; the found-partition record says
// so.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "FileSystemSearchController.h"
#include "FileTypeManager.h"
#include "device/SectorSizeDevice.h"
#include "raw/BufferStorageDevice.h"
#include "raw/RAWFileNode.h"
#include "raw/RawFileInfo.h"

class CRAWSearchController : public ICompleteFileSystemSearchController {
 public:
  static constexpr uint32_t kRingBlocks = 20;
  // Zero bytes kept behind the block buffer's last sector.
  static constexpr size_t kPadding = 2048;

  CRAWSearchController() = default;
  ~CRAWSearchController() override;
  CRAWSearchController(const CRAWSearchController&) = delete;
  CRAWSearchController& operator=(const CRAWSearchController&) = delete;

  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
  void SetDevice(IStorageDevice* device) override;
  void SetBlockSize(int sectors) override;
  void PreparetoSearch() override;
  void EndSearch(int build) override;
  // Borrows the block from the scan's cache where it can; the ring gets the
  // one copy it keeps.
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override;
  void SetIProgressSink(IProgress* progress) override;
  // Frees the ring and the block buffers: the pass is over.
  void EndBlockPass() override;

  size_t PendingCount() const { return m_pending.size(); }

 private:
  // The block's `count` sectors, borrowed or read into m_block; sectors from
  // `tailFrom` on are to be looked at in m_tail. Null when it cannot be read.
  const uint8_t* TakeBlock(int64_t firstSector, int64_t count, int64_t* tailFrom);
  CRAWFileManager* GetFileManager(uint32_t type);
  // The carver's sector (512 but on devices of smaller or odd sectors).
  uint32_t UnitBytes() const;
  // The block size in the carver's sectors, from the source's.
  void CountBlockInUnits();
  // Whether the record starts inside what the last file settled proves its
  // own.
  bool InsideProven(const CRawFileInfo& info) const;
  // Whether the record, sized, is a part the last file's structure places
  // where it starts.
  bool OwnPart(const CRawFileInfo& info) const;
  struct Pending {
    std::unique_ptr<CRawFileInfo> info;
    bool sizedByHeader = false;
  };
  // Sizes a queued record (unless its header already did) from `device`;
  // false when it cannot be sized.
  bool SizeQueued(Pending& pending, IStorageDevice* device);
  // Clamps the size to the device and holds the record back as the open
  // file, ending the one held before at its head where that one ran over it.
  void Settle(CRawFileInfo& info);
  void SettleFromRing(uint64_t lastRingSector);
  // Hands the open file to its category.
  void Emit();
  // Emits the open file once no head can still start inside it: the pass
  // has gone past its end and no queued record starts before that.
  void EmitWhenPassed();

  CFileTypeManager m_types;
  std::map<int, std::unique_ptr<CRAWFileManager>> m_managers;
  IStorageDevice* m_source = nullptr;  // the device the scan reads
  std::unique_ptr<CSectorSizeDevice> m_units;
  IStorageDevice* m_device = nullptr;  // read by the carver: the source, or its 512-byte view
  int64_t m_unitsPerSector = 1;        // of the carver's sectors to one of the source's
  int m_sourceSectorsPerBlock = 0;
  int m_sectorsPerBlock = 0;  // in the carver's sectors
  IDirecotryTreeBuilder* m_builder = nullptr;
  CBufferStorageDevice m_ring;
  std::deque<Pending> m_pending;
  std::vector<uint8_t> m_block;  // a block that could not be borrowed, with the padding
  std::vector<uint8_t> m_tail;   // a borrowed block's last sectors, with the padding
  bool m_inPass = false;         // between PreparetoSearch and the pass's end
  uint32_t m_sectorSize = 512;   // the carver's
  bool m_ownsProgress = false;
  // The last file settled, kept from the tree until no head can start
  // inside it: a file its structure does not prove to go on over such a
  // head ends before it. Its sectors: [start, m_openEnd).
  std::unique_ptr<CRawFileInfo> m_open;
  uint64_t m_openEnd = 0;
  // What the last file settled proves its own, in sectors: [start, end),
  // and the parts its structure places, by their first sector.
  uint64_t m_provenStart = 0, m_provenEnd = 0;
  std::vector<std::pair<uint64_t, uint64_t>> m_parts;
  uint64_t m_scannedTo = 0;  // the first sector the pass has not looked at
  uint64_t m_pass = 0;       // RawCarvingPass
};
