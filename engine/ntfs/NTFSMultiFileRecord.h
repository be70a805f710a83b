// A file whose attributes do not fit in one FILE record: its base record and
// the extension records its $ATTRIBUTE_LIST names, read on demand from the
// device.
//
// An extension record counts only when its base reference names this base
// record. Records are reused: after a file is deleted, its extension records
// may now hold another file's attributes, and taking them would hand the
// deleted file someone else's name and clusters.
//
// Sectors and sectors per cluster here are the device's (see CNTFSGeometry
// for volumes whose boot sector counts in other sectors).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class IStorageDevice;
class CNTFSDataRunList;

// One extension record named by an attribute list.
struct CAttributeListExtendFileRecordInfo {
  int64_t startSector = -1;  // -1 while not placed on the device
  int64_t recordNumber = 0;
};
using CExtendFileRecordInfoList = std::vector<CAttributeListExtendFileRecordInfo>;

// One extension record of an open multi-record, read on first use.
// Where FILE record `recordNumber` lies inside its device sector when records
// of `recordSize` bytes are smaller than the sector and several share it; 0
// otherwise.
size_t SharedSectorSlot(uint32_t sectorSize, uint32_t recordSize, int64_t recordNumber);

class CAttributeListExtendFileRecordBufferInfo {
 public:
  // `recordSize` is the base record's size; `baseRecordNumber` the number the
  // record's base reference must carry (-1: unknown, the record is refused).
  CAttributeListExtendFileRecordBufferInfo(IStorageDevice* device, int64_t startSector, int64_t recordNumber,
                                           int recordSize, int64_t baseRecordNumber);

  // The record with its update sequence undone; null when it cannot be read,
  // fails the FILE record test or its update sequence, is not an extension
  // record of the base record, or carries another record number than the
  // attribute list gave. The device is read at most once.
  uint8_t* GetExtendFileRecordBuffer();
  // The bytes of the record that GetExtendFileRecordBuffer answered.
  int GetExtendFileRecordSize() const { return extent_; }
  int64_t GetStartSector() const { return startSector_; }
  int64_t GetRecordNumber() const { return recordNumber_; }

 private:
  IStorageDevice* device_;  // not owned
  std::vector<uint8_t> buffer_;
  int64_t startSector_;
  int64_t recordNumber_;
  int recordSize_;
  int64_t baseRecordNumber_;
  int extent_ = 0;
  bool read_ = false;
};

class CNTFSMultiFileRecord {
 public:
  // Attribute lists longer than this are refused: real lists stay far below
  // it, and the length comes from the disk.
  static constexpr int64_t kMaxAttributeListSize = 256 * 1024;

  // The extension records that the $ATTRIBUTE_LIST of `record` (a buffer of
  // `size` bytes) names, in the list's order, each once and not yet placed;
  // null when there is no list, it cannot be read or it names no record. A
  // non-resident list is read from the device; `sectorsPerCluster` counts
  // device sectors. The caller's buffer is not changed.
  static std::unique_ptr<CExtendFileRecordInfoList> GetExtendFileRecordInfoList(const uint8_t* record, uint32_t size,
                                                                                int64_t volumeStartSector,
                                                                                int sectorsPerCluster,
                                                                                IStorageDevice& device);
  // The same list with every entry placed through the MFT's runs; entries
  // that are the base record itself (by number, or by sector when records do
  // not share sectors) or that cannot be placed are left out. Null when the
  // record has no usable list. `sectorsPerRecord` and `recordsPerSector` as
  // for GetFileRecordStartSectorfromMFTNumber.
  static std::unique_ptr<CExtendFileRecordInfoList> InitExtendFileRecord(const uint8_t* record, uint32_t size,
                                                                         int64_t recordSector,
                                                                         uint8_t sectorsPerCluster,
                                                                         int64_t volumeStartSector,
                                                                         IStorageDevice& device,
                                                                         const CNTFSDataRunList* mftRuns,
                                                                         uint8_t sectorsPerRecord,
                                                                         uint32_t recordsPerSector = 1);
  // The device sector where FILE record `recordNumber` starts; -1 when the
  // MFT's runs do not hold it, when its sectors are not contiguous (a record
  // split between two runs) or on overflow. Records span `sectorsPerRecord`
  // sectors, or, when that is 0, `recordsPerSector` records share a sector
  // (record n at byte (n mod recordsPerSector) x record size of it, since the
  // MFT's clusters start on sectors).
  static int64_t GetFileRecordStartSectorfromMFTNumber(int64_t recordNumber, uint8_t sectorsPerCluster,
                                                       int64_t volumeStartSector, const CNTFSDataRunList* mftRuns,
                                                       uint8_t sectorsPerRecord, uint32_t recordsPerSector = 1);
  // Reads the clusters of `runs` into `out` (zeroed first) in order, up to
  // the last run that fits in `outSize` bytes; sparse runs stay zero. False
  // when the runs are not sound or a read fails.
  static bool GetAttributeDatafromNonResidentAttributeBuffer(const uint8_t* runs, uint32_t runsLength, uint8_t* out,
                                                             uint32_t outSize, int64_t volumeStartSector,
                                                             int sectorsPerCluster, IStorageDevice& device);

  // Keeps a copy of the base record `record` (`size` bytes, found at device
  // sector `sector`) when it passes the FILE record test, with its update
  // sequence undone; `extensions` (may be null, stays the caller's) names its
  // extension records. `recordNumber` is the base record's MFT number for
  // records whose header does not carry it (-1: unknown).
  CNTFSMultiFileRecord(const uint8_t* record, uint32_t size, int64_t sector, IStorageDevice* device,
                       const CExtendFileRecordInfoList* extensions, int64_t recordNumber = -1);
  CNTFSMultiFileRecord(const CNTFSMultiFileRecord&) = delete;
  CNTFSMultiFileRecord& operator=(const CNTFSMultiFileRecord&) = delete;

  bool IsValid() const { return !record_.empty(); }
  bool IsinUse() const;
  // Whether the base record's update sequence verified (see CNTFSFileRecord).
  bool IsUpdateSequenceUndone() const { return undone_; }
  // The base record's MFT number: from its header, else the number given to
  // the constructor; 0 when neither is known or the record is not valid.
  int64_t GetMainFileRecordIndex() const;
  int64_t GetMainFileRecordSector() const { return sector_; }
  const uint8_t* GetMainFileRecord() const { return IsValid() ? record_.data() : nullptr; }
  int GetMainFileRecordSize() const { return static_cast<int>(record_.size()); }
  size_t GetExtendFileRecordCount() const { return extensions_.size(); }

  // The index-th (from 0) attribute of `type` over the base record and then
  // the extension records in list order, or null. Reports the attribute's
  // offset in its record, that record's sector and the bytes of that record
  // from the attribute on (the limit for the attribute's own tests).
  uint8_t* FindAttibute(uint32_t type, uint32_t index, uint32_t* offset, int64_t* recordSector,
                        int* bytesLeft = nullptr);

  // Every attribute of `type` in the order FindAttibute counts them, in one
  // walk. Attributes that fail the attribute test are left out.
  struct FoundAttribute {
    uint8_t* attr;
    uint32_t offset;       // in its record
    int64_t recordSector;  // of its record
    int bytesLeft;         // of its record from the attribute on
  };
  std::vector<FoundAttribute> FindAllAttributes(uint32_t type);
  // Whether an attribute of a type NTFS does not define stands in the base
  // record or an extension record.
  bool HasUnknownAttribute();

 private:
  std::vector<uint8_t> record_;
  int64_t sector_ = 0;
  int64_t recordNumber_ = -1;
  bool undone_ = false;
  std::vector<std::unique_ptr<CAttributeListExtendFileRecordBufferInfo>> extensions_;
};
