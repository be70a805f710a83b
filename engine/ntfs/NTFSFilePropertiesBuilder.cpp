#include "ntfs/NTFSFilePropertiesBuilder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RunBounds.h"
#include "ntfs/CompressedDataRunList.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/NTFSMultiFileRecord.h"

namespace {

using Attr = CNTFSFileRecordAttribute;
using FileName = CNTFSFileRecordFileNameAttribute;
using StdInfo = CNTFSFileRecordStandardInformationAttribute;

constexpr uint16_t kStandardInformationBits = 0x01 | 0x02 | 0x04 | 0x20;

// The name attributes of the record set whose name lies inside them.
const uint8_t* FileNameAt(CNTFSMultiFileRecord& record, uint32_t index) {
  int left = 0;
  const uint8_t* fn = record.FindAttibute(ntfs_record::kFileName, index, nullptr, nullptr, &left);
  return fn != nullptr && FileName::IsValid(fn, left) ? fn : nullptr;
}

}  // namespace

void CNTFSFilePropertiesBuilder::LayOutDataRuns(CNTFSDataRunList& pieces, CNoneResidentNTFSDataRunList& out,
                                                int64_t& clusters) {
  pieces.Sort();
  int64_t next = 0;
  clusters = 0;
  for (const CDataRun& piece : pieces.GetRuns()) {
    int64_t vcn = piece.VCN;
    int64_t lcn = piece.LCN;
    int64_t length = piece.Length;
    if (vcn < next) {  // overlaps what earlier pieces gave
      const int64_t skip = next - vcn;
      if (skip >= length) continue;
      length -= skip;
      vcn = next;
      if (lcn >= 0) lcn += skip;
    }
    if (vcn > next) {
      out.AddDataRun(DataRun{-1, vcn - next});
      clusters += vcn - next;
    }
    out.AddDataRun(DataRun{lcn < 0 ? -1 : lcn, length});
    clusters += length;
    next = vcn + length;  // the decoder keeps every VCN end inside 64 bits
  }
}

CNTFSFileProperties* CNTFSFilePropertiesBuilder::BuildFileProperties(int64_t recordStartSector,
                                                                     CNTFSMultiFileRecord& record,
                                                                     int64_t bytesPerCluster, int64_t* parent,
                                                                     const char* nameWhenNone, uint64_t volumeBytes) {
  if (!record.IsValid()) return nullptr;
  CNTFSFilePropertiesStruct s;

  // The name.
  const uint8_t* first = FileNameAt(record, 0);
  const uint8_t* second = FileNameAt(record, 1);
  const uint8_t* chosen =
      second != nullptr && FileName::GetFileNameNamespaceType(second) == FileName::kWin32 ? second : first;
  // A file whose only name was in an extension record that has since been
  // emptied (some drivers do that when they delete) may still hold its data:
  // it is kept under the name given, with no known parent.
  const bool nameless = chosen == nullptr;
  if (nameless &&
      (nameWhenNone == nullptr || *nameWhenNone == '\0' || CNTFSFileRecord::IsFolder(record.GetMainFileRecord()))) {
    return nullptr;
  }
  int64_t parentNumber = -1;
  if (nameless) {
    parentNumber = -1;
  } else if (second != nullptr && FileName::GetFileRecordNumberofParentDirectory(second) >= 5) {
    parentNumber = static_cast<int64_t>(FileName::GetFileRecordNumberofParentDirectory(second));
  } else if (first != nullptr && FileName::GetFileRecordNumberofParentDirectory(first) >= 5) {
    parentNumber = static_cast<int64_t>(FileName::GetFileRecordNumberofParentDirectory(first));
  } else {
    parentNumber = static_cast<int64_t>(FileName::GetFileRecordNumberofParentDirectory(chosen));
  }
  if (parent != nullptr) *parent = parentNumber;
  if (!nameless && FileName::GetFileNameLength(chosen) == 0) return nullptr;
  uint16_t attribute = !nameless && FileName::IsDirectory(chosen) ? CNTFSFileProperties::kDirectory : 0;
  const std::string name = nameless ? std::string(nameWhenNone) : FileName::GetFileNameUtf8(chosen);
  int64_t size = nameless ? 0 : FileName::GetFileRealSize(chosen);
  if (!nameless) {
    s.creationTime = static_cast<int64_t>(FileName::GetCreationFileTime(chosen));
    s.modificationTime = static_cast<int64_t>(FileName::GetModificationFileTime(chosen));
    s.lastAccessTime = static_cast<int64_t>(FileName::GetLastAccessFileTime(chosen));
  }

  // Times and attribute bits of the file itself.
  int left = 0;
  if (const uint8_t* si = record.FindAttibute(ntfs_record::kStandardInformation, 0, nullptr, nullptr, &left);
      si != nullptr && StdInfo::IsValid(si, left)) {
    s.creationTime = static_cast<int64_t>(StdInfo::GetCreationFileTime(si));
    s.modificationTime = static_cast<int64_t>(StdInfo::GetModificationFileTime(si));
    s.lastAccessTime = static_cast<int64_t>(StdInfo::GetLastAccessFileTime(si));
    attribute |= static_cast<uint16_t>(StdInfo::GetDosFilePermission(si) & kStandardInformationBits);
  }

  s.fileRecordStartSector = recordStartSector;
  if (!record.IsinUse()) s.state |= CNTFSFileProperties::kStateDeleted;

  // The data.
  bool sizeDamaged = false;
  bool runsCut = false;  // a run clipped at the volume's end
  int64_t storedBytes = -1;
  // The runs are packed straight into the properties from one of these.
  std::optional<CResidentNTFSDataRunList> residentRuns;
  std::optional<CNoneResidentNTFSDataRunList> laidOut;
  IDataRunList* runs = nullptr;
  CNTFSDataRunList pieces;
  bool resident = false;
  bool holesAllowed = false;  // a sparse or compressed stream has holes of its own
  bool sizeFromStream = false;
  int64_t firstPieceVCN = INT64_MAX;
  int64_t firstPieceSize = -1;
  bool hasData = false;  // an unnamed $DATA stands in the record set
  for (const CNTFSMultiFileRecord::FoundAttribute& found : record.FindAllAttributes(ntfs_record::kData)) {
    const uint8_t* data = found.attr;
    if (Attr::IsNamed(data)) continue;
    hasData = true;
    if (Attr::IsCompressed(data)) attribute |= CNTFSFileProperties::kCompressed;
    if (Attr::IsEncrypted(data)) attribute |= CNTFSFileProperties::kEncrypted;
    if (Attr::IsResident(data)) {
      const uint32_t offset = found.offset + Attr::GetOffsetToAttribute(data);
      runs = &residentRuns.emplace(found.recordSector, 1, offset);
      size = Attr::GetLengthOfAttribute(data);
      resident = true;
      break;
    }
    if (Attr::IsSparse(data) || Attr::IsCompressed(data)) holesAllowed = true;
    int64_t realSize = -1;
    int64_t startVCN = -1;
    if (!CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(data, &realSize, startVCN, pieces)) {
      continue;
    }
    // The piece at VCN 0 carries the stream's size; a $FILE_NAME copy of it
    // may be stale.
    if (startVCN == 0 && realSize >= 0) {
      size = realSize;
      sizeFromStream = true;
    }
    if (startVCN < firstPieceVCN) {
      firstPieceVCN = startVCN;
      firstPieceSize = realSize;
    }
  }
  if (!resident && !pieces.IsEmpty()) {
    // A stream always begins at VCN 0, in the base record. When no piece
    // does and the stream is neither sparse nor compressed, the first
    // piece's start field is damaged (a few changed bytes there would make
    // a small file a hole of petabytes): the pieces keep their order and
    // begin at 0, and the first one's size stands for the stream's.
    if (!holesAllowed && !sizeFromStream && firstPieceVCN > 0 && firstPieceVCN != INT64_MAX) {
      CNTFSDataRunList rebased;
      for (const CDataRun& piece : pieces.GetRuns()) {
        rebased.AddDataRun(CDataRun{piece.LCN, piece.VCN - firstPieceVCN, piece.Length});
      }
      pieces = std::move(rebased);
      if (firstPieceSize >= 0) size = firstPieceSize;
    }
    int64_t clusters = 0;
    LayOutDataRuns(pieces, laidOut.emplace(), clusters);
    if (volumeBytes != 0 && bytesPerCluster > 0) {
      // Clusters past the volume's end, or holes larger than the volume,
      // are damage: the runs stop before them.
      std::vector<DataRun> fitted;
      for (DataRun* run = laidOut->GetFirst(); run != nullptr; run = laidOut->GetNext()) fitted.push_back(*run);
      VolumeExtent volume;
      volume.clusterBytes = static_cast<uint64_t>(bytesPerCluster);
      volume.endByte = volumeBytes;
      volume.volumeBytes = volumeBytes;
      const std::vector<DataRun> all = fitted;
      const FittedRuns kept = FitRunsToVolume(fitted, volume);
      if (kept.cut) {
        // A stored run that starts inside the volume and runs past its end
        // (a damaged length) still places the file's first bytes: it is kept
        // up to the volume's end, so that what the size asks of it can be
        // copied for the user to judge, never vouched for.
        const DataRun& past = all[fitted.size()];
        const auto volumeClusters = static_cast<int64_t>(volumeBytes / static_cast<uint64_t>(bytesPerCluster));
        if (!past.IsSparse() && past.length > 0 && past.start < volumeClusters &&
            kept.heldBytes / static_cast<uint64_t>(bytesPerCluster) +
                    static_cast<uint64_t>(volumeClusters - past.start) <=
                static_cast<uint64_t>(volumeClusters)) {
          fitted.push_back(DataRun{past.start, volumeClusters - past.start});
          runsCut = true;
        } else {
          sizeDamaged = true;
        }
        laidOut.emplace();
        clusters = 0;
        for (const DataRun& run : fitted) {
          laidOut->AddDataRun(run);
          clusters += run.length;
        }
      }
    }
    int64_t storedClusters = 0;
    for (DataRun* run = laidOut->GetFirst(); run != nullptr; run = laidOut->GetNext()) {
      if (!run->IsSparse() && run->length > 0) storedClusters += run->length;
    }
    if (size < 0) size = 0;
    if (bytesPerCluster > 0 && bytesPerCluster % 512 == 0) {
      int64_t capacity;
      if (!__builtin_mul_overflow(clusters, bytesPerCluster, &capacity)) {
        // More than the runs hold is a damaged size: the runs' bytes are all
        // there is.
        if (size > capacity) {
          size = capacity;
          sizeDamaged = true;
        }
        if (size == 0 && clusters > 0) size = capacity;
      }
      int64_t stored;
      if (!__builtin_mul_overflow(storedClusters, bytesPerCluster, &stored)) storedBytes = std::min(stored, size);
    }
    runs = &*laidOut;
  }
  // Nothing to bring back under a made-up name.
  if (nameless && (runs == nullptr || size <= 0)) return nullptr;
  // Every file has an unnamed $DATA, an empty one included. A file whose
  // record has none, while an attribute of a type NTFS does not define
  // stands there (a damaged type code) or its name gives it a size, has
  // lost where its bytes lie, not its bytes: it is listed at the size its
  // name gives (the allocation when the name kept no size, as ntfs-3g
  // leaves it), with nothing to read, so that its copy can never pass for
  // the file. A file whose name says it is empty stays an empty file.
  if (!hasData && !nameless && (attribute & CNTFSFileProperties::kDirectory) == 0 &&
      !CNTFSFileRecord::IsFolder(record.GetMainFileRecord())) {
    const int64_t realSize = FileName::GetFileRealSize(chosen);
    const int64_t allocated = FileName::GetFileAllocatedSize(chosen);
    if (realSize > 0 || allocated > 0 || record.HasUnknownAttribute()) {
      size = realSize > 0 ? realSize : std::max<int64_t>(allocated, 0);
      if (volumeBytes != 0 && static_cast<uint64_t>(size) > volumeBytes) size = 0;
      sizeDamaged = true;
      storedBytes = 0;
    }
  }
  if ((attribute & CNTFSFileProperties::kCompressed) != 0 && (attribute & CNTFSFileProperties::kEncrypted) != 0) {
    attribute &= static_cast<uint16_t>(~CNTFSFileProperties::kCompressed);
  }

  // The name ends at its first zero, as a C string does.
  const size_t nameBytes = std::strlen(name.c_str());
  s.nameLength = static_cast<uint16_t>(std::min<size_t>(nameBytes, 0xFFFF));
  s.size = size;
  s.attribute = attribute;
  s.mainFileRecordNumber = record.GetMainFileRecordIndex();
  CNTFSFileProperties* properties = CNTFSFileProperties::Create(s, name.c_str(), nameBytes, runs);
  properties->SetStoredBytes(storedBytes);
  properties->SetSizeDamaged(sizeDamaged);
  properties->SetContentUnsure(runsCut);
  return properties;
}

void CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(
    CNTFSFileProperties* properties, uint8_t sectorsPerCluster) {
  if (properties == nullptr || properties->GetSize() >= 0) return;
  const CCompressedDataRunList* packed = properties->GetCompressedDataRunList();
  if (packed == nullptr || packed->GetResidentOffset() != 0) return;
  std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> list(packed->Decompress(),
                                                              [](IDataRunList* l) { l->Release(); });
  if (list == nullptr) return;
  int64_t clusters = 0;
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    if (__builtin_add_overflow(clusters, run->length, &clusters)) return;
  }
  int64_t size;
  if (__builtin_mul_overflow(clusters, int64_t{sectorsPerCluster} * 512, &size)) return;
  properties->SetFileSize(size);
}

bool CIsMetaFileRecord::IsMetaFileRecord(uint8_t* buffer, int size) {
  if (buffer == nullptr || size < ntfs_record::kMinRecordSize) return false;
  return CNTFSFileRecordAnalyzer::IsValidMetaFileRecord(buffer, size);
}
