// The NTFS images filled through ntfs-3g (make-ntfs-images.sh), read through
// an image device the way a scan reads them, for what the conformance rows
// cannot see: the index pages of a folder of 200 files, and the file with an
// attribute list and the reuse of its extension records. Names, kinds,
// deleted state, sizes, times and bytes of every file are the rows'.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "NtfsFixtures.h"
#include "NtfsImageCheck.h"
#include "NtfsPeers.h"
#include "OnDiskBytes.h"
#include "device/DiskDevice.h"
#include "ntfs/IndexRecord.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFilePropertiesBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSSearchInfo.h"

namespace {

namespace fs = std::filesystem;
using namespace ntfspeers;
using ntfsfixtures::FixtureDir;
using Bytes = std::vector<uint8_t>;

const char* const kVariants[] = {"default", "c512", "c65536", "s4096"};

// An image opened as a volume device, with its MFT found from record 0 as a
// scan finds it: the runs in record 0, and those in its extension records
// when the table grew fragmented enough to need an attribute list.
struct Volume {
  std::string name;
  fs::path image, prefix;
  Fsstat fsstat;
  std::unique_ptr<CVolumeDevice> device;
  CMFTInfo mft;                           // from record 0 alone
  CNTFSDataRunList mftRuns;               // every piece
  uint8_t spc = 0;                        // device sectors per cluster
  uint8_t spr = 0;                        // device sectors per FILE record
  std::map<std::string, uint64_t> paths;  // fls path -> record

  explicit Volume(const std::string& variant) : name(variant) {
    image = FixtureDir() / (variant + ".img");
    prefix = FixtureDir() / variant;
    fsstat = ParseFsstat(ReadText(prefix.string() + ".img.fsstat.txt"));
    spc = static_cast<uint8_t>(fsstat.clusterSize / 512);
    spr = static_cast<uint8_t>(fsstat.recordSize / 512);
    device = std::make_unique<CVolumeDevice>(image.c_str());
    EXPECT_EQ(device->Open(), 1);
    Bytes zero = ntfscheck::ReadRecord(prefix, 0);
    const int64_t zeroSector = fsstat.mftCluster * spc;
    EXPECT_TRUE(mft.InitFromBuffer(zero.data(), static_cast<int>(zero.size()), zeroSector, 512));
    auto extensions = CNTFSMultiFileRecord::InitExtendFileRecord(
        zero.data(), static_cast<uint32_t>(zero.size()), zeroSector, spc, 0, *device, &mft.GetDataRunList(), spr);
    CNTFSMultiFileRecord set(zero.data(), static_cast<uint32_t>(zero.size()), zeroSector, device.get(),
                             extensions.get());
    for (const auto& piece : set.FindAllAttributes(0x80)) {
      int64_t startVCN = 0;
      if (!CNTFSFileRecordAttribute::IsResident(piece.attr) && !CNTFSFileRecordAttribute::IsNamed(piece.attr)) {
        EXPECT_TRUE(CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(piece.attr, nullptr, startVCN,
                                                                                          mftRuns));
      }
    }
    mftRuns.Sort();
    for (const auto& p : ntfscheck::ReadPaths(prefix)) paths[p.path] = p.record;
  }
  ~Volume() {
    device->Close();
    EXPECT_EQ(testsupport::Sha256(image) + "\n", ReadText(prefix.string() + ".img.sha256")) << "the image changed";
  }

  int64_t RecordSector(int64_t n) const {
    return CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(n, spc, 0, &mftRuns, spr);
  }
  // Record n as the device gives it.
  Bytes Record(int64_t n) const {
    Bytes buffer(fsstat.recordSize);
    const int64_t sector = RecordSector(n);
    if (sector < 0 || device->ReadSector(buffer.data(), sector, spr) == 0) return {};
    return buffer;
  }
  std::unique_ptr<CExtendFileRecordInfoList> Extensions(const Bytes& record, int64_t n) const {
    return CNTFSMultiFileRecord::InitExtendFileRecord(record.data(), static_cast<uint32_t>(record.size()),
                                                      RecordSector(n), spc, 0, *device, &mftRuns, spr);
  }
  // The node a scan makes of record n; null when the builder refuses it.
  std::unique_ptr<CNTFSFileNode> Node(int64_t n) const {
    const Bytes record = Record(n);
    auto extensions = Extensions(record, n);
    CNTFSMultiFileRecord set(record.data(), static_cast<uint32_t>(record.size()), RecordSector(n), device.get(),
                             extensions.get());
    int64_t parent = -1;
    CNTFSFileProperties* properties =
        CNTFSFilePropertiesBuilder::BuildFileProperties(RecordSector(n), set, fsstat.clusterSize, &parent);
    if (properties == nullptr) return nullptr;
    properties->SetExtendFileRecordInfoList(std::move(extensions));
    auto node = std::make_unique<CNTFSFileNode>();
    node->SetFileProperties(properties);
    node->SetCurrentNodeID(n);
    node->SetParentNodeID(parent);
    return node;
  }
};

std::vector<std::pair<int64_t, int64_t>> RunsOf(IDataRunList* list) {
  std::vector<std::pair<int64_t, int64_t>> out;
  if (list == nullptr) return out;
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    out.emplace_back(run->start, run->length);
  }
  return out;
}

// One entry per cluster, 0 for a hole, as istat lists them.
std::vector<int64_t> ClustersOf(IDataRunList* list) {
  std::vector<int64_t> clusters;
  for (const auto& [start, length] : RunsOf(list)) {
    for (int64_t i = 0; i < length; ++i) clusters.push_back(start < 0 ? 0 : start + i);
  }
  return clusters;
}

// istat lists clusters past the initialised size as 0: compare only up to it.
void ExpectClustersAsIstat(std::vector<int64_t> ours, const IstatAttribute& expected, uint32_t clusterBytes) {
  std::vector<int64_t> listed = expected.clusters;
  const size_t initialised = static_cast<size_t>((expected.initSize + clusterBytes - 1) / clusterBytes);
  listed.resize(std::min(listed.size(), initialised));
  ASSERT_GE(ours.size(), listed.size());
  ours.resize(listed.size());
  EXPECT_EQ(ours, listed);
}

const IstatAttribute* UnnamedData(const Istat& istat) {
  for (const IstatAttribute& a : istat.attributes) {
    if (a.type == 0x80 && a.name == "N/A") return &a;
  }
  return nullptr;
}

class NtfsNodes : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { REQUIRE_NTFS_FIXTURES(); }
};

// ---- index pages ----------------------------------------------------------------

TEST_P(NtfsNodes, EveryIndexPageOfTheFolderOf200FilesPassesAndOtherSectorsFail) {
  Volume v(GetParam());
  constexpr int kPage = 4096;
  const uint64_t many = v.paths.at("many");
  const Bytes stream = testsupport::ReadFile(v.prefix.string() + ".indx");
  ASSERT_GE(stream.size(), 2u * kPage);
  ASSERT_EQ(stream.size() % kPage, 0u);
  // NTFS counts index VCNs in clusters, or in 512-byte blocks when a cluster
  // is larger than a page.
  const uint32_t vcnBytes = v.fsstat.clusterSize <= kPage ? v.fsstat.clusterSize : 512;
  size_t inner = 0;
  for (size_t page = 0; page < stream.size() / kPage; ++page) {
    SCOPED_TRACE("page " + std::to_string(page));
    Bytes copy(stream.begin() + page * kPage, stream.begin() + (page + 1) * kPage);
    const Bytes before = copy;
    EXPECT_TRUE(CIndexRecord::IsValid(copy.data(), kPage));
    // A page of the tree's inner nodes, whose entries all point to
    // sub-nodes, names no folder; every other page names the folder.
    const int64_t parent = CIndexRecord::GetParentFileReference(copy.data(), kPage);
    if (parent == -1) {
      ++inner;
      uint32_t at = 0x18 + ondisk::Le32(copy.data() + 0x18);
      for (uint16_t flags = 0; (flags & 2) == 0 && at + 16 <= kPage; at += ondisk::Le16(copy.data() + at + 8)) {
        flags = ondisk::Le16(copy.data() + at + 12);
        EXPECT_NE(flags & 1, 0) << "entry at " << at;
      }
    } else {
      EXPECT_EQ(parent, static_cast<int64_t>(many));
    }
    EXPECT_EQ(CIndexRecord::GetVCN(copy.data()) * vcnBytes, static_cast<int64_t>(page * kPage));
    EXPECT_EQ(copy, before);
  }

  EXPECT_LE(inner, 1u);

  // Where the pages of every folder's index lie on the image.
  std::set<uint64_t> pageStarts;
  for (const auto& entry : fs::directory_iterator(v.prefix.string() + ".istat")) {
    const Istat istat = ParseIstat(ReadText(entry.path()));
    for (const IstatAttribute& a : istat.attributes) {
      if (a.type != 0xA0 || a.name != "$I30") continue;
      for (uint64_t at = 0; at < static_cast<uint64_t>(a.size); at += kPage) {
        const uint64_t cluster = static_cast<uint64_t>(a.clusters.at(at / v.fsstat.clusterSize));
        pageStarts.insert(cluster * v.fsstat.clusterSize + at % v.fsstat.clusterSize);
      }
    }
  }
  // Every sector of the image: only those pages pass, and all of the
  // folder's own do.
  const Bytes image = testsupport::ReadFile(v.image);
  size_t passed = 0;
  for (uint64_t at = 0; at + kPage <= image.size(); at += 512) {
    if (CIndexRecord::IsValid(image.data() + at, kPage)) {
      EXPECT_EQ(pageStarts.count(at), 1u) << "offset " << at;
      ++passed;
    }
  }
  EXPECT_GE(passed, stream.size() / kPage);
}

// ---- the file with an attribute list ----------------------------------------------

struct AttributeListScenario {
  int64_t big = -1;
  std::vector<int64_t> extensions;
  std::vector<std::pair<std::string, int64_t>> added;  // new files over the extension records
};

AttributeListScenario ReadScenario() {
  AttributeListScenario s;
  std::istringstream in(ReadText(FixtureDir() / "attrlist.tsv"));
  for (std::string kind, a, b; in >> kind >> a;) {
    if (kind == "big") s.big = std::stoll(a);
    if (kind == "extension") s.extensions.push_back(std::stoll(a));
    if (kind == "new" && in >> b) s.added.emplace_back(a, std::stoll(b));
  }
  return s;
}

class NtfsAttributeList : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_NTFS_FIXTURES(); }
};

// Its size, runs, name and bytes, and so each of its extension records: the
// attrlist_live row.

TEST_F(NtfsAttributeList, ADeletedFileDoesNotTakeRunsFromItsExtensionRecordsOnceOtherFilesHaveThem) {
  const AttributeListScenario s = ReadScenario();
  ASSERT_FALSE(s.added.empty());
  Volume live("attrlist-live");
  Volume v("attrlist-reused");
  const Istat before = ParseIstat(ReadText(live.prefix.string() + ".istat/" + std::to_string(s.big)));
  const Istat after = ParseIstat(ReadText(v.prefix.string() + ".istat/" + std::to_string(s.big)));
  EXPECT_FALSE(after.allocated);

  // Every extension record now holds a new file (or the new folder).
  std::set<int64_t> reused;
  for (const auto& [path, n] : s.added) reused.insert(n);
  reused.insert(static_cast<int64_t>(v.paths.at("new")));
  for (int64_t n : s.extensions) EXPECT_EQ(reused.count(n), 1u) << n;

  const Bytes record = v.Record(s.big);
  auto extensions = v.Extensions(record, s.big);
  ASSERT_NE(extensions, nullptr);
  CNTFSMultiFileRecord set(record.data(), static_cast<uint32_t>(record.size()), v.RecordSector(s.big), v.device.get(),
                           extensions.get());
  ASSERT_TRUE(set.IsValid());
  EXPECT_FALSE(set.IsinUse());
  // Only the base record's own attributes are left: no name (it was in a
  // reused record), and the first piece of the data.
  EXPECT_EQ(set.FindAttibute(0x30, 0, nullptr, nullptr), nullptr);
  const auto pieces = set.FindAllAttributes(0x80);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].recordSector, v.RecordSector(s.big));
  CNTFSDataRunList collected;
  int64_t realSize = 0, startVCN = -1;
  ASSERT_TRUE(CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(pieces[0].attr, &realSize, startVCN,
                                                                                    collected));
  EXPECT_EQ(startVCN, 0);
  CNoneResidentNTFSDataRunList ours;
  for (const CDataRun& r : collected.GetRuns()) ours.AddDataRun(DataRun{r.LCN, r.Length});
  // The Sleuth Kit leaves the reused records out too.
  ExpectClustersAsIstat(ClustersOf(&ours), *UnnamedData(after), v.fsstat.clusterSize);
  // What is left is the start of what the file had.
  const std::vector<int64_t> had = UnnamedData(before)->clusters;
  const std::vector<int64_t> has = ClustersOf(&ours);
  ASSERT_LE(has.size(), had.size());
  EXPECT_TRUE(std::equal(has.begin(), has.end(), had.begin()));
  // And all of it: the clusters up to where the first extension record's
  // piece began (the new files may hold some of these clusters by now: that
  // is their data overwriting the deleted file's, not runs taken from them).
  int64_t firstExtensionVCN = INT64_MAX;
  std::istringstream list(ReadText(live.prefix.string() + ".istat/" + std::to_string(s.big)));
  for (std::string line; std::getline(list, line);) {
    long long record = 0, vcn = 0;
    if (std::sscanf(line.c_str(), "Type: 128-%*d \tMFT Entry: %lld \tVCN: %lld", &record, &vcn) == 2 &&
        record != s.big) {
      firstExtensionVCN = std::min<int64_t>(firstExtensionVCN, vcn);
    }
  }
  ASSERT_LT(firstExtensionVCN, INT64_MAX);
  EXPECT_EQ(static_cast<int64_t>(has.size()), firstExtensionVCN);
  // Without a name there is nothing to show the file under.
  EXPECT_EQ(v.Node(s.big), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsNodes, testing::ValuesIn(kVariants));

}  // namespace
