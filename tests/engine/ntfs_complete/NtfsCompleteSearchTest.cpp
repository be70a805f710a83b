// The NTFS searcher of the complete scan on disks laid out in memory from
// volumes that mkntfs made; the expected geometry is what fsstat reads on
// each volume, placed where the test put it.
#include <gtest/gtest.h>

#include "NtfsCompleteSupport.h"
#include "ntfs/NTFSDirectoryTreeBuilder.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSMetaFileAnalyzers.h"
#include "ntfs/NTFSReferenceTables.h"
#include "ntfs/SearchedNTFSPartitionInfo.h"
#include "support/BytesDevice.h"
#include "support/TestSupport.h"

namespace {

using ntfscomplete::FailingWindow;
using ntfscomplete::Geometry;
using ntfscomplete::MakeVolume;
using ntfscomplete::Search;
using ntfscomplete::Volume;
namespace ev = ntfs_evidence;

#define REQUIRE_MKNTFS()    \
  do {                      \
    REQUIRE_TOOL("mkntfs"); \
    REQUIRE_TOOL("fsstat"); \
  } while (0)

// Three volumes with 512-byte, 4 KiB and 64 KiB clusters; the third has no
// index pages at all (mkntfs keeps every folder's index in its record).
struct ThreeVolumes {
  ThreeVolumes() : bytes(100000 * 512) {
    volumes.push_back(MakeVolume(2048, 20000, 512));
    volumes.push_back(MakeVolume(24576, 30000, 4096));
    volumes.push_back(MakeVolume(57344, 40000, 65536));
    for (const Volume& v : volumes) ntfscomplete::Put(bytes, v);
  }
  void ZeroSector(int64_t sector) { std::fill_n(bytes.begin() + sector * 512, 512, 0); }
  std::vector<Geometry> Expected() const {
    std::vector<Geometry> out;
    for (const Volume& v : volumes) out.push_back(v.geometry);
    return out;
  }
  std::vector<Volume> volumes;
  std::vector<uint8_t> bytes;
  testsupport::BytesDevice disk{bytes.data(), bytes.size()};
};

TEST(NtfsCompleteSearch, FindsEveryVolumeWhereverBlocksCutItsStructures) {
  REQUIRE_MKNTFS();
  ThreeVolumes three;
  // A 4 MiB block, and blocks that cut FILE records and index pages at
  // every possible place.
  for (const int block : {8192, 61, 9}) {
    SCOPED_TRACE("block of " + std::to_string(block) + " sectors");
    std::vector<uint32_t> flags;
    EXPECT_EQ(Search(&three.disk, block, true, &flags), three.Expected());
    for (const uint32_t f : flags) {
      EXPECT_EQ(f & (ev::kBootSector | ev::kBackupBootSector | ev::kMFTWithMirror),
                ev::kBootSector | ev::kBackupBootSector | ev::kMFTWithMirror);
    }
  }
}

// A volume made for 4096-byte sectors has 4096-byte FILE records: its
// metafile records are eight 512-byte sectors apart, and blocks of 61 and
// 9 sectors cut them everywhere.
TEST(NtfsCompleteSearch, VolumeOfLargeRecordsIsFoundWhereverBlocksCutThem) {
  REQUIRE_MKNTFS();
  const Volume v = MakeVolume(2048, 40000, 4096, 4096);
  std::vector<uint8_t> bytes(60000 * 512);
  ntfscomplete::Put(bytes, v);
  testsupport::BytesDevice disk(bytes.data(), bytes.size());
  for (const int block : {8192, 61, 9}) {
    SCOPED_TRACE("block of " + std::to_string(block) + " sectors");
    std::vector<uint32_t> flags;
    EXPECT_EQ(Search(&disk, block, true, &flags), std::vector<Geometry>{v.geometry});
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_EQ(flags[0] & (ev::kBootSector | ev::kBackupBootSector | ev::kMFTWithMirror),
              ev::kBootSector | ev::kBackupBootSector | ev::kMFTWithMirror);
  }
}

TEST(NtfsCompleteSearch, VolumeWithoutItsBootSectorIsFoundFromBackupAndTable) {
  REQUIRE_MKNTFS();
  ThreeVolumes three;
  const Geometry lost = three.volumes[1].geometry;
  three.ZeroSector(lost.start);
  std::vector<uint32_t> flags;
  EXPECT_EQ(Search(&three.disk, 8192, true, &flags), three.Expected());
  ASSERT_EQ(flags.size(), 3u);
  EXPECT_EQ(flags[1] & ev::kBootSector, 0u);
  EXPECT_NE(flags[1] & ev::kBackupBootSector, 0u);
  EXPECT_NE(flags[1] & ev::kMFTWithMirror, 0u);

  // Without the backup too, the table and its mirror alone place the volume,
  // and $BadClus sizes it.
  three.ZeroSector(lost.start + static_cast<int64_t>(three.volumes[1].bytes.size() / 512) - 1);
  EXPECT_EQ(Search(&three.disk, 8192, true, &flags), three.Expected());
  ASSERT_EQ(flags.size(), 3u);
  EXPECT_EQ(flags[1], ev::kMFTWithMirror);
}

TEST(NtfsCompleteSearch, UnreadableBlockIsNeverTakenForTheBlockBefore) {
  REQUIRE_MKNTFS();
  const Volume v = MakeVolume(2048, 20000, 512);
  std::vector<uint8_t> bytes(40000 * 512);
  ntfscomplete::Put(bytes, v);
  testsupport::BytesDevice disk(bytes.data(), bytes.size());
  // The block after the one holding the boot sector and the table fails
  // without touching the buffer: read as the bytes before, it would show a
  // boot sector and a table 8192 sectors further on.
  FailingWindow failedBlock(&disk, 8192, 8192);
  std::vector<uint32_t> flags;
  EXPECT_EQ(Search(&failedBlock, 8192, true, &flags), std::vector<Geometry>{v.geometry});
  // One unreadable sector in a block costs only that sector: the mirror
  // still confirms the table.
  FailingWindow failedSector(&disk, 2048 + v.mirrorCluster * v.geometry.spc + 7, 1);
  EXPECT_EQ(Search(&failedSector, 8192, true, &flags), std::vector<Geometry>{v.geometry});
  ASSERT_EQ(flags.size(), 1u);
  EXPECT_NE(flags[0] & ev::kMFTWithMirror, 0u);
}

TEST(NtfsCompleteEvidence, MkntfsVolumesEarnTheAttrDefAndUpCaseTerms) {
  REQUIRE_MKNTFS();
  REQUIRE_TOOL("icat");
  ThreeVolumes three;
  // The reference contents are the ones mkntfs writes, byte for byte.
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "v.img", three.volumes[1].bytes.data(), three.volumes[1].bytes.size());
  const std::string img = testsupport::ShellQuote((dir / "v.img").string());
  EXPECT_EQ(
      testsupport::RunCommandOrFail("icat " + img + " 4"),
      std::string(reinterpret_cast<const char*>(ntfs_reference::AttrDefContents()), ntfs_reference::kAttrDefBytes));
  EXPECT_EQ(testsupport::RunCommandOrFail("icat " + img + " 10"),
            std::string(reinterpret_cast<const char*>(ntfs_reference::UpCaseContents()), ntfs_reference::kUpCaseBytes));

  // Every sector of both tables counts once, whatever the cluster size (the
  // clusters' zero tails and the sector after a run count nothing).
  const std::vector<ntfscomplete::Evidence> found = ntfscomplete::SearchEvidence(&three.disk, 8192);
  ASSERT_EQ(found.size(), 3u);
  for (size_t i = 0; i < found.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(found[i].geometry, three.volumes[i].geometry);
    EXPECT_EQ(found[i].attrDefSectors, 5);
    EXPECT_EQ(found[i].upCaseSectors, 256);
    // Boot sector, backup, table with mirror, and both terms.
    EXPECT_GE(found[i].score, 30u + 10 + 30 + 10 + 10);
  }
}

// A sector matches only a whole piece of the reference: one that begins with
// zeros is no empty sector, pieces that share their first bytes are told
// apart, and an empty piece is matched by an empty sector.
TEST(NtfsCompleteEvidence, ReferenceSectorsMatchWholePiecesOnly) {
  std::vector<uint8_t> reference(4 * 512, 0);
  reference[100] = 7;  // piece 0: zeros, then a 7
  for (size_t i = 512; i < 3 * 512; ++i) reference[i] = static_cast<uint8_t>(i * 31 + 1);
  reference[2 * 512 + 300] ^= 0xFF;  // piece 2: piece 1 but for one byte; piece 3: empty
  const CReferenceSectors withEmpty(reference.data(), reference.size(), 512);
  const CReferenceSectors withoutEmpty(reference.data(), 3 * 512, 512);
  auto piece = [&](size_t index) {
    return std::vector<uint8_t>(reference.begin() + index * 512, reference.begin() + (index + 1) * 512);
  };
  for (size_t i = 0; i < 3; ++i) {
    std::vector<uint8_t> sector = piece(i);
    EXPECT_TRUE(withoutEmpty.Match(sector.data())) << i;
    sector[511] ^= 1;
    EXPECT_FALSE(withoutEmpty.Match(sector.data())) << i;
  }
  std::vector<uint8_t> mixed = piece(1);
  mixed[300] = reference[2 * 512 + 300];
  mixed[301] ^= 1;
  EXPECT_FALSE(withoutEmpty.Match(mixed.data()));
  const std::vector<uint8_t> empty(512, 0);
  EXPECT_FALSE(withoutEmpty.Match(empty.data()));
  EXPECT_TRUE(withEmpty.Match(empty.data()));
}

TEST(NtfsCompleteTrees, RecordNumbersComeFromTheTablesRunsAndUnmappedClustersHaveNone) {
  CNTFSDataRunList runs;
  runs.AddDataRun({100, 0, 4});  // records 0-15 (8 sectors a cluster)
  runs.AddDataRun({500, 4, 2});  // records 16-23
  EXPECT_EQ(CNTFSDirectoryTreeBuilder::GetMFTNumber(1000 + 800, runs, 1000, 8, 2), 0);
  EXPECT_EQ(CNTFSDirectoryTreeBuilder::GetMFTNumber(1000 + 806, runs, 1000, 8, 2), 3);
  EXPECT_EQ(CNTFSDirectoryTreeBuilder::GetMFTNumber(1000 + 4000 + 10, runs, 1000, 8, 2), 21);
  EXPECT_EQ(CNTFSDirectoryTreeBuilder::GetMFTNumber(1000 + 801, runs, 1000, 8, 2), -1);      // inside a record
  EXPECT_EQ(CNTFSDirectoryTreeBuilder::GetMFTNumber(1000 + 300 * 8, runs, 1000, 8, 2), -1);  // not the table's
  EXPECT_EQ(CNTFSDirectoryTreeBuilder::GetMFTNumber(999, runs, 1000, 8, 2), -1);
}

// The same file met twice (in a found $MFT and again elsewhere): the version
// with the runs lends them to the kept node, and its size with them, so that
// copy-out reads as many bytes as the runs hold.
TEST(NtfsCompleteTrees, MergedNodeTakesTheOtherVersionsSize) {
  const auto node = [](int64_t size) {
    CNTFSFileProperties* p = CNTFSFileProperties::Create();
    p->SetFileName("same.bin");
    p->SetFileSize(size);
    auto* n = new CNTFSFileNode();
    n->SetFileProperties(p);
    return n;
  };
  CNTFSFileNode* kept = node(0);
  CNTFSFileNode* other = node(70000);
  kept->MergeNode(other);
  EXPECT_EQ(kept->GetFileSize(), 70000u);
  kept->Release();
  other->Release();
}

TEST(NtfsCompleteCandidates, StructuresPlaceVolumesAtLeastEightSectorsBeforeThem) {
  using B = CNTFSPartitionInfoBuilder;
  EXPECT_EQ(B::BuildPartitionInfoAccordingtoFileRecord(7, 0, 8, ev::kMFTAlone, 1000, 512), nullptr);
  EXPECT_EQ(B::BuildPartitionInfoAccordingtoFileRecord(100, 13, 8, ev::kMFTAlone, 1000, 512), nullptr);
  EXPECT_EQ(B::BuildPartitionInfoAccordingtoFileRecord(100, 1, 4, ev::kMFTAlone, 1000, 512), nullptr);
  const CandidatePtr c = B::BuildPartitionInfoAccordingtoFileRecord(8, 1, 8, ev::kMFTAlone, 1000, 512);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->GetFirstDataSector(), 0);
  EXPECT_EQ(c->GetClusterCount(), 125);  // to the device's end
  EXPECT_EQ(c->GetTotalSectors(), 1000u);
  std::vector<CandidatePtr> tries;
  B::BuildPartitionInfoAccordingtoFileRecord(64, 4, ev::kMFTAlone, 1000, tries, 512);
  // 1 sector per cluster puts the start 4 sectors before the structure, 32
  // before sector 0.
  ASSERT_EQ(tries.size(), 4u);
  EXPECT_EQ(tries[2]->GetFirstDataSector(), 32);
  EXPECT_EQ(tries.back()->GetFirstDataSector(), 0);
}

TEST(NtfsCompleteCandidates, EvidenceMergesIntoEqualCandidatesAndWithdrawingLastFlagDropsThem) {
  NTFSCandidateSet set;
  CNTFSPartitionInfoBuilder builder(set);
  const auto make = [](int64_t start, uint32_t spc, uint32_t flags) {
    auto c = std::make_unique<CSearchedNTFSPartitionInfo>(512);
    c->SetFirstDataSector(start);
    c->SetSectorsperCluster(spc);
    c->SetPartitionBuildFromFlag(flags);
    return c;
  };
  builder.Insert(make(100, 8, ev::kBootSector));
  builder.Insert(make(100, 8, ev::kBackupBootSector));
  builder.Insert(make(100, 4, ev::kBackupBootSector));
  EXPECT_TRUE(builder.AdjustPartitionBuildFromFlag(*make(100, 8, 0), ev::kMFTAlone, 0));
  EXPECT_FALSE(builder.AdjustPartitionBuildFromFlag(*make(200, 8, 0), ev::kMFTAlone, 0));
  EXPECT_EQ(builder.Equal(*make(100, 8, 0)).size(), 2u);
  // Withdrawing the backup evidence drops the candidate that rested on it
  // alone and keeps the one with other evidence.
  EXPECT_TRUE(builder.AdjustPartitionBuildFromFlag(*make(100, 8, 0), 0, ev::kBackupBootSector | ev::kMFTAlone));
  ASSERT_EQ(set.size(), 2u);
  EXPECT_EQ((*set.begin())->GetSectorsperCluster(), 4u);
  EXPECT_EQ((*std::next(set.begin()))->GetPartitionBuildFromFlags(), ev::kBootSector);
  // A table confirmed by its mirror replaces the weaker "alone" flags.
  builder.Insert(make(300, 8, ev::kMFTAlone | ev::kBootSector));
  builder.AdjustPartitionBuildFromFlag(*make(300, 8, 0), ev::kMFTWithMirror, ev::kMFTWithMirror | ev::kMFTAlone);
  EXPECT_EQ(builder.Equal(*make(300, 8, 0)).front()->GetPartitionBuildFromFlags(),
            ev::kBootSector | ev::kMFTWithMirror);
  EXPECT_EQ(builder.Equal(*make(300, 8, 0)).front()->CalcFileSystemReliabilityScore(), 60u);
}

}  // namespace
