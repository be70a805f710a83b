#include "copyout/CDataRecovery.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "FileNode.h"
#include "FileSystemSearchController.h"
#include "SearchedPartitionInfo.h"
#include "base/CatchExeception.h"
#include "base/LogBudget.h"
#include "copyout/CCompressFileReader.h"
#include "copyout/CFileReader.h"
#include "copyout/DestinationFile.h"
#include "device/SectorSalvage.h"

#define RECOVERY_LOG(op) CatchExeception::WriteLog("%s %d\r\n", (op), __LINE__)

namespace {

using Wide = __int128;

ResultCode CopyOutFailure(uint16_t line, uint32_t error) {
  return result::MakeResult(result::kModuleCopyOut, line, error);
}

#define COPYOUT_FAILURE(error) CopyOutFailure(static_cast<uint16_t>(__LINE__), (error))

}  // namespace

CDataRecovery::~CDataRecovery() {
  autolocker<mutex_locker> hold(m_lock);
  DropReader();
  ReleasePartitions();
}

void CDataRecovery::Release() { delete this; }

void CDataRecovery::ReleasePartitions() {
  for (CSearchedPartitionInfo* record : m_partitions) delete record;
  m_partitions.clear();
  m_partitionCount = 0;
}

void CDataRecovery::DropReader() {
  if (m_reader != nullptr) m_reader->Release();
  m_reader = nullptr;
  m_ntfsCompressed = 0;
}

bool CDataRecovery::EnsureBuffer() {
  if (m_buffer.size() == static_cast<size_t>(m_bufferSize)) return true;
  try {
    m_buffer.assign(static_cast<size_t>(m_bufferSize), 0);
  } catch (const std::bad_alloc&) {
    m_buffer.clear();
    return false;
  }
  return true;
}

bool CDataRecovery::PartitionInfoCompare(const CSearchedPartitionInfo* a, const CSearchedPartitionInfo* b) {
  // A strict weak order: null after every record, NaN after every number.
  if (a == nullptr || b == nullptr) return a != nullptr && b == nullptr;
  const double wa = a->GetOrderWeight();
  const double wb = b->GetOrderWeight();
  if (std::isnan(wa) || std::isnan(wb)) return !std::isnan(wa) && std::isnan(wb);
  return wa > wb;
}

ResultCode CDataRecovery::Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) {
  if (searcher == nullptr || device == nullptr) {
    RECOVERY_LOG("Initialize");
    return COPYOUT_FAILURE(result::kErrBadArgument);
  }
  DropReader();
  ReleasePartitions();

  m_partitions = TakeSearchedPartitionInfo(searcher, kFirstQuery);
  if (m_partitions.empty()) {
    RECOVERY_LOG("Initialize");
    return COPYOUT_FAILURE(result::kErrNoFileSystem);
  }
  m_partitionCount = static_cast<uint32_t>(m_partitions.size());
  m_device = device;
  m_buffer.clear();
  EnsureBuffer();
  if (m_partitions.size() >= 2) std::stable_sort(m_partitions.begin(), m_partitions.end(), PartitionInfoCompare);
  return 0;
}

ResultCode CDataRecovery::Initialize(std::vector<CSearchedPartitionInfo*>& records, IStorageDevice* device) {
  if (device == nullptr) {
    RECOVERY_LOG("Initialize");
    return COPYOUT_FAILURE(result::kErrBadArgument);
  }
  DropReader();
  ReleasePartitions();
  for (const CSearchedPartitionInfo* record : records) {
    if (record == nullptr) continue;
    auto* copy = new (std::nothrow) CSearchedPartitionInfo(record->GetSectorSize());
    if (copy == nullptr) continue;
    *copy = *record;
    m_partitions.push_back(copy);
  }
  m_partitionCount = static_cast<uint32_t>(m_partitions.size());
  m_device = device;
  m_buffer.clear();
  EnsureBuffer();
  return 0;
}

std::vector<CSearchedPartitionInfo*>& CDataRecovery::GetSearchedPartition(uint32_t& count) {
  count = m_partitionCount;
  return m_partitions;
}

std::vector<CSearchedPartitionInfo*>& CDataRecovery::GetSearchedPartition() { return m_partitions; }

bool CDataRecovery::IsMetaDataInRange(CFileNode* node, const CSearchedPartitionInfo* partition) {
  const Wide sector = node->GetMetadataStartPosition();
  const Wide start = partition->GetStartSector();
  return start < sector && sector < start + Wide(partition->GetTotalSectors());
}

bool CDataRecovery::IsDataRunListInRange(CFileNode* node, const CSearchedPartitionInfo* partition) {
  IDataRunList* list = node->GetDataRunList();
  if (list == nullptr) return false;
  const Wide spc = partition->GetSectorsperCluster();
  const Wide start = partition->GetStartSector();
  const Wide end = start + Wide(partition->GetTotalSectors());
  const Wide base = partition->GetFirstDataSector();
  for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    if (run->IsSparse() || run->length <= 0) continue;  // no place on the device
    // Runs count clusters from the first data sector; the volume's bounds
    // are device sectors.
    const Wide first = base + Wide(run->start) * spc;
    const Wide last = first + Wide(run->length) * spc - 1;
    if (first < start || last >= end) return false;
  }
  return true;
}

bool CDataRecovery::IsClusterSuit(CFileNode* node, const CSearchedPartitionInfo* partition) {
  IDataRunList* list = node->GetDataRunList();
  Wide clusters = 0;
  if (list != nullptr) {
    for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
      if (run->length > 0) clusters += run->length;
    }
  }
  if (clusters < 2) return true;
  const double estimate = std::ceil(static_cast<double>(node->GetFileSize()) / static_cast<double>(clusters) / 512.0);
  if (!(estimate > 1.0) || estimate > 16777216.0) return false;
  uint64_t power = 2;
  while (static_cast<double>(power) < estimate) power <<= 1;
  return power == partition->GetSectorsperCluster();
}

CSearchedPartitionInfo* CDataRecovery::GetNodePartition(CFileNode* node) {
  if (m_partitions.empty()) return nullptr;
  // The record a loaded node was judged against, whatever the others say:
  // records of two trees may share an index, and the node's runs were found
  // to fit only its own. The node keeps it for as long as it lives.
  if (const auto* judged = dynamic_cast<const IJudgedPartitionNode*>(node); judged != nullptr) {
    return const_cast<CSearchedPartitionInfo*>(judged->GetJudgedPartition());
  }
  if (m_partitions.size() == 1 || m_partitionCount == 0 || node == nullptr) return m_partitions.front();
  const uint16_t index = node->GetBelongedPartition();
  for (uint32_t i = 0; i < m_partitionCount && i < m_partitions.size(); ++i) {
    if (m_partitions[i] != nullptr && m_partitions[i]->GetPartitionIndex() == index) return m_partitions[i];
  }
  for (CSearchedPartitionInfo* record : m_partitions) {
    if (record == nullptr) continue;
    if (IsMetaDataInRange(node, record) && IsDataRunListInRange(node, record) &&
        record->GetSectorsperCluster() % 2 == 0 && IsClusterSuit(node, record)) {
      return record;
    }
  }
  return m_partitions.front();
}

IFileReader* CDataRecovery::SetRecoverNode(IFileNode* node) {
  autolocker<mutex_locker> hold(m_lock);
  // Whatever happens below, the previous file is no longer the one to copy.
  DropReader();
  m_emptyFile = false;
  m_sizeDamaged = false;
  if (node == nullptr || node->IsDirectory()) {
    RECOVERY_LOG("SetRecoverNode");
    return nullptr;
  }
  auto* fileNode = dynamic_cast<CFileNode*>(node);
  // A file of no bytes has nothing to read: its empty copy is all of it.
  // One cut to nothing (its runs lie where the device has no sectors) is
  // not that file.
  m_emptyFile = fileNode != nullptr && fileNode->GetFileSize() == 0 && !fileNode->IsSizeDamaged();
  m_sizeDamaged = fileNode != nullptr && fileNode->IsSizeDamaged();
  if (fileNode == nullptr || m_partitionCount == 0) {
    RECOVERY_LOG("SetRecoverNode");
    return nullptr;
  }
  CSearchedPartitionInfo* partition = GetNodePartition(fileNode);
  if (partition == nullptr) {
    RECOVERY_LOG("SetRecoverNode");
    return nullptr;
  }

  IFileReader* reader = nullptr;
  IDataRunList* list = fileNode->GetDataRunList();
  if (fileNode->IsCompressed() && list != nullptr && list->IsResident() == 0) {
    IFileReader* made = fileNode->CreateCompressFileReader(partition->GetPrivateData());
    if (made == nullptr) {
      RECOVERY_LOG("SetRecoverNode");
      return nullptr;
    }
    auto* plain = dynamic_cast<CFileReader*>(made);
    if (partition->GetFileSystemType() == FILE_SYSTEM_TYPE_NTFS && plain != nullptr) {
      if (plain->Open(m_device, fileNode, partition) == 0) {
        RECOVERY_LOG("SetRecoverNode");
        made->Release();
        return nullptr;
      }
      if (dynamic_cast<CCompressFileReader*>(made) != nullptr) m_ntfsCompressed = 1;
    }
    // Other file systems' readers (HFS+) come ready to read.
    reader = made;
  } else {
    auto* plain = new (std::nothrow) CFileReader();
    if (plain == nullptr || plain->Open(m_device, fileNode, partition) == 0) {
      RECOVERY_LOG("SetRecoverNode");
      if (plain != nullptr) plain->Release();
      return nullptr;
    }
    reader = plain;
  }
  m_reader = reader;
  IFileReader* clone = m_reader->Clone();
  if (clone == nullptr) RECOVERY_LOG("SetRecoverNode");
  return clone;
}

ResultCode CDataRecovery::RecoverTo(const char* path, IProgress* progress, int byteLimit) {
  autolocker<mutex_locker> hold(m_lock);
  // A stop is heard between two reads of a failing medium's damage.
  CSalvageStop stop([progress] { return progress == nullptr || progress->Continued() != 0; });
  const SalvageScope scope(&stop);
  _PROGRESS_INFO record;
  record.status = PROGRESS_STATUS_RUNNING;
  if (progress != nullptr) progress->UpdateProgress(&record);
  if (path == nullptr) {
    RECOVERY_LOG("RecoverTo");
    return COPYOUT_FAILURE(result::kErrBadArgument);
  }
  if (m_reader == nullptr) {
    CDestinationFile empty;
    const bool opened = empty.Open(path);
    if (!opened) {
      RECOVERY_LOG("RecoverTo");
      return COPYOUT_FAILURE(result::kErrDestinationNotOpened);
    }
    if (!empty.Close()) {
      RECOVERY_LOG("RecoverTo");
      return COPYOUT_FAILURE(result::kErrIO);
    }
    if (m_emptyFile) return 0;
    RECOVERY_LOG("RecoverTo");
    // Damaged metadata left nothing to read (no runs at all): the empty
    // copy is kept, and is not the file.
    if (m_sizeDamaged) return COPYOUT_FAILURE(result::kErrIncomplete);
    return COPYOUT_FAILURE(result::kErrNoReader);
  }
  if (m_ntfsCompressed != 0 && m_reader->IsCompressFile() != 0) {
    if (byteLimit > 0) {
      RECOVERY_LOG("RecoverTo");
      return COPYOUT_FAILURE(result::kErrDestinationNotOpened);
    }
    bool fallback = false;
    const ResultCode code = static_cast<CCompressFileReader*>(m_reader)->RecoverToFile(path, progress, fallback);
    if (result::IsFailure(code)) {
      RECOVERY_LOG("RecoverTo");
      const uint32_t error = result::Error(code);
      if (error == result::kErrShortWrite || error == result::kErrDestinationNotOpened ||
          error == result::kErrTooLarge || error == result::kErrIncomplete) {
        return code;
      }
      return COPYOUT_FAILURE(result::kErrIO);
    }
    if (!fallback) return 0;
  }
  // A limit counts only below the file's size; 0 or negative (a size of
  // 2 GiB or more squeezed into an int) means the whole file.
  const int64_t size = std::max<int64_t>(m_reader->GetDataSize(), 0);
  const uint64_t total =
      (byteLimit > 0 && byteLimit < size) ? static_cast<uint64_t>(byteLimit) : static_cast<uint64_t>(size);
  return CopyPlain(path, progress, total, record);
}

namespace {

// Pieces of a chunk that hold only zeros are not written: the destination
// keeps them as holes (zeros once its length is set), so a sparse file stays
// sparse.
constexpr size_t kHolePiece = 64 * 1024;

bool AllZero(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace

ResultCode CDataRecovery::CopyPlain(const char* path, IProgress* progress, uint64_t total, _PROGRESS_INFO& record) {
  CLogBudget log;
  CDestinationFile destination;
  if (!destination.Open(path)) {
    log.Log("RecoverTo", __LINE__);
    return COPYOUT_FAILURE(result::kErrDestinationNotOpened);
  }
  if (!EnsureBuffer()) {
    log.Log("RecoverTo", __LINE__);
    return COPYOUT_FAILURE(result::kErrIO);
  }
  // A plain reader knows where its runs are: nothing is copied past what
  // they describe, and their holes are passed over without reading.
  auto* runs = dynamic_cast<CFileReader*>(m_reader);
  if (runs != nullptr && dynamic_cast<CCompressFileReader*>(m_reader) != nullptr) runs = nullptr;
  bool incomplete = false;
  if (runs != nullptr && runs->GetDescribedBytes() < total) {
    total = runs->GetDescribedBytes();
    incomplete = true;
  }
  const bool decoding = m_ntfsCompressed == 0 && m_reader->IsCompressFile() != 0;
  const ResultCode shortWrite = COPYOUT_FAILURE(result::kErrShortWrite);
  uint8_t* buffer = m_buffer.data();
  record.total = total;
  record.current = 0;
  uint64_t current = 0;
  uint64_t unread = 0;  // bytes of the latest chunks in a row that could not be read
  while (current < total) {
    if (progress != nullptr && progress->Continued() == 0) return 0;
    const uint64_t chunk = std::min<uint64_t>(total - current, static_cast<uint64_t>(m_bufferSize));
    record.error = 0;
    if (runs != nullptr && runs->IsHole(current, chunk)) {
      // A stretch of holes is passed over in one step, however long.
      current = std::min(total, runs->NextStoredOffset(current));
      record.current = current;
      if (progress != nullptr) progress->UpdateProgress(&record);
      continue;
    }
    const unsigned int got = m_reader->ReadData(static_cast<long long>(current), reinterpret_cast<char*>(buffer),
                                                static_cast<unsigned>(chunk));
    // A decompressing reader that delivers less has no more to give: what
    // it gave is written, and the copy is incomplete (never a success).
    if (decoding && got < chunk) {
      log.Log("RecoverTo", __LINE__);
      incomplete = true;
      total = current + got;
      if (got == 0) break;
    } else if (got == 0) {
      // Unreadable (a failing medium, or runs placed where the device has no
      // sectors): the chunk stays a hole, zeros once the length is set, and
      // the copy is not the file. Reads that deliver nothing for this long
      // have stopped making progress: the copy ends instead of running on
      // through a size the medium cannot hold.
      log.Log("RecoverTo", __LINE__);
      incomplete = true;
      unread += chunk;
      if (unread >= kMaxUnreadBytes) {
        log.Log("RecoverTo", __LINE__);
        incomplete = true;
        total = current + chunk;
      }
    }
    if (got != 0) {
      unread = 0;
      // Bytes the reader did not deliver must not carry the previous chunk.
      const size_t count = decoding ? got : static_cast<size_t>(chunk);
      if (got < count) std::memset(buffer + got, 0, count - got);
      for (size_t at = 0; at < count; at += kHolePiece) {
        const size_t n = std::min(kHolePiece, count - at);
        if (AllZero(buffer + at, n)) continue;
        const WriteOutcome outcome =
            RetryWhileFull([&] { return destination.WriteAt(static_cast<int64_t>(current + at), buffer + at, n); },
                           progress, record, shortWrite);
        if (outcome == WriteOutcome::kStopped) return 0;
        if (outcome == WriteOutcome::kNoSpace) {
          log.Log("RecoverTo", __LINE__);
          return shortWrite;
        }
        if (outcome == WriteOutcome::kTooLarge) {
          log.Log("RecoverTo", __LINE__);
          return COPYOUT_FAILURE(result::kErrTooLarge);
        }
        if (outcome != WriteOutcome::kWritten) {
          log.Log("RecoverTo", __LINE__);
          return COPYOUT_FAILURE(result::kErrIO);
        }
      }
    }
    current = std::min(total, current + chunk);
    record.current = current;
    if (progress != nullptr) progress->UpdateProgress(&record);
  }
  const WriteOutcome sized =
      RetryWhileFull([&] { return destination.SetSize(static_cast<int64_t>(total)); }, progress, record, shortWrite);
  if (sized == WriteOutcome::kStopped) return 0;
  if (sized == WriteOutcome::kNoSpace) {
    log.Log("RecoverTo", __LINE__);
    return shortWrite;
  }
  if (sized == WriteOutcome::kTooLarge) {
    log.Log("RecoverTo", __LINE__);
    return COPYOUT_FAILURE(result::kErrTooLarge);
  }
  if (sized != WriteOutcome::kWritten || !destination.Close()) {
    log.Log("RecoverTo", __LINE__);
    return COPYOUT_FAILURE(result::kErrIO);
  }
  if (incomplete || m_reader->IsContentIncomplete() != 0) return COPYOUT_FAILURE(result::kErrIncomplete);
  return 0;
}

unsigned int CDataRecovery::ReadSmallJPG(char* out, unsigned int size) {
  autolocker<mutex_locker> hold(m_lock);
  if (out == nullptr || size < kJpegWindow || m_reader == nullptr || m_reader->GetDataSize() < kJpegWindow) return 0;
  if (!EnsureBuffer()) return 0;
  uint8_t* bytes = m_buffer.data();
  if (m_ntfsCompressed != 0) {
    auto* reader = static_cast<CCompressFileReader*>(m_reader);
    if (!reader->Recovery(reinterpret_cast<char*>(bytes), static_cast<int>(kJpegWindow), nullptr)) return 0;
  } else {
    const unsigned int got = m_reader->ReadData(0, reinterpret_cast<char*>(bytes), kJpegWindow);
    if (got == 0) return 0;
    if (got < kJpegWindow) std::memset(bytes + got, 0, kJpegWindow - got);
  }
  // The file's own start marker at 0 is never taken. An embedded picture's
  // header is long (tables, segments); its end marker is searched only 2001
  // bytes after its start.
  int64_t start = -1;
  int64_t end = -1;
  for (uint32_t i = 4; i + 2 < kJpegWindow; ++i) {
    if (start < 0) {
      if (bytes[i] == 0xFF && bytes[i + 1] == 0xD8 && bytes[i + 2] == 0xFF) {
        start = i;
        i += 2000;
      }
    } else if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9) {
      // The picture ends with the two bytes of its end marker. The previews
      // decode exactly these bytes, and they are the thumbnail as EXIF
      // readers extract it; two bytes more would be whatever follows the
      // picture in the file, not part of it.
      end = int64_t{i} + 2;
      break;
    }
  }
  if (start < 0 || end < 0) return 0;
  const int64_t length = end - start;
  if (length < 1 || length > 0xFFFF || length > size) return 0;
  std::memcpy(out, bytes + start, static_cast<size_t>(length));
  return static_cast<unsigned int>(length);
}

IDataRecovery* CreateDataRecoveryObj() { return new (std::nothrow) CDataRecovery(); }
