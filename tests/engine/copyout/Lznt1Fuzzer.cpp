// Fuzz target for the LZNT1 decoder and the compressed-data reader: the
// input is one compression unit as it lies on disk (the corpus holds units
// that ntfs-3g wrote). It is decoded directly, chunk by chunk, and through a
// CCompressFileReader reading it from a memory device with run shapes taken
// from its first byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "DataRunList.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "copyout/CCompressFileReader.h"
#include "copyout/Lznt1.h"
#include "engine/node/TestNode.h"
#include "support/BytesDevice.h"

namespace {

struct FuzzNode final : TestNode {
  explicit FuzzNode(uint64_t size) : TestNode("f", false, size) {}
  int IsCompressed() const override { return 1; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  std::vector<uint8_t> out(CCompressFileReader::kMaxUnitBytes);
  lznt1::DecompressUnit(data, size, out.data(), out.size());
  lznt1::DecompressBlock(data, size, out.data(), lznt1::kChunkBytes);

  // The unit at cluster 1 of a device with 4 KiB clusters (cluster 0 holds
  // nothing, as on NTFS), followed by a few more clusters of the input.
  const size_t clusters = (size + 4095) / 4096;
  std::vector<uint8_t> disk((clusters + 2) * 4096, 0);
  if (size > 0) std::memcpy(disk.data() + 4096, data, size);
  testsupport::BytesDevice device(disk.data(), disk.size());
  const uint8_t shape = size > 0 ? data[0] : 0;
  auto* list = new CDataRunList();
  const int64_t used = static_cast<int64_t>(clusters > 16 ? 16 : clusters);
  DataRun run{1, used == 0 ? 1 : used};
  list->AddDataRun(&run);
  // Shapes: a compressed unit, a sparse piece first, runs past the device,
  // a sparse unit, and trailing data.
  if (shape & 1) {
    DataRun sparse{-1, 16 - (run.length % 16 == 0 ? 0 : run.length % 16)};
    list->AddDataRun(&sparse);
  }
  if (shape & 2) {
    DataRun far{static_cast<int64_t>(shape) << 40, 3};
    list->AddDataRun(&far);
  }
  if (shape & 4) {
    DataRun sparse{-1, 16};
    list->AddDataRun(&sparse);
  }
  if (shape & 8) {
    DataRun again{1, 5};
    list->AddDataRun(&again);
  }
  FuzzNode node(static_cast<uint64_t>(shape >> 4) * 30000 + size + 1);
  node.SetDataRunList(list);
  CSearchedPartitionInfo partition(512);
  partition.SetFileSystemType(FILE_SYSTEM_TYPE_NTFS);
  partition.SetSectorsperCluster((shape & 0x10) ? 1 : 8);
  CCompressFileReader reader;
  if (reader.Open(&device, &node, &partition) != 0) {
    std::vector<char> buffer(70000);
    reader.ReadData(0, buffer.data(), static_cast<unsigned>(buffer.size()));
    reader.ReadData(4096, buffer.data(), 5000);
    reader.Recovery(buffer.data(), 65536, nullptr);
  }
  return 0;
}
