// The complete scan's exFAT searcher over the disk of
// tests/fixtures/exfat/make-exfat-scale.sh: a volume of 208,888 folders whose
// last level is empty, then a small volume whose root folder is gone, with
// the partition table and every boot region wiped. The first volume's
// folders that fit nothing on their own must not use up what the second
// needs to be placed from its folder tree: both volumes sit where their boot
// sectors put them, and through the conformance harness every entry the
// peers list is shown and every file copies out like its original.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "exfat/ExFatSearchController.h"
#include "support/BytesDevice.h"
#include "support/Conformance.h"
#include "support/Recorders.h"
#include "support/TestSupport.h"

namespace {

std::filesystem::path Dir() {
  return conformance::FixtureDir("CLIPMENDER_EXFAT_SCALE_FIXTURES", CLIPMENDER_EXFAT_SCALE_FIXTURE_DIR);
}

std::string Prepare() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-scale.sh", Dir());
}

TEST(ExFatScale, BothVolumesArePlacedWhereTheirBootSectorsPutThem) {
  const std::string why = Prepare();
  if (!why.empty()) GTEST_SKIP() << why;
  std::vector<uint8_t> bytes = testsupport::ReadFile(Dir() / "scale.img");
  testsupport::BytesDevice device(bytes.data(), bytes.size());
  testsupport::RecordingBuilder builder;
  CExFatSearchController searcher;
  searcher.SetDevice(&device);
  searcher.SetBlockSize(8192);
  searcher.SetDirecotryTreeBuilder(&builder);
  searcher.PreparetoSearch();
  for (int64_t first = 0; first < device.GetTotalSectors(); first += 8192) {
    searcher.AnalyzeBlock(first, std::min<int64_t>(8192, device.GetTotalSectors() - first));
  }
  searcher.EndBlockPass();
  searcher.EndSearch(1);

  std::ifstream geometry(Dir() / "scale.img.geometry.tsv");
  const auto& volumes = searcher.GetPartitions();
  size_t index = 0;
  for (std::string line; std::getline(geometry, line); ++index) {
    std::istringstream fields(line);
    int64_t volume = 0, start = 0, heap = 0, spc = 0;
    fields >> volume >> start >> heap >> spc;
    ASSERT_LT(index, volumes.size()) << "volume " << volume << " not placed";
    EXPECT_EQ(volumes[index]->GetHeapFirstSector(), heap) << volume;
    EXPECT_EQ(volumes[index]->GetSectorsPerCluster(), spc) << volume;
  }
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(volumes.size(), 2u);
  // The disk still asks more fitting than one fixed allowance for the whole
  // scan would give (so it keeps testing what it is for), and every kind of
  // check stayed within its own.
  const CPartitionBuilder::Steps& steps = searcher.GetBuilder().GetSteps();
  EXPECT_GT(steps.fitting, CPartitionBuilder::kFittingBase);
  EXPECT_GE(steps.folders, 208888u);
  EXPECT_LT(steps.checks, steps.checksAllowed);
  EXPECT_LT(steps.winnowing, steps.winnowingAllowed);
  std::string sum;
  std::ifstream(Dir() / "scale.img.sha256") >> sum;
  EXPECT_EQ(testsupport::Sha256(Dir() / "scale.img"), sum);
}

std::vector<conformance::Row> Rows() {
  conformance::Row row;
  row.name = "scale";
  row.image = Dir() / "scale.img";
  row.expect = Dir() / "scale.img.expect.tsv";
  row.complete = true;
  row.prepare = Prepare;
  return {row};
}

CONFORMANCE_ROWS(ExFatScale, Rows());

}  // namespace
