// Copy-out of files that mkfs.vfat and mcopy placed on FAT images, located by
// the cluster chains mshowfat reports and the geometry minfo reports: the
// copies must be identical to the originals (cmp), on a bare image, inside an
// MBR partition and on the whole partitioned disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DataRecovery.h"
#include "copyout/CDataRecovery.h"
#include "device/PartitionDevice.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using copyouttest::FakeSearcher;
using copyouttest::FatGeometry;
using copyouttest::MakePartition;
using copyouttest::RunNode;
using copyouttest::SameFile;
using devicetest::DevicePtr;
using devicetest::ImageGuard;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;
using testsupport::TempDir;

constexpr uint64_t kMiB = 1024 * 1024;

struct RecoveryDeleter {
  void operator()(IDataRecovery* r) const {
    if (r != nullptr) r->Release();
  }
};
using RecoveryPtr = std::unique_ptr<IDataRecovery, RecoveryDeleter>;

struct ReaderDeleter {
  void operator()(IFileReader* r) const {
    if (r != nullptr) r->Release();
  }
};
using ReaderPtr = std::unique_ptr<IFileReader, ReaderDeleter>;

// A copy-out object over `device` with one FAT partition record.
RecoveryPtr MakeRecovery(IStorageDevice* device, const FatGeometry& g, int64_t firstDataSector, int64_t start,
                         int fsType) {
  FakeSearcher searcher;
  searcher.records.push_back(
      MakePartition(0, fsType, g.sectorsPerCluster, firstDataSector, start, g.totalSectors, 1.0, g.sectorSize));
  RecoveryPtr recovery(CreateDataRecoveryObj());
  EXPECT_EQ(recovery->Initialize(&searcher, device), 0u);
  return recovery;
}

// Copies `name` (an original in `source`) out of the image spec through
// `recovery` and answers whether cmp finds it identical.
void ExpectCopiesOut(IDataRecovery* recovery, const std::string& spec, const fs::path& original,
                     const fs::path& destination) {
  RunNode node(original.filename().string(), fs::file_size(original),
               copyouttest::FatRuns(spec, "::/" + original.filename().string()));
  ReaderPtr clone(recovery->SetRecoverNode(&node));
  ASSERT_NE(clone, nullptr) << original;
  EXPECT_EQ(clone->GetDataSize(), static_cast<int64_t>(fs::file_size(original)));
  ASSERT_EQ(recovery->RecoverTo(destination.c_str(), nullptr, 0), 0u) << original;
  EXPECT_TRUE(SameFile(original, destination)) << original << " differs from its copy";
}

struct FatCase {
  int bits;
  uint64_t kib;
  int sectorsPerCluster;
};

class FatImageCopyOut : public ::testing::TestWithParam<FatCase> {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("mkfs.vfat");
    REQUIRE_TOOL("mshowfat");
    const FatCase c = GetParam();
    copyouttest::WriteRandomFile(dir_ / "small.bin", 1000, 1);
    copyouttest::WriteRandomFile(dir_ / "odd.bin", 37123, 2);
    // Larger than two 4 MiB copy chunks, with a ragged end.
    const uint64_t big = c.bits == 12 ? 700 * 1024 + 5 : 9 * kMiB + 777;
    copyouttest::WriteRandomFile(dir_ / "big.bin", big, 3);
    copyouttest::WriteRandomFile(dir_ / "one-sector.bin", 512, 4);
    files_ = {dir_ / "small.bin", dir_ / "odd.bin", dir_ / "big.bin", dir_ / "one-sector.bin"};
    copyouttest::MakeFragmentedFat(image_, c.bits, c.kib, c.sectorsPerCluster, files_);
  }

  TempDir dir_;
  fs::path image_ = dir_ / "fat.img";
  std::vector<fs::path> files_;
};

TEST_P(FatImageCopyOut, EveryFileComesOutIdentical) {
  const FatCase c = GetParam();
  const FatGeometry g = copyouttest::ReadFatGeometry(image_.string());
  ImageGuard guard(image_);
  DevicePtr device = devicetest::OpenDisk(image_.string());
  ASSERT_NE(device, nullptr);
  const int fsType = c.bits == 12 ? 0 : c.bits == 16 ? 1 : 2;
  RecoveryPtr recovery = MakeRecovery(device.get(), g, g.firstDataSector, 0, fsType);
  // The big file must really be in pieces, or the test proves little.
  EXPECT_GT(copyouttest::FatRuns(image_.string(), "::/big.bin").size(), 1u);
  for (const fs::path& file : files_)
    ExpectCopiesOut(recovery.get(), image_.string(), file, dir_ / ("out-" + file.filename().string()));
}

INSTANTIATE_TEST_SUITE_P(Fat, FatImageCopyOut,
                         ::testing::Values(FatCase{12, 4096, 4}, FatCase{16, 32768, 4}, FatCase{32, 65536, 1}),
                         [](const auto& info) { return "Fat" + std::to_string(info.param.bits); });

class FatCopyOut : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("mkfs.vfat");
    REQUIRE_TOOL("mshowfat");
    copyouttest::WriteRandomFile(big_, 9 * kMiB + 777, 11);
    copyouttest::MakeFragmentedFat(image_, 16, 32768, 4, {big_});
    geometry_ = copyouttest::ReadFatGeometry(image_.string());
    runs_ = copyouttest::FatRuns(image_.string(), "::/big.bin");
  }

  RunNode BigNode() { return RunNode("big.bin", fs::file_size(big_), runs_); }

  TempDir dir_;
  fs::path image_ = dir_ / "fat16.img";
  fs::path big_ = dir_ / "big.bin";
  FatGeometry geometry_;
  std::vector<DataRun> runs_;
};

TEST_F(FatCopyOut, InsideAnMbrPartitionThroughThePartitionWindowAndTheWholeDisk) {
  REQUIRE_TOOL("sfdisk");
  const fs::path disk = dir_ / "disk.img";
  devicetest::MakeSparseImage(disk, 64 * kMiB);
  RunCommandOrFail("printf 'label: dos\\nstart=2048, size=" + std::to_string(fs::file_size(image_) / 512) +
                   ", type=6\\n' | sfdisk -q " + ShellQuote(disk.string()));
  const std::string json = RunCommandOrFail("sfdisk --json " + ShellQuote(disk.string()));
  const int64_t start =
      std::stoll(RunCommandOrFail("printf '%s' " + ShellQuote(json) +
                                  " | python3 -c 'import json,sys; "
                                  "print(json.load(sys.stdin)[\"partitiontable\"][\"partitions\"][0][\"start\"])'"));
  ASSERT_EQ(start, 2048);
  RunCommandOrFail("dd if=" + ShellQuote(image_.string()) + " of=" + ShellQuote(disk.string()) +
                   " bs=512 seek=" + std::to_string(start) + " conv=notrunc,sparse status=none");
  // Geometry and chains read by mtools through the partitioned disk itself.
  const std::string spec = disk.string() + "@@" + std::to_string(start * 512);
  const FatGeometry g = copyouttest::ReadFatGeometry(spec);
  ImageGuard guard(disk);
  DevicePtr parent = devicetest::OpenDisk(disk.string());
  ASSERT_NE(parent, nullptr);
  DevicePtr window(CreatePartitionDevice(parent.get(), start, static_cast<int64_t>(g.totalSectors)));
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(window->Open(), 1);

  // The window counts from the partition's first sector.
  RecoveryPtr inWindow = MakeRecovery(window.get(), g, g.firstDataSector, 0, 1);
  ExpectCopiesOut(inWindow.get(), spec, big_, dir_ / "window.bin");
  // The whole disk counts from the disk's first sector.
  RecoveryPtr onDisk = MakeRecovery(parent.get(), g, start + g.firstDataSector, start, 1);
  ExpectCopiesOut(onDisk.get(), spec, big_, dir_ / "disk.bin");
}

TEST_F(FatCopyOut, AByteLimitCopiesThatManyBytesAndNeverMoreThanTheFile) {
  ImageGuard guard(image_);
  DevicePtr device = devicetest::OpenDisk(image_.string());
  RecoveryPtr recovery = MakeRecovery(device.get(), geometry_, geometry_.firstDataSector, 0, 1);
  RunNode node = BigNode();
  ReaderPtr clone(recovery->SetRecoverNode(&node));
  ASSERT_NE(clone, nullptr);

  const fs::path head = dir_ / "head.expected";
  RunCommandOrFail("head -c 1000 " + ShellQuote(big_.string()) + " > " + ShellQuote(head.string()));
  ASSERT_EQ(recovery->RecoverTo((dir_ / "limit-1000").c_str(), nullptr, 1000), 0u);
  EXPECT_TRUE(SameFile(head, dir_ / "limit-1000"));

  // Above the file's size, and negative (a 2 GiB size squeezed into an int):
  // the whole file, not a file grown with zeros.
  ASSERT_EQ(recovery->RecoverTo((dir_ / "limit-above").c_str(), nullptr, 64 * 1024 * 1024), 0u);
  EXPECT_TRUE(SameFile(big_, dir_ / "limit-above"));
  ASSERT_EQ(recovery->RecoverTo((dir_ / "limit-negative").c_str(), nullptr, -2), 0u);
  EXPECT_TRUE(SameFile(big_, dir_ / "limit-negative"));
}

// The expected copy when `chunk` (4 MiB each) could not be read: the
// original with that range zeroed, made by python3.
fs::path WithZeroedChunk(const fs::path& original, const fs::path& out, uint64_t chunk) {
  RunCommandOrFail(
      "python3 -c 'import sys; d=bytearray(open(sys.argv[1],\"rb\").read()); c=int(sys.argv[3]); "
      "s=c*4194304; e=min(len(d),s+4194304); d[s:e]=bytes(e-s); open(sys.argv[2],\"wb\").write(d)' " +
      ShellQuote(original.string()) + " " + ShellQuote(out.string()) + " " + std::to_string(chunk));
  return out;
}

// The device sectors that hold file bytes [from, from + 1) of the runs.
int64_t SectorOfFileByte(const std::vector<DataRun>& runs, const FatGeometry& g, uint64_t byte) {
  const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * g.sectorSize;
  uint64_t cluster = byte / clusterBytes;
  for (const DataRun& run : runs) {
    if (cluster < static_cast<uint64_t>(run.length)) {
      return g.firstDataSector + (run.start + static_cast<int64_t>(cluster)) * g.sectorsPerCluster +
             static_cast<int64_t>((byte % clusterBytes) / g.sectorSize);
    }
    cluster -= static_cast<uint64_t>(run.length);
  }
  return -1;
}

TEST_F(FatCopyOut, AnUnreadableChunkBecomesAHoleOfItsSizeAndTheCopyGoesOn) {
  ImageGuard guard(image_);
  DevicePtr disk = devicetest::OpenDisk(image_.string());
  // One bad sector in the middle of the file's second 4 MiB chunk.
  const int64_t bad = SectorOfFileByte(runs_, geometry_, 6 * kMiB);
  ASSERT_GT(bad, 0);
  copyouttest::FailingRangeDevice device(disk.get(), bad, bad);
  RecoveryPtr recovery = MakeRecovery(&device, geometry_, geometry_.firstDataSector, 0, 1);
  RunNode node = BigNode();
  ReaderPtr clone(recovery->SetRecoverNode(&node));
  ASSERT_EQ(recovery->RecoverTo((dir_ / "holed").c_str(), nullptr, 0), 0u);
  EXPECT_EQ(fs::file_size(dir_ / "holed"), fs::file_size(big_));
  EXPECT_TRUE(SameFile(WithZeroedChunk(big_, dir_ / "expected", 1), dir_ / "holed"));
}

TEST_F(FatCopyOut, AnUnreadableLastChunkStillLeavesAFileOfTheFullSize) {
  ImageGuard guard(image_);
  DevicePtr disk = devicetest::OpenDisk(image_.string());
  const int64_t bad = SectorOfFileByte(runs_, geometry_, fs::file_size(big_) - 1);
  copyouttest::FailingRangeDevice device(disk.get(), bad, bad);
  RecoveryPtr recovery = MakeRecovery(&device, geometry_, geometry_.firstDataSector, 0, 1);
  RunNode node = BigNode();
  ReaderPtr clone(recovery->SetRecoverNode(&node));
  ASSERT_EQ(recovery->RecoverTo((dir_ / "tail").c_str(), nullptr, 0), 0u);
  EXPECT_EQ(fs::file_size(dir_ / "tail"), fs::file_size(big_));
  EXPECT_TRUE(SameFile(WithZeroedChunk(big_, dir_ / "expected", 2), dir_ / "tail"));
}

TEST_F(FatCopyOut, TheReaderCloneReadsAnyRangeIntoABufferOfExactlyThatSize) {
  ImageGuard guard(image_);
  DevicePtr device = devicetest::OpenDisk(image_.string());
  RecoveryPtr recovery = MakeRecovery(device.get(), geometry_, geometry_.firstDataSector, 0, 1);
  RunNode node = BigNode();
  ReaderPtr clone(recovery->SetRecoverNode(&node));
  ASSERT_NE(clone, nullptr);
  const std::vector<uint8_t> original = testsupport::ReadFile(big_);
  struct Range {
    uint64_t offset;
    unsigned length;
  };
  // Sector-aligned offsets, lengths that end inside sectors and clusters,
  // and ranges that pass the end of the file.
  for (const Range r : {Range{0, 1}, Range{512, 100}, Range{2048 * 3, 2048 * 5 + 7}, Range{4 * kMiB - 512, 4096},
                        Range{original.size() - 777, 777}, Range{original.size() - 289, 5000}}) {
    std::vector<char> buffer(r.length);  // exactly the bytes asked for: ASan sees any overrun
    const unsigned got = clone->ReadData(static_cast<long long>(r.offset), buffer.data(), r.length);
    const uint64_t expected = std::min<uint64_t>(r.length, original.size() - r.offset);
    ASSERT_EQ(got, expected) << r.offset;
    EXPECT_EQ(0, std::memcmp(buffer.data(), original.data() + r.offset, got)) << r.offset;
  }
  char byte;
  EXPECT_EQ(clone->ReadData(static_cast<long long>(original.size()), &byte, 1), 0u);
}

TEST(FatJpegPreview, ReadSmallJpgReturnsTheThumbnailExiftoolExtracts) {
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("exiftool");
  REQUIRE_TOOL("convert");
  TempDir dir;
  const fs::path photo = dir / "photo.jpg";
  const fs::path thumb = dir / "thumb.jpg";
  RunCommandOrFail("convert -seed 7 -size 1200x900 plasma:fractal -quality 95 " + ShellQuote(photo.string()));
  RunCommandOrFail("convert -seed 3 -size 320x240 plasma:fractal -quality 90 " + ShellQuote(thumb.string()));
  RunCommandOrFail("exiftool -q -overwrite_original " + ShellQuote("-ThumbnailImage<=" + thumb.string()) + " " +
                   ShellQuote(photo.string()));
  const fs::path expected = dir / "expected.jpg";
  RunCommandOrFail("exiftool -b -ThumbnailImage " + ShellQuote(photo.string()) + " > " + ShellQuote(expected.string()));
  const std::vector<uint8_t> want = testsupport::ReadFile(expected);
  // The preview rule looks for a picture longer than 2001 bytes inside the
  // first 64 KiB of a file of at least 64 KiB.
  ASSERT_GT(fs::file_size(photo), 0x10000u);
  ASSERT_GT(want.size(), 2001u);

  const fs::path image = dir / "fat.img";
  copyouttest::MakeFragmentedFat(image, 16, 16384, 4, {photo});
  const FatGeometry g = copyouttest::ReadFatGeometry(image.string());
  ImageGuard guard(image);
  DevicePtr device = devicetest::OpenDisk(image.string());
  RecoveryPtr recovery = MakeRecovery(device.get(), g, g.firstDataSector, 0, 1);
  RunNode node("photo.jpg", fs::file_size(photo), copyouttest::FatRuns(image.string(), "::/photo.jpg"));
  ReaderPtr clone(recovery->SetRecoverNode(&node));
  ASSERT_NE(clone, nullptr);
  std::vector<char> out(0x10000);
  const unsigned length = recovery->ReadSmallJPG(out.data(), static_cast<unsigned>(out.size()));
  ASSERT_EQ(length, want.size());
  EXPECT_EQ(0, std::memcmp(out.data(), want.data(), length));
  // Too small a buffer gets nothing.
  EXPECT_EQ(recovery->ReadSmallJPG(out.data(), 0xFFFF), 0u);
}

}  // namespace
