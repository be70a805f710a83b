#include "ntfs/NTFSResidentData.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "DataRunList.h"
#include "FileReader.h"
#include "OnDiskBytes.h"
#include "StorageDevice.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/NTFSMultiFileRecord.h"

namespace {

using Attr = CNTFSFileRecordAttribute;

// Where a node found its resident content: the record that holds it and the
// content's offset there.
struct Expected {
  bool known = false;
  int64_t recordSector = -1;
  int64_t offset = -1;
};

// Reads the record that starts at `sector` (as much of the largest record
// size as the device holds from there); empty when it cannot be read.
std::vector<uint8_t> ReadRecordSectors(IStorageDevice& device, int64_t sector) {
  const uint32_t sectorSize = device.GetSectorSize();
  const int64_t total = device.GetTotalSectors();
  if (sectorSize == 0 || sectorSize % 512 != 0 || sector < 0 || sector >= total) return {};
  int64_t count = (ntfs_record::kMaxRecordSize + sectorSize - 1) / sectorSize;
  count = std::min(count, total - sector);
  if (count * sectorSize < static_cast<int64_t>(ntfs_record::kMinRecordSize)) return {};
  std::vector<uint8_t> buffer(static_cast<size_t>(count) * sectorSize);
  if (device.ReadSector(buffer.data(), sector, count) == 0) return {};
  return buffer;
}

// Copies the first unnamed $DATA of `set` when it is resident and fits.
uint32_t CopyResident(CNTFSMultiFileRecord& set, const Expected& expected, int64_t* length, uint8_t* buffer,
                      uint32_t capacity) {
  // The content may cross a sector end: it is only right once the update
  // sequence has been undone.
  if (!set.IsValid() || !set.IsUpdateSequenceUndone()) return 0;
  if (CNTFSFileRecord::IsExtendFileRecord(set.GetMainFileRecord())) return 0;
  for (const CNTFSMultiFileRecord::FoundAttribute& found : set.FindAllAttributes(ntfs_record::kData)) {
    if (Attr::IsNamed(found.attr)) continue;
    if (!Attr::IsResident(found.attr)) return 0;
    const uint32_t contentLength = Attr::GetLengthOfAttribute(found.attr);
    const uint32_t contentOffset = Attr::GetOffsetToAttribute(found.attr);
    if (expected.known &&
        (found.recordSector != expected.recordSector || found.offset + contentOffset != expected.offset)) {
      return 0;  // the record has changed since the file was found
    }
    if (contentLength > capacity) return 0;
    if (contentLength > 0) std::memcpy(buffer, found.attr + contentOffset, contentLength);
    *length = contentLength;
    return contentLength;
  }
  return 0;
}

bool IsNTFSNode(CFileNode* node) { return dynamic_cast<CNTFSFileNode*>(node) != nullptr; }

uint32_t FromNode(CFileNode& node, IStorageDevice& device, int64_t* length, uint8_t* buffer, uint32_t capacity) {
  auto* ntfs = dynamic_cast<CNTFSFileNode*>(&node);
  return ntfs != nullptr ? GetResidentDataRunsStream(*ntfs, device, length, buffer, capacity) : 0;
}

uint32_t FromRecordSector(uint64_t sector, IStorageDevice& device, int64_t* length, uint8_t* buffer,
                          uint32_t capacity) {
  return GetResidentDataRunsStream(sector, device, length, buffer, capacity);
}

const ResidentDataReader kReader = {IsNTFSNode, FromNode, FromRecordSector};

}  // namespace

uint32_t GetResidentDataRunsStream(CNTFSFileNode& node, IStorageDevice& device, int64_t* length, uint8_t* buffer,
                                   uint32_t capacity) {
  if (length == nullptr || buffer == nullptr) return 0;
  auto* properties = dynamic_cast<CNTFSFileProperties*>(node.GetFileProperties());
  if (properties == nullptr || (properties->GetAttribute() & CNTFSFileProperties::kDirectory) != 0) return 0;

  // The node's own list is not touched (its cursor belongs to whoever walks
  // it); the packed copy in the properties tells the same.
  Expected expected;
  if (const CCompressedDataRunList* packed = properties->GetCompressedDataRunList()) {
    std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> list(packed->Decompress(),
                                                                [](IDataRunList* l) { l->Release(); });
    if (list != nullptr && list->IsResident()) {
      if (const DataRun* run = list->GetFirst()) {
        expected = {true, run->start, list->GetOffset()};
      }
    }
  }

  const int64_t sector = properties->GetFileRecordStartSector();
  std::vector<uint8_t> record = ReadRecordSectors(device, sector);
  if (record.empty()) return 0;
  const int64_t number = properties->GetFileRecordIndex();
  // Records smaller than the device's sector share it: the file's is the one
  // at its number's place, for the record size the records there carry.
  for (const uint32_t size : {1024u, 512u, 2048u}) {
    const size_t slot = SharedSectorSlot(device.GetSectorSize(), size, number);
    if (slot == 0 || slot + size > record.size()) continue;
    if (std::memcmp(record.data() + slot, "FILE", 4) != 0 || ondisk::Le32(record.data() + slot + 0x1C) != size) {
      continue;
    }
    record.erase(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(slot));
    break;
  }
  CNTFSMultiFileRecord set(record.data(), static_cast<uint32_t>(record.size()), sector, &device,
                           properties->GetExtendFileRecordInfoList(), number);
  if (!set.IsValid()) return 0;
  // A record that now carries another number is not the file's any more.
  if (CNTFSFileRecord::HasXPNumberOfthisMFTRecord(set.GetMainFileRecord()) && set.GetMainFileRecordIndex() != number) {
    return 0;
  }
  return CopyResident(set, expected, length, buffer, capacity);
}

uint32_t GetResidentDataRunsStream(uint64_t recordSector, IStorageDevice& device, int64_t* length, uint8_t* buffer,
                                   uint32_t capacity) {
  if (length == nullptr || buffer == nullptr || recordSector > static_cast<uint64_t>(INT64_MAX)) return 0;
  const auto sector = static_cast<int64_t>(recordSector);
  std::vector<uint8_t> record = ReadRecordSectors(device, sector);
  if (record.empty()) return 0;
  // Without the record's number, a sector that several records share does
  // not tell which one is the file's: none is read rather than another's.
  if (ondisk::Le32(record.data() + 0x1C) < device.GetSectorSize()) return 0;
  CNTFSMultiFileRecord set(record.data(), static_cast<uint32_t>(record.size()), sector, &device, nullptr);
  return CopyResident(set, Expected(), length, buffer, capacity);
}

void RegisterNTFSResidentDataReader() {
  if (GetResidentDataReader() != &kReader) SetResidentDataReader(&kReader);
}
