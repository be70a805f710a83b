// The quick scan over a small volume made of the input, then every node it
// makes read back through the NTFS file reader and the resident-data reader.
//
// Input: a boot sector (512 bytes), then the master file table's first
// records. The device is 4 MiB of zeros with the boot sector at sector 0
// and the rest of the input wherever the boot sector places $MFT and, its
// first 4 KiB, $MFTMirr, so that a mutated boot sector still leads the scan
// to records. The same bytes are scanned as a device of 512-byte and of
// 4096-byte sectors.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"
#include "Progress.h"
#include "StorageDevice.h"
#include "ntfs/CFileReaderEx.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSQuickSearch.h"
#include "ntfs/NTFSResidentData.h"
#include "support/BytesDevice.h"
#include "support/KeepingTreeBuilder.h"

namespace {

constexpr size_t kDeviceBytes = 4 << 20;
constexpr size_t kMaxInput = 64 << 10;

volatile uint64_t g_sink;
void Use(uint64_t v) { g_sink = g_sink + v; }

class Sink : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO* info) override {
    Use(info->current + info->error);
    return 0;
  }
  int Continued() override { return 1; }
  int shouldBuild() override { return 1; }
};

uint64_t Load(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void Place(std::vector<uint8_t>& device, uint64_t offset, const uint8_t* data, size_t size) {
  if (offset >= device.size()) return;
  std::memcpy(device.data() + offset, data, std::min<size_t>(size, device.size() - offset));
}

void Scan(const std::vector<uint8_t>& bytes, uint32_t sectorSize) {
  testsupport::BytesDevice device(bytes.data(), bytes.size(), sectorSize);
  testsupport::KeepingTreeBuilder builder;
  Sink sink;
  CNTFSQuickSearch searcher;
  searcher.SetDirecotryTreeBuilder(&builder);
  Use(searcher.QuickSearchFiles(&device, &sink));
  CSearchedPartitionInfo* record = nullptr;
  if (searcher.GetSearchedPartitionInfo(&record, 1) == 1) delete record;

  std::vector<uint8_t> out(64 << 10);
  for (IFileNode* node : builder.nodes) {
    auto* ntfs = dynamic_cast<CNTFSFileNode*>(node);
    if (ntfs == nullptr) continue;
    int64_t length = 0;
    Use(GetResidentDataRunsStream(*ntfs, device, &length, out.data(), static_cast<uint32_t>(out.size())));
    CFileReaderEx reader;
    if (reader.Open(&device, ntfs, 0, static_cast<int>(searcher.GetSectorsPerCluster()))) {
      int got = 0;
      Use(reader.Read(0, out.data(), static_cast<int>(out.size()), got));
      Use(static_cast<uint64_t>(got));
      const int64_t size = static_cast<int64_t>(node->GetFileSize());
      if (size > 10) Use(reader.Read(size - 10, out.data(), 100, got));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512 || size > kMaxInput) return 0;
  std::vector<uint8_t> device(kDeviceBytes, 0);
  std::memcpy(device.data(), data, 512);
  const uint64_t bytesPerSector = Load(data + 0x0B, 2);
  const uint64_t clusterBytes = bytesPerSector * data[0x0D];
  const uint64_t mft = Load(data + 0x30, 8);
  const uint64_t mirror = Load(data + 0x38, 8);
  if (clusterBytes != 0 && mft < kDeviceBytes / clusterBytes) {
    Place(device, mft * clusterBytes, data + 512, size - 512);
  }
  if (clusterBytes != 0 && mirror < kDeviceBytes / clusterBytes) {
    Place(device, mirror * clusterBytes, data + 512, std::min<size_t>(size - 512, 4096));
  }
  Scan(device, 512);
  Scan(device, 4096);
  return 0;
}
