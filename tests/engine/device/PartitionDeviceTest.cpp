// Partition windows and virtual volumes over a disk image partitioned by
// sfdisk: reads against dd at the offsets sfdisk reports, the tail-and-zeros
// rule, range refusals with their codes, and the parent's failures.
#include "device/PartitionDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "DeviceData.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using devicetest::DdRead;
using devicetest::DevicePtr;
using devicetest::ImageGuard;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

struct ToolPartition {
  int64_t start = 0;
  int64_t size = 0;
};

// A 16 MiB image of random bytes with an MBR made by sfdisk: two partitions.
class PartitionedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("jq");
    image_ = dir_ / "disk.img";
    RunCommandOrFail("head -c 16M /dev/urandom > " + ShellQuote(image_.string()));
    RunCommandOrFail("printf 'label: dos\\n,4M,83\\n,3M,c\\n' | sfdisk -q " + ShellQuote(image_.string()));
    std::istringstream in(RunCommandOrFail("sfdisk --json " + ShellQuote(image_.string()) +
                                           " | jq -r '.partitiontable.partitions[] | \"\\(.start) \\(.size)\"'"));
    for (ToolPartition p; in >> p.start >> p.size;) parts_.push_back(p);
    ASSERT_EQ(parts_.size(), 2u);
    guard_ = std::make_unique<ImageGuard>(image_);
    disk_ = devicetest::OpenDisk(image_.string());
  }
  void TearDown() override {
    disk_.reset();
    guard_.reset();
  }
  std::string path() const { return image_.string(); }

  testsupport::TempDir dir_;
  fs::path image_;
  std::vector<ToolPartition> parts_;
  std::unique_ptr<ImageGuard> guard_;
  DevicePtr disk_;
};

std::vector<uint8_t> Read(IStorageDevice& device, int64_t first, int64_t count, int* answer = nullptr) {
  std::vector<uint8_t> buffer(static_cast<size_t>(count) * device.GetSectorSize(), 0xCC);
  const int a = device.ReadSector(buffer.data(), first, count);
  if (answer != nullptr) *answer = a;
  return buffer;
}

TEST_F(PartitionedImage, AWindowReadsItsPartitionsSectors) {
  const ToolPartition p = parts_[1];
  DevicePtr window(CreatePartitionDevice(disk_.get(), p.start, p.size));
  EXPECT_EQ(window->GetType(), 1u);
  ASSERT_EQ(window->Open(), 1);
  EXPECT_EQ(window->GetSectorSize(), 512u);
  EXPECT_EQ(window->GetTotalSectors(), p.size);
  EXPECT_EQ(dynamic_cast<IPartitionStorageDevice*>(window.get())->GetStartSector(), p.start);
  for (auto [first, count] : {std::pair<int64_t, int64_t>{0, 1}, {1, 64}, {p.size - 1, 1}, {0, p.size}}) {
    int answer = 0;
    EXPECT_EQ(Read(*window, first, count, &answer), DdRead(path(), 512, p.start + first, count));
    EXPECT_EQ(answer, 1);
  }
}

TEST_F(PartitionedImage, ARangePastTheWindowsEndGivesTheTailThenZeros) {
  const ToolPartition p = parts_[0];
  DevicePtr window(CreatePartitionDevice(disk_.get(), p.start, p.size));
  ASSERT_EQ(window->Open(), 1);
  int answer = 0;
  const auto got = Read(*window, p.size - 3, 8, &answer);
  EXPECT_EQ(answer, 1);
  auto want = DdRead(path(), 512, p.start + p.size - 3, 3);
  want.resize(8 * 512, 0);
  EXPECT_EQ(got, want);
}

TEST_F(PartitionedImage, RefusesRangesOutsideTheWindow) {
  const ToolPartition p = parts_[0];
  DevicePtr window(CreatePartitionDevice(disk_.get(), p.start, p.size));
  ASSERT_EQ(window->Open(), 1);
  int answer = 1;
  Read(*window, p.size, 1, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(window->GetLastError(), 0x010E009600000005u);
  Read(*window, -1, 1, &answer);
  EXPECT_EQ(window->GetLastError(), 0x010E009600000005u);
  // More sectors than the window has fail even from its start.
  Read(*window, 0, p.size + 1, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(window->GetLastError(), 0x010E009C00000005u);
  std::vector<uint8_t> buffer(512);
  EXPECT_EQ(window->ReadSector(buffer.data(), 0, 0), 0);
  EXPECT_EQ(window->GetLastError(), 0x010E009C00000005u);
  EXPECT_EQ(window->ReadSector(buffer.data(), 0, -3), 0);
  EXPECT_EQ(window->GetLastError(), 0x010E009C00000005u);
  EXPECT_EQ(window->ReadSector(nullptr, 0, 1), 0);
  EXPECT_EQ(window->GetLastError(), 0x010E007000000005u);
}

TEST_F(PartitionedImage, TheRangeRuleIsShared) {
  int64_t readable = -1;
  EXPECT_EQ(CPartitionDevice::IsValidRange(5, 8, readable, 10), 0u);
  EXPECT_EQ(readable, 5);
  EXPECT_EQ(CPartitionDevice::IsValidRange(0, 10, readable, 10), 0u);
  EXPECT_EQ(readable, 10);
  EXPECT_EQ(CPartitionDevice::IsValidRange(10, 1, readable, 10), 0x010E009600000005u);
  EXPECT_EQ(CPartitionDevice::IsValidRange(0, 11, readable, 10), 0x010E009C00000005u);
  EXPECT_EQ(CPartitionDevice::IsValidRange(0, 1, readable, 0), 0x010E009600000005u);
}

TEST_F(PartitionedImage, AWindowWithoutParentFails) {
  DevicePtr window(CreatePartitionDevice(nullptr, 0, 100));
  EXPECT_EQ(window->Open(), 0);
  EXPECT_EQ(result::Error(window->GetLastError()), 7u);
  int answer = 1;
  Read(*window, 0, 1, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(window->GetLastError(), 0x010E006900000007u);
}

TEST_F(PartitionedImage, TheParentsFailureBecomesTheWindows) {
  DevicePtr closed(CreateDiskDevice(path().c_str()));  // never opened: its reads fail
  DevicePtr window(CreatePartitionDevice(closed.get(), parts_[0].start, parts_[0].size));
  ASSERT_EQ(window->Open(), 1);
  int answer = 1;
  Read(*window, 0, 4, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(window->GetLastError(), 0x010E008800000001u);
}

TEST_F(PartitionedImage, AFailingParentThatGivesNoCodeStillFailsTheRead) {
  devicetest::CMemoryDevice parent(std::vector<uint8_t>(64 * 512, 1), 512, 64);
  parent.FailReads(0);  // not failing yet
  DevicePtr window(CreatePartitionDevice(&parent, 8, 16));
  ASSERT_EQ(window->Open(), 1);
  parent.FailReads(0x00000000000000FFu);  // answers 0 with a success code
  int answer = 1;
  Read(*window, 0, 1, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(result::IsFailure(window->GetLastError()));
}

TEST_F(PartitionedImage, IOCtlIsNotSupportedAndCloseAlwaysAnswers1) {
  DevicePtr window(CreatePartitionDevice(disk_.get(), 0, 10));
  EXPECT_EQ(window->IOCtl(1, nullptr), 0);
  EXPECT_EQ(window->GetLastError(), 0x010E00AC00000003u);
  EXPECT_EQ(window->Close(), 1);
  EXPECT_EQ(window->GetLastError(), 0u);
}

TEST_F(PartitionedImage, APartitionRecordSetsSizeAndCountButNotTheStart) {
  const ToolPartition p = parts_[1];
  DevicePtr window(CreatePartitionDevice(disk_.get(), p.start, p.size));
  ASSERT_EQ(window->Open(), 1);
  auto* info = new CCollectedPartitionDeviceInfoStruct();
  info->sectorSize = 512;
  info->sectorCount = 100;
  info->startSector = 7;
  window->SetPrivateData(CreatePartitionDeviceData(info));
  EXPECT_EQ(window->GetLastError(), 0u);
  EXPECT_EQ(window->GetTotalSectors(), 100);
  EXPECT_EQ(dynamic_cast<IPartitionStorageDevice*>(window.get())->GetStartSector(), p.start);
  EXPECT_EQ(Read(*window, 99, 1), DdRead(path(), 512, p.start + 99, 1));

  window->SetPrivateData(devicetest::MakeDiskData(4096, 5));  // wrong kind: kept, geometry unchanged
  EXPECT_EQ(result::Error(window->GetLastError()), 7u);
  EXPECT_EQ(window->GetTotalSectors(), 100);
}

TEST_F(PartitionedImage, AWindowWhoseSectorSizeDiffersFromItsParentsRefusesToRead) {
  DevicePtr window(CreatePartitionDevice(disk_.get(), parts_[0].start, parts_[0].size));
  ASSERT_EQ(window->Open(), 1);
  auto* info = new CCollectedPartitionDeviceInfoStruct();
  info->sectorSize = 4096;
  info->sectorCount = 16;
  window->SetPrivateData(CreatePartitionDeviceData(info));
  int answer = 1;
  Read(*window, 0, 16, &answer);  // the parent would fill only an eighth
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(result::Error(window->GetLastError()), 5u);
}

TEST(PartitionWindowOverCache, TakesTheParentsSectorSizeWithoutADiskRecord) {
  // A caching or in-memory device (kind 3) carries no disk record.
  std::vector<uint8_t> bytes(64 * 4096);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  devicetest::CMemoryDevice parent(bytes, 4096, 64);
  DevicePtr window(new CPartitionVirtualVolumeDevice(&parent, 10, 20));
  // Usable even before Open, as a scanner that builds one directly uses it.
  EXPECT_EQ(window->GetSectorSize(), 4096u);
  ASSERT_EQ(window->Open(), 1);
  EXPECT_EQ(window->GetSectorSize(), 4096u);
  std::vector<uint8_t> got(2 * 4096);
  ASSERT_EQ(window->ReadSector(got.data(), 3, 2), 1);
  EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + 13 * 4096, got.size()));
}

TEST(PartitionWindowCreate, RefusesNegativeGeometry) {
  devicetest::CMemoryDevice parent({}, 512, 10);
  EXPECT_EQ(CreatePartitionDevice(&parent, -1, 5), nullptr);
  EXPECT_EQ(CreatePartitionDevice(&parent, 0, -5), nullptr);
}

// The record a partition device carries after enumeration.
CCollectedPartitionDeviceInfoStruct* PartitionRecord(IStorageDevice* disk, int64_t start, int64_t count,
                                                     uint32_t state = 0) {
  auto* info = new CCollectedPartitionDeviceInfoStruct();
  info->state = state;
  info->parentDisk = disk;
  info->startSector = start;
  info->sectorCount = count;
  info->sectorSize = 512;
  return info;
}

TEST_F(PartitionedImage, AVirtualVolumeCoversThePartitionsWindow) {
  const ToolPartition p = parts_[1];
  DevicePtr partition(CreatePartitionDevice(disk_.get(), p.start, p.size));
  ASSERT_EQ(partition->Open(), 1);
  partition->SetPrivateData(CreatePartitionDeviceData(PartitionRecord(disk_.get(), p.start, p.size)));

  DevicePtr volume(CreatePartitionVirtualVolumeDevice(partition.get()));
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->GetType(), 2u);
  ASSERT_EQ(volume->Open(), 1);
  EXPECT_EQ(volume->GetTotalSectors(), p.size);
  EXPECT_EQ(dynamic_cast<IPartitionStorageDevice*>(volume.get())->GetStartSector(), p.start);
  EXPECT_EQ(Read(*volume, 0, 16), DdRead(path(), 512, p.start, 16));

  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->sectorSize = 512;
  info->totalSectors = 8;
  volume->SetPrivateData(CreateVolumeDeviceData(info));
  EXPECT_EQ(volume->GetTotalSectors(), 8);
  volume->SetPrivateData(CreatePartitionDeviceData(nullptr));
  EXPECT_EQ(result::Error(volume->GetLastError()), 7u);
}

TEST_F(PartitionedImage, AVirtualVolumeNeedsAUsablePartitionRecordWithItsDisk) {
  DevicePtr partition(CreatePartitionDevice(disk_.get(), parts_[0].start, parts_[0].size));
  EXPECT_EQ(CreatePartitionVirtualVolumeDevice(nullptr), nullptr);
  EXPECT_EQ(CreatePartitionVirtualVolumeDevice(partition.get()), nullptr);  // no record
  partition->SetPrivateData(CreatePartitionDeviceData(nullptr));
  EXPECT_EQ(CreatePartitionVirtualVolumeDevice(partition.get()), nullptr);  // no structure
  partition->SetPrivateData(CreatePartitionDeviceData(PartitionRecord(disk_.get(), 0, 10, 1)));
  EXPECT_EQ(CreatePartitionVirtualVolumeDevice(partition.get()), nullptr);  // state not usable
  partition->SetPrivateData(CreatePartitionDeviceData(PartitionRecord(nullptr, 0, 10)));
  EXPECT_EQ(CreatePartitionVirtualVolumeDevice(partition.get()), nullptr);  // no parent disk
  partition->SetPrivateData(devicetest::MakeDiskData(512, 10));
  EXPECT_EQ(CreatePartitionVirtualVolumeDevice(partition.get()), nullptr);  // wrong kind
}

}  // namespace
