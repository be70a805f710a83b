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
#include "app/KVUSBNotifier.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "platform/NotificationCenter.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

struct LsblkLine {
  uint64_t size = 0;
  std::string fstype;
};

// lsblk -b -o NAME,SIZE,FSTYPE of a device and its partitions, by name.
std::map<std::string, LsblkLine> Lsblk(const std::string& device) {
  std::map<std::string, LsblkLine> rows;
  std::istringstream in(RunCommandOrFail("lsblk -b -n -r -o NAME,SIZE,FSTYPE " + ShellQuote(device)));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string name;
    LsblkLine row;
    fields >> name >> row.size >> row.fstype;
    rows[name] = row;
  }
  return rows;
}

// What the watcher posted, as the windows would observe it.
struct Observed {
  int attaches = 0;
  std::function<void()> onAttach;
  std::vector<std::string> detachKeys;
  Observed() {
    auto& center = platform::NotificationCenter::DefaultCenter();
    ids[0] = center.AddObserver("RefreshAttachDevice", nullptr, [this](const platform::Notification&) {
      ++attaches;
      if (onAttach) onAttach();
    });
    ids[1] = center.AddObserver("RefreshDetachDevice", nullptr, [this](const platform::Notification& n) {
      detachKeys.push_back(n.object.toMap().value("USBPath").toString().toStdString());
    });
  }
  ~Observed() {
    for (auto id : ids) platform::NotificationCenter::DefaultCenter().RemoveObserver(id);
  }
  platform::ObserverId ids[2];
};

class LoopMedia : public ::testing::TestWithParam<std::string> {};

TEST_P(LoopMedia, AreListedAsLsblkSeesThemAndPostOneAttachAndOneDetach) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  REQUIRE_TOOL("mkntfs");
  qttest::App();
  testsupport::TempDir dir;
  // A name of its own: the detach key is the image's file name.
  const fs::path image = dir / ("media-" + std::to_string(getpid()) + "-" + GetParam() + ".img");
  // The GPT disk's first partition is above 4 GiB: smaller GPT partitions
  // are system partitions the enumeration does not offer as volumes.
  devicetest::MakeSparseImage(image, GetParam() == "mbr" ? 32ull << 20 : 4300ull << 20);
  if (GetParam() == "mbr") {
    RunCommandOrFail("printf 'label: dos\\nstart=2048, size=12M, type=7\\nsize=8M, type=83\\n' | sfdisk -q " +
                     ShellQuote(image.string()));
  } else {
    RunCommandOrFail("sgdisk -n1:2048:+4200M -t1:0700 -n2:0:+8M -t2:8300 " + ShellQuote(image.string()) +
                     " >/dev/null");
  }
  Observed seen;
  KVUSBNotifier watcher;
  watcher.Start();
  EXPECT_EQ(seen.attaches, 1) << "registration posts one attach";
  // Other loop devices of this machine may come and go meanwhile: count the
  // batches that had this one.
  int batchesWithIt = 0;
  QString name;
  std::string story;  // what was posted, for the failure message
  seen.onAttach = [&] {
    batchesWithIt += watcher.LastAttached().contains(name) ? 1 : 0;
    story += "attach " + watcher.LastAttached().join(",").toStdString() + "; ";
  };
  {
    devicetest::LoopDevice loop(image, 0, true);
    ASSERT_TRUE(loop.attached());
    name = QString::fromStdString(loop.name());
    loop.Announce();
    RunCommandOrFail("mkntfs -q -F -Q -L Media " + ShellQuote(loop.Partition(1)) + " >/dev/null 2>&1");
    RunCommandOrFail("mkfs.ext2 -q -F " + ShellQuote(loop.Partition(2)) + " >/dev/null 2>&1");
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
    EXPECT_EQ(row->name, image.filename().string());
    EXPECT_EQ(row->isDmg, 1);
    EXPECT_EQ(row->size, lsblk.at(loop.name()).size);
    std::string listed;
    for (const auto& child : row->children) listed += child.name + " " + std::to_string(child.size) + "; ";
    ASSERT_EQ(row->children.size(), 2u) << listed;
    for (int i = 0; i < 2; ++i) {
      const std::string partition = loop.Partition(i + 1);
      const LsblkLine& part = lsblk.at(fs::path(partition).filename().string());
      EXPECT_EQ(row->children[i].size, part.size);
      // lsblk reads file systems from the udev database; without a udev
      // daemon (containers) its column is empty and blkid probes instead.
      const std::string fstype =
          !part.fstype.empty() ? part.fstype : enumtest::Value(enumtest::Blkid(partition), "TYPE");
      EXPECT_EQ(fstype, i == 0 ? "ntfs" : "ext2");
      EXPECT_EQ(row->children[i].fileSystem, i == 0 ? FILE_SYSTEM_TYPE_NTFS : FILE_SYSTEM_TYPE_UNKNOWN);
    }
  }
  // Another process may take the device's name once it is free.
  seen.onAttach = nullptr;
  ASSERT_TRUE(qttest::PumpUntil(
      [&] { return std::count(seen.detachKeys.begin(), seen.detachKeys.end(), image.filename().string()) > 0; }, 20));
  qttest::PumpUntil([] { return false; }, 1);
  EXPECT_EQ(std::count(seen.detachKeys.begin(), seen.detachKeys.end(), image.filename().string()), 1);
  EXPECT_EQ(batchesWithIt, 1) << story;
}

INSTANTIATE_TEST_SUITE_P(Tables, LoopMedia, testing::Values("mbr", "gpt"));

}  // namespace
