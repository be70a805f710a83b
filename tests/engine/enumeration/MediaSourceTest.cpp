// The Linux media source over a stand-in sysfs tree: which block devices are
// listed, their sizes in sysfs's 512-byte units, buses and names, and the
// partition facts that libblkid reads from images made by the real tools.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "engine/partition/PartitionToolOutput.h"
#include "enumeration/MediaSource.h"

namespace {

using enumtest::DiskSpec;
using enumtest::FakeMachine;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

constexpr uint64_t kMiB = 1024 * 1024;

const MediaRecord* Find(const std::vector<MediaRecord>& media, const std::string& name) {
  auto it = std::find_if(media.begin(), media.end(), [&](const MediaRecord& m) { return m.name == name; });
  return it == media.end() ? nullptr : &*it;
}

TEST(LinuxMediaSource, LeavesOutOpticalEmptyAndUnattachedDevices) {
  FakeMachine m;
  m.AddDisk({.name = "sda", .major = 8, .minor = 0, .size512 = 2048});
  m.AddDisk({.name = "sr0", .major = 11, .minor = 0, .size512 = 2048});
  m.AddDisk({.name = "sdc", .major = 8, .minor = 32, .size512 = 2048, .scsiType = "5"});  // a SCSI CD drive
  m.AddDisk({.name = "sdd", .major = 8, .minor = 48, .size512 = 0});                      // a card reader, no card
  m.AddDisk({.name = "loop3", .major = 7, .minor = 3, .size512 = 0});                     // nothing attached
  m.AddDisk({.name = "loop4", .major = 7, .minor = 4, .size512 = 2048});                  // no backing file
  m.AddDisk({.name = "loop5", .major = 7, .minor = 5, .size512 = 2048, .backingFile = "/srv/images/card.img"});
  m.Write("sys/block/sde/size", "100\n");  // no device number: incomplete
  const auto media = m.List();
  ASSERT_EQ(media.size(), 2u);
  EXPECT_EQ(media[0].name, "loop5");
  EXPECT_EQ(media[1].name, "sda");
  EXPECT_TRUE(media[0].whole);
  EXPECT_EQ(media[0].busProtocol, "Virtual Interface");
  EXPECT_EQ(media[0].registryName, "card.img");
  EXPECT_EQ(media[1].devicePath, (m.dev() / "sda").string());
}

TEST(LinuxMediaSource, CountsSysfsSizesIn512ByteUnitsWhateverTheSectorSize) {
  FakeMachine m;
  m.AddDisk({.name = "sdb", .major = 8, .minor = 16, .size512 = 1000000, .logical = 4096, .readOnly = true});
  m.AddPartition("sdb", "sdb1", 1, 8, 17, 2048, 8192);
  const auto media = m.List();
  ASSERT_EQ(media.size(), 2u);
  EXPECT_EQ(media[0].sizeBytes, 1000000u * 512);
  EXPECT_EQ(media[0].logicalBlockSize, 4096u);
  EXPECT_FALSE(media[0].writable);
  EXPECT_EQ(media[0].major, 8u);
  EXPECT_EQ(media[0].minor, 16u);
  EXPECT_FALSE(media[1].whole);
  EXPECT_EQ(media[1].parent, "sdb");
  EXPECT_EQ(media[1].sizeBytes, 8192u * 512);
  EXPECT_EQ(media[1].start512, 2048);
  EXPECT_EQ(media[1].partitionNumber, 1);
  EXPECT_EQ(media[1].logicalBlockSize, 4096u);
  EXPECT_EQ(media[1].minor, 17u);
}

TEST(LinuxMediaSource, TellsTheBusFromWhereTheDiskHangs) {
  FakeMachine m;
  m.AddDisk({.name = "sda",
             .size512 = 64,
             .devicePath = "devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda",
             .vendor = "ATA",
             .model = "Samsung SSD 870"});
  m.Write("sys/devices/pci0000:00/0000:00:1f.2/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
  m.AddDisk({.name = "sdb",
             .minor = 16,
             .size512 = 64,
             .devicePath = "devices/pci0000:00/0000:00:1f.1/ata3/host2/target2:0:0/2:0:0:0/block/sdb"});
  m.Write("sys/devices/pci0000:00/0000:00:1f.1/ata3/link3/ata_link/link3/sata_spd", "<unknown>\n");
  m.AddDisk({.name = "sdc",
             .minor = 32,
             .size512 = 64,
             .devicePath = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdc",
             .vendor = "Kingston",
             .model = "DataTraveler 3.0"});
  m.AddDisk({.name = "sdd",
             .minor = 48,
             .size512 = 64,
             .devicePath = "devices/pci0000:00/0000:00:03.0/virtio2/host0/target0:0:1/0:0:1:0/block/sdd"});
  m.AddDisk({.name = "nvme0n1",
             .major = 259,
             .size512 = 64,
             .devicePath = "devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1",
             .model = "WD Blue SN570"});
  const auto media = m.List();
  ASSERT_EQ(media.size(), 5u);
  EXPECT_EQ(Find(media, "sda")->busProtocol, "SATA");
  EXPECT_EQ(Find(media, "sda")->registryName, "ATA Samsung SSD 870");
  EXPECT_EQ(Find(media, "sdb")->busProtocol, "ATA");
  EXPECT_EQ(Find(media, "sdc")->busProtocol, "USB");
  EXPECT_EQ(Find(media, "sdc")->registryName, "Kingston DataTraveler 3.0");
  EXPECT_EQ(Find(media, "sdd")->busProtocol, "SCSI");
  EXPECT_EQ(Find(media, "nvme0n1")->busProtocol, "");
  EXPECT_EQ(Find(media, "nvme0n1")->registryName, "WD Blue SN570");
}

TEST(LinuxMediaSource, FindsMountPointsByDeviceNumber) {
  FakeMachine m;
  m.AddDisk({.name = "sdb", .major = 8, .minor = 16, .size512 = 4096});
  m.AddPartition("sdb", "sdb1", 1, 8, 17, 2048, 1024);
  m.AddPartition("sdb", "sdb2", 2, 8, 18, 3072, 1024);
  m.SetMountInfo(
      "27 1 254:0 / / rw - ext4 /dev/vda rw\n"
      "70 27 8:18 /photos /srv/photos rw - ext4 /dev/sdb2 rw\n"
      "71 27 8:17 / /media/user/My\\040Stick rw,nosuid - vfat /dev/sdb1 rw\n");
  const auto media = m.List();
  ASSERT_EQ(media.size(), 3u);
  EXPECT_EQ(Find(media, "sdb")->mountPath, "");
  EXPECT_EQ(Find(media, "sdb1")->mountPath, "/media/user/My Stick");
  EXPECT_EQ(Find(media, "sdb2")->mountPath, "/srv/photos");
}

TEST(LinuxMediaSource, ReadsTheTableAndLabelsThatTheToolsWrote) {
  REQUIRE_TOOL("sfdisk");
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("mkfs.exfat");
  REQUIRE_TOOL("blkid");
  FakeMachine m;
  const auto image = m / "mbr.img";
  devicetest::MakeSparseImage(image, 64 * kMiB);
  enumtest::MakeMbr(image, {"1 : size=16M, type=c", "2 : size=30M, type=5", "5 : size=12M, type=7", "6 : type=83"});
  const auto parts = parttest::Sfdisk(image.string());
  ASSERT_EQ(parts.size(), 4u);  // 1, 2 (extended), 5, 6
  const auto p1 =
      enumtest::FormatInto(image, parts[0].start * 512, parts[0].size * 512, "mkfs.vfat -n PHOTOS", m / "p1.img");
  const auto p5 =
      enumtest::FormatInto(image, parts[2].start * 512, parts[2].size * 512, "mkfs.exfat -L Travel", m / "p5.img");
  m.AddDisk({.name = "sdz", .major = 8, .minor = 240, .size512 = 64 * kMiB / 512});
  m.SetNode("sdz", image);
  m.AddPartition("sdz", "sdz1", 1, 8, 241, parts[0].start, parts[0].size);
  m.AddPartition("sdz", "sdz2", 2, 8, 242, parts[1].start, 2);  // the kernel's 1 KiB extended device
  m.AddPartition("sdz", "sdz5", 5, 8, 245, parts[2].start, parts[2].size);
  m.AddPartition("sdz", "sdz6", 6, 8, 246, parts[3].start, parts[3].size);
  m.SetNode("sdz1", p1);
  m.SetNode("sdz5", p5);
  devicetest::ImageGuard guard(image);

  const auto media = m.List();
  ASSERT_EQ(media.size(), 5u);
  EXPECT_EQ(media[0].content, enumtest::Blkid(image.string())["PTTYPE"]);
  EXPECT_EQ(media[0].content, "dos");
  for (size_t i = 1; i < media.size(); ++i) {
    SCOPED_TRACE(media[i].name);
    const auto& want = parts[i - 1];
    EXPECT_EQ(static_cast<uint32_t>(media[i].partitionNumber), want.number);
    EXPECT_EQ(media[i].content, "0x" + want.type);
    EXPECT_EQ(media[i].extendedContainer, i == 2);
  }
  EXPECT_EQ(media[1].label, enumtest::Blkid(p1.string())["LABEL"]);
  EXPECT_EQ(media[1].label, "PHOTOS");
  EXPECT_EQ(media[1].fsType, "vfat");
  EXPECT_EQ(media[3].label, enumtest::Blkid(p5.string())["LABEL"]);
  EXPECT_EQ(media[3].fsType, "exfat");
  // sdz6 has no node here: listed, with the reason it could not be probed.
  EXPECT_EQ(media[4].label, "");
  EXPECT_NE(media[4].probeErrno, 0);
}

TEST(LinuxMediaSource, ReadsGptTypesAndUniqueGuids) {
  REQUIRE_TOOL("sgdisk");
  FakeMachine m;
  const auto image = m / "gpt.img";
  devicetest::MakeSparseImage(image, 64 * kMiB);
  RunCommandOrFail("sgdisk -n 1:0:+8M -t 1:ef00 -n 2:0:+20M -t 2:0700 -n 3:0:0 -t 3:8300 " +
                   ShellQuote(image.string()) + " >/dev/null");
  const auto parts = parttest::Sgdisk(image.string());
  ASSERT_EQ(parts.size(), 3u);
  m.AddDisk({.name = "vdb", .major = 254, .minor = 16, .size512 = 64 * kMiB / 512});
  m.SetNode("vdb", image);
  for (const auto& p : parts) {
    const std::string name = "vdb" + std::to_string(p.number);
    m.AddPartition("vdb", name, static_cast<int>(p.number), 254, 16 + p.number, p.start, p.size);
  }
  devicetest::ImageGuard guard(image);
  const auto media = m.List();
  ASSERT_EQ(media.size(), 4u);
  EXPECT_EQ(media[0].content, "gpt");
  for (size_t i = 1; i < 4; ++i) {
    SCOPED_TRACE(media[i].name);
    uint8_t type[16];
    uint8_t unique[16];
    ASSERT_TRUE(ParseGptGuidText(media[i].content, type));
    ASSERT_TRUE(ParseGptGuidText(media[i].partitionUUID, unique));
    const auto wantType = parttest::GuidBytes(parts[i - 1].type);
    const auto wantUnique = parttest::GuidBytes(parts[i - 1].uuid);
    EXPECT_TRUE(std::equal(wantType.begin(), wantType.end(), type));
    EXPECT_TRUE(std::equal(wantUnique.begin(), wantUnique.end(), unique));
  }
}

TEST(LinuxMediaSource, ASuperfloppyHasNoSchemeAndCarriesItsLabel) {
  REQUIRE_TOOL("mkfs.vfat");
  FakeMachine m;
  const auto image = m / "floppy.img";
  devicetest::MakeSparseImage(image, 8 * kMiB);
  RunCommandOrFail("mkfs.vfat -n STICK " + ShellQuote(image.string()) + " >/dev/null");
  m.AddDisk({.name = "sdf", .major = 8, .minor = 80, .size512 = 8 * kMiB / 512});
  m.SetNode("sdf", image);
  devicetest::ImageGuard guard(image);
  const auto media = m.List();
  ASSERT_EQ(media.size(), 1u);
  const auto blkid = enumtest::Blkid(image.string());
  EXPECT_EQ(blkid.count("PTTYPE"), 0u);
  EXPECT_EQ(media[0].content, "");
  EXPECT_EQ(media[0].label, blkid.at("LABEL"));
  EXPECT_EQ(media[0].fsType, "vfat");
}

TEST(LinuxMediaSource, FailsOnlyWithoutABlockDeviceList) {
  std::vector<MediaRecord> media(1);
  CLinuxMediaSource missing("/nonexistent-sysfs-root", "/dev", "/proc/self/mountinfo");
  EXPECT_TRUE(result::IsFailure(missing.ListMedia(media)));
  EXPECT_TRUE(media.empty());
  FakeMachine m;
  CLinuxMediaSource noMounts(m.sys().string(), m.dev().string(), (m / "no-such-table").string());
  EXPECT_EQ(noMounts.ListMedia(media), 0u);
}

TEST(MediaFacts, MapBusTextsSchemesAndGuids) {
  EXPECT_EQ(BusTypeFromProtocol("ATA"), DiskBusATA);
  EXPECT_EQ(BusTypeFromProtocol("SATA"), DiskBusSATA);
  EXPECT_EQ(BusTypeFromProtocol("SCSI"), DiskBusSCSI);
  EXPECT_EQ(BusTypeFromProtocol("SCSI-SAS"), DiskBusSCSI);
  EXPECT_EQ(BusTypeFromProtocol("USB"), DiskBusUSB);
  EXPECT_EQ(BusTypeFromProtocol("Virtual Interface"), DiskBusVirtual);
  EXPECT_EQ(BusTypeFromProtocol("usb"), DiskBusOther);
  EXPECT_EQ(BusTypeFromProtocol(""), DiskBusOther);
  EXPECT_EQ(BusTypeFromProtocol(nullptr), DiskBusOther);
  EXPECT_EQ(SchemeFromContent("dos"), 1u);
  EXPECT_EQ(SchemeFromContent("gpt"), 2u);
  EXPECT_EQ(SchemeFromContent("mac"), 3u);
  EXPECT_EQ(SchemeFromContent("PMBR"), 0u);
  EXPECT_EQ(SchemeFromContent(""), 0u);

  // The EFI system partition's type as a GPT stores it.
  uint8_t b[16];
  ASSERT_TRUE(ParseGptGuidText("C12A7328-F81F-11D2-BA4B-00A0C93EC93B", b));
  const uint8_t esp[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                           0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
  EXPECT_TRUE(std::equal(b, b + 16, esp));
  EXPECT_FALSE(ParseGptGuidText("f943db30-01", b));  // an MBR "partition UUID"
  EXPECT_FALSE(ParseGptGuidText("c12a7328-f81f-11d2-ba4b-00a0c93ec93", b));
  EXPECT_FALSE(ParseGptGuidText("c12a7328-f81f-11d2-ba4b-00a0c93ec93bx", b));
  EXPECT_FALSE(ParseGptGuidText("g12a7328-f81f-11d2-ba4b-00a0c93ec93b", b));

  EXPECT_EQ(DeviceIDFromNumbers(8, 17), (8 << 24) | 17);
  EXPECT_EQ(DeviceIDFromNumbers(7, 0), 7 << 24);
}

}  // namespace
