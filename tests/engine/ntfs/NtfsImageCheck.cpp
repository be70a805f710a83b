#include "NtfsImageCheck.h"

#include <gtest/gtest.h>

#include <fstream>

#include "NtfsPeers.h"
#include "ntfs/NTFSDBR.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "support/TestSupport.h"

namespace ntfscheck {

namespace fs = std::filesystem;
using namespace ntfspeers;

namespace {

using Attr = CNTFSFileRecordAttribute;
using FileName = CNTFSFileRecordFileNameAttribute;
using StdInfo = CNTFSFileRecordStandardInformationAttribute;

// Every attribute bit The Sleuth Kit names.
constexpr uint32_t kNamedSiBits = 0x7FE7;

struct OurAttribute {
  const uint8_t* attr;
  int left;
};

std::vector<OurAttribute> Attributes(const CNTFSFileRecord& record) {
  std::vector<OurAttribute> out;
  for (uint32_t type : {0x10u, 0x20u, 0x30u, 0x40u, 0x50u, 0x60u, 0x70u, 0x80u, 0x90u, 0xA0u, 0xB0u, 0xC0u, 0xD0u,
                        0xE0u, 0x100u}) {
    for (uint32_t i = 0;; ++i) {
      const uint8_t* attr = record.FindAttibute(type, i);
      if (attr == nullptr) break;
      out.push_back({attr, record.GetSize() - static_cast<int>(attr - record.GetBuffer())});
    }
  }
  return out;
}

std::vector<int64_t> Clusters(const CNTFSDataRunList::Runs& runs) {
  std::vector<int64_t> clusters;
  for (const CDataRun& run : runs) {
    for (int64_t i = 0; i < run.Length && clusters.size() < 10'000'000; ++i) {
      clusters.push_back(run.IsSparse() ? 0 : run.LCN + i);
    }
  }
  return clusters;
}

std::string NamespaceName(uint8_t type) {
  switch (type) {
    case 0: return "POSIX";
    case 1: return "Win32";
    case 2: return "DOS";
    case 3: return "Win32 & DOS";
    default: return "?";
  }
}

// Adds to `runListsCompared` the run lists it compared with ntfsinfo's.
void CheckRecord(uint64_t n, std::vector<uint8_t> buffer, const fs::path& prefix, uint32_t clusterBytes,
                 int& runListsCompared) {
  SCOPED_TRACE("record " + std::to_string(n));
  const fs::path istatPath = prefix.string() + ".istat/" + std::to_string(n);
  const fs::path infoPath = prefix.string() + ".ntfsinfo/" + std::to_string(n);
  if (!fs::exists(istatPath)) return;  // a record slot never used
  const Istat istat = ParseIstat(ReadText(istatPath));
  const bool haveInfo = fs::exists(infoPath);
  const Ntfsinfo info = haveInfo ? ParseNtfsinfo(ReadText(infoPath)) : Ntfsinfo();

  const std::vector<uint8_t> original = buffer;
  {
    CNTFSFileRecord record(buffer.data(), static_cast<int>(buffer.size()), 0);
    ASSERT_TRUE(record.IsValid());
    EXPECT_TRUE(record.IsUpdateSequenceUndone());
    EXPECT_EQ(record.GetSize(), static_cast<int>(buffer.size()));
    EXPECT_EQ(record.IsinUse(), istat.allocated);
    EXPECT_EQ(record.IsFolder(), istat.directory);
    EXPECT_EQ(record.GetBaseFileRecordNumber(), istat.baseRecord.value_or(0));
    EXPECT_EQ(record.IsExtendFileRecord(), istat.baseRecord.has_value());
    // mkntfs leaves the own-number field 0 in the reserved records it never used.
    if (record.HasXPNumberOfthisMFTRecord() && record.IsinUse()) {
      EXPECT_EQ(record.GetXPNumberOfthisMFTRecord(), n);
    }
    if (haveInfo) {
      EXPECT_EQ(record.IsinUse(), info.inUse);
      EXPECT_EQ(record.IsFolder(), info.directory);
      EXPECT_EQ(CNTFSFileRecord::GetAllocatedSize(record.GetBuffer()), info.bytesAllocated);
      EXPECT_EQ(CNTFSFileRecord::GetLength(record.GetBuffer()), info.bytesUsed);
    }

    // $STANDARD_INFORMATION: times and the attribute word.
    const uint8_t* si = record.FindAttibute(0x10, 0);
    EXPECT_EQ(si != nullptr, istat.hasStandardInformation);
    if (si != nullptr) {
      EXPECT_TRUE(StdInfo::IsValid(si, record.GetSize() - static_cast<int>(si - record.GetBuffer())));
      EXPECT_EQ(StdInfo::GetCreationFileTime(si), istat.siCreated);
      EXPECT_EQ(StdInfo::GetModificationFileTime(si), istat.siModified);
      EXPECT_EQ(StdInfo::GetMFTChangeFileTime(si), istat.siMftModified);
      EXPECT_EQ(StdInfo::GetLastAccessFileTime(si), istat.siAccessed);
      EXPECT_EQ(StdInfo::GetDosFilePermission(si) & kNamedSiBits, istat.siFlags);
      for (const NtfsinfoAttribute& a : info.attributes) {
        if (a.type == 0x10) {
          EXPECT_EQ(StdInfo::GetDosFilePermission(si), a.fileAttributes);
        }
      }
    }

    // $FILE_NAME: every name in record order.
    std::vector<const uint8_t*> names;
    for (uint32_t i = 0; const uint8_t* fn = record.FindAttibute(0x30, i); ++i) names.push_back(fn);
    if (!istat.hasAttributeList) {
      ASSERT_EQ(names.size(), istat.names.size());
    }
    std::vector<const NtfsinfoAttribute*> infoNames;
    for (const NtfsinfoAttribute& a : info.attributes) {
      if (a.type == 0x30) infoNames.push_back(&a);
    }
    for (size_t i = 0; i < names.size() && i < istat.names.size(); ++i) {
      const uint8_t* fn = names[i];
      const IstatName& expected = istat.names[i];
      SCOPED_TRACE("name " + expected.name);
      EXPECT_TRUE(FileName::IsValid(fn, record.GetSize() - static_cast<int>(fn - record.GetBuffer())));
      EXPECT_EQ(FileName::GetFileNameUtf8(fn), expected.name);
      EXPECT_EQ(FileName::GetFileRecordNumberofParentDirectory(fn), expected.parent);
      EXPECT_EQ(FileName::GetParentSequenceNumber(fn), expected.parentSequence);
      EXPECT_EQ(FileName::GetFileRealSize(fn), expected.realSize);
      EXPECT_EQ(FileName::GetFileAllocatedSize(fn), expected.allocatedSize);
      EXPECT_EQ(FileName::GetCreationFileTime(fn), expected.created);
      EXPECT_EQ(FileName::GetModificationFileTime(fn), expected.modified);
      EXPECT_EQ(FileName::GetMFTChangeFileTime(fn), expected.mftModified);
      EXPECT_EQ(FileName::GetLastAccessFileTime(fn), expected.accessed);
      EXPECT_EQ(FileName::IsDirectory(fn), istat.directory);
      if (i < infoNames.size()) {
        EXPECT_EQ(NamespaceName(FileName::GetFileNameNamespaceType(fn)), infoNames[i]->namespaceName);
        EXPECT_EQ(FileName::GetFlags(fn), infoNames[i]->fileAttributes);
        EXPECT_EQ(FileName::IsCompressed(fn), (infoNames[i]->fileAttributes & 0x800) != 0);
      }
    }

    // Every attribute: kind, sizes and clusters.
    const std::vector<OurAttribute> ours = Attributes(record);
    if (!istat.hasAttributeList) {
      EXPECT_EQ(ours.size(), istat.attributes.size());
    }
    for (const OurAttribute& o : ours) {
      const uint32_t type = Attr::GetType(o.attr);
      const uint32_t id = Attr::GetID(o.attr);
      SCOPED_TRACE("attribute " + std::to_string(type) + "-" + std::to_string(id));
      EXPECT_TRUE(Attr::IsValid(o.attr, o.left));
      const IstatAttribute* expected = nullptr;
      for (const IstatAttribute& a : istat.attributes) {
        if (a.type == type && a.id == id) expected = &a;
      }
      if (expected == nullptr) {
        EXPECT_TRUE(istat.hasAttributeList) << "istat does not list it";
        continue;
      }
      EXPECT_EQ(Attr::IsResident(o.attr), expected->resident);
      EXPECT_EQ(Attr::IsNamed(o.attr) ? Attr::GetAttributeName(o.attr) : std::string("N/A"), expected->name);
      if (expected->resident) {
        EXPECT_EQ(Attr::GetLengthOfAttribute(o.attr), static_cast<uint64_t>(expected->size));
        continue;
      }
      EXPECT_EQ(Attr::GetRealSizeOfAttribute(o.attr), expected->size);
      EXPECT_EQ(Attr::GetInitializedDataSize(o.attr), expected->initSize);
      CNTFSDataRunList::Runs runs;
      ASSERT_TRUE(CNTFSFileRecordDataRunsAttribute::GetDataRunList(o.attr, o.left, runs));
      // istat lists the clusters of the runs, with 0 for holes and for
      // clusters past the initialised size.
      std::vector<int64_t> clusters = Clusters(runs);
      ASSERT_GE(clusters.size(), expected->clusters.size());
      const size_t initialised = static_cast<size_t>((expected->initSize + clusterBytes - 1) / clusterBytes);
      std::vector<int64_t> listed = expected->clusters;
      listed.resize(std::min(listed.size(), initialised));
      clusters.resize(listed.size());
      EXPECT_EQ(clusters, listed);

      // ntfsinfo gives the run list itself, holes and all.
      for (const NtfsinfoAttribute& a : info.attributes) {
        if (a.type != type || a.instance != id || a.resident) continue;
        ++runListsCompared;
        const int64_t start = CNTFSFileRecordDataRunsAttribute::GetStartVCN(o.attr);
        EXPECT_EQ(start, a.lowestVcn);
        EXPECT_EQ(CNTFSFileRecordDataRunsAttribute::GetLastVCN(o.attr), a.highestVcn);
        EXPECT_EQ(Attr::GetAllocSizeofAttribute(o.attr), a.allocatedSize);
        ASSERT_EQ(runs.size(), a.runs.size());
        for (size_t r = 0; r < runs.size(); ++r) {
          EXPECT_EQ(runs[r].VCN + start, a.runs[r].vcn);
          EXPECT_EQ(runs[r].LCN, a.runs[r].lcn);
          EXPECT_EQ(runs[r].Length, a.runs[r].length);
        }
        EXPECT_EQ(CNTFSFileRecordDataRunsAttribute::GetTotalClusters(o.attr), a.highestVcn + 1 - a.lowestVcn);
      }
    }

    // The record-level collection of the unnamed $DATA runs.
    const uint8_t* data = nullptr;
    for (const OurAttribute& o : ours) {
      if (Attr::GetType(o.attr) == 0x80 && !Attr::IsNamed(o.attr)) data = o.attr;
    }
    CNTFSDataRunList collected;
    int64_t realSize = -7;
    const bool ok = CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, collected, 1, &realSize);
    if (data == nullptr) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(collected.IsEmpty());
    } else if (Attr::IsResident(data)) {
      EXPECT_FALSE(ok);
    } else {
      EXPECT_TRUE(ok);
      // The size istat gives the stream, and the clusters ntfsinfo's VCN range holds.
      const uint32_t id = Attr::GetID(data);
      for (const IstatAttribute& a : istat.attributes) {
        if (a.type == 0x80 && a.id == id) {
          EXPECT_EQ(realSize, a.size);
        }
      }
      for (const NtfsinfoAttribute& a : info.attributes) {
        if (a.type == 0x80 && a.instance == id && !a.resident) {
          EXPECT_EQ(collected.GetTotalClusters(), a.highestVcn + 1 - a.lowestVcn);
        }
      }
      // A file whose size fills its clusters lets the size and runs tell the cluster size.
      uint8_t spc = 0;
      EXPECT_TRUE(CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(record, spc, 512));
      const int64_t clusters = collected.GetTotalClusters();
      if (!Attr::IsCompressed(data) && !Attr::IsSparse(data) && clusters > 0 &&
          realSize > (clusters - 1) * int64_t{clusterBytes} + int64_t{clusterBytes} / 2) {
        EXPECT_EQ(spc, clusterBytes / 512);
      }
    }

    // A folder's index root names the folder's own record as its entries' parent.
    if (const uint8_t* root = record.FindAttibute(0x90, 0); root != nullptr && record.IsinUse()) {
      const int left = record.GetSize() - static_cast<int>(root - record.GetBuffer());
      EXPECT_TRUE(CNTFSFileRecordIndexRootAttribute::IsValid(root, left));
      const int64_t parent = CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root, left);
      if (parent != -1) {
        EXPECT_EQ(parent, static_cast<int64_t>(n));
      }
    }
  }
  // The view handed the buffer back in its on-disk form.
  EXPECT_EQ(buffer, original);
}

std::string Sha256(const fs::path& path) { return testsupport::Sha256(path); }

}  // namespace

fs::path FixtureScript() { return testsupport::SourceDir() / "tests/fixtures/ntfs/make-ntfs-images.sh"; }

std::vector<uint8_t> ReadAt(const fs::path& path, uint64_t offset, size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> out(size);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
  out.resize(static_cast<size_t>(in.gcount()));
  return out;
}

std::vector<uint8_t> ReadRecord(const fs::path& prefix, uint64_t n) {
  const Fsstat fsstat = ParseFsstat(ReadText(prefix.string() + ".img.fsstat.txt"));
  if (fsstat.recordSize == 0) return {};
  auto data = ReadAt(prefix.string() + ".mft", n * fsstat.recordSize, fsstat.recordSize);
  if (data.size() != fsstat.recordSize) return {};
  return data;
}

std::vector<PathRecord> ReadPaths(const fs::path& prefix) {
  std::vector<PathRecord> out;
  for (const FlsEntry& e : ParseFls(ReadText(prefix.string() + ".img.fls.txt"))) {
    out.push_back({e.path, e.record, e.deleted});
  }
  return out;
}

void CheckImageAgainstPeers(const fs::path& image, const fs::path& prefix) {
  SCOPED_TRACE(image.string());
  const std::string before = Sha256(image);
  const Fsstat fsstat = ParseFsstat(ReadText(prefix.string() + ".img.fsstat.txt"));
  ASSERT_GT(fsstat.recordSize, 0u);

  // The boot sector.
  const std::vector<uint8_t> boot = ReadAt(image, 0, 512);
  ASSERT_EQ(boot.size(), 512u);
  CNTFSDBR dbr;
  ASSERT_TRUE(dbr.InitFromBuffer(boot.data()));
  char oem[9] = {0};
  ASSERT_TRUE(dbr.GetFileSystemID(oem));
  EXPECT_EQ(std::string(oem), fsstat.oem);
  EXPECT_EQ(dbr.GetSerialNumber(), fsstat.serial);
  EXPECT_EQ(dbr.GetMFTStartCluster(), fsstat.mftCluster);
  EXPECT_EQ(dbr.GetMFTMirrorStartCluster(), fsstat.mftMirrorCluster);
  EXPECT_EQ(dbr.GetBytesPerSector(), fsstat.sectorSize);
  EXPECT_EQ(dbr.GetClusterSizeByByte(), fsstat.clusterSize);
  EXPECT_EQ(dbr.GetSectorsperCluster(), fsstat.clusterSize / fsstat.sectorSize);
  EXPECT_EQ(dbr.GetFileRecordSizeByByte(), fsstat.recordSize);
  EXPECT_EQ(dbr.GetTotalSectors(), fsstat.lastSector + 1);

  // The first records read straight from the image where the geometry puts
  // them are the ones icat extracted.
  CNTFSGeometry geometry;
  ASSERT_TRUE(geometry.Init(dbr, 512));
  EXPECT_EQ(geometry.GetDeviceSectorsPerCluster(), fsstat.clusterSize / 512);
  for (uint64_t n = 0; n < 16; ++n) {
    const int64_t offset = geometry.FileRecordByteOffset(dbr.GetMFTStartCluster(), static_cast<int64_t>(n), 0);
    ASSERT_GE(offset, 0);
    EXPECT_EQ(ReadAt(image, static_cast<uint64_t>(offset), fsstat.recordSize), ReadRecord(prefix, n)) << n;
  }

  // Every record.
  const uint64_t records = fs::file_size(prefix.string() + ".mft") / fsstat.recordSize;
  EXPECT_GT(records, 16u);
  int runLists = 0;
  for (uint64_t n = 0; n < records; ++n) CheckRecord(n, ReadRecord(prefix, n), prefix, fsstat.clusterSize, runLists);
  EXPECT_GE(runLists, 8);  // $MFT, $MFTMirr, $LogFile, $Bitmap, $Boot, $BadClus, $UpCase, $Secure at least

  EXPECT_EQ(Sha256(image), before) << "the image changed";
}

}  // namespace ntfscheck
