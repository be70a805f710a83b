// The partition-table reader on images made by sfdisk, sgdisk, fdisk, parted
// and the mkfs tools: it must list what the tools themselves report (sfdisk
// --json, sgdisk -p/-i, parted -m, partx, fdisk -l), tell the scheme as blkid
// does, and survive hostile tables made by patching those images.
#include "partition/PartitionTableAnalyze.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using devicetest::DevicePtr;
using devicetest::ImageGuard;
using devicetest::PatchFile;
using devicetest::ReadFileRange;
using parttest::ByNumber;
using parttest::ToolPartition;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr int64_t kMinGPTListed = 0x800001;

struct Analysis {
  ResultCode rc = 0;
  std::list<PartitionEntry> entries;
  ResultCode schemeRc = 0;
  uint32_t scheme = 99;
};

Analysis AnalyzeDevice(IStorageDevice* disk) {
  Analysis a;
  a.entries.push_back(PartitionEntry{});  // must be emptied first
  IPartitionTableAnalyze* analyzer = CreatePartitionTableAnalyze();
  a.rc = analyzer->AnalyzePartitionTable(disk, a.entries);
  analyzer->Release();
  a.schemeRc = GetDiskType(disk, a.scheme);
  return a;
}

// Opens the image as a disk of `sectorSize`-byte sectors (512 by default) and
// reads its table; checks that the image is left as it was.
Analysis AnalyzeImage(const fs::path& image, int64_t sectorSize = 0) {
  ImageGuard guard(image);
  DevicePtr disk = devicetest::OpenDisk(image.string(), sectorSize);
  return AnalyzeDevice(disk.get());
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }
std::vector<uint8_t> Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
std::vector<uint8_t> Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}
uint32_t ReadLe32(const fs::path& image, uint64_t offset) {
  const auto b = ReadFileRange(image, offset, 4);
  return b.size() == 4 ? (b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t{b[3]} << 24)) : 0;
}

class TableImage : public ::testing::Test {
 protected:
  void SetUp() override { image_ = dir_ / "disk.img"; }
  std::string path() const { return image_.string(); }
  void Make(uint64_t bytes) { devicetest::MakeSparseImage(image_, bytes); }
  void Sfdisk(const std::string& script) {
    RunCommandOrFail("printf " + ShellQuote(script) + " | sfdisk -q " + ShellQuote(path()));
  }
  uint64_t Size() const { return fs::file_size(image_); }

  testsupport::TempDir dir_;
  fs::path image_;
};

// ---------------------------------------------------------------- MBR

class MbrTable : public TableImage {
 protected:
  void SetUp() override {
    TableImage::SetUp();
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("jq");
    REQUIRE_TOOL("blkid");
  }
  // Primaries 1, 3 and 4 around an extended partition (2) that holds three
  // logical ones (5, 6, 7).
  void MakePrimaryExtendedLogicals() {
    Make(64 * kMiB);
    Sfdisk("label: dos\n,8M,83\n,40M,5\n,4M,83\n,4M,a5\n,6M,7\n,8M,c\n,4M,83\n");
  }
  // The extended container's first sector, as sfdisk reports it.
  int64_t ExtendedStart() {
    for (const auto& p : parttest::Sfdisk(path())) {
      if (p.type == "5") return p.start;
    }
    ADD_FAILURE() << "no extended partition";
    return 0;
  }
};

TEST_F(MbrTable, ListsPrimaryAndLogicalPartitionsAsSfdiskDoes) {
  MakePrimaryExtendedLogicals();
  const auto want = parttest::WithoutExtendedContainers(parttest::Sfdisk(path()));
  ASSERT_EQ(want.size(), 6u);  // 1, 3, 4, 5, 6, 7
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
  EXPECT_EQ(a.schemeRc, 0u);
  EXPECT_EQ(a.scheme, parttest::BlkidScheme(path()));
  EXPECT_EQ(a.scheme, 1u);
  for (const auto& e : a.entries) {
    EXPECT_STREQ(e.typeName, "");
    EXPECT_EQ(e.typeGUID[0] | e.uniqueGUID[0], 0);
  }
}

TEST_F(MbrTable, NumbersLogicalPartitionsFrom5WhateverSlotHoldsTheExtendedOne) {
  Make(64 * kMiB);
  Sfdisk(
      "label: dos\n1: start=2048, size=8192, type=83\n2: start=12288, size=8192, type=7\n"
      "4: start=40960, size=40960, type=f\n5: size=8192, type=83\n6: size=8192, type=83\n");
  const auto want = parttest::WithoutExtendedContainers(parttest::Sfdisk(path()));
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
  EXPECT_THAT(ByNumber(a.entries), ::testing::SizeIs(4));
}

TEST_F(MbrTable, ListsFourPrimariesOfAnyType) {
  Make(32 * kMiB);
  Sfdisk("label: dos\n,4M,83\n,4M,7\n,4M,c\n,4M,a5\n");
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(parttest::Sfdisk(path())));
}

TEST_F(MbrTable, AnEmptyTableIsAnMbrWithNothingListed) {
  Make(8 * kMiB);
  Sfdisk("label: dos\n");
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_TRUE(a.entries.empty());
  EXPECT_EQ(a.scheme, parttest::BlkidScheme(path()));
  EXPECT_EQ(a.scheme, 1u);
}

TEST_F(MbrTable, ABadBootIndicatorIsBadDataAndListsNothing) {
  MakePrimaryExtendedLogicals();
  PatchFile(image_, 446 + 16 * 2, {0x01});
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(result::Module(a.rc), 0x10);
  EXPECT_EQ(result::Error(a.rc), 6u);
  EXPECT_TRUE(a.entries.empty());
}

TEST_F(MbrTable, ABadBootIndicatorInAnExtendedRecordFailsTheWholeTable) {
  MakePrimaryExtendedLogicals();
  PatchFile(image_, static_cast<uint64_t>(ExtendedStart()) * 512 + 446, {0x7F});
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(result::Error(a.rc), 6u);
  EXPECT_TRUE(a.entries.empty());
}

TEST_F(MbrTable, ADynamicDiskIsRefused) {
  Make(16 * kMiB);
  Sfdisk("label: dos\n,4M,83\n,,42\n");
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(result::Module(a.rc), 0x10);
  EXPECT_EQ(result::Error(a.rc), 3u);
  EXPECT_TRUE(a.entries.empty());
}

TEST_F(MbrTable, EntriesPastTheEndOfAShrunkDiskAreCutOrLeftOut) {
  Make(64 * kMiB);
  Sfdisk("label: dos\n,8M,83\n,16M,83\n,16M,83\n");
  const auto parts = parttest::Sfdisk(path());
  ASSERT_EQ(parts.size(), 3u);
  // Cut the image inside the second partition: the third starts past the end.
  const int64_t total = parts[1].start + parts[1].size / 2;
  RunCommandOrFail("truncate -s " + std::to_string(total * 512) + " " + ShellQuote(path()));
  ASSERT_EQ(Size(), static_cast<uint64_t>(total) * 512);

  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  std::vector<ToolPartition> want = {parts[0], parts[1]};
  want[1].size = total - parts[1].start;
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
}

TEST_F(MbrTable, AChainThatLinksBackToItsFirstRecordEnds) {
  MakePrimaryExtendedLogicals();
  const auto want = parttest::WithoutExtendedContainers(parttest::Sfdisk(path()));
  // Follow the links as written to the last record, and point it back at the
  // first (a link of 0 relative to the chain's base).
  const int64_t base = ExtendedStart();
  int64_t ebr = base;
  for (int guard = 0; guard < 10; ++guard) {
    const uint32_t link = ReadLe32(image_, ebr * 512 + 446 + 16 + 8);
    if (link == 0) break;
    ebr = base + link;
  }
  ASSERT_NE(ebr, base);
  PatchFile(image_, ebr * 512 + 446 + 16, {0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});

  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
}

TEST_F(MbrTable, ARecordLinkedToItselfWithoutPartitionsEnds) {
  MakePrimaryExtendedLogicals();
  const auto all = parttest::Sfdisk(path());
  const int64_t base = ExtendedStart();
  // The first record: no logical partition, a link to itself.
  std::vector<uint8_t> entries(64, 0);
  entries[16 + 4] = 0x05;
  entries[16 + 12] = 1;
  PatchFile(image_, base * 512 + 446, entries);

  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  std::vector<ToolPartition> primaries;
  for (const auto& p : all) {
    if (p.number <= 4 && p.type != "5") primaries.push_back(p);
  }
  EXPECT_EQ(ByNumber(a.entries), ByNumber(primaries));
}

TEST_F(MbrTable, TwoLinksInOneRecordAreBadData) {
  MakePrimaryExtendedLogicals();
  PatchFile(image_, ExtendedStart() * 512 + 446 + 32, {0, 0, 0, 0, 5, 0, 0, 0, 0, 0x10, 0, 0, 0, 8, 0, 0});
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(result::Error(a.rc), 6u);
  EXPECT_TRUE(a.entries.empty());
}

TEST_F(MbrTable, ALinkPastTheEndEndsTheChainWithWhatWasListed) {
  MakePrimaryExtendedLogicals();
  const auto all = parttest::Sfdisk(path());
  const int64_t base = ExtendedStart();
  PatchFile(image_, base * 512 + 446 + 16 + 8, Le32(0x7FFFFFF0));
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  std::vector<ToolPartition> want;
  for (const auto& p : all) {
    if (p.type != "5" && p.number != 6 && p.number != 7) want.push_back(p);
  }
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
}

TEST_F(MbrTable, AVeryLongChainIsBounded) {
  // 300 logical partitions, one per 64 sectors, each with its own record.
  constexpr int kLogical = 300;
  constexpr int64_t kBase = 2048;
  Make((kBase + 64 * kLogical + 64) * 512);
  std::vector<uint8_t> mbr(512, 0);
  mbr[446 + 4] = 0x05;
  auto put = [](std::vector<uint8_t>& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(mbr, 446 + 8, kBase);
  put(mbr, 446 + 12, 64 * kLogical);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  PatchFile(image_, 0, mbr);
  for (int k = 0; k < kLogical; ++k) {
    std::vector<uint8_t> ebr(512, 0);
    ebr[446 + 4] = 0x83;
    put(ebr, 446 + 8, 1);
    put(ebr, 446 + 12, 63);
    if (k + 1 < kLogical) {
      ebr[446 + 16 + 4] = 0x05;
      put(ebr, 446 + 16 + 8, 64 * (k + 1));
      put(ebr, 446 + 16 + 12, 64);
    }
    ebr[510] = 0x55;
    ebr[511] = 0xAA;
    PatchFile(image_, (kBase + 64 * k) * 512, ebr);
  }
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  ASSERT_EQ(a.entries.size(), 256u);
  uint32_t number = 5;
  int64_t start = kBase + 1;
  for (const auto& e : a.entries) {
    EXPECT_EQ(e.number, number++);
    EXPECT_EQ(e.startSector, start);
    EXPECT_EQ(e.sectorCount, 63);
    start += 64;
  }
}

TEST_F(MbrTable, FourKiBSectorsReadTheTableFromTheFirst512Bytes) {
  REQUIRE_TOOL("fdisk");
  Make(64 * kMiB);
  RunCommandOrFail(
      "printf 'o\\nn\\np\\n1\\n\\n+8M\\nn\\ne\\n2\\n\\n\\nn\\nl\\n\\n+4M\\nn\\nl\\n\\n\\nw\\n' | "
      "fdisk -b 4096 " +
      ShellQuote(path()) + " >/dev/null");
  const auto want = parttest::WithoutExtendedContainers(parttest::Fdisk(path(), 4096));
  ASSERT_EQ(want.size(), 3u);
  const Analysis a = AnalyzeImage(image_, 4096);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(a.scheme, 1u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
}

TEST_F(MbrTable, FourKiBSectorsWithAnEmptyTableAreStillAnMbr) {
  REQUIRE_TOOL("fdisk");
  Make(16 * kMiB);
  RunCommandOrFail("printf 'o\\nw\\n' | fdisk -b 4096 " + ShellQuote(path()) + " >/dev/null");
  const Analysis a = AnalyzeImage(image_, 4096);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(a.scheme, 1u);
  EXPECT_TRUE(a.entries.empty());
}

// ---------------------------------------------------------------- GPT

class GptTable : public TableImage {
 protected:
  void SetUp() override {
    TableImage::SetUp();
    REQUIRE_TOOL("sgdisk");
    REQUIRE_TOOL("blkid");
  }
  // A 200 MiB system partition in slot 1 and a 5 GiB one in slot 4.
  void MakeSgdiskTable() {
    Make(6 * kGiB);
    RunCommandOrFail("sgdisk -n 1:2048:+200M -t 1:ef00 -n 4:0:+5G -t 4:0700 " + ShellQuote(path()) + " >/dev/null");
  }
  static void ExpectGuids(const std::list<PartitionEntry>& entries, const std::vector<ToolPartition>& want) {
    for (const auto& w : want) {
      auto it = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.number == w.number; });
      ASSERT_NE(it, entries.end()) << w.number;
      const auto type = parttest::GuidBytes(w.type);
      const auto unique = parttest::GuidBytes(w.uuid);
      EXPECT_EQ(0, std::memcmp(it->typeGUID, type.data(), 16)) << w.type;
      EXPECT_EQ(0, std::memcmp(it->uniqueGUID, unique.data(), 16)) << w.uuid;
      EXPECT_STREQ(it->typeName, "");
    }
  }
};

TEST_F(GptTable, ListsPartitionsAbove4GiBNumberedByTheirSlotAsSgdiskReportsThem) {
  MakeSgdiskTable();
  const auto all = parttest::Sgdisk(path());
  ASSERT_EQ(all.size(), 2u);
  const auto want = parttest::AtLeast(all, kMinGPTListed);
  ASSERT_EQ(want.size(), 1u);
  EXPECT_EQ(want[0].number, 4u);

  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(a.scheme, parttest::BlkidScheme(path()));
  EXPECT_EQ(a.scheme, 2u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
  ExpectGuids(a.entries, want);
}

TEST_F(GptTable, ListsATableMadeBySfdisk) {
  REQUIRE_TOOL("sfdisk");
  REQUIRE_TOOL("jq");
  Make(11 * kGiB);
  Sfdisk("label: gpt\n,300M,L\n,4200M,L\n,1G,S\n,,H\n");
  const auto all = parttest::Sfdisk(path());
  ASSERT_EQ(all.size(), 4u);
  const auto want = parttest::AtLeast(all, kMinGPTListed);
  ASSERT_EQ(want.size(), 2u);
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
  ExpectGuids(a.entries, want);
}

TEST_F(GptTable, ListsATableMadeByParted) {
  REQUIRE_TOOL("parted");
  Make(10 * kGiB);
  RunCommandOrFail("parted -s " + ShellQuote(path()) +
                   " mklabel gpt mkpart a 1MiB 101MiB mkpart b 101MiB 5000MiB mkpart c 5000MiB 100% 2>/dev/null");
  const auto want = parttest::AtLeast(parttest::Parted(path()), kMinGPTListed);
  ASSERT_EQ(want.size(), 2u);
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
}

TEST_F(GptTable, APartitionRunningPastTheEndOfAShrunkDiskIsCut) {
  MakeSgdiskTable();
  const auto want = parttest::AtLeast(parttest::Sgdisk(path()), kMinGPTListed);
  ASSERT_EQ(want.size(), 1u);
  const int64_t total = want[0].start + kMinGPTListed + 1000;
  RunCommandOrFail("truncate -s " + std::to_string(total * 512) + " " + ShellQuote(path()));
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries.front().number, want[0].number);
  EXPECT_EQ(a.entries.front().startSector, want[0].start);
  EXPECT_EQ(a.entries.front().sectorCount, total - want[0].start);
}

TEST_F(GptTable, APartitionStartingPastTheEndIsLeftOut) {
  MakeSgdiskTable();
  const auto parts = parttest::Sgdisk(path());
  RunCommandOrFail("truncate -s " + std::to_string(parts.back().start * 512) + " " + ShellQuote(path()));
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_TRUE(a.entries.empty());
}

TEST_F(GptTable, EntriesThatCannotBePartitionsAreLeftOut) {
  MakeSgdiskTable();
  const auto want = parttest::AtLeast(parttest::Sgdisk(path()), kMinGPTListed);
  const int64_t total = static_cast<int64_t>(Size() / 512);
  // Slot 6: ends before it starts; slot 7: starts beyond any disk; slot 8:
  // ends at the largest LBA there is (cut at the disk's end).
  auto entry = [](uint64_t first, uint64_t last) {
    std::vector<uint8_t> e(128, 0);
    e[0] = 0xA2;  // some type GUID
    e[16] = 0x11;
    for (int i = 0; i < 8; ++i) {
      e[32 + i] = static_cast<uint8_t>(first >> (8 * i));
      e[40 + i] = static_cast<uint8_t>(last >> (8 * i));
    }
    return e;
  };
  const uint64_t array = 2 * 512;
  PatchFile(image_, array + 5 * 128, entry(20000000, 19999999));
  PatchFile(image_, array + 6 * 128, entry(0x8000000000000000ull, UINT64_MAX));
  PatchFile(image_, array + 7 * 128, entry(100, UINT64_MAX));
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  std::vector<ToolPartition> expected = want;
  expected.push_back({8, 100, total - 100, "", ""});
  EXPECT_EQ(ByNumber(a.entries), ByNumber(expected));
}

TEST_F(GptTable, AProtectiveMbrWinsOverAnApmSignature) {
  MakeSgdiskTable();
  const auto want = parttest::AtLeast(parttest::Sgdisk(path()), kMinGPTListed);
  PatchFile(image_, 0, Bytes("ER"));
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.scheme, 2u);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
}

TEST_F(GptTable, ADynamicMarkerInTheProtectiveMbrIsRefused) {
  MakeSgdiskTable();
  PatchFile(image_, 446 + 16 + 4, {0x42});
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(result::Error(a.rc), 3u);
  EXPECT_TRUE(a.entries.empty());
}

// ---------------------------------------------------------------- APM

class ApmTable : public TableImage {
 protected:
  void SetUp() override {
    TableImage::SetUp();
    REQUIRE_TOOL("parted");
    REQUIRE_TOOL("partx");
    Make(64 * kMiB);
    RunCommandOrFail("parted -s " + ShellQuote(path()) +
                     " mklabel mac mkpart one hfs+ 1MiB 20MiB mkpart two fat32 20MiB 40MiB 2>/dev/null");
  }
};

TEST_F(ApmTable, ListsEveryMapEntryAsPartxDoes) {
  const auto want = parttest::Partx(path());
  ASSERT_GE(want.size(), 3u);
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(a.scheme, parttest::BlkidScheme(path()));
  EXPECT_EQ(a.scheme, 3u);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
  for (const auto& w : want) {
    auto it = std::find_if(a.entries.begin(), a.entries.end(), [&](const auto& e) { return e.number == w.number; });
    ASSERT_NE(it, a.entries.end());
    EXPECT_EQ(std::string(it->typeName), w.type);
  }
  // parted's own partitions (it hides the map and free space) are all there.
  for (const auto& p : parttest::Parted(path())) {
    EXPECT_TRUE(std::any_of(
        a.entries.begin(), a.entries.end(),
        [&](const auto& e) { return e.number == p.number && e.startSector == p.start && e.sectorCount == p.size; }))
        << "parted lists #" << p.number;
  }
}

TEST_F(ApmTable, MoreThan31EntriesIsBadData) {
  PatchFile(image_, 512 + 4, Be32(32));
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(result::Module(a.rc), 0x10);
  EXPECT_EQ(result::Error(a.rc), 6u);
  EXPECT_TRUE(a.entries.empty());
}

TEST_F(ApmTable, NoMapEntryAtBlock1IsBadData) {
  PatchFile(image_, 512, Bytes("XX"));
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(result::Error(a.rc), 6u);
}

TEST_F(ApmTable, OnlyValidEntriesWithinTheCountAreListed) {
  const auto all = parttest::Partx(path());
  // Three entries: block 1 spans nothing, block 2 is valid, block 3 lost its
  // signature.
  PatchFile(image_, 512 + 4, Be32(3));
  PatchFile(image_, 512 + 8, Be32(0));
  PatchFile(image_, 512 + 12, Be32(0));
  PatchFile(image_, 3 * 512, {0, 0});
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  std::vector<ToolPartition> want;
  for (const auto& p : all) {
    if (p.number == 2) want.push_back(p);
  }
  EXPECT_EQ(ByNumber(a.entries), ByNumber(want));
}

// ---------------------------------------------------------------- superfloppies

struct WholeDiskFileSystem {
  const char* name;
  const char* tool;
  const char* command;  // %s is the image
  uint64_t bytes;
  const char* blkidType;
};

class WholeDisk : public TableImage, public ::testing::WithParamInterface<WholeDiskFileSystem> {};

TEST_P(WholeDisk, AFileSystemOnTheWholeDiskIsNoTable) {
  const auto& fsys = GetParam();
  REQUIRE_TOOL(fsys.tool);
  REQUIRE_TOOL("blkid");
  Make(fsys.bytes);
  std::string command = fsys.command;
  command.replace(command.find("%s"), 2, ShellQuote(path()));
  RunCommandOrFail(command + " >/dev/null 2>&1");
  // blkid finds the file system at offset 0, that is on the whole disk.
  EXPECT_EQ(RunCommandOrFail("blkid -p -s TYPE -o value " + ShellQuote(path())), std::string(fsys.blkidType) + "\n");
  ASSERT_EQ(ReadFileRange(image_, 510, 2), (std::vector<uint8_t>{0x55, 0xAA}));

  Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(a.scheme, 0u);
  EXPECT_TRUE(a.entries.empty());

  // Boot code that fills the bytes where a table would be changes nothing.
  PatchFile(image_, 446, Bytes("A disk read error occurred.\r\nBOOTMGR is missing.\r\nPress Ctrl+Alt+Del\r\n"));
  a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(a.scheme, 0u);
  EXPECT_TRUE(a.entries.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Tools, WholeDisk,
    ::testing::Values(WholeDiskFileSystem{"FAT12", "mkfs.vfat", "mkfs.vfat -F 12 %s", 4 * kMiB, "vfat"},
                      WholeDiskFileSystem{"FAT16", "mkfs.vfat", "mkfs.vfat -F 16 %s", 64 * kMiB, "vfat"},
                      WholeDiskFileSystem{"FAT32", "mkfs.vfat", "mkfs.vfat -F 32 %s", 300 * kMiB, "vfat"},
                      WholeDiskFileSystem{"exFAT", "mkfs.exfat", "mkfs.exfat %s", 64 * kMiB, "exfat"},
                      WholeDiskFileSystem{"NTFS", "mkntfs", "mkntfs -F -Q %s", 64 * kMiB, "ntfs"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TableImage, ATableWrittenOverABootSectorIsStillRead) {
  REQUIRE_TOOL("mkfs.vfat");
  Make(64 * kMiB);
  RunCommandOrFail("mkfs.vfat -F 16 " + ShellQuote(path()) + " >/dev/null");
  // One plausible entry in the boot sector's table area.
  PatchFile(image_, 446, {0x80, 0, 0, 0, 0x0C, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x10, 0, 0});
  const Analysis a = AnalyzeImage(image_);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(a.scheme, 1u);
  EXPECT_EQ(ByNumber(a.entries), (std::vector<ToolPartition>{{1, 2048, 4096, "", ""}}));
}

// ---------------------------------------------------------------- refusals

TEST_F(TableImage, RefusesWhatIsNotAUsableDisk) {
  REQUIRE_TOOL("sfdisk");
  Make(16 * kMiB);
  Sfdisk("label: dos\n,4M,83\n");
  ImageGuard guard(image_);
  std::list<PartitionEntry> entries;
  IPartitionTableAnalyze* analyzer = CreatePartitionTableAnalyze();
  auto errorOf = [&](IStorageDevice* device) {
    entries.assign(1, PartitionEntry{});
    const ResultCode rc = analyzer->AnalyzePartitionTable(device, entries);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(result::Module(rc), 0x10);
    return result::Error(rc);
  };
  EXPECT_EQ(errorOf(nullptr), 5u);

  DevicePtr disk(CreateDiskDevice(path().c_str()));
  ASSERT_EQ(disk->Open(), 1);
  EXPECT_EQ(errorOf(disk.get()), 7u);  // no record
  disk->SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct()));
  EXPECT_EQ(errorOf(disk.get()), 7u);  // a record of another kind
  disk->SetPrivateData(CreateDiskDeviceData(nullptr));
  EXPECT_EQ(errorOf(disk.get()), 7u);  // no structure
  disk->SetPrivateData(devicetest::MakeDiskData(512, 32768, 1));
  EXPECT_EQ(errorOf(disk.get()), 3u);  // not usable
  disk->SetPrivateData(devicetest::MakeDiskData(256, 65536));
  EXPECT_EQ(errorOf(disk.get()), 8u);  // sectors too small for a table

  disk->SetPrivateData(devicetest::MakeDiskData(512, 32768));
  DevicePtr partition(CreatePartitionDevice(disk.get(), 2048, 8192));
  ASSERT_EQ(partition->Open(), 1);
  EXPECT_EQ(errorOf(partition.get()), 3u);  // not a disk
  analyzer->Release();
}

TEST_F(TableImage, AnUnreadableDiskAnswersTheDevicesOwnCode) {
  Make(1 * kMiB);
  DevicePtr disk(CreateDiskDevice(path().c_str()));  // never opened
  disk->SetPrivateData(devicetest::MakeDiskData(512, 2048));
  const Analysis a = AnalyzeDevice(disk.get());
  EXPECT_EQ(a.rc, 0x010E008800000001u);
  EXPECT_EQ(a.schemeRc, 0x010E008800000001u);
  EXPECT_TRUE(a.entries.empty());
}

}  // namespace
