// Disk and volume devices on image files: geometry, reads against dd, the
// failure codes callers compare, and that nothing is ever opened for writing.
#include "device/DiskDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "DeviceData.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using devicetest::DdRead;
using devicetest::DevicePtr;
using devicetest::ImageGuard;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

// Random bytes, 4 MiB and 300 bytes: the last sector is partial.
class DiskImage : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_ / "disk.img";
    RunCommandOrFail("head -c " + std::to_string(kBytes) + " /dev/urandom > " + ShellQuote(image_.string()));
  }
  std::string path() const { return image_.string(); }
  // The size as `stat` reports it.
  uint64_t StatSize() const { return std::stoull(RunCommandOrFail("stat -c %s " + ShellQuote(path()))); }

  static constexpr uint64_t kBytes = 4 * 1024 * 1024 + 300;
  testsupport::TempDir dir_;
  fs::path image_;
};

std::vector<uint8_t> Read(IStorageDevice& device, int64_t first, int64_t count, int* answer = nullptr) {
  std::vector<uint8_t> buffer(static_cast<size_t>(count) * device.GetSectorSize(), 0xCC);
  const int a = device.ReadSector(buffer.data(), first, count);
  if (answer != nullptr) *answer = a;
  return buffer;
}

// The open flags of the descriptor that refers to `path`, from /proc.
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

TEST_F(DiskImage, OpensReadOnlyWithCloseOnExec) {
  ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  const int flags = OpenFlagsOf(image_);
  ASSERT_NE(flags, -1) << "no descriptor refers to the image";
  EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
  EXPECT_NE(flags & O_CLOEXEC, 0);
}

TEST_F(DiskImage, CountsWhole512ByteSectorsOfTheFile) {
  ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  EXPECT_EQ(disk->GetType(), 0u);
  ASSERT_EQ(disk->Open(), 1);
  EXPECT_EQ(disk->GetLastError(), 0u);
  EXPECT_EQ(disk->GetSectorSize(), 512u);
  EXPECT_EQ(disk->GetTotalSectors(), static_cast<int64_t>(StatSize() / 512));
}

TEST_F(DiskImage, ReadsTheBytesThatDdReads) {
  ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  for (auto [first, count] : {std::pair<int64_t, int64_t>{0, 1}, {1, 7}, {4095, 1}, {100, 2048}, {0, 8192}}) {
    int answer = 0;
    EXPECT_EQ(Read(*disk, first, count, &answer), DdRead(path(), 512, first, count)) << first << "+" << count;
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(disk->GetLastError(), 0u);
  }
}

TEST_F(DiskImage, ReadingOverTheEndGivesTheBytesThereThenZeros) {
  ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  // Sectors 8190, 8191 are whole, 8192 holds the last 300 bytes.
  int answer = 0;
  const auto got = Read(*disk, 8190, 6, &answer);
  EXPECT_EQ(answer, 1);
  std::vector<uint8_t> want = DdRead(path(), 512, 8190, 6);
  ASSERT_EQ(want.size(), 2 * 512u + 300u);
  want.resize(6 * 512, 0);
  EXPECT_EQ(got, want);
}

TEST_F(DiskImage, AReadStartingPastTheEndFails) {
  ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  int answer = 1;
  Read(*disk, 8193, 1, &answer);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(disk->GetLastError(), 0x010E008800000001u);
}

TEST_F(DiskImage, RefusesBadArgumentsWithOneCode) {
  ImageGuard guard(image_);
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
  // A good read afterwards clears the last error.
  EXPECT_EQ(disk->ReadSector(buffer.data(), 0, 1), 1);
  EXPECT_EQ(disk->GetLastError(), 0u);
}

TEST_F(DiskImage, AnUnopenedDeviceFailsToRead) {
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  std::vector<uint8_t> buffer(512);
  EXPECT_EQ(disk->ReadSector(buffer.data(), 0, 1), 0);
  EXPECT_EQ(disk->GetLastError(), 0x010E008800000001u);
}

TEST_F(DiskImage, CloseAnswersWhetherItWasOpen) {
  ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  EXPECT_EQ(disk->Close(), 0);
  ASSERT_EQ(disk->Open(), 1);
  EXPECT_EQ(disk->Open(), 1);  // a second open keeps the first descriptor
  EXPECT_EQ(disk->Close(), 1);
  EXPECT_EQ(disk->Close(), 0);
  EXPECT_EQ(OpenFlagsOf(image_), -1) << "descriptor left open";
}

TEST_F(DiskImage, IOCtlIsNotSupported) {
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  EXPECT_EQ(disk->IOCtl(0x40046418, nullptr), 0);
  EXPECT_EQ(disk->GetLastError(), 0x010E00A200000003u);
}

TEST_F(DiskImage, ADiskRecordSetsTheGeometry) {
  ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  disk->SetPrivateData(devicetest::MakeDiskData(4096, 1024));
  EXPECT_EQ(disk->GetLastError(), 0u);
  EXPECT_EQ(disk->GetSectorSize(), 4096u);
  EXPECT_EQ(disk->GetTotalSectors(), 1024);
  // Reads now count in 4096-byte sectors.
  EXPECT_EQ(Read(*disk, 3, 2), DdRead(path(), 4096, 3, 2));
}

TEST_F(DiskImage, ARecordOfAnotherKindKeepsTheGeometryAndSaysSo) {
  ImageGuard guard(image_);
  DevicePtr disk(CreateDiskDevice(path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  auto* volumeInfo = new CCollectedVolumeDeviceInfoStruct();
  volumeInfo->sectorSize = 4096;
  volumeInfo->totalSectors = 10;
  IStorageDeviceData* volumeData = CreateVolumeDeviceData(volumeInfo);
  disk->SetPrivateData(volumeData);
  EXPECT_EQ(disk->GetPrivateData(), volumeData);  // kept all the same
  EXPECT_EQ(result::Module(disk->GetLastError()), 0x0E);
  EXPECT_EQ(result::Error(disk->GetLastError()), 7u);
  EXPECT_EQ(disk->GetSectorSize(), 512u);

  disk->SetPrivateData(CreateDiskDeviceData(nullptr));
  EXPECT_EQ(result::Error(disk->GetLastError()), 7u);
  const ResultCode noStructure = disk->GetLastError();
  disk->SetPrivateData(nullptr);
  EXPECT_EQ(result::Error(disk->GetLastError()), 7u);
  // Each missing piece is told apart by its line.
  EXPECT_NE(result::Line(disk->GetLastError()), result::Line(noStructure));
}

TEST_F(DiskImage, AVolumeTakesItsGeometryFromAVolumeRecord) {
  ImageGuard guard(image_);
  DevicePtr volume(CreateVolumeDevice(path().c_str()));
  EXPECT_EQ(volume->GetType(), 2u);
  ASSERT_EQ(volume->Open(), 1);
  volume->SetPrivateData(devicetest::MakeDiskData(4096, 3));
  EXPECT_EQ(result::Error(volume->GetLastError()), 7u);
  EXPECT_EQ(volume->GetSectorSize(), 512u);

  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->sectorSize = 1024;
  info->totalSectors = 77;
  volume->SetPrivateData(CreateVolumeDeviceData(info));
  EXPECT_EQ(volume->GetLastError(), 0u);
  EXPECT_EQ(volume->GetSectorSize(), 1024u);
  EXPECT_EQ(volume->GetTotalSectors(), 77);
  EXPECT_EQ(Read(*volume, 5, 3), DdRead(path(), 1024, 5, 3));
}

TEST(DiskDeviceOpen, AMissingNodeFailsSilently) {
  testsupport::TempDir dir;
  DevicePtr disk(CreateDiskDevice((dir / "no-such-disk").c_str()));
  ::testing::internal::CaptureStdout();
  const int answer = disk->Open();
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(disk->GetLastError(), 0x010E004100000001u);
}

TEST(DiskDeviceOpen, AFolderIsRefusedWithItsErrorNumberPrinted) {
  testsupport::TempDir dir;
  DevicePtr disk(CreateDiskDevice(dir.path().c_str()));
  ::testing::internal::CaptureStdout();
  const int answer = disk->Open();
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(printed, "open failed:" + std::to_string(EISDIR) + "\n");
  EXPECT_EQ(disk->GetLastError(), 0x010E004100000001u);
}

TEST(DiskDeviceOpen, KeepsPathsOfAnyLength) {
  // A path longer than 127 bytes must open the file it names, not a cut one.
  testsupport::TempDir dir;
  fs::path deep = dir.path();
  for (int i = 0; i < 6; ++i) deep /= std::string(40, static_cast<char>('a' + i));
  fs::create_directories(deep);
  const fs::path image = deep / "long.img";
  testsupport::WriteFile(image, std::string(1024, 'x'));
  ASSERT_GT(image.string().size(), 200u);
  DevicePtr disk(CreateDiskDevice(image.c_str()));
  ASSERT_EQ(disk->Open(), 1);
  EXPECT_STREQ(static_cast<CDiskDevice*>(disk.get())->GetDevicePath(), image.c_str());
  EXPECT_EQ(disk->GetTotalSectors(), 2);
}

TEST(DiskDeviceCreate, NeedsAPath) {
  EXPECT_EQ(CreateDiskDevice(nullptr), nullptr);
  EXPECT_EQ(CreateDiskDevice(""), nullptr);
  EXPECT_EQ(CreateVolumeDevice(nullptr), nullptr);
}

// Counts how often a record holder is destroyed.
struct CountingDiskData final : IDiskDeviceData {
  explicit CountingDiskData(int& deaths) : deaths(deaths) {}
  ~CountingDiskData() override { ++deaths; }
  CCollectDiskDeviceInfoStruct* GetDiskInfo() override { return nullptr; }
  void SetDiskInfo(CCollectDiskDeviceInfoStruct*) override {}
  int& deaths;
};

TEST(DiskDeviceRecord, TheDeviceOwnsItsRecord) {
  int deaths = 0;
  {
    DevicePtr disk(CreateDiskDevice("/nonexistent"));
    auto* first = new CountingDiskData(deaths);
    disk->SetPrivateData(first);
    disk->SetPrivateData(first);  // setting the same record again keeps it
    EXPECT_EQ(deaths, 0);
    disk->SetPrivateData(new CountingDiskData(deaths));
    EXPECT_EQ(deaths, 1);
  }
  EXPECT_EQ(deaths, 2);
}

}  // namespace
