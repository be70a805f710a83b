// A quick scan through the application's scan operation and the real engine
// of the NTFS fixture image (filled through ntfs-3g), lying as the one
// partition of an MBR disk on a stand-in machine: every file fls -r -p lists
// is indexed under its root, its category and the months istat gives it.
#include <gtest/gtest.h>

#include "NtfsFixtures.h"
#include "NtfsPeers.h"
#include "ScanChecks.h"
#include "app/KVUIDeviceData.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(NtfsScanIndexes, EveryFileTheSleuthKitListsIsUnderItsRootCategoryAndMonths) {
  REQUIRE_NTFS_FIXTURES();
  const fs::path fixtures = ntfsfixtures::FixtureDir();
  enumtest::FakeMachine machine;
  const fs::path disk = machine / "disk.img";
  devicetest::MakeSparseImage(disk, fs::file_size(fixtures / "default.img") + (1 << 20));
  enumtest::MakeMbr(disk, {"1 : start=2048, type=7"});
  testsupport::RunCommandOrFail("dd if=" + testsupport::ShellQuote((fixtures / "default.img").string()) +
                                " of=" + testsupport::ShellQuote(disk.string()) +
                                " bs=512 seek=2048 conv=notrunc,sparse status=none");
  machine.AddDisk({.name = "sdp", .major = 8, .minor = 80, .size512 = fs::file_size(disk) / 512});
  machine.SetNode("sdp", disk);
  devicetest::ImageGuard guard(disk);

  KVUIDeviceData model([&] { return std::make_unique<CEnumDeviceEx>(machine.Source()); });
  model.InitDeviceInfo();
  IStorageDevice* volume = model.GetStorageByDiskVolumeIndex(0, 0);
  ASSERT_NE(volume, nullptr);
  KVUIScan scan(&model);
  scan.SetStatus(KVOperationRunning);
  EXPECT_FALSE(result::IsFailure(scan.DoScan(volume, nullptr)));
  EXPECT_EQ(scan.GetStatus(), KVOperationIdle);
  EXPECT_FALSE(scan.IsDeepScan());
  const auto roots = scan.GetFileSystemNode();
  ASSERT_EQ(roots.size(), 1u);

  std::map<uint64_t, std::vector<std::string>> links;  // record -> its paths
  for (const auto& entry : ntfspeers::ParseFls(ntfspeers::ReadText(fixtures / "default.img.fls.txt"))) {
    // Metafiles and fls's orphans (shown elsewhere, under the lost-file folder).
    if (entry.path[0] == '$' || entry.type.find('d') != std::string::npos) continue;
    const auto istat =
        ntfspeers::ParseIstat(ntfspeers::ReadText(fixtures / "default.istat" / std::to_string(entry.record)));
    // A deleted name whose record another file took shows as that file.
    if (entry.deleted && istat.allocated) continue;
    links[entry.record].push_back(entry.path);
  }
  for (const auto& [record, paths] : links) {
    const auto istat = ntfspeers::ParseIstat(ntfspeers::ReadText(fixtures / "default.istat" / std::to_string(record)));
    scantest::ExpectIndexed(scan, roots[0], paths, istat.siCreated, istat.siModified);
  }
  const size_t files = links.size();
  EXPECT_GT(files, 10u);
  scantest::ExpectOnlyFilesCounted(scan);
}

}  // namespace
