// The partition-table reader on images made by sfdisk, sgdisk, fdisk, parted
// and the mkfs tools: it lists what the tools themselves report and tells the
// scheme as blkid does, and it survives hostile tables made by patching those
// images.
#include "partition/PartitionTableAnalyze.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>

#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"

namespace {

namespace fs = std::filesystem;
using devicetest::DevicePtr;
using devicetest::PatchFile;
using parttest::ByNumber;
using parttest::ToolPartition;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;
using Parts = std::vector<ToolPartition>;

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

// Reads the table of the image as a disk of `sectorSize`-byte sectors (512
// when 0); the image must be left as it was.
Analysis AnalyzeImage(const fs::path& image, int64_t sectorSize = 0) {
  devicetest::ImageGuard guard(image);
  DevicePtr disk = devicetest::OpenDisk(image.string(), sectorSize);
  return AnalyzeDevice(disk.get());
}

// Makes `image` of `bytes` bytes and runs `command` on it (%s is the image).
void Make(const fs::path& image, uint64_t bytes, std::string command) {
  devicetest::MakeSparseImage(image, bytes);
  command.replace(command.find("%s"), 2, ShellQuote(image.string()));
  RunCommandOrFail(command + " >/dev/null 2>&1");
}

std::vector<uint8_t> Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
std::vector<uint8_t> Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

// ------------------------------------------------- tables the tools made

struct MadeTable {
  const char* name;
  const char* tool;
  uint64_t bytes;
  const char* command;
  std::function<Parts(const std::string&)> oracle;
  unsigned sectorSize = 512;
  bool guids = false;     // both GPT GUIDs as the oracle reports them
  bool apmTypes = false;  // the APM type texts as the oracle reports them
};

void PrintTo(const MadeTable& t, std::ostream* os) { *os << t.name; }
class ToolTable : public ::testing::TestWithParam<MadeTable> {};

TEST_P(ToolTable, ListsWhatTheToolReportsAndTheSchemeBlkidSees) {
  const MadeTable& t = GetParam();
  for (const char* tool : {t.tool, "blkid", "jq"}) REQUIRE_TOOL(tool);
  testsupport::TempDir dir;
  const fs::path image = dir / "disk.img";
  Make(image, t.bytes, t.command);
  const Parts want = t.oracle(image.string());
  const Analysis a = AnalyzeImage(image, t.sectorSize);
  EXPECT_EQ(a.rc, 0u);
  EXPECT_EQ(a.schemeRc, 0u);
  const uint32_t scheme = parttest::BlkidScheme(image.string());
  EXPECT_NE(scheme, 0u);
  EXPECT_EQ(a.scheme, scheme);
  ASSERT_EQ(ByNumber(a.entries), ByNumber(want));
  for (const PartitionEntry& e : a.entries) {
    const ToolPartition& w = *std::find_if(want.begin(), want.end(), [&](auto& p) { return p.number == e.number; });
    SCOPED_TRACE(w.number);
    if (t.guids) {
      EXPECT_EQ(0, std::memcmp(e.typeGUID, parttest::GuidBytes(w.type).data(), 16));
      EXPECT_EQ(0, std::memcmp(e.uniqueGUID, parttest::GuidBytes(w.uuid).data(), 16));
    }
    EXPECT_EQ(e.typeName, t.apmTypes ? w.type : "");
  }
}

Parts SfdiskWithoutContainers(const std::string& path) {
  return parttest::WithoutExtendedContainers(parttest::Sfdisk(path));
}
Parts FdiskWithoutContainers(const std::string& path) {
  return parttest::WithoutExtendedContainers(parttest::Fdisk(path, 4096));
}
// What the reader lists of a GPT: partitions of 4 GiB and more, and smaller
// ones that are not system partitions (the tools give types as GUID text).
Parts ListedGpt(Parts parts) {
  static const char* const kSystem[] = {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "21686148-6449-6E6F-744E-656564454649",
                                        "E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC",
                                        "426F6F74-0000-11AA-AA11-00306543ECAC", "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"};
  Parts out;
  for (const auto& p : parts) {
    std::string type = p.type;
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::toupper(c); });
    const bool system = std::find(std::begin(kSystem), std::end(kSystem), type) != std::end(kSystem);
    if (p.size >= kMinGPTListed || !system) out.push_back(p);
  }
  return out;
}

// Primaries 1, 3 and 4 around an extended partition (2) that holds three
// logical ones (5, 6, 7).
constexpr const char* kMbrWithLogicals =
    "printf 'label: dos\\n,8M,83\\n,40M,5\\n,4M,83\\n,4M,a5\\n,6M,7\\n,8M,c\\n,4M,83\\n' | sfdisk %s";

INSTANTIATE_TEST_SUITE_P(
    Tools, ToolTable,
    ::testing::Values(
        MadeTable{"MbrWithLogicals", "sfdisk", 64 * kMiB, kMbrWithLogicals, SfdiskWithoutContainers},
        MadeTable{"MbrExtendedInSlot4", "sfdisk", 64 * kMiB,
                  "printf 'label: dos\\n1: start=2048, size=8192, type=83\\n2: start=12288, size=8192, type=7\\n"
                  "4: start=40960, size=40960, type=f\\n5: size=8192, type=83\\n6: size=8192, type=83\\n' | sfdisk %s",
                  SfdiskWithoutContainers},
        MadeTable{"MbrEmpty", "sfdisk", 8 * kMiB, "printf 'label: dos\\n' | sfdisk %s", parttest::Sfdisk},
        MadeTable{"Mbr4KiBSectors", "fdisk", 64 * kMiB,
                  "printf 'o\\nn\\np\\n1\\n\\n+8M\\nn\\ne\\n2\\n\\n\\nn\\nl\\n\\n+4M\\nn\\nl\\n\\n\\nw\\n' | fdisk -b "
                  "4096 %s",
                  FdiskWithoutContainers, 4096},
        MadeTable{"GptBySgdisk", "sgdisk", 6 * kGiB, "sgdisk -n 1:2048:+200M -t 1:ef00 -n 4:0:+5G -t 4:0700 %s",
                  [](const std::string& p) { return ListedGpt(parttest::Sgdisk(p)); }, 512, true},
        // Small data partitions are listed; a small system one is not.
        MadeTable{"GptSmallDataPartitions", "sgdisk", 256 * kMiB,
                  "sgdisk -n 1:2048:+200M -t 1:ef00 -n 2:0:+12M -t 2:0700 -n 3:0:+8M %s",
                  [](const std::string& p) { return ListedGpt(parttest::Sgdisk(p)); }, 512, true},
        MadeTable{"GptBySfdisk", "sfdisk", 11 * kGiB,
                  "printf 'label: gpt\\n,300M,L\\n,4200M,L\\n,1G,S\\n,,H\\n' | sfdisk %s",
                  [](const std::string& p) { return ListedGpt(parttest::Sfdisk(p)); }, 512, true},
        // partx lists every map entry, the map itself and free space included.
        MadeTable{"ApmByParted", "parted", 64 * kMiB,
                  "parted -s %s mklabel mac mkpart one hfs+ 1MiB 20MiB mkpart two fat32 20MiB 40MiB", parttest::Partx,
                  512, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A file system on the whole disk also ends sector 0 in 55 AA; it is no table,
// even with boot code where the entries would be.
class WholeDisk : public ::testing::TestWithParam<std::tuple<const char*, const char*, uint64_t, const char*>> {};

TEST_P(WholeDisk, AFileSystemOnTheWholeDiskIsNoTable) {
  const auto& [name, command, bytes, blkidType] = GetParam();
  REQUIRE_TOOL(std::string(command).substr(0, std::string(command).find(' ')));
  REQUIRE_TOOL("blkid");
  testsupport::TempDir dir;
  const fs::path image = dir / "disk.img";
  Make(image, bytes, command);
  EXPECT_EQ(RunCommandOrFail("blkid -p -s TYPE -o value " + ShellQuote(image.string())), std::string(blkidType) + "\n");
  for (int pass = 0; pass < 2; ++pass) {
    const Analysis a = AnalyzeImage(image);
    EXPECT_EQ(a.rc, 0u);
    EXPECT_EQ(a.scheme, 0u);
    EXPECT_TRUE(a.entries.empty());
    const std::string text = "A disk read error occurred.\r\nBOOTMGR is missing.\r\nPress Ctrl+Alt+Del\r\n";
    PatchFile(image, 446, std::vector<uint8_t>(text.begin(), text.end()));
  }
}

INSTANTIATE_TEST_SUITE_P(Tools, WholeDisk,
                         ::testing::Values(std::tuple{"FAT12", "mkfs.vfat -F 12 %s", 4 * kMiB, "vfat"},
                                           std::tuple{"FAT16", "mkfs.vfat -F 16 %s", 64 * kMiB, "vfat"},
                                           std::tuple{"FAT32", "mkfs.vfat -F 32 %s", 300 * kMiB, "vfat"},
                                           std::tuple{"exFAT", "mkfs.exfat %s", 64 * kMiB, "exfat"},
                                           std::tuple{"NTFS", "mkntfs -F -Q %s", 64 * kMiB, "ntfs"}),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

// ------------------------------------------------- hostile tables

// A table made by a tool, then patched: the reader answers `error` (0 for
// success) and lists `want` of what the tool reported before the patch.
struct Hostile {
  const char* name;
  std::function<Parts(const fs::path&)> make;  // makes the image, answers the tool's partitions
  std::function<void(const fs::path&, const Parts&)> patch;
  uint32_t error;
  std::function<Parts(const Parts&)> want;
  uint32_t scheme;
};

Parts MakeMbrWithLogicals(const fs::path& image) {
  Make(image, 64 * kMiB, kMbrWithLogicals);
  return parttest::Sfdisk(image.string());
}
Parts MakeGpt(const fs::path& image) {
  Make(image, 6 * kGiB, "sgdisk -n 1:2048:+200M -t 1:ef00 -n 4:0:+5G -t 4:0700 %s");
  return ListedGpt(parttest::Sgdisk(image.string()));
}
Parts MakeApm(const fs::path& image) {
  Make(image, 64 * kMiB, "parted -s %s mklabel mac mkpart one hfs+ 1MiB 20MiB mkpart two fat32 20MiB 40MiB");
  return parttest::Partx(image.string());
}
// Where the first extended boot record lies, in bytes.
uint64_t Ebr(const Parts& parts) {
  return std::find_if(parts.begin(), parts.end(), [](auto& p) { return p.type == "5"; })->start * 512;
}
Parts Nothing(const Parts&) { return {}; }
std::function<Parts(const Parts&)> Only(std::function<bool(const ToolPartition&)> keep) {
  return [keep](const Parts& parts) {
    Parts out;
    std::copy_if(parts.begin(), parts.end(), std::back_inserter(out), keep);
    return out;
  };
}
// A GPT entry from `first` to `last` of some type.
std::vector<uint8_t> GptEntry(uint64_t first, uint64_t last) {
  std::vector<uint8_t> e(128, 0);
  e[0] = 0xA2;
  e[16] = 0x11;
  for (int i = 0; i < 8; ++i) {
    e[32 + i] = static_cast<uint8_t>(first >> (8 * i));
    e[40 + i] = static_cast<uint8_t>(last >> (8 * i));
  }
  return e;
}
void Truncate(const fs::path& image, int64_t sectors) {
  RunCommandOrFail("truncate -s " + std::to_string(sectors * 512) + " " + ShellQuote(image.string()));
}

void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }
class HostileTable : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileTable, EndsWithWhatCanBeTrusted) {
  const Hostile& h = GetParam();
  for (const char* tool : {"sfdisk", "sgdisk", "parted", "partx", "jq", "mkfs.vfat"}) REQUIRE_TOOL(tool);
  testsupport::TempDir dir;
  const fs::path image = dir / "disk.img";
  const Parts parts = h.make(image);
  h.patch(image, parts);
  const Analysis a = AnalyzeImage(image);
  EXPECT_EQ(result::Error(a.rc), h.error);
  EXPECT_EQ(result::Module(a.rc), h.error != 0 ? 0x10 : 0);
  EXPECT_EQ(a.scheme, h.scheme);
  EXPECT_EQ(ByNumber(a.entries), ByNumber(h.want(parts)));
}

INSTANTIATE_TEST_SUITE_P(
    Patched, HostileTable,
    ::testing::Values(
        Hostile{"MbrBadBootIndicator", MakeMbrWithLogicals,
                [](const fs::path& image, const Parts&) { PatchFile(image, 446 + 32, {0x01}); }, 6, Nothing, 1},
        Hostile{"EbrWithTwoLinks", MakeMbrWithLogicals,
                [](const fs::path& image, const Parts& p) {
                  PatchFile(image, Ebr(p) + 446 + 32, {0, 0, 0, 0, 5, 0, 0, 0, 0, 0x10, 0, 0, 0, 8, 0, 0});
                },
                6, Nothing, 1},
        Hostile{"DynamicDisk", MakeMbrWithLogicals,
                [](const fs::path& image, const Parts&) { PatchFile(image, 446 + 32 + 4, {0x42}); }, 3, Nothing, 1},
        Hostile{"EbrLinkPastTheEnd", MakeMbrWithLogicals,
                [](const fs::path& image, const Parts& p) { PatchFile(image, Ebr(p) + 446 + 24, Le32(0x7FFFFFF0)); }, 0,
                Only([](auto& p) { return p.type != "5" && p.number != 6 && p.number != 7; }), 1},
        Hostile{"EbrLinkedToItselfAlone", MakeMbrWithLogicals,
                [](const fs::path& image, const Parts& p) {
                  std::vector<uint8_t> entries(64, 0);
                  entries[16 + 4] = 0x05;
                  entries[16 + 12] = 1;
                  PatchFile(image, Ebr(p) + 446, entries);
                },
                0, Only([](auto& p) { return p.number <= 4 && p.type != "5"; }), 1},
        Hostile{"MbrDiskShrunkInsideAPartition", MakeMbrWithLogicals,
                [](const fs::path& image, const Parts& p) { Truncate(image, p[2].start + p[2].size / 2); }, 0,
                [](const Parts& p) {
                  Parts want = Only([&](auto& q) { return q.type != "5" && q.number != 4; })(p);
                  std::find_if(want.begin(), want.end(), [](auto& q) { return q.number == 3; })->size = p[2].size / 2;
                  return want;
                },
                1},
        Hostile{
            "GptEntriesThatCannotBePartitions", MakeGpt,
            [](const fs::path& image, const Parts& p) {
              Truncate(image, p[0].start + kMinGPTListed + 1000);
              PatchFile(image, 1024 + 5 * 128, GptEntry(20000000, 19999999));  // ends before it starts
              PatchFile(image, 1024 + 6 * 128, GptEntry(0x8000000000000000ull, UINT64_MAX));
              PatchFile(image, 1024 + 7 * 128, GptEntry(100, UINT64_MAX));  // cut at the disk's end
            },
            0,
            [](const Parts& p) {
              return Parts{{p[0].number, p[0].start, kMinGPTListed + 1000}, {8, 100, p[0].start + kMinGPTListed + 900}};
            },
            2},
        Hostile{"ApmSignatureUnderAProtectiveMbr", MakeGpt,
                [](const fs::path& image, const Parts&) {
                  PatchFile(image, 0, {'E', 'R'});
                },
                0, [](const Parts& p) { return p; }, 2},
        Hostile{"GptDynamicMarker", MakeGpt,
                [](const fs::path& image, const Parts&) { PatchFile(image, 446 + 16 + 4, {0x42}); }, 3, Nothing, 2},
        Hostile{"ApmWithMoreThan31Entries", MakeApm,
                [](const fs::path& image, const Parts&) { PatchFile(image, 512 + 4, Be32(32)); }, 6, Nothing, 3},
        Hostile{"ApmWithoutAnEntryAtBlock1", MakeApm,
                [](const fs::path& image, const Parts&) {
                  PatchFile(image, 512, {'X', 'X'});
                },
                6, Nothing, 3},
        Hostile{"ApmEntriesOutsideTheCountEmptyOrUnsigned", MakeApm,
                [](const fs::path& image, const Parts&) {
                  PatchFile(image, 512 + 4, Be32(3));  // block 1 spans nothing, block 3 lost its signature
                  PatchFile(image, 512 + 8, Be32(0));
                  PatchFile(image, 512 + 12, Be32(0));
                  PatchFile(image, 3 * 512, {0, 0});
                },
                0, Only([](auto& p) { return p.number == 2; }), 3},
        Hostile{"ATableWrittenOverABootSector",
                [](const fs::path& image) {
                  Make(image, 64 * kMiB, "mkfs.vfat -F 16 %s");
                  return Parts{};
                },
                [](const fs::path& image, const Parts&) {
                  PatchFile(image, 446, {0x80, 0, 0, 0, 0x0C, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x10, 0, 0});
                },
                0,
                [](const Parts&) {
                  return Parts{{1, 2048, 4096}};
                },
                1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LongChain, IsCutAt256LogicalPartitions) {
  // 300 logical partitions, one per 64 sectors, each with its own record.
  testsupport::TempDir dir;
  const fs::path image = dir / "disk.img";
  constexpr int kLogical = 300;
  constexpr uint32_t kBase = 2048;
  devicetest::MakeSparseImage(image, (kBase + 64 * kLogical + 64) * 512);
  auto record = [&](uint64_t at, uint8_t type, uint32_t start, uint32_t count, uint32_t link) {
    std::vector<uint8_t> s(512, 0);
    s[446 + 4] = type;
    std::copy_n(Le32(start).begin(), 4, s.begin() + 446 + 8);
    std::copy_n(Le32(count).begin(), 4, s.begin() + 446 + 12);
    if (link != 0) {
      s[446 + 16 + 4] = 0x05;
      std::copy_n(Le32(link).begin(), 4, s.begin() + 446 + 16 + 8);
      std::copy_n(Le32(64).begin(), 4, s.begin() + 446 + 16 + 12);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    PatchFile(image, at * 512, s);
  };
  record(0, 0x05, kBase, 64 * kLogical, 0);
  for (uint32_t k = 0; k < kLogical; ++k) record(kBase + 64 * k, 0x83, 1, 63, k + 1 < kLogical ? 64 * (k + 1) : 0);
  const Analysis a = AnalyzeImage(image);
  EXPECT_EQ(a.rc, 0u);
  Parts want;
  for (uint32_t k = 0; k < 256; ++k) want.push_back({5 + k, kBase + 64 * k + 1, 63});
  EXPECT_EQ(ByNumber(a.entries), want);
}

TEST(Refusals, WhatIsNotAUsableDiskIsRefusedWithItsCode) {
  REQUIRE_TOOL("sfdisk");
  testsupport::TempDir dir;
  const fs::path image = dir / "disk.img";
  Make(image, 16 * kMiB, "printf 'label: dos\\n,4M,83\\n' | sfdisk %s");
  devicetest::ImageGuard guard(image);
  DevicePtr disk(CreateDiskDevice(image.c_str()));
  ASSERT_EQ(disk->Open(), 1);
  auto errorOf = [](IStorageDevice* device) {
    const Analysis a = AnalyzeDevice(device);
    EXPECT_TRUE(a.entries.empty());
    EXPECT_EQ(result::Module(a.rc), 0x10);
    return result::Error(a.rc);
  };
  EXPECT_EQ(errorOf(nullptr), 5u);
  EXPECT_EQ(errorOf(disk.get()), 7u);  // no record
  const std::pair<IStorageDeviceData*, uint32_t> records[] = {
      {CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct()), 7},  // another kind
      {CreateDiskDeviceData(nullptr), 7},                                   // no record in the holder
      {devicetest::MakeDiskData(512, 32768, 1), 3},                         // not usable
      {devicetest::MakeDiskData(256, 65536), 8}};                           // sectors too small for a table
  for (const auto& [record, error] : records) {
    disk->SetPrivateData(record);
    EXPECT_EQ(errorOf(disk.get()), error);
  }
  disk->SetPrivateData(devicetest::MakeDiskData(512, 32768));
  DevicePtr partition(CreatePartitionDevice(disk.get(), 2048, 8192));
  ASSERT_EQ(partition->Open(), 1);
  EXPECT_EQ(errorOf(partition.get()), 3u);  // not a disk

  // A disk that cannot be read answers the device's own code.
  DevicePtr closed(CreateDiskDevice(image.c_str()));
  closed->SetPrivateData(devicetest::MakeDiskData(512, 2048));
  const Analysis a = AnalyzeDevice(closed.get());
  EXPECT_EQ(a.rc, 0x010E008800000001u);
  EXPECT_EQ(a.schemeRc, 0x010E008800000001u);
}

}  // namespace
