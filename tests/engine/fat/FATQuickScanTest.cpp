// The quick scan end to end on images made by mkfs.fat and filled by mtools,
// against fls/icat and the original files: bare FAT16 and FAT32 volumes and
// the same as MBR partitions, a FAT32 volume with sector 0 wiped, a table
// whose folder chain loops, and the refusals.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

#include <unistd.h>

#include "FatTestSupport.h"
#include "QuickScanProbe.h"
#include "StorageDevice.h"
#include "VolumeAnalyze.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "fat/FATQuickSearcher.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using fattest::Expected;
using fattest::QuickScan;

struct Volume {
  const char* name;   // prefix of the peer files
  const char* image;  // image file
  int64_t start;
  int64_t count;  // -1: to the end
  int type;
};

void PrintTo(const Volume& v, std::ostream* os) { *os << v.name; }

class FatScan : public ::testing::TestWithParam<Volume> {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    const std::string why = fattest::EnsureFixtures();
    REQUIRE_OR_SKIP(why.empty(), why);
  }
};

TEST_P(FatScan, ShowsWhatFlsShowsAndCopiesOutTheOriginals) {
  const Volume& v = GetParam();
  const fs::path dir = fattest::FixtureDir();
  devicetest::ImageGuard guard(dir / v.image);
  QuickScan scan(fattest::OpenVolume(dir / v.image, v.start, v.count, v.type));
  ASSERT_EQ(scan.answer(), 0u);
  ASSERT_FALSE(scan.progress().empty());
  EXPECT_EQ(scan.progress().back().status, PROGRESS_STATUS_FINISHED);
  EXPECT_EQ(scan.progress().back().current, 100u);

  const std::vector<Expected> expected = fattest::ReadExpect(dir / (std::string(v.name) + ".expect.tsv"));
  ASSERT_GT(expected.size(), 250u);
  std::set<std::string> paths;
  // Parallel test processes share the temporary folder.
  const fs::path scratch = fs::path(::testing::TempDir()) / ("fat-copy-" + std::to_string(getpid()) + ".bin");
  int deletedCopies = 0;
  for (const Expected& e : expected) {
    paths.insert(e.path);
    const fattest::Found* f = scan.Find(e.path);
    if (f == nullptr) {
      ADD_FAILURE() << "not found: " << e.path;
      continue;
    }
    EXPECT_EQ(f->folder, e.folder) << e.path;
    EXPECT_EQ(f->deleted, e.deleted) << e.path;
    if (e.mtime >= 0) {
      EXPECT_EQ(f->mtime, e.mtime) << e.path;
    }
    if (e.folder) continue;
    EXPECT_EQ(static_cast<int64_t>(f->size), e.size) << e.path;
    // Live files must come back whole; deleted ones whenever their clusters
    // still hold them (the peer's copy equals the original).
    if (!e.deleted || e.peerSha256 == e.sha256) {
      EXPECT_EQ(scan.CopySha256(*f, scratch), e.sha256) << e.path;
      deletedCopies += e.deleted ? 1 : 0;
    }
  }
  EXPECT_GE(deletedCopies, 3);
  fs::remove(scratch);
  for (const fattest::Found& f : scan.found()) EXPECT_TRUE(paths.count(f.path)) << "not in fls: " << f.path;
}

INSTANTIATE_TEST_SUITE_P(Images, FatScan,
                         ::testing::Values(Volume{"f16", "f16.img", 0, -1, 1}, Volume{"f32", "f32.img", 0, -1, 2},
                                           Volume{"f32-wiped", "f32-wiped.img", 0, -1, 2},
                                           Volume{"mbr.p1", "mbr.img", 2048, 65536, 1},
                                           Volume{"mbr.p2", "mbr.img", 67584, 131072, 2}),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& c : n) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return n;
                         });

class FatRefusals : public FatScan {};

TEST_F(FatRefusals, Fat12AndAWipedFat16BootSectorAreRefusedWithTheirCodes) {
  const fs::path dir = fattest::FixtureDir();
  {
    devicetest::ImageGuard guard(dir / "f12.img");
    QuickScan scan(fattest::OpenVolume(dir / "f12.img", 0, -1, FILE_SYSTEM_TYPE_FAT12));
    EXPECT_EQ(scan.answer(), CFATQuickSearcher::kUnsupportedType);
    EXPECT_TRUE(scan.found().empty());
    EXPECT_EQ(scan.progress().back().status, PROGRESS_STATUS_FINISHED);
  }
  // FAT16 keeps no boot-sector copy.
  const fs::path wiped = fs::path(::testing::TempDir()) / ("f16-wiped-" + std::to_string(getpid()) + ".img");
  fs::copy_file(dir / "f16.img", wiped, fs::copy_options::overwrite_existing);
  {
    std::fstream f(wiped, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(512, '\0');
    f.write(zeros.data(), 512);
  }
  QuickScan scan(fattest::OpenVolume(wiped, 0, -1, FILE_SYSTEM_TYPE_FAT16));
  EXPECT_EQ(scan.answer(), CFATQuickSearcher::kNoBootSector);
  fs::remove(wiped);
}

TEST_F(FatRefusals, AFolderChainClosedIntoALoopEndsTheScan) {
  const fs::path dir = fattest::FixtureDir();
  devicetest::ImageGuard guard(dir / "f32-loop.img");
  QuickScan scan(fattest::OpenVolume(dir / "f32-loop.img", 0, -1, FILE_SYSTEM_TYPE_FAT32));
  EXPECT_EQ(scan.answer(), 0u);
  // Both tables carry the loop, so both are refused: what the root's first
  // cluster holds is still shown, and contiguous files still copy out.
  const fattest::Found* readme = scan.Find("readme.txt");
  ASSERT_NE(readme, nullptr);
  std::map<std::string, Expected> expected;
  for (const Expected& e : fattest::ReadExpect(dir / "f32.expect.tsv")) expected[e.path] = e;
  EXPECT_EQ(scan.CopySha256(*readme, fs::path(::testing::TempDir()) / ("loop-" + std::to_string(getpid()) + ".bin")), expected["readme.txt"].sha256);
  EXPECT_EQ(scan.progress().back().status, PROGRESS_STATUS_FINISHED);
}

// Device enumeration's view: the analyzers recognise the volume, and the
// deleted-file driver makes the FAT searcher for it.
TEST_F(FatRefusals, AnalyzerAndDriverTakeTheVolumeAsFsstatDoes) {
  const fs::path dir = fattest::FixtureDir();
  for (const char* name : {"f16", "f32"}) {
    const fs::path image = dir / (std::string(name) + ".img");
    std::ifstream fsstat(dir / (std::string(name) + ".fsstat.txt"));
    std::string line, label;
    uint64_t last = 0;
    while (std::getline(fsstat, line)) {
      if (line.rfind("Volume Label (Boot Sector): ", 0) == 0) label = line.substr(28);
      if (line.rfind("Total Range: 0 - ", 0) == 0) last = std::stoull(line.substr(17));
    }
    while (!label.empty() && label.back() == ' ') label.pop_back();
    IStorageDevice* device = CreateVolumeDevice(image.c_str());
    ASSERT_EQ(device->Open(), 1);
    IVolumeAnalyze* analyzer = CreateFatVolumeAnalyze(device, 0);
    ASSERT_NE(analyzer, nullptr);
    EXPECT_EQ(analyzer->GetFileSystemType(),
              std::string(name) == "f16" ? FILE_SYSTEM_TYPE_FAT16 : FILE_SYSTEM_TYPE_FAT32);
    EXPECT_EQ(analyzer->GetTotalSector(), last + 1) << name;
    char text[100];
    analyzer->GetLabel(text, sizeof text);
    EXPECT_EQ(std::string(text), label) << name;
    analyzer->Release();
    device->Release();
  }
  IStorageDevice* device = CreateVolumeDevice((dir / "f12.img").c_str());
  ASSERT_EQ(device->Open(), 1);
  IVolumeAnalyze* analyzer = CreateFatVolumeAnalyze(device, 0);
  EXPECT_EQ(analyzer->GetFileSystemType(), FILE_SYSTEM_TYPE_UNKNOWN);
  analyzer->Release();
  device->Release();

  devicetest::ImageGuard guard(dir / "f16.img");
  quickprobe::QuickScan probe(dir / "f16.img");
  ASSERT_TRUE(probe.Run());
  EXPECT_EQ(probe.fileSystemType(), FILE_SYSTEM_TYPE_FAT16);
  EXPECT_EQ(probe.searcherAnswer(), 0u);
  EXPECT_NE(probe.Find("Parent/New Folder/kept.txt"), nullptr);
}

}  // namespace
