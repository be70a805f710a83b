// Copy-out of files that mkfs.vfat and mcopy placed, in pieces, on FAT16
// images, located by the chains mshowfat and the geometry minfo report: the
// copies must be identical to the originals. Copy-out knows runs and cluster
// sizes, not FAT variants: other cluster sizes are the memory-device tests'.
#include <gtest/gtest.h>

#include <cstring>

#include "device/PartitionDevice.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"

namespace {

using namespace copyouttest;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;
using testsupport::TempDir;

constexpr uint64_t kMiB = 1 << 20;

void ExpectCopiesOut(IDataRecovery* recovery, const std::string& spec, const fs::path& original, const fs::path& out) {
  RunNode node(original.filename().string(), fs::file_size(original),
               FatRuns(spec, "::/" + original.filename().string()));
  ASSERT_TRUE(Prepare(recovery, &node)) << original;
  ASSERT_EQ(recovery->RecoverTo(out.c_str(), nullptr, 0), 0u) << original;
  EXPECT_TRUE(SameFile(original, out)) << original << " differs from its copy";
}

// Reads through another device but fails every read touching one sector.
class FailingSector final : public testsupport::StubDevice {
 public:
  FailingSector(IStorageDevice* inner, int64_t bad) : inner_(inner), bad_(bad) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    return first <= bad_ && bad_ < first + count ? 0 : inner_->ReadSector(buffer, first, count);
  }
  uint32_t GetSectorSize() override { return inner_->GetSectorSize(); }
  int64_t GetTotalSectors() override { return inner_->GetTotalSectors(); }
  uint32_t GetType() override { return inner_->GetType(); }
  ResultCode GetLastError() override { return 0; }

 private:
  IStorageDevice* inner_;
  int64_t bad_;
};

// The device sector that holds byte `byte` of a file with these runs.
int64_t SectorOfFileByte(const std::vector<DataRun>& runs, const FatGeometry& g, uint64_t byte) {
  uint64_t cluster = byte / (g.sectorsPerCluster * 512);
  for (const DataRun& run : runs) {
    if (cluster < static_cast<uint64_t>(run.length)) {
      return g.firstDataSector + (run.start + static_cast<int64_t>(cluster)) * g.sectorsPerCluster +
             static_cast<int64_t>(byte % (g.sectorsPerCluster * 512) / 512);
    }
    cluster -= static_cast<uint64_t>(run.length);
  }
  return -1;
}

TEST(FatCopyOut, AFragmentedFileInAndOutsideAnMbrPartition) {
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("mshowfat");
  REQUIRE_TOOL("sfdisk");
  REQUIRE_TOOL("jq");
  TempDir dir;
  const fs::path image = dir / "fat16.img", big = dir / "big.bin", disk = dir / "disk.img", out = dir / "out";
  WriteRandomFile(big, 9 * kMiB + 777, 11);
  MakeFragmentedFat(image, 16, 32768, 4, {big});
  const Bytes original = testsupport::ReadFile(big);
  const FatGeometry g = ReadFatGeometry(image.string());
  const std::vector<DataRun> runs = FatRuns(image.string(), "::/big.bin");
  devicetest::ImageGuard guard(image);
  devicetest::DevicePtr device = devicetest::OpenDisk(image.string());
  RecoveryPtr recovery = MakeRecovery(device.get(), 1, g.sectorsPerCluster, g.firstDataSector);
  RunNode node("big.bin", original.size(), runs);
  IFileReader* clone = recovery->SetRecoverNode(&node);
  ASSERT_NE(clone, nullptr);
  // A byte limit copies that many bytes; above the file's size, or negative
  // (a size of 2 GiB or more squeezed into an int), the whole file.
  for (const int limit : {1000, 64 << 20, -2}) {
    ASSERT_EQ(recovery->RecoverTo(out.c_str(), nullptr, limit), 0u);
    EXPECT_EQ(testsupport::ReadFile(out), limit == 1000 ? Bytes(original.begin(), original.begin() + 1000) : original);
  }
  const uint64_t size = original.size();
  char byte;
  EXPECT_EQ(clone->ReadData(static_cast<long long>(size), &byte, 1), 0u);
  clone->Release();
  // An unreadable sector costs its 4 MiB chunk, which becomes zeros; the copy
  // goes on and keeps the file's size, also when the last chunk is lost, but
  // it is not the file: it ends incomplete.
  for (const uint64_t byte : {6 * kMiB, size - 1}) {
    FailingSector failing(device.get(), SectorOfFileByte(runs, g, byte));
    RecoveryPtr holed = MakeRecovery(&failing, 1, g.sectorsPerCluster, g.firstDataSector);
    ASSERT_TRUE(Prepare(holed.get(), &node));
    const ResultCode code = holed->RecoverTo(out.c_str(), nullptr, 0);
    ASSERT_TRUE(result::IsFailure(code));
    EXPECT_EQ(result::Error(code), result::kErrIncomplete);
    Bytes expected = original;
    const uint64_t chunk = byte / (4 * kMiB) * 4 * kMiB;
    std::fill(expected.begin() + chunk, expected.begin() + std::min(size, chunk + 4 * kMiB), 0);
    EXPECT_EQ(testsupport::ReadFile(out), expected) << byte;
  }
  // The same image inside an MBR partition that sfdisk made: through the
  // partition window (counting from its first sector) and on the whole disk.
  devicetest::MakeSparseImage(disk, 64 * kMiB);
  RunCommandOrFail("printf 'label: dos\\nstart=2048, size=" + std::to_string(fs::file_size(image) / 512) +
                   ", type=6\\n' | sfdisk -q " + ShellQuote(disk.string()));
  const int64_t start = parttest::Sfdisk(disk.string()).at(0).start;
  RunCommandOrFail("dd if=" + ShellQuote(image.string()) + " of=" + ShellQuote(disk.string()) +
                   " bs=512 seek=" + std::to_string(start) + " conv=notrunc,sparse status=none");
  const std::string spec = disk.string() + "@@" + std::to_string(start * 512);
  const FatGeometry inDisk = ReadFatGeometry(spec);
  devicetest::ImageGuard diskGuard(disk);
  devicetest::DevicePtr parent = devicetest::OpenDisk(disk.string());
  devicetest::DevicePtr window(CreatePartitionDevice(parent.get(), start, static_cast<int64_t>(inDisk.totalSectors)));
  ASSERT_EQ(window->Open(), 1);
  ExpectCopiesOut(MakeRecovery(window.get(), 1, inDisk.sectorsPerCluster, inDisk.firstDataSector).get(), spec, big,
                  dir / "window.bin");
  ExpectCopiesOut(MakeRecovery(parent.get(), 1, inDisk.sectorsPerCluster, start + inDisk.firstDataSector, start).get(),
                  spec, big, dir / "disk.bin");
}

TEST(FatJpegPreview, ReadSmallJpgReturnsTheThumbnailExiftoolExtracts) {
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("exiftool");
  REQUIRE_TOOL("convert");
  TempDir dir;
  const fs::path photo = dir / "photo.jpg", thumb = dir / "thumb.jpg", expected = dir / "expected.jpg";
  // Noise keeps a small picture above 64 KiB; the thumbnail is the same noise
  // scaled down, all in one run of the tool.
  RunCommandOrFail(
      "convert -seed 7 -size 320x320 xc:gray +noise Random -quality 90 \\( +clone -resize '160x120!' -write " +
      ShellQuote(thumb.string()) + " +delete \\) " + ShellQuote(photo.string()));
  RunCommandOrFail("exiftool -q -overwrite_original " + ShellQuote("-ThumbnailImage<=" + thumb.string()) + " " +
                   ShellQuote(photo.string()));
  RunCommandOrFail("exiftool -b -ThumbnailImage " + ShellQuote(photo.string()) + " > " + ShellQuote(expected.string()));
  const Bytes want = testsupport::ReadFile(expected);
  // The preview looks for a picture longer than 2001 bytes inside the first
  // 64 KiB of a file of at least 64 KiB.
  ASSERT_TRUE(fs::file_size(photo) > 0x10000u && want.size() > 2001u);
  const fs::path image = dir / "fat.img";
  MakeFragmentedFat(image, 16, 16384, 4, {photo});
  const FatGeometry g = ReadFatGeometry(image.string());
  devicetest::ImageGuard guard(image);
  devicetest::DevicePtr device = devicetest::OpenDisk(image.string());
  RecoveryPtr recovery = MakeRecovery(device.get(), 1, g.sectorsPerCluster, g.firstDataSector);
  RunNode node("photo.jpg", fs::file_size(photo), FatRuns(image.string(), "::/photo.jpg"));
  ASSERT_TRUE(Prepare(recovery.get(), &node));
  std::vector<char> out(0x10000);
  ASSERT_EQ(recovery->ReadSmallJPG(out.data(), static_cast<unsigned>(out.size())), want.size());
  EXPECT_EQ(0, std::memcmp(out.data(), want.data(), want.size()));
  EXPECT_EQ(recovery->ReadSmallJPG(out.data(), 0xFFFF), 0u) << "too small a buffer gets nothing";
}

}  // namespace
