// The exFAT library on volumes made by mkfs.exfat (no mount needed): the
// volume analyzer against dump.exfat and FAT images, boot-sector limits,
// table chains, entry sets the format allows or forbids, times against
// date(1), and the quick scan's answers on unusable volumes.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DataRunList.h"
#include "DirecotryTreeBuilder.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "Progress.h"
#include "VolumeAnalyze.h"
#include "exfat/EFDTAnalyze.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"
#include "exfat/ExFatPartition.h"
#include "exfat/ExFatQuickSearch.h"
#include "support/BytesDevice.h"
#include "support/TestSupport.h"

namespace {

using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

// A fresh image from `command` (with IMG standing for its path), in memory.
std::vector<uint8_t> MakeImage(const std::string& command, std::string* dump = nullptr) {
  testsupport::TempDir dir;
  const std::string img = ShellQuote((dir / "v.img").string());
  std::string line = command;
  line.replace(line.find("IMG"), 3, img);
  RunCommandOrFail("truncate -s 64M " + img + " && " + line + " >/dev/null");
  if (dump != nullptr) *dump = RunCommandOrFail("dump.exfat " + img + " 2>/dev/null");
  return testsupport::ReadFile(dir / "v.img");
}

uint64_t DumpField(const std::string& dump, const std::string& field) {
  const size_t at = dump.find(field);
  EXPECT_NE(at, std::string::npos) << field;
  return at == std::string::npos
             ? 0
             : std::strtoull(dump.c_str() + dump.find_first_of("0123456789", at + field.size()), nullptr, 0);
}

class Builder : public IDirecotryTreeBuilder {
 public:
  ~Builder() override {
    for (IFileNode* node : nodes) node->Release();
  }
  int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
  int AddNode(IFileNode* node, _tagSearcherType) override {
    nodes.push_back(node);
    return 1;
  }
  int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
  void FlashBuild(_tagSearcherType) override { ++flashes; }
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
  std::vector<IFileNode*> nodes;
  int flashes = 0;
};

class Sink : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO* info) override {
    last = *info;
    return 0;
  }
  int Continued() override { return 1; }
  int shouldBuild() override { return 1; }
  _PROGRESS_INFO last;
};

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

// One entry set as a writer lays it out; the checksum is left 0.
std::vector<uint8_t> EntrySet(const std::u16string& name, uint8_t nameLength, int secondaries, bool inUse = true) {
  std::vector<uint8_t> set(size_t(secondaries + 1) * 32, 0);
  const uint8_t live = inUse ? 0x80 : 0;
  set[0] = 0x05 | live;
  set[1] = static_cast<uint8_t>(secondaries);
  for (int at : {8, 12, 16}) ondisk::StoreLe16(set.data() + at + 2, 0x5264);  // 2021-03-04
  set[32] = 0x40 | live;
  set[32 + 1] = 1;
  set[32 + 3] = nameLength;
  for (int entry = 2; entry <= secondaries; ++entry) set[size_t(entry) * 32] = 0x41 | live;
  for (size_t i = 0; i < name.size() && 2 + i / 15 <= size_t(secondaries); ++i) {
    ondisk::StoreLe16(set.data() + (2 + i / 15) * 32 + 2 + 2 * (i % 15), static_cast<uint16_t>(name[i]));
  }
  return set;
}

std::vector<std::string> Names(const std::vector<uint8_t>& entries, bool* ended = nullptr) {
  CEFDTAnalyze parser;
  parser.PrepareAnayze(9, 12, 1 << 20);
  const bool more = parser.Analyze(entries.data(), entries.size(), 100);
  if (ended != nullptr) *ended = !more;
  std::vector<std::string> names;
  for (const _tagFileBaseInfo& info : parser.GetFileList()) names.push_back(info.name);
  return names;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

}  // namespace

TEST(ExFatVolumeAnalyzer, ReportsExFatVolumesAsDumpExFatDoesAndNothingOnFat) {
  for (const char* options : {"-c 512", "-c 4K", "-c 128K"}) {
    std::string dump;
    std::vector<uint8_t> image = MakeImage(std::string("mkfs.exfat ") + options + " IMG", &dump);
    // Behind a 1 MiB gap, as a partition would be.
    image.insert(image.begin(), 2048 * 512, 0);
    testsupport::BytesDevice device(image.data(), image.size());
    IVolumeAnalyze* analyzer = CreateExfatVolumeAnalyze(&device, 2048);
    ASSERT_NE(analyzer, nullptr) << options;
    EXPECT_EQ(analyzer->GetFileSystemType(), FILE_SYSTEM_TYPE_EXFAT);
    EXPECT_EQ(analyzer->GetTotalSector(), DumpField(dump, "Volume Length(sectors):"));
    char label[8] = "x";
    analyzer->GetLabel(label, sizeof label);
    EXPECT_STREQ(label, "");
    analyzer->Release();
    EXPECT_EQ(CreateExfatVolumeAnalyze(&device, 0), nullptr);
    // The same boot sector on a device of 4096-byte sectors does not fit it.
    testsupport::BytesDevice large(image.data() + 2048 * 512, image.size() - 2048 * 512, 4096);
    EXPECT_EQ(CreateExfatVolumeAnalyze(&large, 0), nullptr);
  }
  for (const char* fat : {"mkfs.fat -F 16 IMG", "mkfs.fat -F 32 -s 1 IMG"}) {
    const std::vector<uint8_t> image = MakeImage(fat);
    testsupport::BytesDevice device(image.data(), image.size());
    EXPECT_EQ(CreateExfatVolumeAnalyze(&device, 0), nullptr) << fat;
  }
}

TEST(ExFatBootSector, HoldsClusterSizeAndHeapToTheVolumeIn64Bits) {
  const std::vector<uint8_t> image = MakeImage("mkfs.exfat -c 4K IMG");
  std::vector<uint8_t> boot(image.begin(), image.begin() + 512);
  ASSERT_TRUE(CExFatDBR(boot.data()).IsValid(512));
  EXPECT_FALSE(CExFatDBR(boot.data()).IsValid(4096));
  auto with = [&](size_t at, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> copy = boot;
    std::memcpy(copy.data() + at, bytes.data(), bytes.size());
    return CExFatDBR(copy.data()).IsValid(512);
  };
  // Clusters of 32 MiB are the largest; one cluster keeps the heap inside.
  std::vector<uint8_t> one = boot;
  one[92] = 1, one[93] = one[94] = one[95] = 0, one[109] = 16;
  EXPECT_TRUE(CExFatDBR(one.data()).IsValid(512));
  one[109] = 17;
  EXPECT_FALSE(CExFatDBR(one.data()).IsValid(512));
  // A cluster count whose heap would end far past the volume wraps round
  // to a small number in 32 bits.
  EXPECT_FALSE(with(92, {0x01, 0x00, 0x00, 0x20}));
  EXPECT_FALSE(with(92, {0xF5, 0xFF, 0xFF, 0xFF}));
  EXPECT_FALSE(with(40, {1}));   // MustBeZero
  EXPECT_FALSE(with(110, {3}));  // NumberOfFats
  EXPECT_FALSE(with(96, {1, 0, 0, 0}));
}

TEST(ExFatTable, ChainsStayInTheHeapAndLoopsEnd) {
  std::string dump;
  std::vector<uint8_t> image = MakeImage("mkfs.exfat -c 4K IMG", &dump);
  const uint64_t fat = DumpField(dump, "FAT Offset(sector offset):") * 512;
  const uint32_t count = static_cast<uint32_t>(DumpField(dump, "Cluster Count:"));
  // 100 -> 101 -> 300 -> 100: a loop; 400 -> past the last cluster.
  auto link = [&](uint32_t from, uint32_t to) { std::memcpy(image.data() + fat + from * 4, &to, 4); };
  link(100, 101), link(101, 300), link(300, 100), link(400, count + 2);
  testsupport::BytesDevice device(image.data(), image.size());
  CExFatPartition partition;
  ASSERT_TRUE(partition.Init(CExFatDBR(image.data()), &device, 0));
  EXPECT_EQ(partition.GetNextCluster(400, false), CFatTable::kEndOfChain);
  EXPECT_EQ(partition.GetNextCluster(count + 1, true), CFatTable::kEndOfChain);
  EXPECT_EQ(partition.GetNextCluster(count + 2, false), CFatTable::kEndOfChain);
  EXPECT_EQ(partition.GetNextCluster(1, false), CFatTable::kEndOfChain);
  EXPECT_EQ(partition.ConvertClusterNumToSector(1), 0);

  auto runs = [&](uint32_t first, int64_t length, bool contiguous) {
    _tagFileBaseInfo info;
    info.firstCluster = first;
    info.dataLength = length;
    info.contiguous = contiguous ? 1 : 0;
    IDataRunList* list = partition.BuildFileDataRun(info);
    std::vector<std::pair<int64_t, int64_t>> out;
    for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext())
      out.emplace_back(run->start, run->length);
    list->Release();
    return out;
  };
  using Runs = std::vector<std::pair<int64_t, int64_t>>;
  EXPECT_EQ(runs(100, int64_t{1} << 30, false), (Runs{{98, 2}, {298, 1}}));
  EXPECT_EQ(runs(7, 1, true), (Runs{{5, 1}}));
  EXPECT_EQ(runs(count, int64_t{1} << 30, true), (Runs{{count - 2, 2}}));
  EXPECT_EQ(runs(0, 4096, true), Runs{});
}

TEST(ExFatEntrySets, OneBadSetCostsOnlyItselfAndNamesEndAtTheirLength) {
  std::vector<uint8_t> dir;
  Append(dir, EntrySet(u"a/b", 3, 2));                          // "/" is refused
  Append(dir, EntrySet(u"\u00FFt\u00E9", 3, 2));                // ÿ and é are names
  std::vector<uint8_t> cut = EntrySet(u"short!garbage", 5, 2);  // NameLength 5
  Append(dir, cut);
  Append(dir, EntrySet(u"one", 3, 1));                        // SecondaryCount 1
  Append(dir, EntrySet(u"x", 1, 19));                         // 19
  Append(dir, EntrySet(std::u16string(255, u'L'), 255, 18));  // 18, the largest
  std::vector<uint8_t> mixed = EntrySet(u"mixed", 5, 2);
  mixed[32] &= 0x7F;  // a deleted stream behind a live File entry
  Append(dir, mixed);
  std::vector<uint8_t> vendor(32, 0);
  vendor[0] = 0xE0;
  Append(dir, vendor);
  vendor[0] = 0xA0;
  Append(dir, vendor);
  Append(dir, EntrySet(u"gone.txt", 8, 2, false));
  bool ended = true;
  EXPECT_EQ(Names(dir, &ended),
            (std::vector<std::string>{"\xC3\xBFt\xC3\xA9", "short", std::string(255, 'L'), "gone.txt"}));
  EXPECT_FALSE(ended);
  // The end-of-directory entry ends the folder: nothing behind it counts.
  std::vector<uint8_t> end(32, 0);
  Append(end, EntrySet(u"after", 5, 2));
  EXPECT_TRUE(Names(end, &ended).empty());
  EXPECT_TRUE(ended);
}

TEST(ExFatTimes, HonourTheUtcOffsetAndTheTenMillisecondCount) {
  // 2021-03-04 05:06:06 as stored (the two-second field holds 3).
  const uint32_t stamp = (uint32_t{(2021 - 1980) << 9 | 3 << 5 | 4} << 16) | (5 << 11 | 6 << 5 | 3);
  auto unix = [](const std::string& when) { return std::stoll(RunCommandOrFail("date -u -d '" + when + "' +%s")); };
  // +01:00 is 4 quarters east, -05:30 is -22 (0x6A in 7 bits).
  EXPECT_EQ(filetime::ToUnixSeconds(DosTime2FileTime(stamp, 0, 0x80 | 4)), unix("2021-03-04 05:06:06 +0100"));
  EXPECT_EQ(filetime::ToUnixSeconds(DosTime2FileTime(stamp, 100, 0x80 | 0x6A)), unix("2021-03-04 05:06:07 -0530"));
  // Without the valid bit the fields are this machine's local time.
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  const int64_t local = filetime::ToUnixSeconds(DosTime2FileTime(stamp, 0, 0x04));
  old != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
  EXPECT_EQ(local, std::stoll(RunCommandOrFail("TZ=Asia/Tokyo date -d '2021-03-04 05:06:06' +%s")));
  EXPECT_EQ(DosTime2FileTime(0, 0, 0x80), 0u);
}

TEST(ExFatQuickScan, UnusableVolumesAndUnreadableFoldersAreFailures) {
  std::string dump;
  std::vector<uint8_t> image = MakeImage("mkfs.exfat -c 4K IMG", &dump);
  const int64_t root = int64_t(DumpField(dump, "Cluster Heap Offset (sector offset):")) +
                       (int64_t(DumpField(dump, "Root Cluster (cluster offset):")) - 2) * 8;
  struct Case {
    int64_t badSector;
    bool zeroBoot;
    ResultCode want;
  };
  for (const Case& c :
       {Case{-1, false, 0}, Case{-1, true, CExFatQuickSearch::kNotExFat},
        Case{0, false, CExFatQuickSearch::kBootUnreadable}, Case{root + 3, false, CExFatQuickSearch::kReadFailed}}) {
    std::vector<uint8_t> bytes = image;
    if (c.zeroBoot) std::memset(bytes.data(), 0, 512);
    FailingDevice device(bytes, c.badSector);
    Builder builder;
    Sink sink;
    CExFatQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher.QuickSearchFiles(&device, &sink), c.want) << c.badSector;
    // Every scan ends its tree and says it finished, with what went wrong.
    EXPECT_EQ(builder.flashes, 1);
    EXPECT_EQ(sink.last.status, PROGRESS_STATUS_FINISHED);
    EXPECT_EQ(sink.last.error, c.want);
    EXPECT_TRUE(builder.nodes.empty());
    CSearchedPartitionInfo* record = nullptr;
    EXPECT_EQ(searcher.GetSearchedPartitionInfo(&record, 1), c.want == 0 || c.badSector > 0 ? 1 : 0);
    delete record;
  }
}
