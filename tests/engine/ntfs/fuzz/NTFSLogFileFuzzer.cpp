// The $LogFile walk over log pages made of the input, then the rebuild of a
// deleted file's runs from what the walk kept.
//
// Input: one byte choosing the geometry (512-byte sectors and 8, 1, 2 or 128
// sectors per cluster, so that every record-number mapping is exercised), a
// FILE record of 1024 bytes (the deleted file whose runs are asked for),
// then log pages that become the log's record pages from page 4 on (pages
// 0-3, the restart area, are zeros).
#include <cstdint>
#include <cstring>
#include <vector>

#include "DataRunList.h"
#include "ntfs/FindFileFromLogFile.h"
#include "ntfs/NTFSFileProperties.h"

namespace {
volatile uint64_t g_sink;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kRecord = 1024;
  constexpr size_t kPage = CFindFileFromLogFile::kPageSize;
  if (size < 1 + kRecord || size > 1 + kRecord + 64 * kPage) return 0;
  static constexpr uint8_t kClusters[] = {8, 1, 2, 128};
  const uint8_t spc = kClusters[data[0] & 3];
  std::vector<uint8_t> record(data + 1, data + 1 + kRecord);
  const size_t logBytes = size - 1 - kRecord;
  std::vector<uint8_t> log(4 * kPage + (logBytes + kPage - 1) / kPage * kPage, 0);
  std::memcpy(log.data() + 4 * kPage, data + 1 + kRecord, logBytes);

  CFindFileFromLogFile finder;
  finder.AnalyzerLogBuffer(log.data(), log.size(), 512, spc, 1024);

  CNTFSFileProperties* properties = CNTFSFileProperties::Create();
  properties->SetState(CNTFSFileProperties::kStateDeleted);
  properties->SetFileName("fragmented.bin");
  const std::vector<uint8_t> before = record;
  finder.ReplaceFileRecordInfo(record.data(), static_cast<int>(record.size()), *properties, 5, nullptr);
  // The caller's record is handed back as it came.
  if (record != before) __builtin_trap();
  if (IDataRunList* runs = properties->GetDataRunList()) {
    for (const DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) g_sink = g_sink + run->length;
    runs->Release();
  }
  g_sink = g_sink + properties->GetFileSize() + finder.GetFoundRecordCount() + finder.GetUndoRecordCount();
  CNTFSFileProperties::Destory(properties);
  return 0;
}
