// The exFAT library on volumes mkfs.exfat makes (no mount needed): the volume
// analyzer against dump.exfat and FAT images, and the hostile cases of the
// format: boot-sector limits, table chains, entry sets, times, unusable
// volumes.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DataRunList.h"
#include "ExFatTestSupport.h"
#include "OnDiskBytes.h"
#include "VolumeAnalyze.h"
#include "exfat/EFDTAnalyze.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"
#include "exfat/ExFatPartition.h"
#include "exfat/ExFatQuickSearch.h"
#include "support/BytesDevice.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"
#include "support/TestSupport.h"

namespace {

using exfattest::AddSet;
using exfattest::MakeImage;
using testsupport::RunCommandOrFail;

// Fails every read that touches sector `bad`.
class FailingDevice : public testsupport::StubDevice {
 public:
  FailingDevice(const std::vector<uint8_t>& bytes, int64_t bad) : bytes_(bytes.data(), bytes.size()), bad_(bad) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    return first <= bad_ && bad_ < first + count ? 0 : bytes_.ReadSector(buffer, first, count);
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return bytes_.GetTotalSectors(); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }

 private:
  testsupport::BytesDevice bytes_;
  int64_t bad_;
};

std::vector<std::string> Names(const std::vector<uint8_t>& entries, bool* more) {
  CEFDTAnalyze parser;
  parser.PrepareAnayze(9, 12, 1 << 20);
  *more = parser.Analyze(entries.data(), entries.size(), 100);
  std::vector<std::string> names;
  for (const _tagFileBaseInfo& info : parser.GetFileList()) names.push_back(info.name);
  return names;
}

}  // namespace

TEST(ExFatVolumeAnalyzer, ReportsExFatVolumesAsDumpExFatDoesAndNothingOnFat) {
  for (const char* options : {"-c 512", "-c 4K", "-c 128K"}) {
    uint64_t length = 0;
    std::vector<uint8_t> image = MakeImage(std::string("mkfs.exfat ") + options + " IMG", "Volume Length", &length);
    image.insert(image.begin(), 2048 * 512, 0);  // a partition at 1 MiB
    testsupport::BytesDevice device(image.data(), image.size());
    IVolumeAnalyze* analyzer = CreateExfatVolumeAnalyze(&device, 2048);
    ASSERT_NE(analyzer, nullptr) << options;
    EXPECT_EQ(analyzer->GetFileSystemType(), FILE_SYSTEM_TYPE_EXFAT);
    EXPECT_EQ(analyzer->GetTotalSector(), length);
    analyzer->Release();
    EXPECT_EQ(CreateExfatVolumeAnalyze(&device, 0), nullptr);
    // Behind a device of 4096-byte sectors it is read in its own; its length
    // counts in the device's.
    testsupport::BytesDevice wide(image.data(), image.size(), 4096);
    analyzer = CreateExfatVolumeAnalyze(&wide, 2048 / 8);
    ASSERT_NE(analyzer, nullptr) << options;
    EXPECT_EQ(analyzer->GetTotalSector(), length / 8);
    analyzer->Release();
  }
  for (const char* fat : {"mkfs.fat -F 16 IMG", "mkfs.fat -F 32 -s 1 IMG"}) {
    const std::vector<uint8_t> image = MakeImage(fat);
    testsupport::BytesDevice device(image.data(), image.size());
    EXPECT_EQ(CreateExfatVolumeAnalyze(&device, 0), nullptr) << fat;
  }
}

TEST(ExFatBootSector, HoldsClustersAndHeapToTheVolumeIn64Bits) {
  const std::vector<uint8_t> image = MakeImage("mkfs.exfat -c 4K IMG");
  auto valid = [&](std::vector<std::pair<size_t, uint8_t>> bytes) {
    std::vector<uint8_t> boot(image.begin(), image.begin() + 512);
    for (auto [at, value] : bytes) boot[at] = value;
    return CExFatDBR(boot.data()).IsValid(512);
  };
  ASSERT_TRUE(valid({}));
  // One cluster of 32 MiB, the largest; 64 MiB is too large.
  EXPECT_TRUE(valid({{92, 1}, {93, 0}, {94, 0}, {95, 0}, {109, 16}}));
  EXPECT_FALSE(valid({{92, 1}, {93, 0}, {94, 0}, {95, 0}, {109, 17}}));
  // Heaps ending far past the volume, which 32-bit sums wrap round.
  EXPECT_FALSE(valid({{95, 0x20}}));
  EXPECT_FALSE(valid({{92, 0xF5}, {93, 0xFF}, {94, 0xFF}, {95, 0xFF}}));
  EXPECT_FALSE(valid({{40, 1}}));   // MustBeZero
  EXPECT_FALSE(valid({{110, 3}}));  // NumberOfFats
}

TEST(ExFatTable, ChainsStayInTheHeapAndLoopsEnd) {
  uint64_t count = 0;
  std::vector<uint8_t> image = MakeImage("mkfs.exfat -c 4K IMG", "Cluster Count", &count);
  const size_t fat = 2048 * 512;  // FatOffset of every mkfs.exfat volume this size
  ASSERT_EQ(ondisk::Le32(image.data() + 80) * 512u, fat);
  // 100 -> 101 -> 300 -> 100 loops; 400 leads past the last cluster.
  for (auto [from, to] : {std::pair<uint32_t, uint32_t>{100, 101}, {101, 300}, {300, 100}, {400, count + 2}}) {
    std::memcpy(image.data() + fat + from * 4, &to, 4);
  }
  testsupport::BytesDevice device(image.data(), image.size());
  CExFatPartition partition;
  ASSERT_TRUE(partition.Init(CExFatDBR(image.data()), &device, 0));
  EXPECT_EQ(partition.GetNextCluster(400, false), CFatTable::kEndOfChain);
  // A contiguous chain's next cluster is the next on disk, whatever the table says.
  EXPECT_EQ(partition.GetNextCluster(101, true), 102u);
  EXPECT_EQ(partition.GetNextCluster(uint32_t(count) + 1, true), CFatTable::kEndOfChain);
  EXPECT_EQ(partition.ConvertClusterNumToSector(1), 0);
  using Runs = std::vector<std::pair<int64_t, int64_t>>;
  bool guessed = false;
  auto runs = [&](uint32_t first, int64_t length, uint8_t contiguous, uint8_t inUse = 1) {
    _tagFileBaseInfo info;
    info.firstCluster = first, info.dataLength = length, info.contiguous = contiguous, info.inUse = inUse;
    IDataRunList* list = partition.BuildFileDataRun(info, &guessed);
    Runs out;
    for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext())
      out.emplace_back(run->start, run->length);
    list->Release();
    return out;
  };
  EXPECT_EQ(runs(100, int64_t{1} << 30, 0), (Runs{{98, 2}, {298, 1}}));
  EXPECT_EQ(runs(7, 1, 1), (Runs{{5, 1}}));
  EXPECT_EQ(runs(uint32_t(count), int64_t{1} << 30, 1), (Runs{{int64_t(count) - 2, 2}}));
  EXPECT_EQ(runs(0, 4096, 1), Runs{});
  EXPECT_FALSE(guessed);
  // A deleted file's chain is followed only while it still holds: as long as
  // its length and ending with the end-of-chain mark. Else its clusters are
  // guessed to follow each other.
  for (auto [from, to] : {std::pair<uint32_t, uint32_t>{500, 700}, {700, 0xFFFFFFFF}}) {
    std::memcpy(image.data() + fat + from * 4, &to, 4);
  }
  CExFatPartition again;
  ASSERT_TRUE(again.Init(CExFatDBR(image.data()), &device, 0));
  auto deleted = [&](uint32_t first, int64_t length) {
    _tagFileBaseInfo info;
    info.firstCluster = first, info.dataLength = length;
    std::unique_ptr<CExFatFileNode> node(again.BuildFile(info));
    Runs out;
    IDataRunList* list = node->GetDataRunList();
    for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext())
      out.emplace_back(run->start, run->length);
    out.emplace_back(node->IsContentGuessed() ? -1 : 0, static_cast<int64_t>(node->GetFileSize()));
    return out;
  };
  EXPECT_EQ(deleted(500, 8000), (Runs{{498, 1}, {698, 1}, {0, 8000}}));
  EXPECT_EQ(deleted(500, 4000), (Runs{{498, 1}, {-1, 4000}}));    // the chain runs on
  EXPECT_EQ(deleted(500, 12000), (Runs{{498, 3}, {-1, 12000}}));  // it ends too soon
  EXPECT_EQ(deleted(100, 12288), (Runs{{98, 3}, {-1, 12288}}));   // it loops
  // No node is more than its clusters hold.
  EXPECT_EQ(deleted(uint32_t(count), 1 << 20), (Runs{{int64_t(count) - 2, 2}, {-1, 8192}}));
  // A chain that holds in the table but runs through a cluster the bitmap
  // gives to a live file is no longer the file's.
  const uint32_t heap = ondisk::Le32(image.data() + 88) * 512;
  const size_t root = heap + (ondisk::Le32(image.data() + 96) - 2) * 4096;
  size_t entry = root;
  while (image[entry] != 0x81) entry += 32;
  const uint32_t bitmap = ondisk::Le32(image.data() + entry + 20);
  image[heap + (bitmap - 2) * 4096 + (700 - 2) / 8] |= 1 << ((700 - 2) % 8);
  again.SetAllocationBitmap(bitmap, ondisk::Le64(image.data() + entry + 24));
  EXPECT_EQ(again.IsClusterAllocated(700), 1);
  EXPECT_EQ(again.IsClusterAllocated(500), 0);
  EXPECT_EQ(deleted(500, 8000), (Runs{{498, 2}, {-1, 8000}}));
  // The guess passes over clusters live files hold.
  image[heap + (bitmap - 2) * 4096 + (501 - 2) / 8] |= 1 << ((501 - 2) % 8);
  again.SetAllocationBitmap(bitmap, ondisk::Le64(image.data() + entry + 24));
  EXPECT_EQ(deleted(500, 8000), (Runs{{498, 1}, {500, 1}, {-1, 8000}}));
  // Past the heap's last cluster it goes on at the first, passing over the
  // clusters mkfs.exfat gave the bitmap, the up-case table and the root.
  int64_t free = 0;
  while ((image[heap + (bitmap - 2) * 4096 + free / 8] >> (free % 8)) & 1) ++free;
  EXPECT_EQ(deleted(uint32_t(count), 4 * 4096), (Runs{{int64_t(count) - 2, 2}, {free, 2}, {-1, 4 * 4096}}));
}

TEST(ExFatEntrySets, OneBadSetCostsOnlyItselfAndNamesEndAtTheirLength) {
  std::vector<uint8_t> dir;
  AddSet(dir, u"a/b", 3, 2);                        // "/" is no name character
  AddSet(dir, u"\u00FFt\u00E9", 3, 2);              // ÿ and é are
  AddSet(dir, u"short!garbage", 5, 2);              // NameLength 5
  AddSet(dir, u"one", 3, 1);                        // SecondaryCount 1
  AddSet(dir, u"x", 1, 19);                         // 19
  AddSet(dir, std::u16string(255, u'L'), 255, 18);  // 18, the largest
  AddSet(dir, u"mixed", 5, 2);
  dir[dir.size() - 64] &= 0x7F;          // a deleted stream behind a live File entry
  for (uint8_t benign : {0xE0, 0xA0}) {  // vendor and GUID entries
    dir.resize(dir.size() + 32, 0);
    dir[dir.size() - 32] = benign;
  }
  AddSet(dir, u"gone.txt", 8, 2, 0);
  bool more = false;
  EXPECT_EQ(Names(dir, &more),
            (std::vector<std::string>{"\xC3\xBFt\xC3\xA9", "short", std::string(255, 'L'), "gone.txt"}));
  EXPECT_TRUE(more);
  std::vector<uint8_t> end(32, 0);  // the end of the folder: nothing after it counts
  AddSet(end, u"after", 5, 2);
  EXPECT_TRUE(Names(end, &more).empty());
  EXPECT_FALSE(more);
}

TEST(ExFatTimes, HonourTheUtcOffsetAndTheTenMillisecondCount) {
  // 2021-03-04 05:06:06 (the two-second field holds 3).
  const uint32_t stamp = (uint32_t{41 << 9 | 3 << 5 | 4} << 16) | (5 << 11 | 6 << 5 | 3);
  auto date = [](const std::string& when) { return std::stoll(RunCommandOrFail("date -d '" + when + "' +%s")); };
  auto unix = [](_FILETIME t) { return filetime::ToUnixSeconds(t); };
  // +01:00 is 4 quarter hours east; -05:30 is -22, 0x6A in 7 bits.
  EXPECT_EQ(unix(DosTime2FileTime(stamp, 0, 0x80 | 4)), date("2021-03-04 05:06:06 +0100"));
  EXPECT_EQ(unix(DosTime2FileTime(stamp, 100, 0x80 | 0x6A)), date("2021-03-04 05:06:07 -0530"));
  // Without the valid bit: this machine's local time, as date(1) takes it.
  EXPECT_EQ(unix(DosTime2FileTime(stamp, 0, 0x04)), date("2021-03-04 05:06:06"));
  EXPECT_EQ(DosTime2FileTime(0, 0, 0x80), 0u);
  // February 29th of leap years only (2000 is one, 2100 is not); a field no
  // clock gives leaves the time unknown.
  auto day = [](uint32_t year, uint32_t month, uint32_t day) {
    return ((year - 1980) << 25) | month << 21 | day << 16;
  };
  EXPECT_EQ(unix(DosTime2FileTime(day(2000, 2, 29), 0, 0x80)), date("2000-02-29 00:00:00 +0000"));
  for (const uint32_t impossible : {day(2021, 2, 29), day(2100, 2, 29), day(2021, 4, 31), day(2021, 13, 1),
                                    day(2021, 3, 0), day(2021, 3, 1) | 24 << 11, day(2021, 3, 1) | 30}) {
    EXPECT_EQ(DosTime2FileTime(impossible, 0, 0x80), 0u) << std::hex << impossible;
  }
}

TEST(ExFatQuickScan, UnusableVolumesAndUnreadableFoldersAreFailures) {
  uint64_t rootCluster = 0;
  std::vector<uint8_t> image = MakeImage("mkfs.exfat -c 4K IMG", "Root Cluster", &rootCluster);
  const int64_t root = int64_t{ondisk::Le32(image.data() + 88)} + (int64_t(rootCluster) - 2) * 8;
  struct Case {
    int64_t badSector;
    bool zeroBoot;
    ResultCode want;
    int records;
  };
  for (const Case& c : {Case{-1, false, 0, 1}, Case{-1, true, CExFatQuickSearch::kNotExFat, 0},
                        Case{0, false, CExFatQuickSearch::kBootUnreadable, 0},
                        Case{root + 3, false, CExFatQuickSearch::kReadFailed, 1}}) {
    std::vector<uint8_t> bytes = image;
    if (c.zeroBoot) std::memset(bytes.data(), 0, 512);
    FailingDevice device(bytes, c.badSector);
    testsupport::RecordingBuilder builder;
    testsupport::RecordingProgress sink;
    CExFatQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher.QuickSearchFiles(&device, &sink), c.want) << c.badSector;
    // Every scan ends its tree and says it finished, with what went wrong.
    const std::vector<std::string> opened{"info:33:" + std::to_string(root), "partition", "flash:33"};
    EXPECT_EQ(builder.events, c.records == 1 ? opened : std::vector<std::string>({"partition", "flash:33"}));
    const std::vector<_PROGRESS_INFO> records = sink.Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().status, PROGRESS_STATUS_FINISHED);
    EXPECT_EQ(records.back().error, c.want);
    CSearchedPartitionInfo* record = nullptr;
    EXPECT_EQ(searcher.GetSearchedPartitionInfo(&record, 1), c.records);
    delete record;
  }
}

TEST(ExFatEntrySets, ChecksumsOfRealLiveAndDeletedSetsHold) {
  // Folders exfat-fuse wrote (fuzz seeds made from the fixture images): the
  // files of "gone" and then the folder itself were deleted.
  int sets = 0;
  for (const char* seed : {"c4k-gone", "c4k-names"}) {
    const std::vector<uint8_t> bytes =
        testsupport::ReadFile(testsupport::SourceDir() / "tests/engine/exfat/fuzz/entries-corpus" / seed);
    for (size_t at = 1; at + 32 <= bytes.size(); at += 32) {
      const uint8_t* entry = bytes.data() + at;
      if (entry[0] != 0x85 && entry[0] != 0x05) continue;
      ++sets;
      std::vector<uint8_t> set(entry, entry + size_t{entry[1]} * 32 + 32);
      EXPECT_TRUE(CheckDirEntry(set.data(), set.size(), ondisk::Le16(entry + 2))) << seed << " " << at;
      set[40] ^= 1;
      EXPECT_FALSE(CheckDirEntry(set.data(), set.size(), ondisk::Le16(entry + 2))) << seed << " " << at;
    }
  }
  EXPECT_EQ(sets, 7);
}

// Two deleted files in the root of a volume mkfs.exfat made, laid as
// writers that keep a deleted file's chain leave them: one in two pieces,
// its chain still in the table, and a contiguous one (its entry says so)
// whose clusters hold the chain's second piece; neither starts inside the
// other. The one written later holds those clusters: the other's copy is
// not vouched for.
TEST(ExFatQuickScan, DeletedFilesMeetingAwayFromTheirFirstClustersAreJudgedByTheirTimes) {
  uint64_t rootCluster = 0;
  const std::vector<uint8_t> made = MakeImage("mkfs.exfat -c 4K IMG", "Root Cluster", &rootCluster);
  const size_t fat = size_t{ondisk::Le32(made.data() + 80)} * 512;
  const size_t heap = size_t{ondisk::Le32(made.data() + 88)} * 512;
  const size_t root = heap + (rootCluster - 2) * 4096;
  constexpr uint32_t kFirst = 1000;
  for (const bool chainLater : {false, true}) {
    std::vector<uint8_t> image = made;
    // The chain: 1000, 1001, then 1010, 1011.
    for (auto [from, to] : {std::pair<uint32_t, uint32_t>{kFirst, kFirst + 1},
                            {kFirst + 1, kFirst + 10},
                            {kFirst + 10, kFirst + 11},
                            {kFirst + 11, 0xFFFFFFFF}}) {
      std::memcpy(image.data() + fat + size_t{from} * 4, &to, 4);
    }
    // 2021-03-04 for the one written first, 2021-03-05 for the other.
    std::vector<uint8_t> sets;
    auto add = [&](const std::u16string& name, const exfattest::SetFields& fields, bool later) {
      const size_t at = sets.size();
      AddSet(sets, name, static_cast<uint8_t>(name.size()), 2, 0, fields);
      if (later) {
        for (int stamp : {8, 12, 16}) ondisk::StoreLe16(sets.data() + at + stamp + 2, 0x5265);
      }
      exfattest::SealSet(sets, at);
    };
    add(u"chain.bin", exfattest::SetFields{kFirst, 4 * 4096, false, false}, chainLater);
    add(u"flat.bin", exfattest::SetFields{kFirst + 8, 5 * 4096, false, true}, !chainLater);
    size_t end = root;
    while (image[end] != 0) end += 32;
    std::memcpy(image.data() + end, sets.data(), sets.size());

    testsupport::BytesDevice device(image.data(), image.size());
    testsupport::RecordingBuilder builder;
    testsupport::RecordingProgress sink;
    CExFatQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    ASSERT_EQ(searcher.QuickSearchFiles(&device, &sink), 0);
    std::map<std::string, bool> unsure;
    for (IFileNode* node : builder.owned) {
      if (node->IsDeleted() != 0) unsure[node->GetFileName()] = static_cast<CFileNode*>(node)->IsContentUnsure();
    }
    EXPECT_EQ(unsure, (std::map<std::string, bool>{{"chain.bin", !chainLater}, {"flat.bin", chainLater}}));
    CSearchedPartitionInfo* record = nullptr;
    searcher.GetSearchedPartitionInfo(&record, 1);
    delete record;
  }
}
