// The complete scan's directory-sector parser and lost-partition builder on
// what the exFAT format itself can do to them, on hand-made entries and
// mkfs.exfat boot sectors: entry sets split between clusters lying apart,
// repeated labels, text full of the bytes entry types are made of, hostile
// counts, chains of runs that loop, roots far from their files, folder trees
// that name a folder twice or hold files sharing a cluster.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ExFatTestSupport.h"
#include "OnDiskBytes.h"
#include "exfat/ExFatPartitionEx.h"
#include "exfat/FDTPreAnaylze.h"
#include "exfat/FileSet.h"
#include "exfat/PartitionBuilder.h"
#include "support/StubDevice.h"

namespace {

using exfattest::AddSealedSet;
using exfattest::SetFields;

constexpr uint64_t kDeviceSectors = uint64_t{1} << 30;

// A device of zeros, as large as kDeviceSectors.
class ZeroDevice final : public testsupport::StubDevice {
 public:
  int ReadSector(void* buffer, int64_t, int64_t count) override {
    std::memset(buffer, 0, static_cast<size_t>(count) * 512);
    return 1;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return static_cast<int64_t>(kDeviceSectors); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }
};

// Sector `index` of `entries` with the two sectors after it, zeros past the
// end.
std::vector<uint8_t> Sectors(const std::vector<uint8_t>& entries, size_t index, size_t count = 3) {
  std::vector<uint8_t> bytes(count * 512, 0);
  const size_t from = index * 512;
  if (from < entries.size())
    std::memcpy(bytes.data(), entries.data() + from, std::min(bytes.size(), entries.size() - from));
  return bytes;
}

struct Parser {
  CFDTPreAnaylze analyser;
  Parser() { analyser.PrepareAnayze(9, 25, kDeviceSectors); }
  // The run handed out when the sector ends it. `available` bytes of `bytes`
  // may be read.
  std::unique_ptr<CFileSet> Feed(int64_t sector, const std::vector<uint8_t>& bytes, size_t available = 0) {
    if (!analyser.Analyze(sector, bytes.data(), available != 0 ? available : bytes.size())) return nullptr;
    return analyser.GetFileSet();
  }
};

std::vector<std::string> Names(const CFileSet& set) {
  std::vector<std::string> names;
  for (const auto* list : {&set.GetLiveFiles(), &set.GetDeletedFiles()}) {
    for (const _tagFileBaseInfo& info : *list) names.push_back(info.name);
  }
  return names;
}

const std::u16string kLongName = u"a name long enough for three entries";

// A folder's first cluster whose last set (kLongName, 5 entries) has only
// its first three in the first sector; the second sector starts with the
// other two, then one more set and the end of the folder.
std::vector<uint8_t> SplitFolder() {
  std::vector<uint8_t> dir;
  for (char16_t c : std::u16string(u"abc")) {
    // Appended, not `std::u16string(u"file-") + c`: g++ 12 warns falsely
    // about that temporary's bounds at -O2.
    std::u16string name = u"file-";
    name += c;
    AddSealedSet(dir, name, 2, {50u + c - u'a', 100});
  }
  AddSealedSet(dir, u"a name of sixteen chars", 3, {20, 100});  // entries 9-12
  AddSealedSet(dir, kLongName, 4, {30, 5000});                  // entries 13-17
  AddSealedSet(dir, u"after", 2, {40, 100});
  return dir;
}

TEST(ExFatPreAnalysis, JoinsASetSplitBetweenClustersLyingApartWhicheverHalfComesFirst) {
  const std::vector<uint8_t> dir = SplitFolder();
  const std::string joined(kLongName.begin(), kLongName.end());
  {
    // The half with the File entry first: the second half joins it.
    Parser p;
    std::unique_ptr<CFileSet> head = p.Feed(1000, Sectors(dir, 0, 1));
    ASSERT_NE(head, nullptr);
    EXPECT_TRUE(head->IsNotEnd());
    EXPECT_EQ(head->GetLiveFiles().size(), 4u);
    EXPECT_EQ(p.analyser.OpenHeads(), 1u);
    std::unique_ptr<CFileSet> tail = p.Feed(5000, Sectors(dir, 1));
    ASSERT_NE(tail, nullptr);
    EXPECT_TRUE(tail->IsAbridged());
    EXPECT_EQ(Names(*tail), (std::vector<std::string>{joined, "after"}));
    EXPECT_EQ(tail->GetLiveFiles().front().sector, 1000);
    EXPECT_EQ(tail->GetLiveFiles().front().dataLength, 5000);
    EXPECT_EQ(p.analyser.GetNext(1000), 5000);
    EXPECT_EQ(p.analyser.GetLast(5000), 1000);
    EXPECT_EQ(p.analyser.OpenHeads() + p.analyser.OpenTails(), 0u);
  }
  {
    // The other half first (a folder's second cluster may lie before its
    // first): it waits, and the File entry's half takes it.
    Parser p;
    std::unique_ptr<CFileSet> tail = p.Feed(500, Sectors(dir, 1));
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(Names(*tail), (std::vector<std::string>{"after"}));
    EXPECT_EQ(p.analyser.OpenTails(), 1u);
    std::unique_ptr<CFileSet> head = p.Feed(1000, Sectors(dir, 0, 1));
    ASSERT_NE(head, nullptr);
    const std::vector<std::string> names = Names(*head);
    EXPECT_EQ(names.size(), 5u);
    EXPECT_EQ(std::count(names.begin(), names.end(), joined), 1);
    EXPECT_EQ(p.analyser.GetNext(1000), 500);
  }
  {
    // Within a cluster the set simply runs on into the next sector.
    Parser p;
    std::vector<uint8_t> bytes = Sectors(dir, 0);
    EXPECT_EQ(p.Feed(1000, bytes), nullptr);
    std::unique_ptr<CFileSet> run = p.Feed(1001, Sectors(dir, 1));
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(run->GetFirstSector(), 1000);
    EXPECT_EQ(run->GetSectorCount(), 2u);
    EXPECT_EQ(Names(*run).size(), 6u);
    EXPECT_FALSE(run->IsNotEnd() || run->IsAbridged());
  }
}

std::vector<uint8_t> RootEntries(bool secondLabel) {
  std::vector<uint8_t> dir(32 * (secondLabel ? 4 : 3), 0);
  size_t at = 0;
  for (int label = 0; label < (secondLabel ? 2 : 1); ++label, at += 32) {
    dir[at] = 0x83, dir[at + 1] = 2, dir[at + 2] = 'C', dir[at + 4] = 'D';
  }
  dir[at] = 0x81, dir[at + 20] = 2, ondisk::StoreLe16(dir.data() + at + 24, 1472);
  at += 32;
  dir[at] = 0x82, dir[at + 4] = 0x0D, dir[at + 7] = 0xE6, dir[at + 20] = 3,
  ondisk::StoreLe16(dir.data() + at + 24, 5836);
  AddSealedSet(dir, u"DCIM", 2, {5, 4096, true, true});
  return dir;
}

TEST(ExFatPreAnalysis, ARootNamesItsLabelBitmapAndUpcaseTableAndASecondLabelCutsTheSector) {
  Parser p;
  std::unique_ptr<CFileSet> root = p.Feed(64, Sectors(RootEntries(false), 0));
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(root->IsRoot());
  EXPECT_EQ(root->GetBitmapCluster(), 2u);
  EXPECT_EQ(root->GetBitmapClusterCount(), 1472u * 8);
  EXPECT_EQ(root->GetUpcaseCluster(), 3u);
  EXPECT_EQ(root->GetUpcaseSize(), 5836u);
  EXPECT_EQ(root->GetUpcaseChecksum(), 0xE600000Du);
  EXPECT_EQ(root->GetRootClusterEstimate(), 4u);
  EXPECT_EQ(root->GetFolders(), std::vector<uint32_t>{5});
  // A folder's length bounds the cluster size (4096 bytes, 8 sectors).
  EXPECT_TRUE(root->IsClusterSizeConflict(16));
  EXPECT_FALSE(root->IsClusterSizeConflict(8));

  Parser cut;
  std::unique_ptr<CFileSet> twice = cut.Feed(64, Sectors(RootEntries(true), 0));
  EXPECT_TRUE(twice == nullptr || !twice->IsRoot());
}

TEST(ExFatPreAnalysis, TextIsNoDirectoryNorDoesItLengthenARun) {
  std::string text;
  while (text.size() < 512) text += "  a line of text, `quoted`, with a few ! marks\n";
  const std::vector<uint8_t> prose(text.begin(), text.begin() + 512);
  Parser p;
  EXPECT_EQ(p.Feed(10, Sectors(prose, 0)), nullptr);
  std::vector<uint8_t> dir;
  AddSealedSet(dir, u"file", 2, {12, 100});
  dir.resize(512, 0x20);  // spaces after the set, no end mark
  std::unique_ptr<CFileSet> run = p.Feed(11, Sectors(dir, 0));
  if (run == nullptr) run = p.Feed(12, Sectors(prose, 0));
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->GetFirstSector(), 11);
  EXPECT_EQ(run->GetSectorCount(), 1u);
}

TEST(ExFatPreAnalysis, HostileCountsReadNothingPastTheSectorAndOpenHalvesAreCapped) {
  // Five whole sets, then a File entry that claims 18 secondaries at the
  // last slot: with nothing after the sector, nothing is read past it.
  std::vector<uint8_t> dir;
  for (int i = 0; i < 5; ++i) AddSealedSet(dir, u"f" + std::u16string(1, char16_t(u'0' + i)), 2, {10u + i, 1});
  AddSealedSet(dir, std::u16string(255, u'L'), 18, {50, 1});
  Parser p;
  const std::vector<uint8_t> one(dir.begin(), dir.begin() + 512);
  std::unique_ptr<CFileSet> run = p.Feed(7, one, 512);
  ASSERT_NE(run, nullptr);
  EXPECT_TRUE(run->IsNotEnd());
  EXPECT_EQ(p.analyser.OpenHeads(), 1u);
  for (int64_t sector = 100; sector < 100 + 2 * static_cast<int64_t>(CFDTPreAnaylze::kMaxOpen); sector += 2) {
    p.Feed(sector, one, 512);
  }
  EXPECT_LE(p.analyser.OpenHeads(), CFDTPreAnaylze::kMaxOpen);
}

// A run as long as the largest cluster (32 MiB of 512-byte sectors), its
// sets in descending cluster order, as a hostile disk may hold it: every set
// is kept, and the run comes out in cluster order, in one pass over it
// (kept in order set by set, it took minutes).
TEST(ExFatPreAnalysis, ARunOfAClustersSetsInDescendingOrderComesOutSortedWhole) {
  Parser p;
  uint32_t cluster = 0x10000000;
  const int64_t sectors = (int64_t{CFileSet::kLargestClusterBytes} >> 9);
  std::unique_ptr<CFileSet> run;
  for (int64_t s = 0; s < sectors && run == nullptr; ++s) {
    std::vector<uint8_t> dir;
    for (int i = 0; i < 4; ++i) AddSealedSet(dir, u"a", 2, {cluster--, 1});
    AddSealedSet(dir, u"a name in two entries", 3, {cluster--, 1});
    dir.resize(3 * 512, 0);
    run = p.Feed(1000 + s, dir);
    ASSERT_TRUE(run == nullptr || s + 1 == sectors) << s;
  }
  ASSERT_NE(run, nullptr);
  const std::vector<_tagFileBaseInfo>& files = run->GetLiveFiles();
  ASSERT_EQ(files.size(), static_cast<size_t>(sectors) * 5);
  EXPECT_EQ(files.front().firstCluster, cluster + 1);
  EXPECT_EQ(files.back().firstCluster, 0x10000000u);
  EXPECT_TRUE(std::is_sorted(files.begin(), files.end(),
                             [](const auto& a, const auto& b) { return a.firstCluster < b.firstCluster; }));
  EXPECT_EQ(files.front().name, "a name in two entries");
}

TEST(ExFatFileSets, ClusterSpansJoinAndRefuseOverlaps) {
  ClusterSpans clusters;
  EXPECT_TRUE(clusters.TakeRange(10, 1000000000));  // a huge contiguous file is one span
  EXPECT_TRUE(clusters.Take(5));
  EXPECT_TRUE(clusters.TakeRange(6, 9));
  EXPECT_EQ(clusters.SpanCount(), 1u);
  EXPECT_FALSE(clusters.TakeRange(999999999, 1000000005));
  EXPECT_FALSE(clusters.Take(10));
  EXPECT_TRUE(clusters.Take(1000000001));
  EXPECT_EQ(clusters.SpanCount(), 1u);
  EXPECT_FALSE(clusters.TakeRange(9, 3));
}

TEST(ExFatFileSets, ContiguousFilesBoundTheClusterSizeAndChainsThatLoopEnd) {
  std::vector<uint8_t> dir;
  AddSealedSet(dir, u"big", 2, {10, 10000, false, true});  // needs 3 clusters of at least 4096 bytes
  AddSealedSet(dir, u"next", 2, {13, 100});
  AddSealedSet(dir, u"sub", 2, {20, 8192, true, true});  // a folder of 8192 bytes: clusters up to 16 sectors
  Parser p;
  std::unique_ptr<CFileSet> a = p.Feed(64, Sectors(dir, 0));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->GetSmallestClusterSize(), 8u);
  EXPECT_EQ(a->GetLargestClusterSize(), 16u);
  EXPECT_EQ(a->GetSmallestCluster(), 10u);
  EXPECT_EQ(a->GetLargestCluster(), 20u);

  std::vector<uint8_t> other;
  AddSealedSet(other, u"sub2", 2, {30, 4096, true, true});
  std::unique_ptr<CFileSet> b = p.Feed(128, Sectors(other, 0));
  ASSERT_NE(b, nullptr);
  a->SetNext(b.get());
  b->SetNext(a.get());
  std::vector<uint32_t> folders;
  a->GetFolder(folders);
  EXPECT_EQ(folders, (std::vector<uint32_t>{20, 30}));
  // The chain narrowed both to the sizes both allow.
  EXPECT_EQ(a->GetLargestClusterSize(), 8u);
  ClusterSpans clusters;
  EXPECT_TRUE(a->GetAndCheckClusterSet(clusters, 4096));
  ClusterSpans again;
  again.Take(12);  // inside "big"
  EXPECT_FALSE(a->GetAndCheckClusterSet(again, 4096));
}

// Runs made from `sectors` (entries, device sector) in ascending order, in
// a builder over a device of zeros.
struct Evidence {
  ZeroDevice device;
  CPartitionBuilder builder;
  Evidence() { builder.PrepareBuild(&device, 512, kDeviceSectors); }
  void Push(const std::vector<std::pair<std::vector<uint8_t>, int64_t>>& sectors) {
    Parser p;
    for (const auto& [entries, sector] : sectors) {
      std::unique_ptr<CFileSet> set = p.Feed(sector, Sectors(entries, 0));
      ASSERT_NE(set, nullptr) << sector;
      builder.PushFileSet(std::move(set), -1, -1);
    }
  }
};

std::vector<uint8_t> Folder(const std::vector<std::pair<uint32_t, bool>>& children) {
  std::vector<uint8_t> dir;
  int n = 0;
  for (const auto& [cluster, folder] : children) {
    AddSealedSet(dir, u"n" + std::u16string(1, char16_t(u'a' + n++)), 2, {cluster, 4096, folder, true});
  }
  return dir;
}

TEST(ExFatPartitionBuilder, AFolderNamedTwiceOrInsideItselfOrFilesSharingAClusterScoreNothing) {
  // Heap at sector 0, 8 sectors per cluster: cluster c starts at (c - 2) x 8.
  auto at = [](uint32_t cluster) { return (int64_t{cluster} - 2) * 8; };
  {
    Evidence e;
    e.Push(
        {{Folder({{20, true}, {21, true}}), at(10)}, {Folder({{30, false}}), at(20)}, {Folder({{31, false}}), at(21)}});
    EXPECT_EQ(e.builder.CheckTree(*e.builder.FindFileSet(at(10)), 0, 8, 1, nullptr), 2u);
    EXPECT_EQ(e.builder.CheckTree(*e.builder.FindFileSet(at(10)), 0, 8, 3, nullptr), 0u);  // below the minimum
    EXPECT_EQ(e.builder.CheckTree(*e.builder.FindFileSet(at(10)), 4, 8, 1, nullptr), 0u);  // off its cluster
  }
  {
    Evidence e;
    e.Push({{Folder({{20, true}, {20, true}}), at(10)}, {Folder({{30, false}}), at(20)}});
    EXPECT_EQ(e.builder.CheckTree(*e.builder.FindFileSet(at(10)), 0, 8, 1, nullptr), 0u);
  }
  {
    Evidence e;
    e.Push({{Folder({{20, true}}), at(10)}, {Folder({{10, true}}), at(20)}});
    EXPECT_EQ(e.builder.CheckTree(*e.builder.FindFileSet(at(10)), 0, 8, 1, nullptr), 0u);
  }
  {
    Evidence e;
    e.Push(
        {{Folder({{20, true}, {21, true}}), at(10)}, {Folder({{30, false}}), at(20)}, {Folder({{30, false}}), at(21)}});
    EXPECT_EQ(e.builder.CheckTree(*e.builder.FindFileSet(at(10)), 0, 8, 1, nullptr), 0u);
  }
}

TEST(ExFatPartitionBuilder, ARootFarFromItsFilesMakesFewCandidates) {
  Evidence e;
  std::vector<uint8_t> root = RootEntries(false);
  root.resize(32 * 3);
  AddSealedSet(root, u"far", 2, {0x01000000, 4096});
  e.Push({{root, 1 << 20}});
  // Far past the root: its hypotheses are made.
  e.builder.Build(int64_t{1} << 28);
  EXPECT_GT(e.builder.GetCandidates().size(), 0u);
  EXPECT_LE(e.builder.GetCandidates().size(), CPartitionBuilder::kRootCandidates);
}

// A device of zeros that counts the sectors read from it.
class CountingZeros final : public testsupport::StubDevice {
 public:
  int ReadSector(void* buffer, int64_t, int64_t count) override {
    std::memset(buffer, 0, static_cast<size_t>(count) * 512);
    sectors += static_cast<uint64_t>(count);
    return 1;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return static_cast<int64_t>(kDeviceSectors); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }
  uint64_t sectors = 0;
};

// Root-like runs one after the other, each naming an up-case table of the
// largest size with a checksum of its own, near 64 table starts: each would
// read 16 MiB of tables and up to thousands of bitmap sectors. Once the
// backlog is full, each sector of the pass checks one; the checks read no
// more than their allowance and a quarter of what the pass went through.
TEST(ExFatPartitionBuilder, RootChecksReadAShareOfThePass) {
  CountingZeros device;
  CPartitionBuilder builder;
  builder.PrepareBuild(&device, 512, kDeviceSectors);
  for (int t = 0; t < 64; ++t) builder.RecordUpCaseTable(100000 + t * 4096);
  Parser p;
  constexpr int64_t kFirst = 200000;
  constexpr int kRoots = static_cast<int>(CPartitionBuilder::kBacklog) + 300;
  int64_t sector = kFirst;
  for (int r = 0; r < kRoots; ++r, sector += 4) {
    std::vector<uint8_t> dir = RootEntries(false);
    const uint32_t size = 0x3FFFF, sum = static_cast<uint32_t>(r);
    std::memcpy(dir.data() + 64 + 24, &size, 4);
    std::memcpy(dir.data() + 64 + 4, &sum, 4);
    std::unique_ptr<CFileSet> set = p.Feed(sector, Sectors(dir, 0));
    ASSERT_TRUE(set != nullptr && set->IsRoot());
    builder.PushFileSet(std::move(set), -1, -1);
    builder.Build(sector);
  }
  EXPECT_EQ(device.sectors, builder.GetCheckSectors());
  EXPECT_LE(device.sectors, CPartitionBuilder::kCheckReadBytes / 512 + static_cast<uint64_t>(sector) / 4);
  EXPECT_GT(device.sectors, 0u);
}

TEST(ExFatPartitionBuilder, ABootSectorAndItsBackupMakeOneCandidateALoneOneAtSectorFiveItsOwn) {
  const std::vector<uint8_t> image = exfattest::MakeImage("mkfs.exfat -c 4K IMG");
  const uint8_t* boot = image.data();
  const int64_t fat = ondisk::Le32(boot + 80);
  {
    CPartitionBuilder builder;
    builder.PrepareBuild(nullptr, 512, kDeviceSectors);
    builder.Build(2048, boot);
    EXPECT_EQ(builder.GetCandidates().size(), 2u);  // a volume at 2048, or one at 2036 whose backup this is
    builder.Build(2060, boot);
    ASSERT_EQ(builder.GetCandidates().size(), 1u);
    const CExFatPartitionEx& volume = *builder.GetCandidates().front();
    EXPECT_EQ(volume.GetVolumeStartSector(), 2048);
    EXPECT_EQ(volume.m_flags, CExFatPartitionEx::kBootMain | CExFatPartitionEx::kBootBackup);
    builder.RecordFAT(2048 + fat);
    EXPECT_EQ(volume.m_flags & CExFatPartitionEx::kFirstFat, CExFatPartitionEx::kFirstFat);
  }
  {
    CPartitionBuilder builder;
    builder.PrepareBuild(nullptr, 512, kDeviceSectors);
    builder.Build(5, boot);
    ASSERT_EQ(builder.GetCandidates().size(), 1u);
    EXPECT_EQ(builder.GetCandidates().front()->GetVolumeStartSector(), 5);
    EXPECT_EQ(builder.GetCandidates().front()->m_flags, CExFatPartitionEx::kBootMain);
  }
}

}  // namespace
