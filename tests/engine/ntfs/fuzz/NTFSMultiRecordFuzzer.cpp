// A small volume made of the input: a file's base record, the extension
// records its attribute list names and the clusters of a non-resident list,
// read through a device the way a scan reads them; then the properties, the
// node and its packed runs. Also packs and unpacks run lists taken from the
// input and aborts when they do not come back as they went in.
//
// Input: a u32 (little-endian) base record number B, then the volume: record
// B + k at byte 1024 k (clusters of 1 KiB, so the MFT is a hole of B
// clusters followed by the volume's clusters from 0).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "StorageDevice.h"
#include "ntfs/CompressedDataRunList.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "support/BytesDevice.h"

namespace {

volatile uint64_t g_sink;
void Use(uint64_t v) { g_sink = g_sink + v; }

// Run lists from the input: pairs of (start, length) taken 9 bytes at a
// time (a kind byte and 8 bytes of value), packed and unpacked.
void RoundTrip(const uint8_t* data, size_t size) {
  CNoneResidentNTFSDataRunList list;
  std::vector<DataRun> given;
  for (size_t at = 0; at + 9 <= size && given.size() < 64; at += 9) {
    int64_t value;
    std::memcpy(&value, data + at + 1, 8);
    DataRun run;
    run.length = (value & 0xFFFFFFFFFF) + 1;
    switch (data[at] % 4) {
      case 0:
        run.start = -1;
        break;
      case 1:
        run.start = value & 0xFFFF;
        break;
      case 2:
        run.start = (value >> 8) & INT64_MAX;
        break;
      default:
        run.start = value;
        break;
    }
    list.AddDataRun(run);
    given.push_back(run);
  }
  std::unique_ptr<CCompressedDataRunList> packed(CCompressedDataRunList::Compress(&list));
  if (packed == nullptr) return;
  IDataRunList* back = packed->Decompress();
  if (back == nullptr) std::abort();  // everything packed must unpack
  size_t i = 0;
  for (const DataRun* run = back->GetFirst(); run != nullptr; run = back->GetNext(), ++i) {
    while (i < given.size() && given[i].length <= 0) ++i;
    if (i >= given.size() || run->length != given[i].length ||
        (given[i].start < 0 ? run->start != -1 : run->start != given[i].start)) {
      std::abort();
    }
  }
  if (i != given.size()) std::abort();
  back->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 64 * 1024) return 0;
  RoundTrip(data, size);
  uint32_t base;
  std::memcpy(&base, data, 4);
  base &= 0xFFFFFF;
  const uint8_t* volume = data + 4;
  const size_t bytes = size - 4;
  if (bytes < 1024) return 0;
  testsupport::BytesDevice device(volume, bytes);
  CNTFSDataRunList mft;
  if (base > 0) mft.AddDataRun(CDataRun{-1, 0, base});
  mft.AddDataRun(CDataRun{0, base, static_cast<int64_t>(bytes / 1024)});

  std::vector<uint8_t> record(volume, volume + 1024);
  const std::vector<uint8_t> before = record;
  auto extensions = CNTFSMultiFileRecord::InitExtendFileRecord(record.data(), 1024, 0, 2, 0, device, &mft, 2);
  if (record != before) std::abort();
  CNTFSMultiFileRecord set(record.data(), 1024, 0, &device, extensions.get(), base);
  if (record != before) std::abort();
  for (uint32_t type : {0x10u, 0x30u, 0x80u, 0x90u, 0xA0u}) {
    for (const auto& found : set.FindAllAttributes(type)) Use(found.offset + static_cast<uint64_t>(found.bytesLeft));
    for (uint32_t i = 0; i < 4; ++i) {
      uint32_t offset = 0;
      int64_t sector = 0;
      int left = 0;
      if (set.FindAttibute(type, i, &offset, &sector, &left) == nullptr) break;
      if (left <= 0 || offset + static_cast<uint32_t>(left) > 4096) std::abort();
    }
  }
  int64_t parent = 0;
  CNTFSFileProperties* properties = CNTFSFilePropertiesBuilder::BuildFileProperties(0, set, 1024, &parent);
  if (properties == nullptr) return 0;
  properties->SetExtendFileRecordInfoList(std::move(extensions));
  CNTFSFileNode node;
  node.SetFileProperties(properties);
  Use(node.GetFileSize() + node.GetAttribute() + static_cast<uint64_t>(parent));
  std::unique_ptr<IFileNode, void (*)(IFileNode*)> clone(node.Clone(), [](IFileNode* n) { n->Release(); });
  if (IDataRunList* runs =
          clone->IsDirectory() ? nullptr : static_cast<CNTFSFileNode*>(clone.get())->GetDataRunList()) {
    for (const DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) Use(run->length);
  }
  return 0;
}
