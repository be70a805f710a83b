// The Linux media source over a stand-in sysfs tree: which block devices are
// listed, their sizes in sysfs's 512-byte units, buses and names. What
// libblkid and the mount table add is checked on real devices
// (EnumerationLoopTest).
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/enumeration/EnumTestSupport.h"
#include "enumeration/MediaSource.h"

namespace {

using enumtest::FakeMachine;

const MediaRecord& Find(const std::vector<MediaRecord>& media, const std::string& name) {
  static const MediaRecord kNone;
  auto it = std::find_if(media.begin(), media.end(), [&](const MediaRecord& m) { return m.name == name; });
  EXPECT_NE(it, media.end()) << name;
  return it == media.end() ? kNone : *it;
}

TEST(LinuxMediaSource, ListsDisksWithTheirPartitionsButNoOpticalEmptyOrUnattachedDevice) {
  FakeMachine m;
  m.AddDisk({.name = "sda", .major = 8, .minor = 0, .size512 = 2048});
  m.AddDisk({.name = "sr0", .major = 11, .minor = 0, .size512 = 2048});
  m.AddDisk({.name = "sdc", .major = 8, .minor = 32, .size512 = 2048, .scsiType = "5"});  // a SCSI CD drive
  m.AddDisk({.name = "sdd", .major = 8, .minor = 48, .size512 = 0});                      // a card reader, no card
  m.AddDisk({.name = "loop3", .major = 7, .minor = 3, .size512 = 0});                     // nothing attached
  m.AddDisk({.name = "loop4", .major = 7, .minor = 4, .size512 = 2048});                  // no backing file
  m.AddDisk({.name = "loop5", .major = 7, .minor = 5, .size512 = 2048, .backingFile = "/srv/images/card.img"});
  m.AddDisk({.name = "sdb", .major = 8, .minor = 16, .size512 = 1000000, .logical = 4096, .readOnly = true});
  m.AddPartition("sdb", "sdb1", 1, 8, 17, 2048, 8192);
  m.Write("sys/block/sde/size", "100\n");  // no device number: incomplete
  const auto media = m.List();
  std::vector<std::string> names;
  for (const auto& r : media) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"loop5", "sda", "sdb", "sdb1"}));
  EXPECT_EQ(media[0].busProtocol, "Virtual Interface");
  EXPECT_EQ(media[0].registryName, "card.img");
  EXPECT_EQ(media[1].devicePath, (m.dev() / "sda").string());
  // sysfs counts in 512-byte units whatever the sector size.
  EXPECT_EQ(media[2].sizeBytes, 1000000u * 512);
  EXPECT_EQ(media[2].logicalBlockSize, 4096u);
  EXPECT_FALSE(media[2].writable);
  const MediaRecord& p = media[3];
  EXPECT_TRUE(!p.whole && p.parent == "sdb" && p.partitionNumber == 1 && p.minor == 17);
  EXPECT_EQ(p.sizeBytes, 8192u * 512);
  EXPECT_EQ(p.start512, 2048);
  EXPECT_EQ(p.logicalBlockSize, 4096u);

  CLinuxMediaSource noMounts(m.sys().string(), m.dev().string(), (m / "no-such-table").string());
  std::vector<MediaRecord> again;
  EXPECT_EQ(noMounts.ListMedia(again), 0u);
  CLinuxMediaSource noSysfs("/nonexistent-sysfs-root", "/dev", "/proc/self/mountinfo");
  EXPECT_TRUE(result::IsFailure(noSysfs.ListMedia(again)));
  EXPECT_TRUE(again.empty());
}

TEST(LinuxMediaSource, TellsTheBusFromWhereTheDiskHangs) {
  FakeMachine m;
  const std::string pci = "devices/pci0000:00/0000:00:";
  const struct {
    const char *name, *path, *vendor, *model, *bus, *registryName;
    uint32_t major;
  } disks[] = {{"sda", "1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda", "ATA", "Samsung SSD 870", "SATA",
                "ATA Samsung SSD 870", 8},
               {"sdb", "1f.1/ata3/host2/target2:0:0/2:0:0:0/block/sdb", "", "", "ATA", "", 8},
               {"sdc", "14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdc", "Kingston", "DataTraveler 3.0",
                "USB", "Kingston DataTraveler 3.0", 8},
               {"sdd", "03.0/virtio2/host0/target0:0:1/0:0:1:0/block/sdd", "", "", "SCSI", "", 8},
               {"nvme0n1", "1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", "", "WD Blue SN570", "", "WD Blue SN570", 259}};
  uint32_t minor = 0;
  for (const auto& d : disks) {
    m.AddDisk({.name = d.name,
               .major = d.major,
               .minor = minor += 16,
               .size512 = 64,
               .devicePath = pci + d.path,
               .vendor = d.vendor,
               .model = d.model});
  }
  m.Write("sys/" + pci + "1f.2/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
  m.Write("sys/" + pci + "1f.1/ata3/link3/ata_link/link3/sata_spd", "<unknown>\n");
  const auto media = m.List();
  for (const auto& d : disks) {
    EXPECT_EQ(Find(media, d.name).busProtocol, d.bus) << d.name;
    EXPECT_EQ(Find(media, d.name).registryName, d.registryName) << d.name;
  }
}

}  // namespace
