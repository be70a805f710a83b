// The plain file reader: a found file's bytes read from the scanned device
// through the node's data runs, or, for NTFS files kept inside their file
// record, through the resident-data hook (FileReader.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "DataRunList.h"
#include "FileReader.h"
#include "base/LogBudget.h"

class CFileNode;
class CSearchedPartitionInfo;
class IStorageDevice;

class CFileReader : public IFileReader {
 public:
  CFileReader() = default;
  // Frees nothing it was given: device, node and run list stay their
  // owners'. They must outlive the reader and its clones.
  ~CFileReader() override;
  CFileReader& operator=(const CFileReader&) = delete;

  // Prepares the reader; non-zero on success. Fails (logged) for a null
  // argument, a cluster size of 0 or one that does not fit 32 bits, a file
  // size of 0 and a node without a run list. The runs are copied here, so the
  // reader never moves the node's run-list cursor and clones may read on
  // other threads.
  virtual int Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition);
  // Forgets device and node; reads fail afterwards.
  void Close();

  // Reads up to `length` bytes from `offset` into `buffer` and adds the bytes
  // delivered to `got`; non-zero on success. Sparse runs read as zeros. A
  // read that passes the end of the runs succeeds with what lies before it;
  // an offset at or past the file size, or a failing device read, fails.
  virtual int Read(long long offset, unsigned char* buffer, int length, int& got);
  // Read for a resident run list: the stream's bytes from `offset` land at
  // the buffer's start.
  int ReadResidentData(long long offset, unsigned char* buffer, int length, int& got);

  // Read with a fresh count: the count on success, 0 on failure.
  unsigned int ReadData(long long offset, char* buffer, unsigned int length) override;
  IFileReader* Clone() override;
  int64_t GetDataSize() const override;  // the node's size at Open; 0 before
  int IsCompressFile() override;         // the node's IsCompressed()
  // The node's content was unsure at Open (CFileNode::IsContentUnsure), or
  // a read of this reader met sectors the medium could not give (they were
  // delivered as zeros).
  int IsContentIncomplete() override;
  void Release() override;

  // The bytes the runs describe, holes included; INT64_MAX for a resident
  // list (its stream's own length counts). A copy writes no more than this.
  uint64_t GetDescribedBytes() const;
  // Whether [offset, offset + length) holds no stored byte: it lies in
  // sparse runs or past the end of the runs (never for a resident list).
  bool IsHole(uint64_t offset, uint64_t length) const;
  // Where the first stored byte at or after `offset` lies; UINT64_MAX when
  // none does (`offset` itself for a resident list).
  uint64_t NextStoredOffset(uint64_t offset) const;

  uint32_t GetClusterBytes() const { return m_clusterBytes; }
  uint32_t GetSectorsPerCluster() const { return m_sectorsPerCluster; }
  int64_t GetFirstDataSector() const { return m_firstDataSector; }
  bool IsOpen() const { return m_device != nullptr && m_node != nullptr; }

 protected:
  CFileReader(const CFileReader& other) = default;

  // The runs copied at Open (shared with clones), in file order.
  const std::vector<DataRun>& Runs() const;
  bool IsResidentList() const { return m_resident; }
  // The device's sector size, 512 when it reports 0.
  uint32_t DeviceSectorSize() const;
  // Reads `count` bytes of the device starting `byteOffset` bytes after the
  // first data sector (any alignment) into `out`. The first data sector
  // counts in the partition record's sectors, which are the device's own
  // unless the volume was read in sectors of its own size. Fails on
  // overflow, on a position before the device or on a failing device read;
  // a read that lost sectors delivers zeros for them (IsContentIncomplete).
  bool ReadFromDataArea(uint64_t byteOffset, uint8_t* out, size_t count);
  // ReadSector on the device, taking what a read around damage gave.
  bool ReadSectors(uint8_t* out, int64_t sector, int64_t count);

  IDataRunList* m_dataRunList = nullptr;
  IStorageDevice* m_device = nullptr;
  CFileNode* m_node = nullptr;
  uint32_t m_clusterBytes = 0;
  uint32_t m_sectorsPerCluster = 0;
  int64_t m_fileSize = 0;
  int64_t m_firstDataSector = 0;
  uint32_t m_dataSectorSize = 0;  // the record's sector size; 0: the device's
  // Failures of one file's reads: the first few of a kind, then a count.
  CLogBudget m_log;

 private:
  std::shared_ptr<const std::vector<DataRun>> m_runs;
  bool m_resident = false;
  bool m_unsure = false;
  // Set by a read that met unreadable sectors; a clone starts without.
  struct LostFlag {
    LostFlag() = default;
    LostFlag(const LostFlag&) {}
    LostFlag& operator=(const LostFlag&) = delete;
    std::atomic<bool> flag{false};
  } m_lost;
};
