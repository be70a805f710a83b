// Partition tables on loop devices with 4096-byte logical sectors (as root),
// written by the tools on the device itself and read back through a disk
// device whose record says what blockdev says.
#include <gtest/gtest.h>

#include <functional>

#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"
#include "partition/PartitionTableAnalyze.h"

namespace {

using parttest::ToolPartition;
using Parts = std::vector<ToolPartition>;

constexpr uint64_t kMiB = 1024 * 1024;

struct LoopTable {
  const char* name;
  const char* tool;
  uint64_t bytes;
  const char* command;  // %s is the loop device
  uint32_t scheme;
  std::function<Parts(const std::string&)> oracle;
};
void PrintTo(const LoopTable& t, std::ostream* os) { *os << t.name; }

class FourKiBLoop : public ::testing::TestWithParam<LoopTable> {};

TEST_P(FourKiBLoop, ListsWhatTheToolsReport) {
  const LoopTable& t = GetParam();
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and /dev/loop-control");
  for (const char* tool : {"losetup", "blockdev", "blkid", "jq", t.tool}) REQUIRE_TOOL(tool);
  testsupport::TempDir dir;
  const std::string image = (dir / "disk.img").string();
  devicetest::MakeSparseImage(image, t.bytes);
  devicetest::LoopDevice loop(image, 4096);
  ASSERT_TRUE(loop.attached());
  std::string command = t.command;
  command.replace(command.find("%s"), 2, testsupport::ShellQuote(loop.path()));
  testsupport::RunCommandOrFail(command + " >/dev/null 2>&1 && blockdev --flushbufs " + loop.path());
  const Parts want = t.oracle(loop.path());

  devicetest::ImageGuard guard(image);
  const auto geometry = devicetest::Blockdev(loop.path());
  devicetest::DevicePtr disk = devicetest::OpenDisk(loop.path(), geometry.sectorSize, geometry.sizeBytes);
  std::list<PartitionEntry> entries;
  IPartitionTableAnalyze* analyzer = CreatePartitionTableAnalyze();
  EXPECT_EQ(analyzer->AnalyzePartitionTable(disk.get(), entries), 0u);
  analyzer->Release();
  uint32_t scheme = 99;
  EXPECT_EQ(GetDiskType(disk.get(), scheme), 0u);
  EXPECT_EQ(scheme, t.scheme);
  EXPECT_EQ(parttest::ByNumber(entries), parttest::ByNumber(want));
  if (t.scheme == DISK_PARTITION_SCHEME_GPT) {
    ASSERT_EQ(entries.size(), 1u);
    const auto unique = parttest::GuidBytes(want[0].uuid);
    EXPECT_TRUE(std::equal(unique.begin(), unique.end(), entries.front().uniqueGUID));
  }
  if (t.scheme == DISK_PARTITION_SCHEME_APM) {
    // parted counts in device sectors and shows the partitions without the
    // map and free space.
    for (const auto& p : parttest::Parted(loop.path())) {
      EXPECT_NE(std::find(want.begin(), want.end(), p), want.end()) << "parted lists #" << p.number;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, FourKiBLoop,
    ::testing::Values(
        // 0x800001 sectors of 4 KiB are 32 GiB and 4 KiB: of a 200 MiB and a
        // 5 GiB system partition and a 33 GiB one only the last is listed.
        LoopTable{"GptCountsItsSizeLimitInDeviceSectors", "sgdisk", 40 * 1024 * kMiB,
                  "sgdisk -n 1:0:+200M -t 1:ef00 -n 2:0:+5G -t 2:ef00 -n 5:0:+33G %s", DISK_PARTITION_SCHEME_GPT,
                  [](const std::string& p) { return parttest::AtLeast(parttest::Sgdisk(p), 0x800001); }},
        // partx (libblkid) counts in 512-byte units whatever the sector size.
        LoopTable{"Apm", "partx", 128 * kMiB,
                  "parted -s %s mklabel mac mkpart one hfs+ 1MiB 40MiB mkpart two fat32 40MiB 100MiB",
                  DISK_PARTITION_SCHEME_APM,
                  [](const std::string& p) {
                    Parts parts = parttest::Partx(p);
                    for (auto& q : parts) q = {q.number, q.start / 8, q.size / 8, q.type};
                    return parts;
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
