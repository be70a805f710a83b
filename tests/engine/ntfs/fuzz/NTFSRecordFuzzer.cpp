// Feeds arbitrary bytes to the boot-sector test, the FILE record test and
// view, every attribute reader and the run-list decoder, the index and log
// page tests, the metafile tests, the search records and the properties
// built from a lone record. Any read outside the input shows up under
// AddressSanitizer; a test that does not hand its buffer back unchanged
// aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ntfs/IndexRecord.h"
#include "ntfs/MetaFileRecordTypeAnalyzer.h"
#include "ntfs/NTFSDBR.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSSearchInfo.h"
#include "ntfs/RCRDRecord.h"

namespace {

volatile uint64_t g_sink;

void Use(uint64_t v) { g_sink = g_sink + v; }

void ReadAttribute(const uint8_t* attr, int left) {
  using A = CNTFSFileRecordAttribute;
  if (!A::IsValid(attr, left)) return;
  Use(A::GetType(attr) + A::GetLength(attr) + A::GetID(attr) + A::GetFlags(attr) + A::IsCompressed(attr) +
      A::IsEncrypted(attr) + A::IsSparse(attr) + A::GetCompressionUnitSize(attr));
  Use(static_cast<uint64_t>(A::GetRealSizeOfAttribute(attr)) + static_cast<uint64_t>(A::GetAllocSizeofAttribute(attr)) +
      static_cast<uint64_t>(A::GetInitializedDataSize(attr)));
  Use(A::GetAttributeName(attr).size());
  using SI = CNTFSFileRecordStandardInformationAttribute;
  if (SI::IsValid(attr, left)) {
    Use(SI::GetCreationFileTime(attr) + SI::GetModificationFileTime(attr) + SI::GetMFTChangeFileTime(attr) +
        SI::GetLastAccessFileTime(attr) + SI::GetDosFilePermission(attr));
  }
  using FN = CNTFSFileRecordFileNameAttribute;
  if (FN::IsValid(attr, left)) {
    Use(FN::GetFileRecordNumberofParentDirectory(attr) + FN::GetParentSequenceNumber(attr) +
        FN::GetCreationFileTime(attr) + FN::GetModificationFileTime(attr) + FN::GetMFTChangeFileTime(attr) +
        FN::GetLastAccessFileTime(attr) + static_cast<uint64_t>(FN::GetFileRealSize(attr)) +
        static_cast<uint64_t>(FN::GetFileAllocatedSize(attr)) + FN::GetFlags(attr) + FN::IsDirectory(attr) +
        FN::IsCompressed(attr) + FN::IsEncrypted(attr) + FN::GetFileNameNamespaceType(attr));
    Use(FN::GetFileNameUtf8(attr).size());
    Use(FN::IsFileNameEqual(attr, L"$MFT"));
  }
  Use(static_cast<uint64_t>(CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(attr, left)));
  if (!A::IsResident(attr)) {
    using R = CNTFSFileRecordDataRunsAttribute;
    Use(static_cast<uint64_t>(R::GetTotalClusters(attr)) + static_cast<uint64_t>(R::GetStartVCN(attr)) +
        static_cast<uint64_t>(R::GetLastVCN(attr)));
    Use(R::GetSectorsPerCluster(attr, 512));
    CNTFSDataRunList::Runs runs;
    if (R::GetDataRunList(attr, left, runs)) Use(runs.size());
    int64_t realSize = 0, startVCN = 0;
    CNTFSDataRunList list;
    if (CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(attr, &realSize, startVCN, list)) {
      for (const CDataRun& run : list.GetRuns()) {
        Use(static_cast<uint64_t>(list.GetLCN(run.VCN)) + static_cast<uint64_t>(list.GetVCN(run.LCN)));
      }
    }
  }
}

// The page tests on the input as an index page and as a log page.
void Pages(std::vector<uint8_t>& buffer) {
  const std::vector<uint8_t> before = buffer;
  const int n = static_cast<int>(buffer.size());
  Use(CStandardIndexHeader::IsValid(buffer.data(), n));
  Use(CIndexRecord::IsValid(buffer.data(), n));
  Use(static_cast<uint64_t>(CIndexRecord::GetParentFileReference(buffer.data(), n)));
  Use(CRCRDRecord::IsValid(buffer.data(), n) + CRCRDRecord::IsValidRCRDRecordFirstSector(buffer.data(), n));
  if (buffer != before) std::abort();
  if (CIndexRecord::UnfixupIndexRecord(buffer.data(), n)) {
    Use(CIndexRecord::CheckIndexEntries(buffer.data(), n));
    CIndexRecord::FixupIndexRecord(buffer.data(), n);
    if (buffer != before) std::abort();
  }
  if (CRCRDRecord::Unfixup(buffer.data(), n)) buffer = before;
}

// What a scan keeps of a lone record: search records, properties, a node
// and the runs it unpacks.
void Properties(std::vector<uint8_t>& buffer) {
  const std::vector<uint8_t> before = buffer;
  const int n = static_cast<int>(buffer.size());
  Use(CNTFSFileRecordAnalyzer::GetMetaFileRecordIndex(buffer.data(), n));
  Use(CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(buffer.data(), n));
  Use(CIsMetaFileRecord::IsMetaFileRecord(buffer.data(), n));
  CCommonFileRecordInfo common;
  Use(common.InitFromBuffer(buffer.data(), n, 1));
  CMetaFileInfo meta;
  Use(meta.InitFromBuffer(buffer.data(), n, 1) ? static_cast<uint64_t>(meta.GetFirstClusterNO()) : 0);
  CMFTInfo mft;
  Use(mft.InitFromBuffer(buffer.data(), n, 1, 512) ? mft.GetSectorsPerCluster() : 0);
  if (buffer != before) std::abort();

  CNTFSMultiFileRecord set(buffer.data(), static_cast<uint32_t>(n), 64, nullptr, nullptr);
  int64_t parent = 0;
  CNTFSFileProperties* properties = CNTFSFilePropertiesBuilder::BuildFileProperties(64, set, 4096, &parent);
  if (properties == nullptr) return;
  CNTFSFileNode node;
  node.SetFileProperties(properties);
  const char* name = node.GetFileName();
  if (name == nullptr || std::strlen(name) != static_cast<size_t>(properties->GetFileNameLength())) std::abort();
  Use(node.GetFileSize() + node.GetAttribute() + node.IsDirectory() + node.IsDeleted() + node.IsCompressed());
  if (IDataRunList* runs = node.GetDataRunList()) {
    for (const DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
      Use(static_cast<uint64_t>(run->start + run->length));
    }
  }
  node.FilterFileNameByDot();
  CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(properties, 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  if (size >= 512) {
    CNTFSDBR dbr;
    if (dbr.InitFromBuffer(data)) {
      Use(dbr.GetFileRecordSizeByByte() + dbr.GetClusterSizeByByte());
      CNTFSGeometry geometry;
      if (geometry.Init(dbr, 512)) {
        Use(static_cast<uint64_t>(geometry.FileRecordByteOffset(dbr.GetMFTStartCluster(), 5, 0)));
      }
    }
  }
  // The run-list decoder on the raw bytes.
  {
    CNTFSDataRunList list;
    if (list.InitFromBuffer(data, static_cast<int>(size))) Use(list.GetTotalClusters());
    Use(static_cast<uint64_t>(CNTFSDataRunList::GetTotalClusters(data, static_cast<int>(size))));
  }
  // The record, in a buffer of exactly its size so overreads are caught.
  std::vector<uint8_t> buffer(data, data + size);
  const std::vector<uint8_t> before = buffer;
  const int n = static_cast<int>(buffer.size());
  Use(CNTFSFileRecordHeader::IsValid(buffer.data(), n - n % 512));
  Use(CNTFSFileRecord::IsValid(buffer.data(), n));
  if (buffer != before) std::abort();
  {
    CNTFSFileRecord record(buffer.data(), n, 0);
    if (record.IsValid()) {
      Use(record.IsExtendFileRecord() + record.IsFolder() + record.IsinUse() + record.GetBaseFileRecordNumber() +
          record.HasXPNumberOfthisMFTRecord() + record.GetXPNumberOfthisMFTRecord() +
          record.GetLogFileSequenceNumber());
      for (uint32_t type = 0x10; type <= 0x100; type += 0x10) {
        for (uint32_t i = 0; i < 64; ++i) {
          const uint8_t* attr = record.FindAttibute(type, i);
          if (attr == nullptr) break;
          ReadAttribute(attr, record.GetSize() - static_cast<int>(attr - record.GetBuffer()));
        }
      }
      CNTFSDataRunList list;
      int64_t realSize = 0;
      Use(CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, list, 1, &realSize));
      uint8_t spc = 0;
      Use(CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(record, spc, 512));
    }
  }
  if (buffer != before) std::abort();
  // The raw walks, whatever the record test said.
  Use(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(buffer.data(), n, 0x80));
  Use(CNTFSFileRecord::HasAttributeList(buffer.data(), n));
  if (const uint8_t* attr = CNTFSFileRecord::FindAttibute(buffer.data(), n, 0x30, 0)) {
    ReadAttribute(attr, ntfs_record::RecordExtent(buffer.data(), n) - static_cast<int>(attr - buffer.data()));
  }
  if (CNTFSFileRecord::UnfixupFileRecord(buffer.data(), n)) {
    Use(CNTFSFileRecord::CheckAttibutes(buffer.data(), n));
    CNTFSFileRecord::FixupFileRecord(buffer.data(), n);
    if (buffer != before) std::abort();
  }
  Pages(buffer);
  Properties(buffer);
  if (buffer != before) std::abort();
  return 0;
}
