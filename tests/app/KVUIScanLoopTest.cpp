// A complete scan of a loop-attached copy of the FAT fixture disk (mkfs.fat,
// mtools) through the controller and the machine's own device list, with the
// disk pulled out in the middle: its reads start failing, the loop device is
// detached, and the device list is refreshed while the scan runs and while
// it stops. The scan ends, and once the scan's controller is let go nothing
// of the process holds the device any more, so the kernel lets it go; a
// device held by itself goes once its hold goes. Also built under
// ThreadSanitizer and AddressSanitizer (label threads).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>

#include "FatFixtures.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

bool Await(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(120)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The disk index the machine's device list gives the loop device at `path`
// on the image called `name`; -1 when it lists none.
int DiskIndexOf(const std::string& path, const std::string& name) {
  std::list<_DiskVolumeData> disks;
  KVUIDeviceData::instance().GetAllDeviceInfo(disks);
  for (const _DiskVolumeData& disk : disks) {
    if (disk.description == path && disk.name == name) return disk.diskIndex;
  }
  return -1;
}

TEST(PulledDisk, AScanEndsWhileTheListIsRefreshedAndTheDeviceGoesOnceTheControllerIsLetGo) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const std::string why = fatfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  // The test's own copy, cut to nothing below to pull the medium.
  testsupport::TempDir dir;
  const fs::path image = dir / ("pulled-" + std::to_string(getpid()) + ".img");
  RunCommandOrFail("cp --sparse=always " + ShellQuote((fatfixtures::Dir() / "disk.img").string()) + " " +
                   ShellQuote(image.string()));
  devicetest::LoopDevice loop(image, 0, true);
  ASSERT_TRUE(loop.attached());
  const std::string device = loop.path();
  const fs::path backing = fs::path("/sys/block") / loop.name() / "loop/backing_file";

  {
    KVUIScan scan;
    KVUIController::UseScan(&scan);
    KVUIController::RefreshDeviceInfo();
    const int disk = DiskIndexOf(device, image.filename().string());
    ASSERT_GE(disk, 0);
    scan.SetDeepScan(1);
    ASSERT_TRUE(KVUIController::DoScanWithDiskIndex(disk, -1, "PulledDiskScanned"));
    ASSERT_TRUE(Await([&] { return scan.GetProgressInfo().current > 0 || !KVUIController::IsScanRunning(); }));
    ASSERT_TRUE(KVUIController::IsScanRunning()) << "the scan ended before it could be paused";
    KVUIController::PauseOrResumeScan();

    // Pulled out: reads past the new size (none) fail, and the device is
    // detached as far as the kernel can while the scan holds it open.
    fs::resize_file(image, 0);
    RunCommandOrFail("losetup -c " + ShellQuote(device));
    ASSERT_TRUE(loop.Detach());
    KVUIController::RefreshDeviceInfo();
    KVUIController::RefreshDeviceInfo();
    KVUIController::PauseOrResumeScan();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    KVUIController::RefreshDeviceInfo();
    KVUIController::StopScan(0);
    KVUIController::RefreshDeviceInfo();
    ASSERT_TRUE(Await([] { return !KVUIController::IsScanRunning(); })) << "the stopped scan never ended";
    EXPECT_TRUE(scan.WaitForThreads(std::chrono::seconds(10)));
    // The controller of the pulled disk is kept until the next scan, with
    // the devices it read, whatever the list says now.
    EXPECT_NE(scan.GetRecoveryController(), nullptr);
    KVUIController::UseScan(nullptr);
  }
  // With the scan's controller gone nothing holds the device open, lists
  // that still know it included, and the kernel detaches it.
  EXPECT_TRUE(Await([&] { return !fs::exists(backing); }, std::chrono::seconds(20)))
      << device << " is still held by the process";
  KVUIController::RefreshDeviceInfo();
  EXPECT_EQ(DiskIndexOf(device, image.filename().string()), -1);
}

// Held, a detached loop device stays, and reads as before, until the hold
// goes. A device of that list whose node has been given another image since
// (or none, when another test took it meanwhile) reads nothing.
TEST(PulledDisk, AHeldDiskGoesOnceLetGoAndAStaleOneReadsNothing) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const std::string why = fatfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  testsupport::TempDir dir;
  const fs::path image = dir / ("held-" + std::to_string(getpid()) + ".img"), other = fatfixtures::Dir() / "f16.img";
  RunCommandOrFail("cp --sparse=always " + ShellQuote((fatfixtures::Dir() / "disk.img").string()) + " " +
                   ShellQuote(image.string()));
  devicetest::ImageGuard imageGuard(image), otherGuard(other);
  devicetest::LoopDevice loop(image, 0, true, true);
  ASSERT_TRUE(loop.attached());
  const std::string path = loop.path();
  const fs::path backing = fs::path("/sys/block") / loop.name() / "loop/backing_file";
  KVUIController::RefreshDeviceInfo();
  std::shared_ptr<IStorageDevice> held =
      KVUIDeviceData::instance().HoldStorageByDiskVolumeIndex(DiskIndexOf(path, image.filename().string()), -1);
  ASSERT_NE(held, nullptr);
  ASSERT_TRUE(loop.Detach());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(backing)) << "let go while held";
  std::vector<uint8_t> sector(512);
  ASSERT_NE(held->ReadSector(sector.data(), 2048, 1), 0);
  EXPECT_EQ(sector, devicetest::DdRead(image.string(), 512, 2048, 1));
  IStorageDevice* stale = held.get();
  held.reset();
  ASSERT_TRUE(Await([&] { return !fs::exists(backing); }, std::chrono::seconds(20))) << path << " is still held";

  const bool attached =
      testsupport::RunCommand("losetup -r " + ShellQuote(path) + " " + ShellQuote(other.string()) + " 2>/dev/null")
          .exitCode == 0;
  const std::shared_ptr<const void> hold = KVUIDeviceData::instance().HoldDevices(stale);
  ASSERT_NE(hold, nullptr);
  EXPECT_EQ(stale->ReadSector(sector.data(), 0, 1), 0) << (attached ? "read the image attached since" : "read");
  if (attached) testsupport::RunCommand("losetup -d " + ShellQuote(path));
}

}  // namespace
