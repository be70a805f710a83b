#include "ntfs/FindFileFromLogFile.h"

// The log is not read yet: the finder keeps its arguments and finds nothing,
// so scans go on exactly as without a log.

CFindFileFromLogFile::CFindFileFromLogFile() = default;

CFindFileFromLogFile::~CFindFileFromLogFile() { Reset(); }

bool CFindFileFromLogFile::Init(IStorageDevice* device, const CNTFSDataRunList* mftRuns, uint8_t sectorsPerCluster,
                                int64_t volumeStartSector, uint32_t fileRecordBytes) {
  Reset();
  if (device == nullptr || mftRuns == nullptr) return false;
  m_device = device;
  m_mftRuns = mftRuns;
  m_sectorsPerCluster = sectorsPerCluster != 0 ? sectorsPerCluster : 8;
  m_volumeStartSector = volumeStartSector;
  m_fileRecordBytes = fileRecordBytes;
  return true;
}

bool CFindFileFromLogFile::Analyzer() {
  m_analysed = true;
  return true;
}

void CFindFileFromLogFile::Reset() {
  m_device = nullptr;
  m_mftRuns = nullptr;
  m_found = false;
  m_analysed = false;
}

bool CFindFileFromLogFile::ReplaceFileRecordInfo(uint8_t*, int, CNTFSFileProperties&, int64_t,
                                                 const CExtendFileRecordInfoList*) {
  return false;
}
