#include "enumeration/MediaSource.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "enumeration/EnumDeviceCodes.h"
#include "enumeration/MountInfo.h"

#ifdef CLIPMENDER_HAVE_LIBUDEV
#include <libudev.h>
#endif

namespace fs = std::filesystem;

namespace {

// A sysfs attribute without its trailing newline and blanks; nothing when it
// cannot be read.
std::optional<std::string> ReadAttribute(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  std::getline(in, text, '\0');
  if (in.bad()) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
  size_t lead = 0;
  while (lead < text.size() && (text[lead] == ' ' || text[lead] == '\t')) ++lead;
  return text.substr(lead);
}

template <typename T>
bool ReadNumber(const fs::path& path, T& out) {
  const auto text = ReadAttribute(path);
  if (!text || text->empty()) return false;
  std::istringstream in(*text);
  in >> out;
  return static_cast<bool>(in) && in.peek() == std::char_traits<char>::eof();
}

bool ReadDeviceNumber(const fs::path& path, uint32_t& major, uint32_t& minor) {
  const auto text = ReadAttribute(path);
  if (!text) return false;
  const size_t colon = text->find(':');
  if (colon == std::string::npos) return false;
  std::istringstream a(text->substr(0, colon));
  std::istringstream b(text->substr(colon + 1));
  a >> major;
  b >> minor;
  return !a.fail() && !b.fail() && a.peek() == std::char_traits<char>::eof() &&
         b.peek() == std::char_traits<char>::eof();
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsAtaPort(const std::string& component) {
  if (component.size() <= 3 || !StartsWith(component, "ata")) return false;
  return std::all_of(component.begin() + 3, component.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A port whose links report a SATA speed is SATA; a parallel ATA port reports
// none ("<unknown>" or no attribute).
bool AtaPortIsSata(const fs::path& port) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(port, ec)) {
    const std::string link = entry.path().filename().string();
    if (!StartsWith(link, "link")) continue;
    const auto speed = ReadAttribute(entry.path() / "ata_link" / link / "sata_spd");
    if (speed && !speed->empty() && (*speed)[0] >= '0' && (*speed)[0] <= '9') return true;
  }
  return false;
}

// The bus from where the disk hangs in the device tree: .../usbN/... is USB,
// .../ataN/... ATA or SATA, a SCSI target anything else SCSI; NVMe, virtio,
// MMC and the rest are "other".
std::string BusFromDevicePath(const fs::path& blockEntry) {
  std::error_code ec;
  const fs::path real = fs::canonical(blockEntry, ec);
  if (ec) return {};
  fs::path walked;
  bool scsi = false;
  for (const fs::path& part : real) {
    walked /= part;
    const std::string component = part.string();
    if (StartsWith(component, "usb") && component.size() > 3) return "USB";
    if (IsAtaPort(component)) return AtaPortIsSata(walked) ? "SATA" : "ATA";
    if (StartsWith(component, "target")) scsi = true;
  }
  return scsi ? "SCSI" : std::string();
}

std::string ModelFromSysfs(const fs::path& device) {
  const auto vendor = ReadAttribute(device / "vendor");
  const auto model = ReadAttribute(device / "model");
  std::string name;
  if (vendor && !vendor->empty() && vendor->rfind("0x", 0) != 0) name = *vendor;
  if (model && !model->empty()) name += (name.empty() ? "" : " ") + *model;
  return name;
}

struct UdevFacts {
  std::string bus;
  std::string model;
  bool optical = false;
};

// What the udev database knows of a block device; nothing without libudev or
// without a database (containers run no udev daemon).
UdevFacts FromUdev([[maybe_unused]] const std::string& sysRoot, [[maybe_unused]] const std::string& name) {
  UdevFacts facts;
#ifdef CLIPMENDER_HAVE_LIBUDEV
  // The database describes this machine's devices, not a stand-in tree.
  if (sysRoot != "/sys") return facts;
  struct udev* udev = udev_new();
  if (udev == nullptr) return facts;
  if (struct udev_device* dev = udev_device_new_from_subsystem_sysname(udev, "block", name.c_str())) {
    auto value = [dev](const char* key) {
      const char* v = udev_device_get_property_value(dev, key);
      return std::string(v != nullptr ? v : "");
    };
    const std::string bus = value("ID_BUS");
    if (bus == "usb")
      facts.bus = "USB";
    else if (bus == "ata")
      facts.bus = value("ID_ATA_SATA") == "1" ? "SATA" : "ATA";
    else if (bus == "scsi")
      facts.bus = "SCSI";
    facts.model = value("ID_MODEL");
    std::replace(facts.model.begin(), facts.model.end(), '_', ' ');
    facts.optical = value("ID_CDROM") == "1";
    udev_device_unref(dev);
  }
  udev_unref(udev);
#endif
  return facts;
}

// One partition entry as libblkid reads it from the disk's table.
struct TableEntry {
  int number = 0;
  int64_t start512 = 0;
  std::string type;
  std::string uuid;
  bool extended = false;
};

struct DiskProbe {
  int openErrno = 0;
  std::string scheme;  // "dos", "gpt", "mac" or empty
  std::vector<TableEntry> entries;
};

int OpenForProbe(const std::string& path, int& err) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  err = fd < 0 ? errno : 0;
  return fd;
}

DiskProbe ProbeTable(const std::string& path) {
  DiskProbe out;
  const int fd = OpenForProbe(path, out.openErrno);
  if (fd < 0) return out;
  if (blkid_probe pr = blkid_new_probe()) {
    if (blkid_probe_set_device(pr, fd, 0, 0) == 0) {
      blkid_probe_enable_superblocks(pr, 0);
      blkid_probe_enable_partitions(pr, 1);
      blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
      if (blkid_partlist list = blkid_probe_get_partitions(pr)) {
        if (blkid_parttable table = blkid_partlist_get_table(list)) {
          const char* type = blkid_parttable_get_type(table);
          out.scheme = type != nullptr ? type : "";
        }
        const int count = blkid_partlist_numof_partitions(list);
        for (int i = 0; i < count; ++i) {
          blkid_partition part = blkid_partlist_get_partition(list, i);
          if (part == nullptr) continue;
          TableEntry entry;
          entry.number = blkid_partition_get_partno(part);
          entry.start512 = static_cast<int64_t>(blkid_partition_get_start(part));
          if (const char* t = blkid_partition_get_type_string(part)) {
            entry.type = t;
          } else {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(blkid_partition_get_type(part)));
            entry.type = hex;
          }
          if (const char* u = blkid_partition_get_uuid(part)) entry.uuid = u;
          entry.extended = blkid_partition_is_extended(part) != 0;
          out.entries.push_back(std::move(entry));
        }
      }
    }
    blkid_free_probe(pr);
  }
  ::close(fd);
  return out;
}

// The file system on a whole disk or partition: its label and type.
void ProbeFileSystem(const std::string& path, MediaRecord& record) {
  int err = 0;
  const int fd = OpenForProbe(path, err);
  if (fd < 0) {
    record.probeErrno = err;
    return;
  }
  if (blkid_probe pr = blkid_new_probe()) {
    if (blkid_probe_set_device(pr, fd, 0, 0) == 0) {
      blkid_probe_enable_partitions(pr, 0);
      blkid_probe_enable_superblocks(pr, 1);
      blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
      if (blkid_do_safeprobe(pr) == 0) {
        const char* value = nullptr;
        if (blkid_probe_lookup_value(pr, "LABEL", &value, nullptr) == 0 && value != nullptr) record.label = value;
        if (blkid_probe_lookup_value(pr, "TYPE", &value, nullptr) == 0 && value != nullptr) record.fsType = value;
      }
    }
    blkid_free_probe(pr);
  }
  ::close(fd);
}

const TableEntry* MatchEntry(const DiskProbe& probe, int number, int64_t start512) {
  // The kernel and libblkid number the entries of a table the same way; the
  // start confirms it (and finds the entry if the numbering ever differs).
  for (const TableEntry& e : probe.entries) {
    if (e.number == number && (start512 < 0 || e.start512 == start512)) return &e;
  }
  if (start512 < 0) return nullptr;
  for (const TableEntry& e : probe.entries) {
    if (e.start512 == start512) return &e;
  }
  return nullptr;
}

}  // namespace

CLinuxMediaSource::CLinuxMediaSource(std::string sysRoot, std::string devRoot, std::string mountInfoPath)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)), mountInfoPath_(std::move(mountInfoPath)) {}

ResultCode CLinuxMediaSource::ListMedia(std::vector<MediaRecord>& media) {
  // A device that vanishes while its folder is walked, or memory running
  // out, must not throw out of the engine.
  try {
    return ListMediaOrThrow(media);
  } catch (const std::exception&) {
    media.clear();
    return enumcode::kNoMediaList;
  }
}

ResultCode CLinuxMediaSource::ListMediaOrThrow(std::vector<MediaRecord>& media) {
  media.clear();
  const fs::path blockDir = fs::path(sysRoot_) / "block";
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(blockDir, ec)) names.push_back(entry.path().filename().string());
  if (ec) return enumcode::kNoMediaList;
  std::sort(names.begin(), names.end());

  std::vector<MountEntry> mounts;
  ReadMountInfo(mountInfoPath_, mounts);  // no table: nothing counts as mounted

  for (const std::string& name : names) {
    const fs::path dir = blockDir / name;
    MediaRecord disk;
    disk.name = name;
    disk.whole = true;
    disk.devicePath = (fs::path(devRoot_) / name).string();
    uint64_t size512 = 0;
    if (!ReadDeviceNumber(dir / "dev", disk.major, disk.minor) || !ReadNumber(dir / "size", size512) ||
        !ReadNumber(dir / "queue" / "logical_block_size", disk.logicalBlockSize)) {
      continue;
    }
    // sysfs counts sizes in 512-byte units whatever the logical sector size.
    if (size512 == 0 || size512 > UINT64_MAX / 512) continue;  // an empty drive or a loop device with nothing attached
    disk.sizeBytes = size512 * 512;
    if (disk.logicalBlockSize == 0) disk.logicalBlockSize = 512;

    const UdevFacts udev = FromUdev(sysRoot_, name);
    const auto scsiType = ReadAttribute(dir / "device" / "type");
    if (StartsWith(name, "sr") || (scsiType && *scsiType == "5") || udev.optical) continue;

    int ro = 0;
    disk.writable = ReadNumber(dir / "ro", ro) && ro == 0;
    if (StartsWith(name, "loop")) {
      const auto backing = ReadAttribute(dir / "loop" / "backing_file");
      if (!backing || backing->empty()) continue;
      disk.busProtocol = DiskBusTypeName(DiskBusVirtual);
      disk.registryName = fs::path(*backing).filename().string();
    } else {
      disk.busProtocol = !udev.bus.empty() ? udev.bus : BusFromDevicePath(dir);
      disk.registryName = !udev.model.empty() ? udev.model : ModelFromSysfs(dir / "device");
    }
    disk.mountPath = FindMountPoint(mounts, disk.major, disk.minor);

    const DiskProbe probe = ProbeTable(disk.devicePath);
    disk.probeErrno = probe.openErrno;
    disk.content = probe.scheme;
    // A file system on the whole disk (a superfloppy) names the disk's only
    // volume; libblkid may also see an MBR in some of their boot sectors.
    if (probe.openErrno == 0) ProbeFileSystem(disk.devicePath, disk);

    std::vector<MediaRecord> parts;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      const fs::path pdir = entry.path();
      std::error_code missing;
      if (!fs::exists(pdir / "partition", missing)) continue;
      MediaRecord part;
      part.name = pdir.filename().string();
      part.parent = name;
      part.devicePath = (fs::path(devRoot_) / part.name).string();
      part.logicalBlockSize = disk.logicalBlockSize;
      part.busProtocol = disk.busProtocol;
      part.registryName = disk.registryName;
      uint64_t psize512 = 0;
      if (!ReadDeviceNumber(pdir / "dev", part.major, part.minor) || !ReadNumber(pdir / "size", psize512) ||
          psize512 > UINT64_MAX / 512 || !ReadNumber(pdir / "partition", part.partitionNumber)) {
        continue;
      }
      part.sizeBytes = psize512 * 512;
      if (!ReadNumber(pdir / "start", part.start512)) part.start512 = -1;
      part.writable = ReadNumber(pdir / "ro", ro) && ro == 0 && disk.writable;
      part.mountPath = FindMountPoint(mounts, part.major, part.minor);
      if (const TableEntry* e = MatchEntry(probe, part.partitionNumber, part.start512)) {
        part.content = e->type;
        if (probe.scheme == "gpt") part.partitionUUID = e->uuid;
        part.extendedContainer = e->extended;
      }
      // The kernel shows an MBR extended partition as a 1 KiB device that
      // holds only the link to the first logical partition.
      if (!part.extendedContainer) ProbeFileSystem(part.devicePath, part);
      parts.push_back(std::move(part));
    }
    std::sort(parts.begin(), parts.end(),
              [](const MediaRecord& a, const MediaRecord& b) { return a.partitionNumber < b.partitionNumber; });
    media.push_back(std::move(disk));
    for (MediaRecord& part : parts) media.push_back(std::move(part));
  }
  return 0;
}

int BusTypeFromProtocol(const char* protocol) {
  if (protocol == nullptr) return DiskBusOther;
  if (std::strcmp(protocol, "ATA") == 0) return DiskBusATA;
  if (std::strcmp(protocol, "SATA") == 0) return DiskBusSATA;
  if (std::strncmp(protocol, "SCSI", 4) == 0) return DiskBusSCSI;
  if (std::strcmp(protocol, "USB") == 0) return DiskBusUSB;
  if (std::strcmp(protocol, "Virtual Interface") == 0) return DiskBusVirtual;
  return DiskBusOther;
}

uint32_t SchemeFromContent(const std::string& content) {
  if (content == "dos") return DISK_PARTITION_SCHEME_MBR;
  if (content == "gpt") return DISK_PARTITION_SCHEME_GPT;
  if (content == "mac") return DISK_PARTITION_SCHEME_APM;
  return DISK_PARTITION_SCHEME_UNKNOWN;
}

int32_t DeviceIDFromNumbers(uint32_t major, uint32_t minor) { return static_cast<int32_t>((major << 24) | minor); }

bool ParseGptGuidText(const std::string& text, uint8_t out[16]) {
  if (text.size() != 36) return false;
  uuid_t bytes;
  if (uuid_parse(text.c_str(), bytes) != 0) return false;
  std::memcpy(out, bytes, 16);
  std::swap(out[0], out[3]);
  std::swap(out[1], out[2]);
  std::swap(out[4], out[5]);
  std::swap(out[6], out[7]);
  return true;
}
