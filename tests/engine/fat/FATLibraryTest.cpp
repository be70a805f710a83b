// The FAT on-disk library on the bytes of real images (mkfs.fat, mtools)
// and on crafted damage to them: boot-sector tests, tables judged entry by
// entry, directory sectors, long names and data runs.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <map>
#include <vector>

#include "DataRunList.h"
#include "DirecotryTreeBuilder.h"
#include "FatFixtures.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "fat/FATBuildDataRun.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATDBR.h"
#include "fat/FATDirEntry.h"
#include "fat/FATFileProperties.h"
#include "fat/FATTable.h"
#include "support/BytesDevice.h"
#include "support/Recorders.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class FatLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    const std::string why = fatfixtures::Ready();
    REQUIRE_OR_SKIP(why.empty(), why);
  }
  static std::vector<uint8_t> Image(const char* name) { return testsupport::ReadFile(fatfixtures::Dir() / name); }
  static uint16_t At16(const std::vector<uint8_t>& b, size_t o) { return ondisk::Le16(b.data() + o); }
};

TEST_F(FatLibrary, BootSectorTestsTakeRealVolumesAndRefuseEachBrokenField) {
  std::vector<uint8_t> f16 = Image("f16.img");
  const std::vector<uint8_t> f32 = Image("f32.img");
  const std::vector<uint8_t> f12 = Image("f12.img");
  EXPECT_EQ(CTempFATDBR(f16.data(), 512).GetFileSystemType(), FILE_SYSTEM_TYPE_FAT16);
  EXPECT_EQ(CTempFATDBR(f32.data(), 512).GetFileSystemType(), FILE_SYSTEM_TYPE_FAT32);
  EXPECT_EQ(CTempFATDBR(f12.data(), 512).GetFileSystemType(), FILE_SYSTEM_TYPE_UNKNOWN);
  EXPECT_EQ(CTempFATDBR(f16.data(), 4096).GetFileSystemType(), FILE_SYSTEM_TYPE_UNKNOWN);
  EXPECT_EQ(CTempFATDBR(f32.data(), 512).GetRootDirStartCluster(), 2u);

  std::memcpy(f16.data() + 54, "fat16   ", 8);
  EXPECT_TRUE(CTempFATDBR(f16.data(), 512).IsValidDBR());
  const std::vector<std::pair<size_t, uint8_t>> breaks = {{16, 1}, {13, 0}, {13, 3}, {17, 200}, {18, 0}};
  for (const auto& [offset, value] : breaks) {
    std::vector<uint8_t> broken(f16.begin(), f16.begin() + 512);
    broken[offset] = value;
    if (offset == 17) broken[18] = 0;
    EXPECT_FALSE(CTempFATDBR(broken.data(), 512).IsValidDBR()) << offset;
  }
}

TEST_F(FatLibrary, BadEntriesEndOnlyTheirChainAndTheOtherCopyIsAsked) {
  std::vector<uint8_t> img = Image("f16.img");
  const CTempFATDBR dbr(img.data(), 512);
  const size_t fat = dbr.GetReservedSector() * 512;
  const uint32_t spf = dbr.GetSectorsPerFat();
  {
    testsupport::BytesDevice device(img.data(), img.size());
    IRealFATTable* table = IFATTableFactory::CreateRealFATTable(&device, 1, dbr.GetReservedSector(), spf);
    ASSERT_NE(table, nullptr);
    delete table;
    EXPECT_EQ(IFATTableFactory::CreateRealFATTable(&device, 1, dbr.GetReservedSector(), 257), nullptr);
  }
  // Entries past the volume's clusters, free in both copies.
  const uint32_t a = spf * 256 - 10, b = a + 1, c = a + 2, d = a + 3;
  auto put = [&](size_t copy, uint32_t index, uint16_t value) {
    ondisk::StoreLe16(img.data() + fat + size_t{copy} * spf * 512 + index * 2, value);
  };
  put(0, a, 1);  // 1 is no cluster: the second copy is asked
  put(1, a, static_cast<uint16_t>(c));
  put(0, b, static_cast<uint16_t>(b));  // itself, in both copies
  put(1, b, static_cast<uint16_t>(b));
  put(0, c, static_cast<uint16_t>(a));  // a loop and a cross link stay for the walks
  put(0, d, static_cast<uint16_t>(a));
  put(0, 0, 0xFFF0);  // media 0xF0 (removable) is a FAT16 header too
  testsupport::BytesDevice device(img.data(), img.size());
  IFATTable* both = IFATTableFactory::CreateFATTable(&device, dbr.GetReservedSector(), 1, spf, 1, 1);
  IFATTable* firstOnly = IFATTableFactory::CreateFATTable(&device, dbr.GetReservedSector(), 1, spf, 1, 0);
  EXPECT_EQ(both->GetNextCluster(a), c);
  EXPECT_EQ(firstOnly->GetNextCluster(a), fatchain::kBadCluster);
  EXPECT_EQ(both->GetNextCluster(b), fatchain::kBadCluster);
  EXPECT_EQ(both->GetNextCluster(c), a);
  EXPECT_EQ(both->GetNextCluster(d), a);
  IFATTableFactory::DestroyFATTable(both);
  IFATTableFactory::DestroyFATTable(firstOnly);
  // With the volume's clusters known, a cluster past them is no cluster.
  const uint32_t clusters = (dbr.GetTotalSectors() - (fat / 512 + 2 * spf + dbr.GetRootEntries() / 16)) / 4;
  IFATTable* bounded = IFATTableFactory::CreateFATTable(&device, dbr.GetReservedSector(), 1, spf, 1, 1, clusters + 2);
  EXPECT_EQ(bounded->GetNextCluster(a), fatchain::kBadCluster);
  IFATTableFactory::DestroyFATTable(bounded);

  // A copy without its header is none: the second answers for it.
  std::vector<uint8_t> copy = img;
  std::memset(copy.data() + fat, 0, 512);
  testsupport::BytesDevice wiped(copy.data(), copy.size());
  both = IFATTableFactory::CreateFATTable(&wiped, dbr.GetReservedSector(), 1, spf, 1, 1);
  firstOnly = IFATTableFactory::CreateFATTable(&wiped, dbr.GetReservedSector(), 1, spf, 1, 0);
  EXPECT_EQ(both->GetNextCluster(0), 0x0FFFFFF8u);  // the header, read from the second copy
  EXPECT_EQ(firstOnly->GetNextCluster(0), 0u);
  IFATTableFactory::DestroyFATTable(both);
  IFATTableFactory::DestroyFATTable(firstOnly);
}

TEST_F(FatLibrary, Fat12EntriesAndFat32ReservedBitsReadWithinTheTable) {
  std::vector<uint8_t> f12 = Image("f12.img");
  const uint32_t reserved = At16(f12, 14);
  testsupport::BytesDevice device(f12.data(), f12.size());
  CFAT12Table one(&device, reserved, 1);
  ASSERT_TRUE(one.IsValidFATTable());
  EXPECT_EQ(one.GetNextCluster(2), 0xFFFFFFFFu);  // readme.txt: one cluster, 0xFFF
  // Entry 340 ends at byte 511; entry 341 would need byte 512.
  EXPECT_EQ(one.GetNextCluster(341), 0u);
  f12[reserved * 512 + 510] = 0x34;
  f12[reserved * 512 + 511] = 0x12;
  EXPECT_EQ(one.GetNextCluster(340), 0u);
  CFAT12Table again(&device, reserved, 1);
  EXPECT_EQ(again.GetNextCluster(340), 0x234u);

  std::vector<uint8_t> f32 = Image("f32.img");
  const CTempFATDBR d32(f32.data(), 512);
  const size_t fat = d32.GetReservedSector() * 512;
  const uint32_t rootNext = ondisk::Le32(f32.data() + fat + 8);
  f32[fat + 11] |= 0xF0;
  testsupport::BytesDevice device32(f32.data(), f32.size());
  CFAT32Table t(&device32, d32.GetReservedSector(), d32.GetSectorsPerFat());
  EXPECT_EQ(t.GetNextCluster(2), rootNext >= 0x0FFFFFF8 ? 0x0FFFFFF8u : rootNext);
}

// A damaged boot sector may give a stick of a megabyte a table of a quarter
// gibibyte: the copy is what the device holds of it, its entries beyond
// are free.
TEST(FatTables, ACopyPastTheDevicesEndIsWhatTheDeviceHolds) {
  std::vector<uint8_t> disk(1 << 20, 0);
  const uint8_t header[8] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
  std::memcpy(disk.data() + 32 * 512, header, sizeof header);
  testsupport::BytesDevice device(disk.data(), disk.size());
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  CFAT32Table past(&device, 32, 0x80000);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);  // KiB
  ASSERT_TRUE(past.IsValidFATTable());
  EXPECT_EQ(past.GetNextCluster(1), 0x0FFFFFFFu);
  EXPECT_EQ(past.GetNextCluster(0x70000), 0u);
}

TEST_F(FatLibrary, DirectorySectorsAreSortedIntoRootSubfolderAndOther) {
  const std::vector<uint8_t> img = Image("f16.img");
  const CTempFATDBR dbr(img.data(), 512);
  const size_t root = (dbr.GetReservedSector() + 2 * dbr.GetSectorsPerFat()) * 512;
  CFATFolderAnalyser analyser(512);
  EXPECT_EQ(analyser.AnalyseSector(img.data() + root, nullptr, nullptr), 1);
  EXPECT_EQ(analyser.GetDirectoryEntryType(), CFATFolderAnalyser::kDirectorySector);
  // "docs": the first short entry after the label with the folder bit.
  uint32_t docs = 0;
  for (size_t o = root; o < root + dbr.GetRootEntries() * 32; o += 32) {
    if (img[o + 11] == 0x10 && std::memcmp(img.data() + o, "DOCS    ", 8) == 0) docs = At16(img, o + 26);
  }
  ASSERT_GE(docs, 2u);
  const size_t data = root + dbr.GetRootEntries() * 32;
  EXPECT_EQ(analyser.AnalyseSector(img.data() + data + (docs - 2) * 4 * 512, nullptr, nullptr), 1);
  EXPECT_EQ(analyser.GetDirectoryEntryType(), CFATFolderAnalyser::kSubfolderFirstSector);
  EXPECT_EQ(analyser.GetCurDirFirstClusterNum(), docs);
  EXPECT_EQ(analyser.GetParentFirstClusterNum(), 0u);
  const std::vector<uint8_t> zeros(512, 0);
  EXPECT_EQ(analyser.AnalyseSector(zeros.data(), nullptr, nullptr), 0);

  // The root's first sector with one file modified at hour 25: still a
  // folder sector. With byte 12 of that entry no writer's either, it is
  // taken for other data.
  std::vector<uint8_t> sector(img.begin() + root, img.begin() + root + 512);
  size_t file = 0;
  while (file < 512 && (sector[file + 11] & 0x18) != 0) file += 32;  // the label, folders and long names
  ASSERT_LT(file, 512u);
  ondisk::StoreLe16(sector.data() + file + 22, static_cast<uint16_t>((At16(sector, file + 22) & 0x07FF) | 25 << 11));
  EXPECT_EQ(analyser.AnalyseSector(sector.data(), nullptr, nullptr), 1);
  EXPECT_EQ(analyser.GetDirectoryEntryType(), CFATFolderAnalyser::kDirectorySector);
  sector[file + 12] = 0xA5;
  EXPECT_EQ(analyser.AnalyseSector(sector.data(), nullptr, nullptr), 0);
}

// The long name of "Long Name With Blanks.txt" as mtools wrote it, then
// with one piece made stale and with far too many pieces in front.
TEST_F(FatLibrary, LongNamesNeedTheirShortEntrysChecksumAndStayBounded) {
  const std::vector<uint8_t> img = Image("f16.img");
  const CTempFATDBR dbr(img.data(), 512);
  const size_t root = (dbr.GetReservedSector() + 2 * dbr.GetSectorsPerFat()) * 512;
  size_t shortAt = root;
  while (shortAt < root + 4096 && std::memcmp(img.data() + shortAt, "LONGNA~1TXT", 11) != 0) shortAt += 32;
  size_t runAt = shortAt;
  while (img[runAt - 32 + 11] == 0x0F) runAt -= 32;
  CFATFileProperties* whole =
      CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(img.data() + runAt, shortAt + 32 - runAt);
  EXPECT_EQ(std::string(whole->GetFileName()), "Long Name With Blanks.txt");
  CFATFileProperties::Destory(whole);
  std::vector<uint8_t> run(img.begin() + runAt, img.begin() + shortAt + 32);
  run[13] ^= 0x55;  // the piece with the name's end no longer matches
  CFATFileProperties* p = CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(run.data(), run.size());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p->GetFileName()).find(' '), std::string::npos) << p->GetFileName();  // the short name
  CFATFileProperties::Destory(p);

  // Forty pieces in front of a short entry, parsed as directory content.
  std::vector<uint8_t> many;
  for (int i = 0; i < 40; ++i) many.insert(many.end(), img.begin() + runAt, img.begin() + runAt + 32);
  many.insert(many.end(), img.begin() + shortAt, img.begin() + shortAt + 32);
  FATGeometry g;
  g.type = 1;
  g.sectorsPerCluster = 4;
  g.clusterCount = 8000;
  g.totalSectors = 65536;
  CFATBuildChildren children(nullptr, nullptr, nullptr, g, nullptr);
  std::deque<FATFolderToParse> live, deleted;
  EXPECT_EQ(
      children.BuildChildrenFromBuffer(many.data(), static_cast<uint32_t>(many.size()), nullptr, live, deleted, 0),
      many.size());
  // Only pieces: at most 20 are handed back for the next run.
  EXPECT_EQ(children.BuildChildrenFromBuffer(many.data(), 40 * 32, nullptr, live, deleted, 0), 40u * 32 - 20 * 32);
  // A third "." entry makes the run invalid.
  std::vector<uint8_t> dots(96, 0);
  for (int i = 0; i < 3; ++i) {
    std::memcpy(dots.data() + i * 32, ".          ", 11);
    dots[i * 32 + 11] = 0x10;
  }
  EXPECT_EQ(children.BuildChildrenFromBuffer(dots.data(), 96, nullptr, live, deleted, 0),
            CFATBuildChildren::kInvalidRun);
}

// A table stand-in: unknown clusters are free.
class MapTable : public IFATTable {
 public:
  explicit MapTable(std::map<uint32_t, uint32_t> next) : next_(std::move(next)) {}
  uint32_t GetNextCluster(uint32_t c) override {
    auto it = next_.find(c);
    return it == next_.end() ? 0 : it->second;
  }

 private:
  std::map<uint32_t, uint32_t> next_;
};

std::vector<std::pair<int64_t, int64_t>> Runs(IDataRunList* list) {
  std::vector<std::pair<int64_t, int64_t>> out;
  if (list == nullptr) return out;
  for (DataRun* r = list->GetFirst(); r != nullptr; r = list->GetNext()) out.emplace_back(r->start, r->length);
  list->Release();
  return out;
}

TEST(FatRuns, LiveChainsAreSizedFromTheFileWithinTheirChainAndDeletedOnesGoOnThroughFreeClusters) {
  using R = std::vector<std::pair<int64_t, int64_t>>;
  MapTable table({{10, 11},
                  {11, 12},
                  {12, 0x0FFFFFFF},
                  {20, 0x0FFFFFF8},
                  {30, 40},
                  {40, 0x0FFFFFF8},
                  {100, 200},
                  {200, 0},
                  {50, 0x0FFFFFF7}});
  CFATBuildDataRun runs(&table, 512, 1, 1000);
  // The runs, and the part of the size they hold.
  auto build = [&](uint32_t first, int64_t size, int deleted) {
    R out = Runs(runs.BuildDataRunList(first, size, deleted));
    out.emplace_back(-1, runs.GetSupportedSize());
    return out;
  };
  EXPECT_EQ(build(10, 1280, 0), (R{{8, 3}, {-1, 1280}}));
  EXPECT_EQ(build(10, 600, 0), (R{{8, 2}, {-1, 600}}));
  EXPECT_EQ(build(30, 1024, 0), (R{{28, 1}, {38, 1}, {-1, 1024}}));
  // A size past a chain that ends where the table says is damaged: the
  // chain's clusters are all it holds (2^32 - 16 is a real entry's damage).
  EXPECT_EQ(build(20, 1536, 0), (R{{18, 1}, {-1, 512}}));
  EXPECT_EQ(build(10, 0xFFFFFFF0, 0), (R{{8, 3}, {-1, 1536}}));
  // A chain broken by a free or bad entry, or one that comes back on
  // itself, goes on consecutively, as far as the volume's end.
  EXPECT_EQ(build(100, 1536, 0), (R{{98, 1}, {198, 2}, {-1, 1536}}));
  EXPECT_EQ(build(50, 1024, 0), (R{{48, 2}, {-1, 1024}}));
  EXPECT_EQ(build(1000, 2048, 0), (R{{998, 2}, {-1, 1024}}));
  // A live file claiming cluster 0 or 1 would read the tables.
  EXPECT_TRUE(Runs(runs.BuildDataRunList(0, 100, 0)).empty());
  EXPECT_TRUE(Runs(runs.BuildDataRunList(1, 100, 0)).empty());

  // Whether the last runs are vouched for.
  auto sure = [&](uint32_t first, int64_t size, int deleted) {
    if (IDataRunList* list = runs.BuildDataRunList(first, size, deleted)) list->Release();
    return !runs.IsContentUnsure();
  };
  EXPECT_TRUE(sure(10, 1280, 0));
  EXPECT_TRUE(sure(100, 1536, 0));
  // A live chain cannot start at a free cluster: read from there, unvouched.
  EXPECT_EQ(build(300, 1024, 0), (R{{298, 2}, {-1, 1024}}));
  EXPECT_FALSE(sure(300, 1024, 0));
  EXPECT_FALSE(sure(300, 100, 0));

  EXPECT_EQ(build(300, 1536, 1), (R{{298, 3}, {-1, 1536}}));
  EXPECT_TRUE(sure(300, 1536, 1));
  // Past the volume's end the walk goes on at its first cluster, as the
  // allocator that wrote the file wrapped.
  EXPECT_EQ(build(999, 4096, 1), (R{{997, 3}, {0, 5}, {-1, 4096}}));
  EXPECT_EQ(build(50, 2048, 1), (R{{48, 4}, {-1, 2048}}));  // a bad entry tells nothing
  EXPECT_TRUE(sure(50, 2048, 1));
  // Passes over a live file's clusters.
  EXPECT_EQ(build(9, 1024, 1), (R{{7, 1}, {11, 1}, {-1, 1024}}));
  EXPECT_TRUE(sure(9, 1024, 1));
  // A deleted file whose first cluster a file holds now never follows that
  // file's chain, nor stops at its end: the clusters from there, unvouched.
  EXPECT_EQ(build(100, 1536, 1), (R{{98, 3}, {-1, 1536}}));
  EXPECT_EQ(build(20, 2048, 1), (R{{18, 4}, {-1, 2048}}));
  EXPECT_FALSE(sure(100, 1536, 1));
  EXPECT_FALSE(sure(20, 512, 1));

  // An entry that is not erased, under a deleted or lost folder: its chain is
  // followed, and vouched for only when it ends with the file.
  EXPECT_EQ(build(10, 1280, 2), (R{{8, 3}, {-1, 1280}}));
  EXPECT_TRUE(sure(10, 1280, 2));
  EXPECT_FALSE(sure(10, 1024, 2));
  EXPECT_FALSE(sure(100, 1536, 2));
  EXPECT_FALSE(sure(300, 512, 2));
}

TEST(FatTimes, UnsetDatesStayUnknown) {
  setenv("TZ", "UTC", 1);
  _FILETIME t = 1;
  EXPECT_TRUE(DosDateTimeToFileTime(0, 0, &t));
  EXPECT_EQ(t, 0u);
  // 2020-02-29 23:59:58 UTC.
  EXPECT_TRUE(DosDateTimeToFileTime(((2020 - 1980) << 9) | (2 << 5) | 29, (23 << 11) | (59 << 5) | 29, &t));
  EXPECT_EQ(t, filetime::FromUnixSeconds(1583020798));
  // Fields no clock gives are not carried into the next minute, day or
  // month: the time is not known. 2021-02-29, month 13, day 0, hour 24,
  // minute 60, 60 seconds.
  const uint16_t day = ((2021 - 1980) << 9) | (3 << 5) | 1;
  for (const auto& [date, time] : std::vector<std::pair<uint16_t, uint16_t>>{{((2021 - 1980) << 9) | (2 << 5) | 29, 0},
                                                                             {((2021 - 1980) << 9) | (13 << 5) | 1, 0},
                                                                             {((2021 - 1980) << 9) | (3 << 5), 0},
                                                                             {day, 24 << 11},
                                                                             {day, 60 << 5},
                                                                             {day, 30}}) {
    t = 1;
    EXPECT_FALSE(DosDateTimeToFileTime(date, time, &t)) << date << " " << time;
    EXPECT_EQ(t, 0u);
  }
}

}  // namespace

namespace {

// Every chain's end leads back to the root's cluster.
class LoopingTable : public IFATTable {
 public:
  explicit LoopingTable(IFATTable* inner) : inner_(inner) {}
  uint32_t GetNextCluster(uint32_t c) override {
    const uint32_t next = inner_->GetNextCluster(c);
    return next >= 0x0FFFFFF8 ? 2 : next;
  }

 private:
  IFATTable* inner_;
};

TEST_F(FatLibrary, FolderChainsThatComeBackRoundOrLoseTheirFirstClusterCostLittle) {
  std::vector<uint8_t> img = Image("f32.img");
  const CTempFATDBR dbr(img.data(), 512);
  testsupport::BytesDevice device(img.data(), img.size());
  IFATTable* table =
      IFATTableFactory::CreateFATTable(&device, dbr.GetReservedSector(), 2, dbr.GetSectorsPerFat(), 1, 1);
  FATGeometry g;
  g.type = 2;
  g.sectorsPerCluster = dbr.GetSectorsperCluster();
  g.dataStart = dbr.GetReservedSector() + 2 * int64_t{dbr.GetSectorsPerFat()};
  g.rootCluster = 2;
  g.rootStart = g.dataStart;
  g.totalSectors = dbr.GetTotalSectors();
  g.clusterCount = (g.totalSectors - g.dataStart) / g.sectorsPerCluster;
  testsupport::RecordingBuilder plain, looping;
  EXPECT_EQ(CFATBuildWorker(&plain, nullptr, nullptr, &device, g, table).QuickBuildDirectoryTree(), 0u);
  LoopingTable loop(table);
  EXPECT_EQ(CFATBuildWorker(&looping, nullptr, nullptr, &device, g, &loop).QuickBuildDirectoryTree(), 0u);
  EXPECT_GT(plain.added.size(), 250u);
  EXPECT_EQ(looping.added.size(), plain.added.size());

  // The big folder's first cluster overwritten: "." and ".." are gone, the
  // rest of its live chain is still read.
  int64_t many = -1;
  for (const auto& a : plain.added) many = a.name == "many" ? a.id : many;
  ASSERT_GE(many, 2);
  const size_t at = static_cast<size_t>(g.dataStart + (many - 2) * g.sectorsPerCluster) * 512;
  for (size_t i = 0; i < g.sectorsPerCluster * 512u; ++i) img[at + i] = static_cast<uint8_t>(i * 151 + 7);
  testsupport::RecordingBuilder damaged;
  EXPECT_EQ(CFATBuildWorker(&damaged, nullptr, nullptr, &device, g, table).QuickBuildDirectoryTree(), 0u);
  size_t inMany = 0;
  for (const auto& a : damaged.added) inMany += a.parent == many ? 1 : 0;
  EXPECT_GT(inMany, 180u);
  EXPECT_LT(inMany, 200u);
  IFATTableFactory::DestroyFATTable(table);
}

}  // namespace
