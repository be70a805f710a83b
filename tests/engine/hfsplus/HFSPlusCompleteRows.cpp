// Complete scans of disks holding HFS+ volumes (the samples, and disks made
// of them by tests/fixtures/hfsplus-disk/make-hfsplus-disk-images.sh with
// sgdisk and dd): the volumes the HFS+ searcher reports are where mmls puts
// them on the intact copy, and through the conformance harness every volume's
// files are those its peers list, live and deleted, and copy out like the
// originals, also with the partition map wiped, behind 4096-byte sectors and
// cut short.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

#include "BenchDoubles.h"
#include "CompleteScanBench.h"
#include "HFSPlusQuickScan.h"
#include "SearchedPartitionInfo.h"
#include "engine/device/DeviceTestSupport.h"
#include "scan/CRecoveryController.h"
#include "support/BytesDevice.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using conformance::Row;
using conformance::Through;

fs::path Samples() { return conformance::FixtureDir("CLIPMENDER_HFSPLUS_FIXTURES", CLIPMENDER_HFSPLUS_QUICK_DIR); }
fs::path Disks() {
  return conformance::FixtureDir("CLIPMENDER_HFSPLUS_DISK_FIXTURES", CLIPMENDER_HFSPLUS_DISK_FIXTURE_DIR);
}

std::string EnsureDisks() {
  // The samples first, in the folder the other HFS+ rows use; the disk
  // script finds them there.
  std::string why;
  hfsquick::RowFixtures(&why);
  if (!why.empty()) return why;
  ::setenv("CLIPMENDER_HFSPLUS_FIXTURES", Samples().c_str(), 1);
  return conformance::EnsureFixtures(
      testsupport::SourceDir() / "tests/fixtures/hfsplus-disk/make-hfsplus-disk-images.sh", Disks());
}

using Extent = std::pair<int64_t, int64_t>;  // start, sectors

std::vector<Extent> ReadPartitions(const fs::path& tsv) {
  std::vector<Extent> out;
  std::ifstream in(tsv);
  EXPECT_TRUE(in.good()) << tsv;
  for (int64_t start = 0, sectors = 0; in >> start >> sectors;) out.emplace_back(start, sectors);
  return out;
}

// A partition scan of `device` the way the application runs one: what the
// HFS+ searcher reports (in 512-byte sectors), each record carrying its
// place as its index.
std::vector<Extent> Reported(IStorageDevice* device) {
  std::vector<Extent> out;
  ResultCode answer = 0;
  const bool found = bench::PartitionScan(
      device, SEARCHER_TYPE_HFSPLUS,
      [&](ICompleteFileSystemSearchController& searcher) {
        std::vector<CSearchedPartitionInfo*> records = TakeSearchedPartitionInfo(&searcher, 4);
        for (size_t i = 0; i < records.size(); ++i) {
          EXPECT_EQ(records[i]->GetPartitionIndex(), i);
          EXPECT_EQ(records[i]->GetFileSystemType(), FILE_SYSTEM_TYPE_HFSPLUS);
          EXPECT_EQ(records[i]->GetFirstDataSector(), records[i]->GetStartSector());
          // In 512-byte sectors, whatever unit the record counts in.
          const int64_t unit = records[i]->GetSectorSize() / 512;
          out.emplace_back(records[i]->GetStartSector() * unit,
                           static_cast<int64_t>(records[i]->GetTotalSectors()) * unit);
          delete records[i];
        }
      },
      &answer);
  EXPECT_EQ(answer, 0u);
  EXPECT_TRUE(found) << "the complete scan made no HFS+ searcher";
  return out;
}

TEST(HFSPlusCompleteDisk, VolumesAreWhereMmlsPutsThemOnTheIntactCopy) {
  const std::string why = EnsureDisks();
  REQUIRE_OR_SKIP(why.empty(), why);
  const std::pair<fs::path, fs::path> disks[] = {
      {Samples() / "lx-gpt-hfsx.img", Disks() / "gpt-hfsx.partitions.tsv"},
      {Disks() / "gpt-hfsx-nogpt.img", Disks() / "gpt-hfsx-nogpt.img.partitions.tsv"},
      {Disks() / "two.img", Disks() / "two.img.partitions.tsv"},
      {Disks() / "two-nogpt.img", Disks() / "two-nogpt.img.partitions.tsv"}};
  for (const auto& [image, tsv] : disks) {
    SCOPED_TRACE(image.filename());
    const std::vector<Extent> expected = ReadPartitions(tsv);
    ASSERT_FALSE(expected.empty());
    devicetest::ImageGuard guard(image);
    {
      devicetest::DevicePtr disk = devicetest::OpenDisk(image.string());
      ASSERT_NE(disk, nullptr);
      EXPECT_EQ(Reported(disk.get()), expected);
    }
    // The same bytes behind 4096-byte sectors.
    const std::vector<uint8_t> bytes = testsupport::ReadFile(image);
    testsupport::BytesDevice large(bytes.data(), bytes.size(), 4096);
    EXPECT_EQ(Reported(&large), expected);
  }
}

std::vector<Row> Rows() {
  auto row = [](std::string name, fs::path image, const std::string& expect) {
    Row r;
    r.name = std::move(name);
    r.image = std::move(image);
    r.expect = Disks() / expect;
    r.complete = true;
    r.prepare = EnsureDisks;
    return r;
  };
  std::vector<Row> rows{row("gpt_hfsx", Samples() / "lx-gpt-hfsx.img", "lx-gpt-hfsx.complete.tsv"),
                        row("gpt_hfsx_nogpt", Disks() / "gpt-hfsx-nogpt.img", "gpt-hfsx-nogpt.img.expect.tsv"),
                        row("two", Disks() / "two.img", "two.img.expect.tsv"),
                        row("two_nogpt", Disks() / "two-nogpt.img", "two-nogpt.img.expect.tsv"),
                        // A volume at the device's start: its journal's deleted files, and
                        // with the journal info block gone, what the journal's leaf nodes
                        // still say.
                        row("jdel", Samples() / "lx-hfsplus-jdel.img", "lx-hfsplus-jdel.complete.tsv"),
                        row("jdel_nojib", Disks() / "jdel-nojib.img", "jdel-nojib.img.expect.tsv"),
                        // Deleted files whose blocks a live file took since copy out
                        // reported failed.
                        row("jhole", Samples() / "lx-hfsplus-jhole.img", "lx-hfsplus-jhole.complete.tsv")};
  // 1 KiB blocks and 512-byte-aligned starts behind 4096-byte sectors.
  for (Row loop : {row("gpt_hfsx_nogpt_4096", Disks() / "gpt-hfsx-nogpt.img", "gpt-hfsx-nogpt.img.expect.tsv"),
                   row("two_nogpt_4096", Disks() / "two-nogpt.img", "two-nogpt.img.expect.tsv")}) {
    loop.through = Through::kLoop;
    loop.sectorSize = 4096;
    rows.push_back(loop);
  }
  Row cut = row("two_nogpt_cut", Disks() / "two-nogpt.img", "two-nogpt.img.expect.tsv");
  cut.keep = 0.6;
  rows.push_back(cut);
  // The carver brings back the gzip-compressed event logs of the volume
  // written by its OS besides.
  for (Row& r : rows) {
    if (r.name.rfind("two", 0) == 0) r.carved = r.image.string() + ".carved.tsv";
  }
  return rows;
}

CONFORMANCE_ROWS(HFSPlusComplete, Rows());

}  // namespace
