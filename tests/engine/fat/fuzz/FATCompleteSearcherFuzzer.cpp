// The input places sectors on a 40 MiB disk of zeros: records of a 4-byte
// sector number (little-endian, taken modulo the disk) and 512 bytes. The
// complete searcher reads every sector, then builds what it found; once in
// the disk's 512-byte sectors, once through 4096-byte ones (an enclosure of
// larger sectors), where it still looks at every 512 bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "device/SectorSizeDevice.h"
#include "fat/FATCompleteSearcher.h"
#include "support/Recorders.h"
#include "support/StubDevice.h"

namespace {

constexpr int64_t kSectors = 81920;

class SparseDevice final : public testsupport::StubDevice {
 public:
  std::map<int64_t, std::vector<uint8_t>> sectors;
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (buffer == nullptr || first < 0 || count < 0 || first > kSectors || count > kSectors - first) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    std::memset(out, 0, static_cast<size_t>(count) * 512);
    for (auto it = sectors.lower_bound(first); it != sectors.end() && it->first < first + count; ++it) {
      std::memcpy(out + (it->first - first) * 512, it->second.data(), 512);
    }
    return 1;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return kSectors; }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SparseDevice device;
  for (size_t at = 0; at + 516 <= size && device.sectors.size() < 64; at += 516) {
    uint32_t sector = 0;
    std::memcpy(&sector, data + at, 4);
    device.sectors[sector % kSectors].assign(data + at + 4, data + at + 516);
  }
  CSectorSizeDevice wide(&device, 4096);
  for (IStorageDevice* scanned : {static_cast<IStorageDevice*>(&device), static_cast<IStorageDevice*>(&wide)}) {
    const int64_t per = scanned->GetSectorSize() / 512;
    testsupport::RecordingBuilder builder;
    builder.refuseEvery = 5;
    CFATCompleteFSearcher searcher;
    searcher.SetDevice(scanned);
    searcher.SetBlockSize(static_cast<int>(8192 / per));
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.PreparetoSearch();
    // Only the placed sectors can hold anything; the rest read as zeros.
    int64_t last = -1;
    for (const auto& [sector, bytes] : device.sectors) {
      if (sector / per != last) searcher.AnalyzeBlock(sector / per, 1);
      last = sector / per;
    }
    searcher.EndSearch(1);
    std::vector<CSearchedPartitionInfo*> found(static_cast<size_t>(searcher.GetSearchedPartitionInfo(nullptr, 0)));
    searcher.GetSearchedPartitionInfo(found.data(), static_cast<int>(found.size()));
    for (CSearchedPartitionInfo* r : found) delete r;
  }
  return 0;
}
