#include "ntfs/CFileReaderEx.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "DataRunList.h"
#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSResidentData.h"

CFileReaderEx::CFileReaderEx(const CFileReaderEx& other) : CFileReader(other) {
  if (!other.m_work.empty()) m_work.assign(other.m_work.size(), 0);
}

CFileReaderEx::~CFileReaderEx() { Close(); }

bool CFileReaderEx::Open(IStorageDevice* device, CFileNode* node, int64_t partitionStartSector, int sectorsPerCluster) {
  Close();
  if (device == nullptr || node == nullptr || sectorsPerCluster <= 0 || partitionStartSector < 0) return false;
  CSearchedPartitionInfo partition(device->GetSectorSize());
  // The reader counts in the device's own sectors.
  if (partition.GetSectorSize() != device->GetSectorSize()) return false;
  partition.SetSectorsperCluster(static_cast<uint32_t>(sectorsPerCluster));
  partition.SetFirstDataSector(partitionStartSector);
  if (CFileReader::Open(device, node, &partition) == 0) return false;
  const uint64_t work = uint64_t{GetClusterBytes()} * kWorkClusters;
  if (work > INT32_MAX) {
    Close();
    return false;
  }
  try {
    m_work.assign(static_cast<size_t>(work), 0);
  } catch (const std::bad_alloc&) {
    Close();
    return false;
  }
  RegisterNTFSResidentDataReader();
  return true;
}

int CFileReaderEx::Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) {
  if (partition == nullptr) return 0;
  return Open(device, node, partition->GetFirstDataSector(), static_cast<int>(partition->GetSectorsperCluster())) ? 1
                                                                                                                  : 0;
}

void CFileReaderEx::Close() {
  CFileReader::Close();
  std::vector<uint8_t>().swap(m_work);
}

int CFileReaderEx::ReadResidentData(long long offset, unsigned char* buffer, int length, int& got) {
  got = 0;
  if (!IsOpen() || m_work.empty() || buffer == nullptr || offset < 0 || length < 0) return 0;
  const uint32_t capacity = static_cast<uint32_t>(m_work.size());
  int64_t contentLength = 0;
  uint32_t copied = 0;
  if (auto* ntfs = dynamic_cast<CNTFSFileNode*>(m_node)) {
    copied = GetResidentDataRunsStream(*ntfs, *m_device, &contentLength, m_work.data(), capacity);
  } else if (!Runs().empty() && Runs().front().start >= 0) {
    // A node restored from a saved scan: its run names the record's sector.
    copied = GetResidentDataRunsStream(static_cast<uint64_t>(Runs().front().start), *m_device, &contentLength,
                                       m_work.data(), capacity);
  }
  const int64_t available = std::min<int64_t>(contentLength, copied);
  if (copied == 0 || available <= offset) return 0;
  const int64_t n = std::min<int64_t>(available - offset, length);
  std::memcpy(buffer, m_work.data() + offset, static_cast<size_t>(n));
  got = static_cast<int>(n);
  return 1;
}

int CFileReaderEx::Read(long long offset, unsigned char* buffer, int length, int& got) {
  got = 0;
  if (!IsOpen() || m_work.empty() || buffer == nullptr || length < 0) return 0;
  if (offset < 0 || offset >= m_fileSize) return 0;
  if (length > m_fileSize - offset) length = static_cast<int>(m_fileSize - offset);
  if (IsResidentList()) return ReadResidentData(offset, buffer, length, got);

  const int64_t clusterBytes = GetClusterBytes();
  const int64_t spc = GetSectorsPerCluster();
  int64_t position = offset;
  const int64_t end = offset + length;
  int64_t runStart = 0;  // the VCN of the current run's first cluster
  for (const DataRun& run : Runs()) {
    if (position >= end) break;
    if (run.length <= 0) continue;
    int64_t runEnd;
    if (__builtin_add_overflow(runStart, run.length, &runEnd)) runEnd = INT64_MAX;
    for (int64_t cluster = position / clusterBytes; cluster < runEnd && position < end; ++cluster) {
      const int64_t inCluster = position - cluster * clusterBytes;
      const int64_t n = std::min(clusterBytes - inCluster, end - position);
      if (run.IsSparse()) {
        std::memset(buffer + got, 0, static_cast<size_t>(n));
      } else {
        int64_t sector;
        if (__builtin_add_overflow(run.start, cluster - runStart, &sector) ||
            __builtin_mul_overflow(sector, spc, &sector) ||
            __builtin_add_overflow(sector, m_firstDataSector, &sector) ||
            m_device->ReadSector(m_work.data(), sector, spc) == 0) {
          return 0;
        }
        std::memcpy(buffer + got, m_work.data() + inCluster, static_cast<size_t>(n));
      }
      got += static_cast<int>(n);
      position += n;
    }
    runStart = runEnd;
    if (runStart == INT64_MAX) break;
  }
  return 1;
}

IFileReader* CFileReaderEx::Clone() { return new (std::nothrow) CFileReaderEx(*this); }
