// The complete scan's HFS+ searcher over devices made of the input: the
// per-sector tests (volume headers in every 512-byte slice, journal info
// blocks, journal headers, node trials), the volumes' placing and opening,
// their walks and the analysis of every catalog leaf met.
//
// Input: as for the volume fuzz target, a volume header (512 bytes), then
// the special files' trees from byte 4096 of a 4 MiB volume of zeros; the
// volume is scanned alone (512- and 4096-byte sectors) and at sector 40 of
// a disk with a protective MBR. The input is also scanned as raw sectors
// lying 96 KiB into a disk of its own, read in blocks that end inside it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "hfsplus/CHFSPlusCompleteSearch.h"
#include "support/BytesDevice.h"
#include "support/KeepingTreeBuilder.h"

namespace {

constexpr size_t kVolumeBytes = 4 << 20;
constexpr size_t kMaxInput = 256 << 10;

volatile uint64_t g_sink;
void Use(uint64_t v) { g_sink = g_sink + v; }

void Scan(const std::vector<uint8_t>& bytes, uint32_t sectorSize, int blockSectors) {
  testsupport::BytesDevice device(bytes.data(), bytes.size(), sectorSize);
  testsupport::KeepingTreeBuilder builder(true);
  CHFSPlusCompleteFileSystemSearchController searcher;
  searcher.SetDevice(&device);
  searcher.SetBlockSize(blockSectors);
  searcher.SetDirecotryTreeBuilder(&builder);
  searcher.PreparetoSearch();
  for (int64_t first = 0; first < device.GetTotalSectors(); first += blockSectors) {
    Use(searcher.AnalyzeBlock(first, std::min<int64_t>(blockSectors, device.GetTotalSectors() - first)));
  }
  searcher.EndSearch(1);
  CSearchedPartitionInfo* records[8] = {};
  const int n = searcher.GetSearchedPartitionInfo(records, 8);
  for (int i = 0; i < n && i < 8; ++i) {
    Use(static_cast<uint64_t>(records[i]->GetStartSector()) + records[i]->GetTotalSectors() +
        records[i]->GetSectorsperCluster());
    delete records[i];
  }
  for (IFileNode* node : builder.nodes) {
    Use(node->GetFileSize() + std::strlen(node->GetFileName()) + static_cast<uint64_t>(node->IsDeleted()) +
        static_cast<CFileNode*>(node)->GetBelongedPartition());
  }
  // The nodes point at the searcher's volumes: they go first.
  builder.Drop();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512 || size > kMaxInput) return 0;
  std::vector<uint8_t> volume(kVolumeBytes, 0);
  std::memcpy(volume.data() + 1024, data, 512);
  std::memcpy(volume.data() + 4096, data + 512, size - 512);
  Scan(volume, 512, 1000);
  Scan(volume, 4096, 125);

  std::vector<uint8_t> disk(40 * 512, 0);
  disk[450] = 0xEE;
  disk[510] = 0x55;
  disk[511] = 0xAA;
  disk.insert(disk.end(), volume.begin(), volume.end());
  disk.resize(disk.size() + (64 << 10), 0);
  Scan(disk, 512, 8192);

  std::vector<uint8_t> raw((96 << 10) + size + (64 << 10), 0);
  std::memcpy(raw.data() + (96 << 10), data, size);
  Scan(raw, 512, 197);
  return 0;
}
