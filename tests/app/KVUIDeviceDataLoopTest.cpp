// The device list model and the media watcher on real loop devices
// (losetup -P) over images with MBR and GPT tables: the model lists them with
// the sizes and file systems lsblk gives, and attaching and detaching each
// posts one attach and one detach whose key is the registry name.
#include <gtest/gtest.h>

#include <QVariantMap>

#include <sstream>

#include "EngineTypes.h"
#include "QtTestSupport.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "app/KVUSBNotifier.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "platform/NotificationCenter.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

// lsblk -b -o NAME,SIZE,FSTYPE of a device and its partitions: name -> (size, file system).
std::map<std::string, std::pair<uint64_t, std::string>> Lsblk(const std::string& device) {
  std::map<std::string, std::pair<uint64_t, std::string>> rows;
  std::istringstream in(RunCommandOrFail("lsblk -b -n -r -o NAME,SIZE,FSTYPE " + ShellQuote(device)));
  for (std::string name, line; std::getline(in, line);) {
    std::istringstream fields(line);
    fields >> name;
    fields >> rows[name].first >> rows[name].second;
  }
  return rows;
}

class LoopMedia : public ::testing::TestWithParam<std::string> {};

TEST_P(LoopMedia, AreListedAsLsblkSeesThemAndPostOneAttachAndOneDetach) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  REQUIRE_TOOL("mkntfs");
  qttest::App();
  testsupport::TempDir dir;
  // A name of its own: the detach key is the image's file name.
  const std::string key = "media-" + std::to_string(getpid()) + "-" + GetParam() + ".img";
  const fs::path image = dir / key;
  // GPT partitions below 4 GiB are system partitions the enumeration does
  // not offer: the GPT disk's first one is larger.
  devicetest::MakeSparseImage(image, GetParam() == "mbr" ? 32ull << 20 : 4300ull << 20);
  RunCommandOrFail(GetParam() == "mbr"
                       ? "printf 'label: dos\\nstart=2048, size=12M, type=7\\nsize=8M, type=83\\n' | sfdisk -q " +
                             ShellQuote(image.string())
                       : "sgdisk -n1:2048:+4200M -t1:0700 -n2:0:+8M -t2:8300 " + ShellQuote(image.string()) +
                             " >/dev/null");
  QObject owner;
  KVUSBNotifier watcher;
  int attaches = 0, batchesWithIt = 0;
  QString name;  // other loop devices may come and go meanwhile: count the batches that had this one
  std::vector<std::string> detached;
  auto& center = platform::NotificationCenter::DefaultCenter();
  center.AddObserver("RefreshAttachDevice", &owner, [&](const platform::Notification&) {
    ++attaches;
    batchesWithIt += !name.isEmpty() && watcher.LastAttached().contains(name) ? 1 : 0;
  });
  center.AddObserver("RefreshDetachDevice", &owner, [&](const platform::Notification& n) {
    detached.push_back(n.object.toMap().value("USBPath").toString().toStdString());
  });
  watcher.registerForUSBNotifications();
  EXPECT_EQ(attaches, 1) << "registration posts one attach";
  {
    devicetest::LoopDevice loop(image, 0, true);
    ASSERT_TRUE(loop.attached());
    name = QString::fromStdString(loop.name());
    loop.Announce();
    RunCommandOrFail("mkntfs -q -F -Q -L Media " + loop.Partition(1) + " >/dev/null 2>&1 && mkfs.ext2 -q -F " +
                     loop.Partition(2) + " >/dev/null 2>&1");
    ASSERT_TRUE(qttest::PumpUntil([&] { return batchesWithIt > 0; }, 20));
    qttest::PumpUntil([] { return false; }, 1);

    devicetest::ImageGuard guard(image);
    KVUIDeviceData model;
    model.InitDeviceInfo();
    std::list<_DiskVolumeData> rows;
    model.GetAllDeviceInfo(rows);
    const auto row =
        std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.description == loop.path(); });
    ASSERT_NE(row, rows.end());
    const auto lsblk = Lsblk(loop.path());
    EXPECT_EQ(std::make_tuple(row->name, row->isDmg, row->size), std::make_tuple(key, 1, lsblk.at(loop.name()).first));
    ASSERT_EQ(row->children.size(), 2u);
    for (int i = 0; i < 2; ++i) {
      const auto& [size, lsblkType] = lsblk.at(loop.name() + "p" + std::to_string(i + 1));
      EXPECT_EQ(row->children[i].size, size);
      // lsblk reads file systems from the udev database; without a udev
      // daemon (containers) its column is empty and blkid probes instead.
      const std::string type =
          !lsblkType.empty() ? lsblkType : enumtest::Value(enumtest::Blkid(loop.Partition(i + 1)), "TYPE");
      EXPECT_EQ(type == "ntfs", row->children[i].fileSystem == FILE_SYSTEM_TYPE_NTFS) << type;
    }
  }
  name.clear();  // another process may take the device's name once it is free
  ASSERT_TRUE(qttest::PumpUntil([&] { return std::count(detached.begin(), detached.end(), key) > 0; }, 20));
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(std::count(detached.begin(), detached.end(), key), 1);
  EXPECT_EQ(batchesWithIt, 1);
}

INSTANTIATE_TEST_SUITE_P(Tables, LoopMedia, testing::Values("mbr", "gpt"));

// A partition that sfdisk makes on a disk already attached posts an attach,
// and once sfdisk deletes it again a detach under the partition's kernel
// name: the disk itself never counts as gone.
TEST(MediaWatcher, APartitionMadeAndDeletedOnAnAttachedDiskIsPosted) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  REQUIRE_TOOL("sfdisk");
  qttest::App();
  testsupport::TempDir dir;
  const std::string key = "parts-" + std::to_string(getpid()) + ".img";
  const fs::path image = dir / key;
  devicetest::MakeSparseImage(image, 16ull << 20);
  devicetest::LoopDevice loop(image, 0, true);
  ASSERT_TRUE(loop.attached());
  const QString partition = QString::fromStdString(loop.name() + "p1");
  QObject owner;
  KVUSBNotifier watcher;
  int batchesWithIt = 0;
  std::vector<std::string> detached;
  auto& center = platform::NotificationCenter::DefaultCenter();
  center.AddObserver("RefreshAttachDevice", &owner, [&](const platform::Notification&) {
    batchesWithIt += watcher.LastAttached().contains(partition) ? 1 : 0;
  });
  center.AddObserver("RefreshDetachDevice", &owner, [&](const platform::Notification& n) {
    detached.push_back(n.object.toMap().value("USBPath").toString().toStdString());
  });
  watcher.registerForUSBNotifications();
  RunCommandOrFail("printf 'label: dos\\nstart=2048, size=4M, type=83\\n' | sfdisk -q " + ShellQuote(loop.path()));
  loop.Announce();  // where the kernel does not read the new table itself
  ASSERT_TRUE(qttest::PumpUntil([&] { return batchesWithIt > 0; }, 20)) << "no attach for the new partition";
  RunCommandOrFail("sfdisk -q --delete " + ShellQuote(loop.path()) + " 1");
  // Tests beside this one that list the machine's devices may hold the
  // partition open for a while.
  bool gone = false;
  for (int attempt = 0; attempt < 3 && !gone; ++attempt) gone = loop.Forget();
  ASSERT_TRUE(gone) << "the partition stayed in use";
  // Other tests' loop devices may come and go meanwhile: only these names count.
  const auto posts = [&](const std::string& name) { return std::count(detached.begin(), detached.end(), name); };
  ASSERT_TRUE(qttest::PumpUntil([&] { return posts(partition.toStdString()) > 0; }, 20))
      << "no detach for the deleted partition";
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(posts(partition.toStdString()), 1);
  EXPECT_EQ(posts(key), 0) << "the disk stayed";
  EXPECT_EQ(batchesWithIt, 1);
}

// Mounts a device for the life of the object.
struct Mounted {
  Mounted(const std::string& device, const fs::path& at) : point(at) {
    fs::create_directories(at);
    RunCommandOrFail("mkfs.ext2 -q -F " + ShellQuote(device) + " >/dev/null 2>&1 && mount " + ShellQuote(device) + " " +
                     ShellQuote(at.string()));
    fs::create_directories(at / "dest");
  }
  ~Mounted() { testsupport::RunCommand("umount " + ShellQuote(point.string())); }
  fs::path point;
};

// A folder on another partition of the scanned disk, or on a device-mapper
// volume built on one of its partitions, is on the scanned device; a folder
// elsewhere is not.
TEST(RecoveryDestination, OnTheScannedDiskThroughPartitionsAndDeviceMapper) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  REQUIRE_TOOL("dmsetup");
  testsupport::TempDir dir;
  const fs::path image = dir / "same-device.img";
  devicetest::MakeSparseImage(image, 64ull << 20);
  RunCommandOrFail("printf 'label: dos\\nstart=2048, size=24M, type=83\\nsize=24M, type=83\\n' | sfdisk -q " +
                   ShellQuote(image.string()));
  devicetest::LoopDevice loop(image, 0, true);
  ASSERT_TRUE(loop.attached());
  loop.Announce();
  KVUIDeviceData model;
  model.InitDeviceInfo();
  IStorageDevice* disk = nullptr;
  std::list<_DiskVolumeData> rows;
  model.GetAllDeviceInfo(rows);
  for (const auto& row : rows) {
    if (row.description == loop.path()) disk = model.GetStorageByDiskVolumeIndex(row.diskIndex, -1);
  }
  ASSERT_NE(disk, nullptr);
  KVUIScan scan(&model);
  scan.SaveScanSorage(disk);
  KVUIRecovery recovery(&scan, &model);

  {
    Mounted second(loop.Partition(2), dir / "p2");
    EXPECT_TRUE(recovery.RecoveryPathIsSameDevice((second.point / "dest").c_str()));
    EXPECT_FALSE(recovery.RecoveryPathIsSameDevice(dir.path().c_str()));
  }
  // Kernels built without device-mapper (this project's CI machines among
  // them) cannot be given it by the tests: the stand-in sysfs test covers the
  // chain there, so its absence is a skip even under CI.
  if (!fs::exists("/dev/mapper/control") || testsupport::RunCommand("dmsetup version >/dev/null 2>&1").exitCode != 0) {
    GTEST_SKIP() << "needs the kernel's device-mapper";
  }
  const std::string mapped = "clipmender-test-" + std::to_string(getpid());
  RunCommandOrFail("dmsetup create " + mapped + " --table '0 " + std::to_string((24 << 20) / 512) + " linear " +
                   loop.Partition(1) + " 0'");
  {
    Mounted overMapper("/dev/mapper/" + mapped, dir / "dm");
    EXPECT_TRUE(recovery.RecoveryPathIsSameDevice((overMapper.point / "dest").c_str()));
  }
  testsupport::RunCommand("dmsetup remove " + mapped);
}

}  // namespace
