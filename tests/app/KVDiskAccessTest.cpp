// The disk-rights check on a stand-in sysfs tree: which devices it tries,
// and what it tells each kind of user when they are refused.
#include <gtest/gtest.h>

#include <QString>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>

#include "app/KVDiskAccess.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class DiskAccessCheck : public ::testing::Test {
 protected:
  // A block device under the stand-in /sys/block; loop devices may carry a
  // backing file.
  void AddDevice(const std::string& name, bool backed = false) {
    fs::create_directories(sys_ / name);
    if (backed) {
      fs::create_directories(sys_ / name / "loop");
      std::ofstream(sys_ / name / "loop" / "backing_file") << "/images/disk.img\n";
    }
  }
  // The check as a root or plain user whose opens fail with the errno given
  // per device name (0 opens); records which devices were tried.
  KVDiskAccessCheck Check(bool asRoot) {
    tried_.clear();
    return CheckDiskAccess(QString::fromStdString(sys_.string()), QStringLiteral("/dev"), asRoot,
                           [this](const QByteArray& path) {
                             const std::string name = fs::path(path.toStdString()).filename();
                             tried_.push_back(name);
                             const auto it = errors_.find(name);
                             return it == errors_.end() ? ENOENT : it->second;
                           });
  }

  testsupport::TempDir dir_;
  fs::path sys_ = dir_.path() / "sys" / "block";
  std::map<std::string, int> errors_;
  std::vector<std::string> tried_;
};

TEST_F(DiskAccessCheck, AReadableDiskOrNothingToTryStartsSilently) {
  EXPECT_EQ(Check(false).verdict, KVDiskAccess::kNoDisks);
  AddDevice("vda");
  errors_["vda"] = 0;
  const KVDiskAccessCheck readable = Check(false);
  EXPECT_EQ(readable.verdict, KVDiskAccess::kReadable);
  EXPECT_TRUE(readable.message.isEmpty());
  EXPECT_FALSE(readable.mustStop());
}

// RAM disks and loop devices with no image behind them hold no medium;
// an attached image counts like any disk.
TEST_F(DiskAccessCheck, OnlyDevicesWithAMediumAreTried) {
  AddDevice("ram0");
  AddDevice("zram0");
  AddDevice("loop0");
  AddDevice("loop1", true);
  errors_["loop1"] = 0;
  EXPECT_EQ(Check(true).verdict, KVDiskAccess::kReadable);
  EXPECT_EQ(tried_, std::vector<std::string>{"loop1"});
}

// A plain user refused the disks needs rights: the program says how to get
// them and stops.
TEST_F(DiskAccessCheck, AUserRefusedTheDisksIsToldToStartWithRights) {
  AddDevice("sda");
  AddDevice("sdb");
  errors_["sda"] = EACCES;
  errors_["sdb"] = EACCES;
  const KVDiskAccessCheck check = Check(false);
  EXPECT_EQ(check.verdict, KVDiskAccess::kNeedsRights);
  EXPECT_TRUE(check.mustStop());
  EXPECT_TRUE(check.message.contains(QStringLiteral("pkexec")));
}

// Root refused by the system's device rules (a container's device policy
// answers EPERM) would gain nothing from pkexec: it is told why the list is
// short and starts with what it can read.
TEST_F(DiskAccessCheck, RootRefusedByTheSystemStartsAnyway) {
  AddDevice("vda");
  AddDevice("loop3", true);
  for (const int error : {EPERM, EACCES}) {
    errors_["vda"] = error;
    errors_["loop3"] = ENXIO;
    const KVDiskAccessCheck check = Check(true);
    EXPECT_EQ(check.verdict, KVDiskAccess::kBlockedBySystem) << error;
    EXPECT_FALSE(check.mustStop());
    EXPECT_FALSE(check.message.contains(QStringLiteral("pkexec")));
    EXPECT_TRUE(check.message.contains(QStringLiteral("device rules")));
  }
  // Once an image is attached it opens, and nothing needs saying.
  errors_["loop3"] = 0;
  EXPECT_EQ(Check(true).verdict, KVDiskAccess::kReadable);
}

}  // namespace
