// The scan operation over the real engine and the device list of a stand-in
// machine: a disk of three volumes (NTFS, ext2, NTFS) made by sfdisk, mkntfs,
// ntfscp and mkfs.ext2, with The Sleuth Kit's listings as the expectation;
// and the ends of a scan that the engine cannot show (a controller failing
// without its final report, a file system no quick searcher reads).
#include <gtest/gtest.h>

#include "DeviceData.h"
#include "NtfsPeers.h"
#include "ScanChecks.h"
#include "app/KVUIDeviceData.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "engine/node/TestNode.h"
#include "support/StubDevice.h"

namespace {

namespace fs = std::filesystem;
using scantest::RecordingController;

// A volume whose record says `fileSystem`; reads nothing.
class RecordVolume final : public testsupport::StubDevice {
 public:
  explicit RecordVolume(uint32_t fileSystem) {
    auto* info = new CCollectedVolumeDeviceInfoStruct();
    info->fileSystemType = fileSystem;
    SetPrivateData(CreateVolumeDeviceData(info));
  }
  int ReadSector(void*, int64_t, int64_t) override { return 0; }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return 2048; }
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }
  ResultCode GetLastError() override { return 0; }
};

// A controller that fails at once, without a final report.
class FailingController final : public IRecoveryController {
 public:
  explicit FailingController(_RECOVERY_CONTROLLER_TYPE kind) : kind_(kind) {}
  _RECOVERY_CONTROLLER_TYPE thisType() const override { return kind_; }
  int Initialize(IRecoveryFilter*) override { return 1; }
  ResultCode StartDataRecovery(IStorageDevice*, IProgress*, IDrirectoryTree*) override { return kFailure; }
  IDataRecovery* GetDataRecovery(_tagSearcherType) const override { return nullptr; }
  void Release() override { delete this; }
  void SetRestoreScanSink(RestoreScanSink*) override {}
  static constexpr ResultCode kFailure = 0x0104000100000001ull;

 private:
  _RECOVERY_CONTROLLER_TYPE kind_;
};

TEST(ScanOperationEnds, EvenWhenTheControllerFailsWithoutItsFinalReport) {
  std::vector<_RECOVERY_CONTROLLER_TYPE> kinds;
  KVUIScan scan(nullptr, [&](_RECOVERY_CONTROLLER_TYPE kind) -> IRecoveryController* {
    kinds.push_back(kind);
    return new FailingController(kind);
  });
  RecordVolume ntfs(FILE_SYSTEM_TYPE_NTFS);
  scan.SetStatus(KVOperationRunning);
  EXPECT_EQ(scan.DoScan(&ntfs, nullptr), FailingController::kFailure);
  EXPECT_EQ(scan.GetStatus(), KVOperationIdle);
  EXPECT_EQ(scan.IsNeedUIUpdate(), 1);
  EXPECT_EQ(kinds, std::vector<_RECOVERY_CONTROLLER_TYPE>{RECOVERY_CONTROLLER_DELETED});
  EXPECT_FALSE(scan.IsDeepScan());

  // Nothing to scan ends the operation too.
  scan.SetStatus(KVOperationRunning);
  EXPECT_EQ(scan.DoScan(nullptr, nullptr), KVUIScan::kNothingScanned);
  EXPECT_EQ(scan.GetStatus(), KVOperationIdle);
}

TEST(ScanOperationEnds, AQuickRequestForAFileSystemNoQuickSearcherReadsBecomesACompleteScan) {
  std::vector<_RECOVERY_CONTROLLER_TYPE> kinds;
  KVUIScan scan(nullptr, [&](_RECOVERY_CONTROLLER_TYPE kind) -> IRecoveryController* {
    kinds.push_back(kind);
    return new FailingController(kind);
  });
  RecordVolume ext2(FILE_SYSTEM_TYPE_EXT2), unknown(FILE_SYSTEM_TYPE_UNKNOWN);
  for (RecordVolume* volume : {&ext2, &unknown}) {
    scan.SetDeepScan(0);
    scan.SetStatus(KVOperationRunning);
    scan.DoScan(volume, nullptr);
    EXPECT_TRUE(scan.IsDeepScan());
  }
  EXPECT_EQ(kinds,
            (std::vector<_RECOVERY_CONTROLLER_TYPE>{RECOVERY_CONTROLLER_COMPLETE, RECOVERY_CONTROLLER_COMPLETE}));
}

TEST(ScanOperationEnds, ExtensionsAreTheTextAfterTheLastDotLowerCased) {
  TestNode photo("Photo.JPG", false), readme("README", false), tarball("a.tar.GZ", false);
  EXPECT_EQ(KVUIScan::GetNodeExt(&photo), "jpg");
  EXPECT_EQ(KVUIScan::GetNodeExt(&readme), "");
  EXPECT_EQ(KVUIScan::GetNodeExt(&tarball), "gz");
  EXPECT_EQ(KVUIScan::GetNodeExt(nullptr), "");
}

// The disk of make-three-volume-disk.sh on a stand-in machine, listed by the
// device model; made once for the suite.
class ThreeVolumeDisk : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir();
    const auto script = testsupport::SourceDir() / "tests/app/make-three-volume-disk.sh";
    const auto made = testsupport::RunCommand("bash " + testsupport::ShellQuote(script.string()) + " " +
                                              testsupport::ShellQuote(dir_->path().string()) + " 2>&1");
    why_ = made.exitCode == 0 ? "" : made.output;
    skip_ = made.exitCode == 77;
  }
  static void TearDownTestSuite() { delete dir_; }

  void SetUp() override {
    if (skip_) REQUIRE_OR_SKIP(false, why_);
    ASSERT_EQ(why_, "");
    image_ = dir_->path() / "disk.img";
    machine_.AddDisk({.name = "sdq", .major = 8, .minor = 64, .size512 = fs::file_size(image_) / 512});
    machine_.SetNode("sdq", image_);
    guard_ = std::make_unique<devicetest::ImageGuard>(image_);
    model_.InitDeviceInfo();
    ASSERT_EQ(model_.GetInitState(), KVDeviceReady);
    disk_ = model_.GetDiskStorageByIndex(0);
    ASSERT_NE(disk_, nullptr);
    ASSERT_TRUE(model_.GetDiskVolumeStorage(disk_, volumes_));
    ASSERT_EQ(volumes_.size(), 3u);
  }

  IStorageDevice* Volume(size_t i) { return *std::next(volumes_.begin(), static_cast<long>(i)); }

  static inline testsupport::TempDir* dir_ = nullptr;
  static inline std::string why_;
  static inline bool skip_ = false;
  enumtest::FakeMachine machine_;
  fs::path image_;
  std::unique_ptr<devicetest::ImageGuard> guard_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  IStorageDevice* disk_ = nullptr;
  std::list<IStorageDevice*> volumes_;
  std::vector<IStorageDevice*> started_;
};

TEST_F(ThreeVolumeDisk, AWholeDiskQuickScanScansTheNtfsVolumesAndIndexesEveryFileTheSleuthKitLists) {
  EXPECT_EQ(VolumeRecordOf(Volume(0))->fileSystemType, uint32_t{FILE_SYSTEM_TYPE_NTFS});
  EXPECT_EQ(VolumeRecordOf(Volume(2))->fileSystemType, uint32_t{FILE_SYSTEM_TYPE_NTFS});
  KVUIScan scan(&model_, [this](_RECOVERY_CONTROLLER_TYPE kind) {
    return new RecordingController(CreateRecoveryController(kind), &started_, {});
  });
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
    const fs::path fls = dir_->path() / (i == 0 ? "p1.fls" : "p3.fls");
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
    return new RecordingController(CreateRecoveryController(kind), &started_, [&] { self->StopOperation(0); });
  });
  self = &scan;
  scan.SetStatus(KVOperationRunning);
  scan.DoScan(disk_, nullptr);
  EXPECT_EQ(started_, std::vector<IStorageDevice*>{Volume(0)});
  EXPECT_EQ(scan.GetStatus(), KVOperationIdle);
}

}  // namespace
