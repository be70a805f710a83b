// The NTFS scanner's own reader of a found file's bytes: content kept in the
// FILE record (resident data) or the file's clusters read one at a time
// through a work buffer of eight clusters. Used where whole-file copy-out is
// not wanted, for small reads such as the records of a recycle bin.
//
// Sparse runs (no clusters on disk) read as zeros.
#pragma once

#include <cstdint>
#include <vector>

#include "copyout/CFileReader.h"

class CFileReaderEx : public CFileReader {
 public:
  // Clusters the work buffer holds; resident content up to this size is read.
  static constexpr int kWorkClusters = 8;

  CFileReaderEx() = default;
  ~CFileReaderEx() override;
  CFileReaderEx& operator=(const CFileReaderEx&) = delete;

  // Prepares the reader for `node` on a volume whose cluster 0 is at device
  // sector `partitionStartSector`, with clusters of `sectorsPerCluster`
  // device sectors. False for a null argument, a cluster size of 0 (or one
  // above 32 bits), a file of size 0 or a node without a run list.
  bool Open(IStorageDevice* device, CFileNode* node, int64_t partitionStartSector, int sectorsPerCluster);
  // The same with start (its first data sector) and sectors per cluster from
  // the partition record; non-zero on success.
  int Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) override;
  // Forgets device and node and frees the work buffer.
  void Close();

  // Reads up to `length` bytes from `offset` (any offset; the length is cut
  // at the file's end) into `buffer` and sets `got` to the bytes delivered.
  // False for an offset at or past the end, an unopened reader, or a cluster
  // that cannot be read (reading stops there); true with nothing read for a
  // file without runs.
  int Read(long long offset, unsigned char* buffer, int length, int& got) override;
  // Read for resident content: the content's bytes from `offset`.
  int ReadResidentData(long long offset, unsigned char* buffer, int length, int& got);

  IFileReader* Clone() override;

 private:
  CFileReaderEx(const CFileReaderEx& other);

  std::vector<uint8_t> m_work;
};
