// An HFS+ volume made of the input, opened, its catalog walked and every
// node read back, its keys looked up again and its attributes asked for.
//
// Input: a volume header (512 bytes), then the special files' trees, which
// land at byte 4096 of a 4 MiB volume of zeros (the seeds' headers place
// their forks there; a mutated header may place them anywhere). The volume
// is read as a device of 512-byte and of 4096-byte sectors.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "DataRunList.h"
#include "VolumeAnalyze.h"
#include "hfsplus/CHFSPlusBTree.h"
#include "hfsplus/CHFSPlusFileNode.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "support/BytesDevice.h"
#include "support/KeepingTreeBuilder.h"

namespace {

constexpr size_t kDeviceBytes = 4 << 20;
constexpr size_t kMaxInput = 256 << 10;

volatile uint64_t g_sink;
void Use(uint64_t v) { g_sink = g_sink + v; }

void Exercise(const std::vector<uint8_t>& image, uint32_t sectorSize) {
  testsupport::BytesDevice device(image.data(), image.size(), sectorSize);
  if (IVolumeAnalyze* analyzer = CreateHFSPlusVolumeAnalyze(&device, 0)) {
    Use(analyzer->GetTotalSector());
    analyzer->Release();
  }
  CHFSPlusVolume volume(&device, false);
  if (result::IsFailure(volume.GetLastError())) return;
  Use(volume.GetNodeBelongToFile(8192));

  testsupport::KeepingTreeBuilder builder(true);
  CHFSPlusQuickFileSystemSearchProgress progress;
  volume.Traverse(hfsplus::kCatalogFileID, &builder, &progress);
  uint8_t block[4096];
  const uint64_t blockSize = volume.GetBlockSize();
  for (IFileNode* node : builder.nodes) {
    auto* hfs = static_cast<CHFSPlusFileNode*>(node);
    Use(hfs->GetFileSize() + hfs->GetModificationTime() + std::strlen(hfs->GetFileName()));
    if (IDataRunList* runs = hfs->GetDataRunList()) {
      int n = 0;
      for (DataRun* run = runs->GetFirst(); run != nullptr && n < 64; run = runs->GetNext(), ++n) {
        const uint64_t at = static_cast<uint64_t>(run->start) * blockSize;
        Use(volume.Read(at, block, std::min<uint64_t>(sizeof(block), blockSize)));
      }
    }
    uint8_t* attribute = nullptr;
    Use(volume.getAttribute(static_cast<uint32_t>(hfs->GetCurrentNodeID()), "com.apple.decmpfs", &attribute));
    delete[] attribute;
  }

  // Every leaf key of the catalog looked up again.
  CHFSPlusCatalog* catalog = volume.GetCatalog();
  int lookups = 0;
  catalog->GetTree().Walk([&](CHFSPlusBTNode* leaf, uint16_t index) {
    std::unique_ptr<BTKey> key(catalog->KeyRead(leaf, index));
    std::unique_ptr<uint8_t[]> data(catalog->DataRead(leaf, index));
    if (key && ++lookups <= 64) {
      HFSPlusSearchResult found;
      uint8_t* record = nullptr;
      volume.Search(hfsplus::kCatalogFileID, key.get(), found, &record);
      Use(found.found);
      delete[] record;
    }
    return true;
  });
  HFSPlusCatalogFile indirect;
  Use(volume.GetIndirectNodeFile(1, indirect));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512 || size > kMaxInput) return 0;
  std::vector<uint8_t> image(kDeviceBytes, 0);
  std::memcpy(image.data() + 1024, data, 512);
  std::memcpy(image.data() + 4096, data + 512, size - 512);
  Exercise(image, 512);
  Exercise(image, 4096);
  // The first tree node as a node found in raw sectors.
  for (uint16_t nodeSize : {512, 4096}) {
    if (size >= size_t{512} + nodeSize) {
      CHFSPlusBTNode node(data + 512, nodeSize, 0);
      Use(node.TestNodeBelongToFile());
    }
  }
  return 0;
}
