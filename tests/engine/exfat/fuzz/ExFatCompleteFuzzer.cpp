// The complete scan's exFAT searcher over a small disk made of the input,
// with every node's runs walked.
//
// Input: records of a 4-byte little-endian sector number and 512 bytes; the
// device is 16 MiB of zeros with each record's bytes at its sector (modulo
// the device), so that boot sectors, tables, up-case tables and folders can
// be placed, mutated and moved anywhere. The disk is searched twice: in its
// 512-byte sectors, and seen through 4096-byte ones (as an enclosure of
// larger sectors shows it), where boot sectors are rewritten in the
// device's sectors and every 512 bytes is still looked at.
#include <cstdint>
#include <cstring>
#include <vector>

#include "DataRunList.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "SearchedPartitionInfo.h"
#include "device/SectorSizeDevice.h"
#include "exfat/ExFatSearchController.h"
#include "support/BytesDevice.h"
#include "support/Recorders.h"

namespace {

constexpr size_t kSectors = 32768;
volatile uint64_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> disk(kSectors * 512, 0);
  for (size_t at = 0; at + 4 + 512 <= size; at += 4 + 512) {
    const size_t sector = ondisk::Le32(data + at) % kSectors;
    std::memcpy(disk.data() + sector * 512, data + at + 4, 512);
  }
  testsupport::BytesDevice device(disk.data(), disk.size());
  CSectorSizeDevice wide(&device, 4096);
  for (IStorageDevice* scanned : {static_cast<IStorageDevice*>(&device), static_cast<IStorageDevice*>(&wide)}) {
    const int64_t sectors = scanned->GetTotalSectors();
    const int64_t block = 4096 * 512 / scanned->GetSectorSize();
    testsupport::RecordingBuilder builder;
    CExFatSearchController searcher;
    searcher.SetDevice(scanned);
    searcher.SetBlockSize(static_cast<int>(block));
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.PreparetoSearch();
    for (int64_t first = 0; first < sectors; first += block) searcher.AnalyzeBlock(first, block);
    searcher.EndSearch(1);
    for (IFileNode* node : builder.owned) {
      IDataRunList* runs = static_cast<CFileNode*>(node)->GetDataRunList();
      for (DataRun* run = runs != nullptr ? runs->GetFirst() : nullptr; run != nullptr; run = runs->GetNext()) {
        g_sink = g_sink + static_cast<uint64_t>(run->start + run->length);
      }
    }
    CSearchedPartitionInfo* records[4] = {};
    const int count = searcher.GetSearchedPartitionInfo(records, 4);
    for (int i = 0; i < count && i < 4; ++i) delete records[i];
  }
  return 0;
}
