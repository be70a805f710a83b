// The boot-sector test, the volume analyzer and the quick scan over a small
// volume made of the input, with every node's runs walked.
//
// Input: a boot sector (512 bytes), the first 2 KiB of the allocation table,
// then the start of the cluster heap. The device is 4 MiB of zeros (512-byte
// sectors, then 4096-byte ones) with each piece where the boot sector places
// it, so that a mutated boot sector still leads the scan to tables and
// folders.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "DataRunList.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "SearchedPartitionInfo.h"
#include "VolumeAnalyze.h"
#include "exfat/ExFatQuickSearch.h"
#include "support/BytesDevice.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"

namespace {

constexpr size_t kDeviceBytes = 4 << 20;
constexpr size_t kTableBytes = 2048;

volatile uint64_t g_sink;
void Use(uint64_t v) { g_sink = g_sink + v; }

void Place(std::vector<uint8_t>& device, uint64_t offset, const uint8_t* data, size_t size) {
  if (offset >= device.size() || size == 0) return;
  std::memcpy(device.data() + offset, data, std::min<size_t>(size, device.size() - offset));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512) return 0;
  std::vector<uint8_t> bytes(kDeviceBytes, 0);
  Place(bytes, 0, data, 512);
  const size_t table = std::min(size - 512, kTableBytes);
  Place(bytes, uint64_t{ondisk::Le32(data + 80)} * 512, data + 512, table);
  Place(bytes, uint64_t{ondisk::Le32(data + 88)} * 512, data + 512 + table, size - 512 - table);

  // Read in the device's 512-byte sectors, and behind 4096-byte ones (the
  // volume is then read in its own through a view).
  for (const uint32_t sectorSize : {512u, 4096u}) {
    testsupport::BytesDevice device(bytes.data(), bytes.size(), sectorSize);
    if (IVolumeAnalyze* analyzer = CreateExfatVolumeAnalyze(&device, 0)) {
      Use(analyzer->GetTotalSector());
      analyzer->Release();
    }
    testsupport::RecordingBuilder builder;
    builder.refuseEvery = 3;
    testsupport::RecordingProgress sink;
    CExFatQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    Use(searcher.QuickSearchFiles(&device, &sink));
    for (const _PROGRESS_INFO& info : sink.Records()) Use(info.current + info.error);
    CSearchedPartitionInfo* record = nullptr;
    if (searcher.GetSearchedPartitionInfo(&record, 1) == 1) delete record;
    for (IFileNode* node : builder.owned) {
      Use(node->GetFileSize() + node->GetCurrentNodeID() + node->GetParentNodeID());
      if (IDataRunList* list = static_cast<CFileNode*>(node)->GetDataRunList()) {
        for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) Use(run->start + run->length);
      }
    }
  }
  return 0;
}
