// Partition windows and virtual volumes over an image partitioned by sfdisk:
// reads against dd at the offsets sfdisk reports, the tail-and-zeros rule,
// refusals with their codes, records, and the parent's failures.
#include "device/PartitionDevice.h"

#include <gtest/gtest.h>

#include <sstream>

#include "device/DiskDevice.h"
#include "device/SectorSizeDevice.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using devicetest::DdRead;
using devicetest::DevicePtr;
using devicetest::Read;

// The record a partition device carries after enumeration.
IPartitionDeviceData* PartitionRecord(IStorageDevice* disk, int64_t start, int64_t count, int64_t sectorSize = 512,
                                      uint32_t state = 0) {
  auto* info = new CCollectedPartitionDeviceInfoStruct();
  info->state = state;
  info->parentDisk = disk;
  info->startSector = start;
  info->sectorCount = count;
  info->sectorSize = sectorSize;
  return CreatePartitionDeviceData(info);
}

// 16 MiB of random bytes with two partitions made by sfdisk.
class PartitionedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("jq");
    const std::string image = testsupport::ShellQuote(path());
    testsupport::RunCommandOrFail("head -c 16M /dev/urandom > " + image +
                                  " && printf 'label: dos\\n,4M,83\\n,3M,c\\n' | sfdisk -q " + image);
    std::istringstream in(testsupport::RunCommandOrFail(
        "sfdisk --json " + image + " | jq -r '.partitiontable.partitions[] | \"\\(.start) \\(.size)\"'"));
    for (int64_t start, size; in >> start >> size;) parts_.push_back({start, size});
    ASSERT_EQ(parts_.size(), 2u);
    guard_ = std::make_unique<devicetest::ImageGuard>(image_);
    disk_ = devicetest::OpenDisk(path());
  }
  void TearDown() override {
    disk_.reset();
    guard_.reset();
  }
  std::string path() const { return image_.string(); }
  DevicePtr Window(size_t part) {
    DevicePtr window(CreatePartitionDevice(disk_.get(), parts_[part].first, parts_[part].second));
    EXPECT_EQ(window->Open(), 1);
    return window;
  }

  testsupport::TempDir dir_;
  std::filesystem::path image_ = dir_ / "disk.img";
  std::vector<std::pair<int64_t, int64_t>> parts_;  // start, size
  std::unique_ptr<devicetest::ImageGuard> guard_;
  DevicePtr disk_;
};

TEST_F(PartitionedImage, AWindowReadsItsPartitionsSectorsThenZerosPastItsEnd) {
  const auto [start, size] = parts_[1];
  DevicePtr window = Window(1);
  EXPECT_EQ(window->GetTotalSectors(), size);
  EXPECT_EQ(dynamic_cast<IPartitionStorageDevice*>(window.get())->GetStartSector(), start);
  for (auto [first, count] : {std::pair<int64_t, int64_t>{0, 1}, {1, 64}, {size - 1, 1}, {0, size}}) {
    EXPECT_EQ(Read(*window, first, count), DdRead(path(), 512, start + first, count));
  }
  auto want = DdRead(path(), 512, start + size - 3, 3);
  want.resize(8 * 512, 0);
  EXPECT_EQ(Read(*window, size - 3, 8), want);
}

TEST_F(PartitionedImage, RefusesRangesOutsideTheWindow) {
  const int64_t size = parts_[0].second;
  DevicePtr window = Window(0);
  for (auto [first, count, code] : {std::tuple<int64_t, int64_t, ResultCode>{size, 1, 0x010E009600000005},
                                    {-1, 1, 0x010E009600000005},
                                    {0, size + 1, 0x010E009C00000005},
                                    {0, 0, 0x010E009C00000005},
                                    {0, -3, 0x010E009C00000005}}) {
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(window->ReadSector(buffer.data(), first, count), 0);
    EXPECT_EQ(window->GetLastError(), code) << first << "+" << count;
  }
  EXPECT_EQ(window->ReadSector(nullptr, 0, 1), 0);
  EXPECT_EQ(window->GetLastError(), 0x010E007000000005u);
  EXPECT_EQ(window->IOCtl(1, nullptr), 0);
  EXPECT_EQ(window->GetLastError(), 0x010E00AC00000003u);
  EXPECT_EQ(window->Close(), 1);
  EXPECT_EQ(CreatePartitionDevice(disk_.get(), -1, 5), nullptr);
  EXPECT_EQ(CreatePartitionDevice(disk_.get(), 0, -5), nullptr);
}

TEST_F(PartitionedImage, AParentsFailureIsTheWindows) {
  DevicePtr orphan(CreatePartitionDevice(nullptr, 0, 100));
  EXPECT_EQ(orphan->Open(), 0);
  EXPECT_EQ(orphan->GetLastError(), 0x010E005A00000007u);
  Read(*orphan, 0, 1, 0);
  EXPECT_EQ(orphan->GetLastError(), 0x010E006900000007u);

  DevicePtr closed(CreateDiskDevice(path().c_str()));  // never opened: its reads fail
  DevicePtr window(CreatePartitionDevice(closed.get(), parts_[0].first, parts_[0].second));
  ASSERT_EQ(window->Open(), 1);
  Read(*window, 0, 4, 0);
  EXPECT_EQ(window->GetLastError(), 0x010E008800000001u);

  devicetest::CMemoryDevice silent(std::vector<uint8_t>(64 * 512, 1), 512, 64);
  silent.FailReads(0xFF);  // fails with a success code
  DevicePtr over(CreatePartitionDevice(&silent, 8, 16));
  ASSERT_EQ(over->Open(), 1);
  Read(*over, 0, 1, 0);
  EXPECT_TRUE(result::IsFailure(over->GetLastError()));
}

TEST_F(PartitionedImage, ARecordSetsSizeAndCountButNeverTheStart) {
  const auto [start, size] = parts_[1];
  DevicePtr window = Window(1);
  window->SetPrivateData(PartitionRecord(disk_.get(), 7, 100));
  EXPECT_EQ(window->GetLastError(), 0u);
  EXPECT_EQ(window->GetTotalSectors(), 100);
  EXPECT_EQ(dynamic_cast<IPartitionStorageDevice*>(window.get())->GetStartSector(), start);
  EXPECT_EQ(Read(*window, 99, 1), DdRead(path(), 512, start + 99, 1));
  window->SetPrivateData(devicetest::MakeDiskData(4096, 5));  // another kind: geometry kept
  EXPECT_EQ(window->GetLastError(), 0x010E00C900000007u);
  EXPECT_EQ(window->GetTotalSectors(), 100);
  // A sector size other than the parent's would leave most of the buffer unread.
  window->SetPrivateData(PartitionRecord(disk_.get(), start, 16, 4096));
  Read(*window, 0, 16, 0);
  EXPECT_EQ(window->GetLastError(), 0x010E00A000000005u);
}

TEST_F(PartitionedImage, AVirtualVolumeCoversAUsablePartitionsWindow) {
  const auto [start, size] = parts_[1];
  DevicePtr partition(CreatePartitionDevice(disk_.get(), start, size));
  for (IStorageDeviceData* unusable : {static_cast<IStorageDeviceData*>(CreatePartitionDeviceData(nullptr)),
                                       static_cast<IStorageDeviceData*>(PartitionRecord(disk_.get(), 0, 10, 512, 1)),
                                       static_cast<IStorageDeviceData*>(PartitionRecord(nullptr, 0, 10)),
                                       static_cast<IStorageDeviceData*>(devicetest::MakeDiskData(512, 10))}) {
    partition->SetPrivateData(unusable);
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(partition.get()), nullptr);
  }
  EXPECT_EQ(CreatePartitionVirtualVolumeDevice(nullptr), nullptr);

  partition->SetPrivateData(PartitionRecord(disk_.get(), start, size));
  DevicePtr volume(CreatePartitionVirtualVolumeDevice(partition.get()));
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->GetType(), 2u);
  ASSERT_EQ(volume->Open(), 1);
  EXPECT_EQ(volume->GetTotalSectors(), size);
  EXPECT_EQ(dynamic_cast<IPartitionStorageDevice*>(volume.get())->GetStartSector(), start);
  EXPECT_EQ(Read(*volume, 0, 16), DdRead(path(), 512, start, 16));
  volume->SetPrivateData(CreatePartitionDeviceData(nullptr));  // a volume takes only volume records
  EXPECT_EQ(volume->GetLastError(), 0x010E00C900000007u);
}

TEST(PartitionWindowOverCache, TakesTheParentsSectorSizeWithoutADiskRecord) {
  // A caching or in-memory device (kind 3) carries no disk record.
  std::vector<uint8_t> bytes(64 * 4096);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  devicetest::CMemoryDevice parent(bytes, 4096, 64);
  DevicePtr window(new CPartitionVirtualVolumeDevice(&parent, 10, 20));
  EXPECT_EQ(window->GetSectorSize(), 4096u);  // even before Open, as a scanner that makes one directly uses it
  ASSERT_EQ(window->Open(), 1);
  EXPECT_EQ(window->GetSectorSize(), 4096u);
  EXPECT_EQ(Read(*window, 3, 2), std::vector<uint8_t>(bytes.begin() + 13 * 4096, bytes.begin() + 15 * 4096));
}

// A view of smaller sectors over a parent that claims nearly 2^63 of its
// own (a window sized by a damaged record): the count is held at the
// largest a count can be, not wrapped round; reads still go by the parent.
TEST(SectorSizeView, CountsAParentsClaimWithoutWrappingRound) {
  std::vector<uint8_t> bytes(4 * 4096);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 512);
  devicetest::CMemoryDevice huge(bytes, 4096, INT64_MAX / 2);
  CSectorSizeDevice view(&huge, 512, 1);
  EXPECT_EQ(view.GetTotalSectors(), INT64_MAX);
  EXPECT_EQ(Read(view, 3, 2), std::vector<uint8_t>(bytes.begin() + 4096 + 3 * 512, bytes.begin() + 4096 + 5 * 512));
  devicetest::CMemoryDevice small(bytes, 4096, 4);
  EXPECT_EQ(CSectorSizeDevice(&small, 512, 1).GetTotalSectors(), 24);
  EXPECT_EQ(CSectorSizeDevice(&small, 512, 4).GetTotalSectors(), 0);
}

}  // namespace
