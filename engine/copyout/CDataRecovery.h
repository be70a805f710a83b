// Copy-out of found files (see DataRecovery.h for the interface and the
// full-destination protocol).
#pragma once

#include <cstdint>
#include <vector>

#include "DataRecovery.h"
#include "Locks.h"
#include "Progress.h"

class CFileNode;
class CSearchedPartitionInfo;

// A node that was judged against one partition record before it was shown
// (a loaded scan result's): its runs count from that record, so it is read
// through that record alone, never through another tree's record that
// carries the same index, and through none when it has none.
class IJudgedPartitionNode {
 public:
  virtual const CSearchedPartitionInfo* GetJudgedPartition() const = 0;

 protected:
  ~IJudgedPartitionNode() = default;
};

class CDataRecovery final : public IDataRecovery {
 public:
  static constexpr int kBufferSize = 0x400000;  // one copy chunk: 4 MiB
  static constexpr int kFirstQuery = 256;       // records asked of a searcher at first
  // Partition indexes are 16 bits wide; a searcher answering more is broken.
  static constexpr int kMaxPartitions = 0xFFFF;
  static constexpr unsigned int kJpegWindow = 0x10000;
  // A copy whose reads deliver nothing for this many bytes in a row ends
  // (incomplete) instead of running on: reads that stopped making progress.
  static constexpr uint64_t kMaxUnreadBytes = uint64_t{1} << 30;

  CDataRecovery() = default;
  // Releases the reader and deletes the partition records.
  ~CDataRecovery() override;
  CDataRecovery(const CDataRecovery&) = delete;
  CDataRecovery& operator=(const CDataRecovery&) = delete;

  // Takes the records the searcher hands over. A searcher that answers more
  // than the capacity it was given is asked again with room for that many
  // (at most kMaxPartitions); what the first query handed over is deleted.
  // The records are ordered by weight, larger first (a NaN weight last;
  // equal weights keep the searcher's order). Records and reader of an
  // earlier Initialize are dropped.
  ResultCode Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) override;
  // For a replayed scan: copies of `records` (null entries skipped) as plain
  // records, in the given order. Error 5 for a null device.
  ResultCode Initialize(std::vector<CSearchedPartitionInfo*>& records, IStorageDevice* device);

  IFileReader* SetRecoverNode(IFileNode* node) override;
  ResultCode RecoverTo(const char* path, IProgress* progress, int byteLimit) override;
  unsigned int ReadSmallJPG(char* out, unsigned int size) override;
  void Release() override;

  // The partition records (the scan-result writer stores them) and, in
  // `count`, how many there are; every entry of the list is a record.
  std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(uint32_t& count);
  std::vector<CSearchedPartitionInfo*>& GetSearchedPartition();
  // The device the records place their volumes on (the scanned one); null
  // before Initialize.
  IStorageDevice* GetDevice() const { return m_device; }

  // The record that a node's data is read through (see the .cpp for the
  // rules; a judged node's own record); null when there is none.
  CSearchedPartitionInfo* GetNodePartition(CFileNode* node);
  // Whether the NTFS compressed-data reader prepared the current file.
  bool IsNTFSCompressed() const { return m_ntfsCompressed != 0; }

  // The ordering of the records: larger weight first, NaN and null last.
  static bool PartitionInfoCompare(const CSearchedPartitionInfo* a, const CSearchedPartitionInfo* b);
  static bool IsMetaDataInRange(CFileNode* node, const CSearchedPartitionInfo* partition);
  static bool IsDataRunListInRange(CFileNode* node, const CSearchedPartitionInfo* partition);
  static bool IsClusterSuit(CFileNode* node, const CSearchedPartitionInfo* partition);

 private:
  void ReleasePartitions();
  void DropReader();
  bool EnsureBuffer();
  ResultCode CopyPlain(const char* path, IProgress* progress, uint64_t total, _PROGRESS_INFO& record);

  int m_bufferSize = kBufferSize;
  std::vector<uint8_t> m_buffer;
  IFileReader* m_reader = nullptr;
  std::vector<CSearchedPartitionInfo*> m_partitions;
  uint32_t m_partitionCount = 0;
  IStorageDevice* m_device = nullptr;
  uint32_t m_ntfsCompressed = 0;
  bool m_emptyFile = false;    // the file set to copy is empty, and not cut to nothing
  bool m_sizeDamaged = false;  // its metadata no longer says all of where its bytes are
  mutex_locker m_lock;
};
