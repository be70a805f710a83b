// Deleted files whose runs were cleared, brought back by the quick scan from
// what the volume's $LogFile holds (tests/fixtures/ntfs/logfile), through the
// conformance harness: every cluster size, 4096-byte sectors, inside an MBR
// disk, and hostile logs that must neither crash the scan nor change what it
// gives back (what a damaged log loses is in its expectation file). Also the
// log finder on its own, and the log's record pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DataRunList.h"
#include "engine/ntfs_logfile/LogFileScenario.h"
#include "ntfs/FindFileFromLogFile.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/RCRDRecord.h"
#include "support/BytesDevice.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using ntfslogfile::ScenarioManifest;

std::vector<conformance::Row> Rows() {
  const fs::path dir = ntfslogfile::FixtureDir();
  auto row = [&](std::string name, const fs::path& image) {
    conformance::Row r;
    std::replace(name.begin(), name.end(), '-', '_');
    r.name = name;
    r.image = image;
    r.expect = image.string() + ".expect.tsv";
    r.prepare = ntfslogfile::EnsureFixtures;
    return r;
  };
  std::vector<conformance::Row> rows;
  for (const std::string g : {"c4096", "c512", "c2048", "c65536", "s4096"}) {
    rows.push_back(row(g, dir / g / "volume.img"));
    if (g == "s4096") rows.back().sectorSize = 4096;
  }
  rows.push_back(row("c4096_mbr", dir / "c4096/volume.img"));
  rows.back().mbr = true;
  for (const std::string v : {"truncated", "garbage-pages", "overrun-length", "huge-length", "undo-outside",
                              "image-threshold", "short-records", "wrap", "short-log"}) {
    rows.push_back(row(v, dir / "c4096" / ("volume-" + v + ".img")));
  }
  return rows;
}

CONFORMANCE_ROWS(LogFile, Rows());

class LogFileScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = ntfslogfile::EnsureFixtures();
    REQUIRE_OR_SKIP(why.empty(), why);
    ASSERT_TRUE(m.Load(dir / "manifest.txt"));
  }
  static std::string File(size_t i, const std::string& field) { return "files." + std::to_string(i) + "." + field; }
  // The clusters istat listed for file `i` before its deletion, in file order.
  std::vector<int64_t> ManifestClusters(size_t i) const {
    std::vector<int64_t> clusters;
    for (size_t r = 0; r < m.Count(File(i, "runs")); ++r) {
      const std::string run = File(i, "runs." + std::to_string(r));
      for (uint64_t k = 0; k < m.Number(run + ".2"); ++k) clusters.push_back(int64_t(m.Number(run + ".1") + k));
    }
    return clusters;
  }
  const fs::path dir = ntfslogfile::FixtureDir() / "c4096";
  const fs::path image = dir / "volume.img";
  ScenarioManifest m;
};

// The finder alone, for a volume 1 MiB into its device: every address it
// reads counts from the volume's first sector, and the deleted record it is
// asked about is handed back unchanged.
TEST_F(LogFileScenario, FinderReadsTheLogOfAVolumeInsideItsDevice) {
  constexpr int64_t kLead = 2048;
  Bytes shifted(kLead * 512);
  const Bytes volume = testsupport::ReadFile(image);
  shifted.insert(shifted.end(), volume.begin(), volume.end());
  testsupport::BytesDevice device(shifted.data(), shifted.size());
  CNTFSDataRunList mft;  // as istat gave it
  for (size_t i = 0; i < m.Count("volume.mft_runs"); ++i) {
    const std::string run = "volume.mft_runs." + std::to_string(i);
    mft.AddDataRun({int64_t(m.Number(run + ".1")), int64_t(m.Number(run + ".0")), int64_t(m.Number(run + ".2"))});
  }
  const auto spc = uint8_t(m.Number("volume.sectors_per_cluster"));
  CFindFileFromLogFile finder;
  ASSERT_TRUE(finder.Init(&device, &mft, spc, kLead, uint32_t(m.Number("volume.record_size"))));
  ASSERT_TRUE(finder.IsLogFileFound());
  finder.Analyzer();
  // Every record the generator wrote; three carry FILE images (two of
  // deleted files, one of a live one), two undo data of sizes and pairs.
  EXPECT_EQ(finder.GetExaminedRecordCount(), m.Count("log.records"));
  EXPECT_EQ(finder.GetFoundRecordCount(), 3u);
  EXPECT_EQ(finder.GetUndoRecordCount(), 2u);

  const int f = m.Find("files", "path", "fragmented.bin");
  ASSERT_GE(f, 0);
  std::vector<uint8_t> record = testsupport::ReadFile(dir / m.Text(File(size_t(f), "record_cleared")));
  const std::vector<uint8_t> before = record;
  std::unique_ptr<CNTFSFileProperties, void (*)(CNTFSFileProperties*)> properties(CNTFSFileProperties::Create(),
                                                                                  CNTFSFileProperties::Destory);
  properties->SetState(CNTFSFileProperties::kStateDeleted);
  properties->SetFileName(m.Text(File(size_t(f), "name")).c_str());
  ASSERT_TRUE(finder.ReplaceFileRecordInfo(record.data(), int(record.size()), *properties,
                                           int64_t(m.Number(File(size_t(f), "parent_mft"))), nullptr));
  EXPECT_EQ(record, before);
  EXPECT_EQ(properties->GetFileSize(), m.Number(File(size_t(f), "size")));
  std::vector<int64_t> clusters;
  IDataRunList* list = properties->GetDataRunList();
  ASSERT_NE(list, nullptr);
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    for (int64_t k = 0; k < run->length; ++k) clusters.push_back(run->start + k);
  }
  list->Release();
  EXPECT_EQ(clusters, ManifestClusters(size_t(f)));

  // An image the log wrote to another record lends nothing, even to a
  // record that now names the same file in the same folder: the record of
  // Other/small.txt asked about as if it were the live keep.txt.
  const int other = m.Find("files", "path", "Other/small.txt");
  const int live = m.Find("files", "path", "keep.txt");
  ASSERT_GE(other, 0);
  ASSERT_GE(live, 0);
  record = testsupport::ReadFile(dir / m.Text(File(size_t(other), "record_cleared")));
  properties.reset(CNTFSFileProperties::Create());
  properties->SetState(CNTFSFileProperties::kStateDeleted);
  properties->SetFileName(m.Text(File(size_t(live), "name")).c_str());
  EXPECT_FALSE(finder.ReplaceFileRecordInfo(record.data(), int(record.size()), *properties,
                                            int64_t(m.Number(File(size_t(live), "parent_mft"))), nullptr));
  EXPECT_EQ(properties->GetFileSize(), 0u);

  // Taken as if the volume started at the device's first sector, there is
  // no log to find.
  CFindFileFromLogFile misplaced;
  misplaced.Init(&device, &mft, spc, 0, 1024);
  EXPECT_FALSE(misplaced.IsLogFileFound());
}

// Pages 0 and 1 are restart pages, 2 and 3 the copies of the last record
// page, record pages from 4: the generator's record pages pass the page
// test, nothing else in the log does, and undone, each sector end holds the
// word the update-sequence array saved.
TEST_F(LogFileScenario, TheRecordPagesPassAndNothingElseInTheLogDoes) {
  ASSERT_EQ(m.Count("log.log_clusters"), 1u);
  const uint64_t first = m.Number("log.log_clusters.0.1") * m.Number("log.cluster_size");
  const uint64_t size = m.Number("log.log_size");
  const Bytes volume = testsupport::ReadFile(image);
  ASSERT_GE(volume.size(), first + size);
  std::set<uint64_t> recordPages;
  for (size_t i = 0; i < m.Count("log.pages_written"); ++i) {
    const uint64_t page = m.Number("log.pages_written." + std::to_string(i));
    if (page >= 2) recordPages.insert(page);
  }
  ASSERT_GE(recordPages.size(), 3u);
  int passed = 0;
  for (uint64_t at = 0; at + 4096 <= size; at += 512) {
    Bytes page(volume.begin() + static_cast<std::ptrdiff_t>(first + at),
               volume.begin() + static_cast<std::ptrdiff_t>(first + at + 4096));
    const bool expected = at % 4096 == 0 && recordPages.count(at / 4096) == 1;
    EXPECT_EQ(CRCRDRecord::IsValid(page.data(), 4096), expected) << "log offset " << at;
    if (at % 4096 == 0) {
      EXPECT_EQ(CRCRDRecord::IsValidRCRDRecordFirstSector(page.data(), 512), expected);
    }
    if (!expected) continue;
    ++passed;
    const Bytes fixed = page;
    ASSERT_TRUE(CRCRDRecord::Unfixup(page.data(), 4096));
    for (int sector = 0; sector < 8; ++sector) {
      EXPECT_EQ(page[512 * sector + 510], fixed[42 + 2 * sector]);
      EXPECT_EQ(page[512 * sector + 511], fixed[43 + 2 * sector]);
    }
  }
  EXPECT_EQ(passed, static_cast<int>(recordPages.size()));
}

}  // namespace
