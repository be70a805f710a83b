// The scan operation: how it ends and picks its controller, and a whole-disk
// quick scan through the real engine of a stand-in machine's disk of three
// volumes (NTFS, ext2, NTFS), against The Sleuth Kit's listings.
#include <gtest/gtest.h>

#include "DeviceData.h"
#include "HookedController.h"
#include "NtfsPeers.h"
#include "ScanChecks.h"
#include "app/KVUIDeviceData.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "engine/node/TestNode.h"

namespace {

namespace fs = std::filesystem;

// The disk of make-three-volume-disk.sh on a stand-in machine, listed by the
// device model.
class ThreeVolumeDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto made =
        testsupport::RunCommand("bash " + (testsupport::SourceDir() / "tests/app/make-three-volume-disk.sh").string() +
                                " " + dir_.path().string() + " 2>&1");
    REQUIRE_OR_SKIP(made.exitCode != 77, made.output);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    image_ = dir_ / "disk.img";
    machine_.AddDisk({.name = "sdq", .major = 8, .minor = 64, .size512 = fs::file_size(image_) / 512});
    machine_.SetNode("sdq", image_);
    guard_ = std::make_unique<devicetest::ImageGuard>(image_);
    model_.InitDeviceInfo();
    disk_ = model_.GetDiskStorageByIndex(0);
    ASSERT_TRUE(model_.GetDiskVolumeStorage(disk_, volumes_));
    ASSERT_EQ(volumes_.size(), 3u);
  }

  IStorageDevice* Volume(size_t i) { return *std::next(volumes_.begin(), static_cast<long>(i)); }

  testsupport::TempDir dir_;
  enumtest::FakeMachine machine_;
  fs::path image_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  IStorageDevice* disk_ = nullptr;
  std::list<IStorageDevice*> volumes_;
  std::vector<IStorageDevice*> started_;
};

TEST_F(ThreeVolumeDisk, AWholeDiskQuickScanScansTheNtfsVolumesAndIndexesEveryFileTheSleuthKitLists) {
  KVUIScan scan(&model_, [this](_RECOVERY_CONTROLLER_TYPE kind) { return new HookedController(kind, &started_); });
  scan.SetStatus(KVOperationRunning);
  EXPECT_FALSE(result::IsFailure(scan.DoScan(disk_, nullptr)));
  EXPECT_EQ(scan.GetStatus(), KVOperationIdle);
  EXPECT_EQ(started_, (std::vector<IStorageDevice*>{Volume(0), Volume(2)}));

  const std::vector<IFilesystemNode*> roots = scan.GetFileSystemNode();
  ASSERT_EQ(roots.size(), 2u);
  const int64_t starts[] = {VolumeRecordOf(Volume(0))->startSector, VolumeRecordOf(Volume(2))->startSector};
  size_t files = 0;
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(scan.GetFileNodeDataRecover(roots[i]), nullptr) << "quick scans keep a copy-out object per tree";
    const fs::path fls = dir_ / (i == 0 ? "p1.fls" : "p3.fls");
    for (const auto& entry : ntfspeers::ParseFls(ntfspeers::ReadText(fls))) {
      if (entry.path[0] == '$' || entry.type.find('d') != std::string::npos) continue;
      const auto istat = ntfspeers::ParseIstat(
          testsupport::RunCommandOrFail("istat -z UTC -o " + std::to_string(starts[i]) + " " +
                                        testsupport::ShellQuote(image_.string()) + " " + std::to_string(entry.record)));
      scantest::ExpectIndexed(scan, roots[i], {entry.path}, istat.siCreated, istat.siModified);
      ++files;
    }
  }
  EXPECT_EQ(files, 7u);
  scantest::ExpectOnlyFilesCounted(scan);
  EXPECT_EQ(scan.GetScanFileSize(), files * 5000);
}

TEST_F(ThreeVolumeDisk, AStopDuringTheFirstVolumeEndsTheWholeDisk) {
  KVUIScan* self = nullptr;
  KVUIScan scan(&model_, [&](_RECOVERY_CONTROLLER_TYPE kind) {
    return new HookedController(kind, &started_, true, [&](IStorageDevice*) { self->StopOperation(0); });
  });
  self = &scan;
  scan.SetStatus(KVOperationRunning);
  scan.DoScan(disk_, nullptr);
  EXPECT_EQ(started_, std::vector<IStorageDevice*>{Volume(0)});
  EXPECT_EQ(scan.GetStatus(), KVOperationIdle);
}

TEST_F(ThreeVolumeDisk, AScanEndsWhateverTheControllerDoesAndAnExt2VolumeIsScannedCompletely) {
  std::vector<_RECOVERY_CONTROLLER_TYPE> kinds;
  KVUIScan scan(&model_, [&](_RECOVERY_CONTROLLER_TYPE kind) {
    kinds.push_back(kind);
    return new HookedController(kind, &started_, false);  // fails without a final report
  });
  scan.SetStatus(KVOperationRunning);
  EXPECT_EQ(scan.DoScan(Volume(0), nullptr), HookedController::kFailure);
  EXPECT_EQ(scan.GetStatus(), KVOperationIdle) << "ended without the engine's final report";
  EXPECT_EQ(scan.IsNeedUIUpdate(), 1);
  EXPECT_FALSE(scan.IsDeepScan());
  scan.SetStatus(KVOperationRunning);
  EXPECT_EQ(scan.DoScan(nullptr, nullptr), KVUIScan::kNothingScanned);
  EXPECT_EQ(scan.GetStatus(), KVOperationIdle);
  scan.SetStatus(KVOperationRunning);
  scan.DoScan(Volume(1), nullptr);
  EXPECT_TRUE(scan.IsDeepScan()) << "no quick searcher reads ext2";
  EXPECT_EQ(kinds, (std::vector<_RECOVERY_CONTROLLER_TYPE>{RECOVERY_CONTROLLER_DELETED, RECOVERY_CONTROLLER_COMPLETE}));

  TestNode photo("Photo.JPG", false), readme("README", false), tarball("a.tar.GZ", false);
  EXPECT_EQ(KVUIScan::GetNodeExt(&photo) + KVUIScan::GetNodeExt(&readme) + "/" + KVUIScan::GetNodeExt(&tarball),
            "jpg/gz");
}

}  // namespace
