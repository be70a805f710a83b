// Disk and volume devices on image files: geometry, reads against dd, the
// failure codes callers compare, records (which the device owns, with text
// fields that always end in a terminator), and that nothing is opened for
// writing.
#include "device/DiskDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <limits>

#include <fcntl.h>

#include "engine/device/DeviceTestSupport.h"

namespace {

namespace fs = std::filesystem;
using devicetest::DdRead;
using devicetest::DevicePtr;
using devicetest::Read;

constexpr ResultCode kReadFailed = 0x010E008800000001;

// The open flags of this process's descriptor of `path` (-1: none), from /proc.
int OpenFlagsOf(const fs::path& path) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) != fs::canonical(path)) continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("flags:", 0) == 0) return std::stoi(line.substr(6), nullptr, 8);
    }
  }
  return -1;
}

// 4 MiB and 300 bytes of random data: the last sector is partial.
class DiskImage : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::RunCommandOrFail("head -c 4194604 /dev/urandom > " + testsupport::ShellQuote(path()));
  }
  std::string path() const { return image_.string(); }

  testsupport::TempDir dir_;
  fs::path image_ = dir_ / "disk.img";
};

TEST_F(DiskImage, OpensReadOnlyOnceAndClosesItsDescriptor) {
  devicetest::ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  EXPECT_EQ(disk->Close(), 0);
  ASSERT_EQ(disk->Open(), 1);
  EXPECT_EQ(disk->Open(), 1);
  const int flags = OpenFlagsOf(image_);
  EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
  EXPECT_NE(flags & O_CLOEXEC, 0);
  EXPECT_EQ(disk->GetTotalSectors(), static_cast<int64_t>(fs::file_size(image_) / 512));
  EXPECT_EQ(disk->IOCtl(0x40046418, nullptr), 0);
  EXPECT_EQ(disk->GetLastError(), 0x010E00A200000003u);
  EXPECT_EQ(disk->Close(), 1);
  EXPECT_EQ(disk->Close(), 0);
  EXPECT_EQ(OpenFlagsOf(image_), -1) << "descriptor left open";
}

TEST_F(DiskImage, ReadsWhatDdReadsAndZerosPastTheEnd) {
  devicetest::ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  Read(*disk, 0, 1, 0);  // not open yet
  EXPECT_EQ(disk->GetLastError(), kReadFailed);
  ASSERT_EQ(disk->Open(), 1);
  for (auto [first, count] : {std::pair<int64_t, int64_t>{0, 1}, {1, 7}, {4095, 1}, {100, 2048}, {0, 8192}}) {
    EXPECT_EQ(Read(*disk, first, count), DdRead(path(), 512, first, count));
    EXPECT_EQ(disk->GetLastError(), 0u);
  }
  // Sectors 8190 and 8191 are whole, 8192 holds the last 300 bytes; never
  // what the buffer held before.
  auto want = DdRead(path(), 512, 8190, 6);
  ASSERT_EQ(want.size(), 1324u);
  want.resize(6 * 512, 0);
  EXPECT_EQ(Read(*disk, 8190, 6), want);
  Read(*disk, 8193, 1, 0);
  EXPECT_EQ(disk->GetLastError(), kReadFailed);
}

TEST_F(DiskImage, RefusesBadArgumentsWithOneCode) {
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  std::vector<uint8_t> buffer(512);
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const struct {
    void* buffer;
    int64_t first, count;
  } cases[] = {{nullptr, 0, 1},
               {buffer.data(), -1, 1},
               {buffer.data(), 0, 0},
               {buffer.data(), 0, -8},
               {buffer.data(), kMax / 2, 1},
               {buffer.data(), kMax / 512, 1},
               {buffer.data(), 1, kMax / 256}};
  for (const auto& c : cases) {
    EXPECT_EQ(disk->ReadSector(c.buffer, c.first, c.count), 0) << c.first << "+" << c.count;
    EXPECT_EQ(disk->GetLastError(), 0x010E007900000005u) << c.first << "+" << c.count;
  }
  EXPECT_EQ(disk->ReadSector(buffer.data(), 0, 1), 1);
  EXPECT_EQ(disk->GetLastError(), 0u);
}

TEST_F(DiskImage, OnlyARecordOfTheDevicesKindSetsItsGeometry) {
  devicetest::ImageGuard guard(image_);
  auto volumeRecord = [](int64_t size, int64_t total) -> IStorageDeviceData* {
    auto* info = new CCollectedVolumeDeviceInfoStruct();
    info->sectorSize = size;
    info->totalSectors = total;
    return CreateVolumeDeviceData(info);
  };
  const struct {
    IStorageDevice* (*create)(const char*);
    std::function<IStorageDeviceData*()> record;
    ResultCode error;  // 0: the record applies
  } cases[] = {
      {CreateDiskDevice, [] { return devicetest::MakeDiskData(4096, 1024); }, 0},
      {CreateVolumeDevice, [&] { return volumeRecord(1024, 77); }, 0},
      {CreateDiskDevice, [&] { return volumeRecord(4096, 10); }, 0x010E00B900000007},
      {CreateVolumeDevice, [] { return devicetest::MakeDiskData(4096, 3); }, 0x010E00B900000007},
      {CreateDiskDevice, [] { return CreateDiskDeviceData(nullptr); }, 0x010E00BE00000007},
      {CreateDiskDevice, [] { return nullptr; }, 0x010E00B400000007},
  };
  for (const auto& c : cases) {
    DevicePtr device(c.create(path().c_str()));
    ASSERT_EQ(device->Open(), 1);
    IStorageDeviceData* record = c.record();
    device->SetPrivateData(record);
    device->SetPrivateData(record);               // kept, not freed (the sanitizer build checks)
    EXPECT_EQ(device->GetPrivateData(), record);  // whatever its kind
    EXPECT_EQ(device->GetLastError(), c.error);
    if (c.error != 0) {
      EXPECT_EQ(device->GetSectorSize(), 512u);
      continue;
    }
    const unsigned size = device->GetSectorSize();
    EXPECT_NE(size, 512u);
    EXPECT_LT(device->GetTotalSectors(), 1025);
    EXPECT_EQ(Read(*device, 3, 2), DdRead(path(), size, 3, 2));
  }
}

TEST(DiskDeviceOpen, FailsWithOneCode) {
  testsupport::TempDir dir;
  for (const fs::path& path : {dir / "missing", dir.path()}) {
    DevicePtr disk(CreateDiskDevice(path.c_str()));
    EXPECT_EQ(disk->Open(), 0);
    EXPECT_EQ(disk->GetLastError(), 0x010E004100000001u);
  }
  EXPECT_EQ(CreateDiskDevice(nullptr), nullptr);
  EXPECT_EQ(CreateVolumeDevice(""), nullptr);
}

TEST(DeviceRecordHolders, KeepTheirOwnRecordWhenGivenItAgainAndAnswerOnlyForTheirKind) {
  auto* first = new CCollectDiskDeviceInfoStruct();
  IDiskDeviceData* holder = CreateDiskDeviceData(first);
  ASSERT_NE(holder, nullptr);
  holder->SetDiskInfo(first);  // kept, not freed: the write below is checked by the sanitizer build
  first->sectorSize = 4096;
  EXPECT_EQ(holder->GetDiskInfo(), first);
  auto* second = new CCollectDiskDeviceInfoStruct();
  holder->SetDiskInfo(second);  // the first record goes (the leak check sees it otherwise)
  EXPECT_EQ(holder->GetDiskInfo(), second);

  devicetest::CMemoryDevice device({}, 512, 8, STORAGE_DEVICE_DISK);
  device.SetPrivateData(holder);
  EXPECT_EQ(DiskRecordOf(&device), second);
  EXPECT_EQ(VolumeRecordOf(&device), nullptr);
  EXPECT_EQ(PartitionRecordOf(&device), nullptr);
  auto* partition = new CCollectedPartitionDeviceInfoStruct();
  device.SetPrivateData(CreatePartitionDeviceData(partition));
  EXPECT_EQ(PartitionRecordOf(&device), partition);
  EXPECT_EQ(DiskRecordOf(&device), nullptr);
  device.SetPrivateData(CreateVolumeDeviceData(nullptr));
  EXPECT_EQ(VolumeRecordOf(&device), nullptr);
  device.SetPrivateData(nullptr);
  EXPECT_EQ(VolumeRecordOf(&device), nullptr);
  EXPECT_EQ(DiskRecordOf(nullptr), nullptr);
}

TEST(SetRecordText, CutsLongTextsClearsTheRestAndAlwaysTerminates) {
  CCollectedVolumeDeviceInfoStruct v;
  for (const auto& [text, want] : {std::pair<const char*, std::string>{"sdb1", "sdb1"},
                                   {"Apple_UNIX_SVR2_and_more_than_thirty_two", "Apple_UNIX_SVR2_and_more_than_th"},
                                   {nullptr, ""}}) {
    std::memset(v.apmType, 'x', sizeof v.apmType);
    SetRecordText(v.apmType, text);
    EXPECT_EQ(v.apmType, want);
    EXPECT_EQ(std::string(v.apmType, sizeof v.apmType), want + std::string(sizeof v.apmType - want.size(), '\0'));
  }
}

}  // namespace
