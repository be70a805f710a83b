// The quick scan end to end on the shared samples: what the searcher hands
// the tree builder against each image's expectation file (written by
// tests/fixtures/hfsplus/make-hfsplus-images.sh from the manifests and The
// Sleuth Kit's icat), and every live file copied out through copy-out.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "DataRecovery.h"
#include "HFSPlusQuickScan.h"
#include "HFSPlusTestImages.h"
#include "SearchedPartitionInfo.h"
#include "engine/device/DeviceTestSupport.h"
#include "hfsplus/CHFSPlusJournal.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

struct Case {
  const char* name;
  int64_t startSector;
  const char* manifest = nullptr;  // the sample it was made from, when not its own
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class QuickScanImages : public ::testing::TestWithParam<Case> {};

TEST_P(QuickScanImages, ShowsEveryLiveFileAndCopiesItOut) {
  const Case& c = GetParam();
  std::string why;
  const fs::path dir = hfsquick::Fixtures(&why);
  REQUIRE_OR_SKIP(!dir.empty(), why);
  const fs::path image = dir / (std::string(c.name) + ".img");
  devicetest::ImageGuard guard(image);
  auto open = hfstest::Open(image, c.startSector);
  ASSERT_NE(open->volumeDevice, nullptr);
  hfsquick::Scan scan(open->volumeDevice);
  ASSERT_EQ(scan.result, 0);

  // Hard links and symlinks have no icat bytes in the expectation file; the
  // manifest's md5 stands for them.
  std::map<std::string, std::string> md5s;
  const fs::path manifest =
      testsupport::SharedFixturesDir() / "hfsplus" / (std::string(c.manifest ? c.manifest : c.name) + ".manifest.tsv");
  if (fs::exists(manifest)) {
    for (const auto& row : hfstest::ReadManifest(manifest)) md5s[hfsquick::Nfc(row.path)] = row.md5;
  }
  testsupport::TempDir out;
  size_t files = 0, compressed = 0;
  for (const auto& e : hfsquick::ReadExpect(image.string() + ".expect.tsv")) {
    SCOPED_TRACE(e.path);
    const hfsquick::Shown* shown = scan.Find(e.path, e.deleted);
    ASSERT_NE(shown, nullptr) << "not shown";
    EXPECT_EQ(shown->node->IsDirectory() != 0, e.folder);
    // A file journaled in two transactions is shown once.
    if (e.deleted) {
      EXPECT_EQ(scan.deleted.count(e.path), 1u);
    }
    if (e.folder) continue;
    ++files;
    EXPECT_EQ(static_cast<int64_t>(shown->node->GetFileSize()), e.size);
    if (e.size == 0) continue;  // copy-out makes no reader for empty files
    const auto bytes = scan.CopyOut(shown->node, out.path() / "copy");
    ASSERT_TRUE(bytes.has_value());
    if (e.sha256 != "-") {
      EXPECT_EQ(testsupport::Sha256(out.path() / "copy"), e.sha256);
    } else {
      ASSERT_TRUE(md5s.count(e.path));
      EXPECT_EQ(hfstest::Md5(*bytes), md5s[e.path]);
    }
    // A compressed file whose blocks another file may hold now (a deleted
    // one's, or a loaded result's judged against the volume) still decodes,
    // but is not recovered.
    if (shown->node->IsCompressed() != 0) {
      ++compressed;
      shown->node->SetContentUnsure(true);
      EXPECT_FALSE(scan.CopyOut(shown->node, out.path() / "unsure").has_value());
      shown->node->SetContentUnsure(false);
    }
  }
  EXPECT_GT(files, 0u);
  if (std::string(c.name) == "lx-hfsplus-jdel") {
    EXPECT_GT(compressed, 0u) << "no compressed file copied";
  }
  // Journal records of files still live (the real journal holds only such)
  // show nothing deleted.
  size_t expectedDeleted = 0;
  for (const auto& e : hfsquick::ReadExpect(image.string() + ".expect.tsv")) expectedDeleted += e.deleted ? 1 : 0;
  EXPECT_EQ(scan.deleted.size(), expectedDeleted) << (scan.deleted.empty() ? "" : scan.deleted.begin()->first);
}

INSTANTIATE_TEST_SUITE_P(Samples, QuickScanImages,
                         ::testing::Values(Case{"lx-hfsplus", 0}, Case{"lx-hfsplus-j", 0}, Case{"lx-hfsx-j", 0},
                                           Case{"lx-gpt-hfsx", 2048}, Case{"nps-hfsjtest1", 0},
                                           Case{"lx-hfsplus-jdel", 0, "lx-hfsplus-j"}),
                         [](const auto& info) { return hfstest::TestName(info.param.name); });

// Through a partition seen as part of the whole GPT disk, the searcher
// reports one record whose clusters are the volume's blocks in the device's
// sectors.
TEST(QuickScanRecord, DescribesTheScannedVolume) {
  std::string why;
  const fs::path dir = hfsquick::Fixtures(&why);
  REQUIRE_OR_SKIP(!dir.empty(), why);
  auto open = hfstest::Open(dir / "lx-gpt-hfsx.img", 2048);
  hfsquick::Scan scan(open->volumeDevice);
  ASSERT_EQ(scan.result, 0);
  EXPECT_EQ(scan.searcher->GetSearchedPartitionInfo(nullptr, 0), 1);
  CSearchedPartitionInfo* info = nullptr;
  ASSERT_EQ(scan.searcher->GetSearchedPartitionInfo(&info, 1), 1);
  std::unique_ptr<CSearchedPartitionInfo> owned(info);
  EXPECT_EQ(info->GetFileSystemType(), FILE_SYSTEM_TYPE_HFSPLUS);
  EXPECT_EQ(info->GetSectorsperCluster(), 2u);  // 1 KiB blocks, 512-byte sectors
  EXPECT_EQ(info->GetStartSector(), 0);
  EXPECT_EQ(info->GetTotalSectors(), static_cast<uint64_t>(open->volumeDevice->GetTotalSectors()));
  EXPECT_NE(info->GetPrivateData(), nullptr);
}

// A device that is not an HFS+ volume is a failed scan, not an empty one;
// the builder hears nothing.
TEST(QuickScanRecord, AnUnreadableVolumeIsAFailure) {
  std::string why;
  const fs::path dir = hfsquick::Fixtures(&why);
  REQUIRE_OR_SKIP(!dir.empty(), why);
  auto open = hfstest::Open(dir / "lx-gpt-hfsx.img", 0);  // the disk, not its partition
  hfsquick::Scan scan(open->disk);
  EXPECT_TRUE(result::IsFailure(scan.result));
  EXPECT_TRUE(scan.builder.nodes.empty());
  EXPECT_EQ(scan.searcher->GetSearchedPartitionInfo(nullptr, 1), 0);
}

// The journal of the image written by the original OS: its header checks
// pass and the sweep goes round the buffer exactly once.
TEST(QuickScanJournal, RealJournalIsSweptOnce) {
  std::string why;
  const fs::path dir = hfsquick::Fixtures(&why);
  REQUIRE_OR_SKIP(!dir.empty(), why);
  auto open = hfstest::Open(dir / "nps-hfsjtest1.img", 0);
  CHFSPlusJournal* journal = open->volume->GetJournal();
  ASSERT_NE(journal, nullptr);
  ASSERT_EQ(journal->GetLastError(), 0);
  EXPECT_FALSE(journal->IsBigEndian());
  EXPECT_EQ(journal->GetJournalSize(), 8388608u);  // istat of /.journal
  CHFSPlusJournalRecords catalog(CHFSPlusJournalRecords::Kind::kCatalog, hfsplus::kCaseFoldingCompare);
  CHFSPlusJournalRecords extents(CHFSPlusJournalRecords::Kind::kExtents, 0);
  CHFSPlusJournalRecords attributes(CHFSPlusJournalRecords::Kind::kAttributes, 0);
  EXPECT_EQ(journal->GetDeleteRecord(nullptr, catalog, extents, attributes), 0);
  const auto& counted = journal->GetCounters();
  EXPECT_GE(counted.bytesSwept, journal->GetJournalSize() - journal->GetHeaderSize());
  EXPECT_LT(counted.bytesSwept, journal->GetJournalSize() - journal->GetHeaderSize() + 0x100000);
  EXPECT_GT(counted.blockLists, 0u);
  EXPECT_GT(counted.leafNodes, 0u);
}

}  // namespace
