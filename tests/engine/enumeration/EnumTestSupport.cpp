#include "engine/enumeration/EnumTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "EngineTypes.h"
#include "VolumeAnalyze.h"
#include "enumeration/MountInfo.h"

namespace enumtest {

using testsupport::RunCommand;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

namespace {

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace

FakeMachine::FakeMachine() {
  fs::create_directories(sys() / "block");
  fs::create_directories(dev());
  SetMountInfo("");
}

fs::path FakeMachine::AddDisk(const DiskSpec& disk) {
  const std::string where = disk.devicePath.empty() ? "devices/virtual/block/" + disk.name : disk.devicePath;
  const fs::path dir = sys() / where;
  fs::create_directories(dir / "queue");
  WriteText(dir / "dev", std::to_string(disk.major) + ":" + std::to_string(disk.minor) + "\n");
  WriteText(dir / "size", std::to_string(disk.size512) + "\n");
  WriteText(dir / "ro", disk.readOnly ? "1\n" : "0\n");
  WriteText(dir / "queue" / "logical_block_size", std::to_string(disk.logical) + "\n");
  if (!disk.backingFile.empty()) WriteText(dir / "loop" / "backing_file", disk.backingFile + "\n");
  if (!disk.scsiType.empty()) WriteText(dir / "device" / "type", disk.scsiType + "\n");
  if (!disk.vendor.empty()) WriteText(dir / "device" / "vendor", disk.vendor + "\n");
  if (!disk.model.empty()) WriteText(dir / "device" / "model", disk.model + "\n");
  fs::create_directory_symlink(fs::relative(dir, sys() / "block"), sys() / "block" / disk.name);
  diskDirs_[disk.name] = dir;
  return dir;
}

fs::path FakeMachine::AddPartition(const std::string& disk, const std::string& name, int number, uint32_t major,
                                   uint32_t minor, int64_t start512, uint64_t size512) {
  const fs::path dir = diskDirs_.at(disk) / name;
  WriteText(dir / "dev", std::to_string(major) + ":" + std::to_string(minor) + "\n");
  WriteText(dir / "partition", std::to_string(number) + "\n");
  WriteText(dir / "start", std::to_string(start512) + "\n");
  WriteText(dir / "size", std::to_string(size512) + "\n");
  WriteText(dir / "ro", "0\n");
  return dir;
}

void FakeMachine::SetNode(const std::string& name, const fs::path& image) {
  std::error_code ec;
  fs::remove(dev() / name, ec);
  fs::create_symlink(fs::absolute(image), dev() / name);
}

void FakeMachine::SetMountInfo(const std::string& text) { WriteText(mountinfo(), text); }

void FakeMachine::Write(const fs::path& relative, const std::string& text) { WriteText(dir_.path() / relative, text); }

std::unique_ptr<IMediaSource> FakeMachine::Source() const {
  return std::make_unique<CLinuxMediaSource>(sys().string(), dev().string(), mountinfo().string());
}

std::vector<MediaRecord> FakeMachine::List() const {
  std::vector<MediaRecord> media;
  EXPECT_EQ(Source()->ListMedia(media), 0u);
  return media;
}

fs::path FormatInto(const fs::path& image, uint64_t offset, uint64_t bytes, const std::string& command,
                    const fs::path& file) {
  RunCommandOrFail("truncate -s " + std::to_string(bytes) + " " + ShellQuote(file.string()));
  RunCommandOrFail(command + " " + ShellQuote(file.string()) + " >/dev/null 2>&1");
  RunCommandOrFail("dd if=" + ShellQuote(file.string()) + " of=" + ShellQuote(image.string()) +
                   " bs=512 seek=" + std::to_string(offset / 512) + " conv=notrunc,sparse status=none");
  return file;
}

std::vector<parttest::ToolPartition> SortedByNumber(std::vector<parttest::ToolPartition> parts) {
  std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
  return parts;
}

void MakeMbr(const fs::path& image, const std::vector<std::string>& entries) {
  std::string script = "label: dos\n";
  for (const auto& entry : entries) script += image.string() + entry + "\n";
  const fs::path file = image.string() + ".sfdisk";
  testsupport::WriteFile(file, script);
  RunCommandOrFail("sfdisk -q " + ShellQuote(image.string()) + " < " + ShellQuote(file.string()));
}

std::map<std::string, std::string> Blkid(const std::string& path) {
  // blkid exits with 2 when it finds nothing, which is an answer here.
  const auto r = RunCommand("blkid -p -o export " + ShellQuote(path));
  std::map<std::string, std::string> values;
  for (const auto& line : Lines(r.output)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::vector<LsblkRow> Lsblk(const std::string& path) {
  // Texts travel as hex so that blanks in mount points survive.
  const char* flatten = R"PY(
import json, sys
def h(v): return '-' if v is None else str(v).encode().hex()
def walk(d):
    print(d['name'], d['size'], d['log-sec'], d['maj:min'].replace(':', ' '), d['start'] if d['start'] is not None else -1,
          h(d['partuuid']), h(d['parttype']), h(d['label']), h(d['mountpoint']))
    for c in d.get('children', []): walk(c)
for d in json.load(sys.stdin)['blockdevices']: walk(d)
)PY";
  const std::string out =
      RunCommandOrFail("lsblk -J -b -o NAME,SIZE,LOG-SEC,MAJ:MIN,START,PARTUUID,PARTTYPE,LABEL,MOUNTPOINT " +
                       ShellQuote(path) + " | python3 -c " + ShellQuote(flatten));
  std::vector<LsblkRow> rows;
  for (const auto& line : Lines(out)) {
    std::istringstream in(line);
    LsblkRow r;
    std::string uuid, type, label, mount;
    if (!(in >> r.name >> r.size >> r.logSec >> r.major >> r.minor >> r.start >> uuid >> type >> label >> mount)) {
      ADD_FAILURE() << "lsblk line: " << line;
      continue;
    }
    auto text = [](const std::string& h) { return h == "-" ? std::string() : FromHex(h); };
    r.partUUID = text(uuid);
    r.partType = text(type);
    r.label = text(label);
    r.mountpoint = text(mount);
    rows.push_back(r);
  }
  return rows;
}

CCollectDiskDeviceInfoStruct* DiskInfo(IStorageDevice* device) {
  auto* data = device != nullptr ? dynamic_cast<IDiskDeviceData*>(device->GetPrivateData()) : nullptr;
  return data != nullptr ? data->GetDiskInfo() : nullptr;
}

CCollectedVolumeDeviceInfoStruct* VolumeInfo(IStorageDevice* device) {
  auto* data = device != nullptr ? dynamic_cast<IVolumeDeviceData*>(device->GetPrivateData()) : nullptr;
  return data != nullptr ? data->GetVolumeInfo() : nullptr;
}

CCollectedPartitionDeviceInfoStruct* PartitionInfo(IStorageDevice* device) {
  auto* data = device != nullptr ? dynamic_cast<IPartitionDeviceData*>(device->GetPrivateData()) : nullptr;
  return data != nullptr ? data->GetPartitionInfo() : nullptr;
}

std::vector<IStorageDevice*> Disks(IEnumDeviceEx& e) {
  int count = 0;
  EXPECT_EQ(e.EnumDiskDevice(nullptr, count), 0u);
  std::vector<IStorageDevice*> out(static_cast<size_t>(count));
  if (count > 0) {
    EXPECT_EQ(e.EnumDiskDevice(out.data(), count), 0u);
  }
  return out;
}

std::vector<IStorageDevice*> Partitions(IEnumDeviceEx& e, IStorageDevice* disk) {
  int count = 0;
  EXPECT_EQ(e.EnumPartitionDevice(disk, nullptr, count), 0u);
  std::vector<IStorageDevice*> out(static_cast<size_t>(count));
  if (count > 0) {
    EXPECT_EQ(e.EnumPartitionDevice(disk, out.data(), count), 0u);
  }
  return out;
}

std::vector<IStorageDevice*> Volumes(IEnumDeviceEx& e, IStorageDevice* disk) {
  int count = 0;
  EXPECT_EQ(e.EnumVolumeDevice(disk, nullptr, count), 0u);
  std::vector<IStorageDevice*> out(static_cast<size_t>(count));
  if (count > 0) {
    EXPECT_EQ(e.EnumVolumeDevice(disk, out.data(), count), 0u);
  }
  return out;
}

IStorageDevice* FindDisk(IEnumDeviceEx& e, const std::string& devicePath) {
  for (IStorageDevice* disk : Disks(e)) {
    if (const auto* info = DiskInfo(disk); info != nullptr && devicePath == info->devicePath) return disk;
  }
  return nullptr;
}

uint32_t ExpectedFileSystemType(IStorageDevice* volume, const std::string& blkidType, const std::string& blkidVersion) {
  IVolumeAnalyze* (*factory)(IStorageDevice*, uint64_t) = nullptr;
  uint32_t type = FILE_SYSTEM_TYPE_UNKNOWN;
  if (blkidType == "vfat") {
    factory = &CreateFatVolumeAnalyze;
    type = blkidVersion == "FAT12"   ? FILE_SYSTEM_TYPE_FAT12
           : blkidVersion == "FAT16" ? FILE_SYSTEM_TYPE_FAT16
                                     : FILE_SYSTEM_TYPE_FAT32;
  } else if (blkidType == "exfat") {
    factory = &CreateExfatVolumeAnalyze;
    type = FILE_SYSTEM_TYPE_EXFAT;
  } else if (blkidType == "ntfs") {
    factory = &CreateNTFSVolumeAnalyze;
    type = FILE_SYSTEM_TYPE_NTFS;
  } else if (blkidType == "hfsplus") {
    factory = &CreateHFSPlusVolumeAnalyze;
    type = FILE_SYSTEM_TYPE_HFSPLUS;
  }
  if (factory == nullptr) return FILE_SYSTEM_TYPE_UNKNOWN;
  IVolumeAnalyze* analyzer = factory(volume, 0);
  if (analyzer == nullptr) return FILE_SYSTEM_TYPE_UNKNOWN;
  const bool recognised = analyzer->GetFileSystemType() != FILE_SYSTEM_TYPE_UNKNOWN;
  analyzer->Release();
  return recognised ? type : static_cast<uint32_t>(FILE_SYSTEM_TYPE_UNKNOWN);
}

// What findmnt reports of the table, by mount ID: parent, device numbers,
// root, target, type and source (texts as hex, so blanks survive).
namespace {

std::map<int64_t, std::vector<std::string>> Findmnt() {
  const char* flatten = R"PY(
import json, sys
for f in json.load(sys.stdin)['filesystems']:
    print(f['id'], f['parent'], f['maj:min'], *[(f[k] or '').encode().hex() or '-' for k in ('fsroot', 'target', 'fstype', 'source')])
)PY";
  const std::string out =
      testsupport::RunCommandOrFail("findmnt -J --list -o ID,PARENT,MAJ:MIN,FSROOT,TARGET,FSTYPE,SOURCE | python3 -c " +
                                    testsupport::ShellQuote(flatten));
  std::map<int64_t, std::vector<std::string>> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    int64_t id = 0;
    std::vector<std::string> fields(6);
    f >> id;
    for (auto& field : fields) f >> field;
    rows[id] = fields;
  }
  return rows;
}

std::string Hex(const std::string& text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out.empty() ? "-" : out;
}

}  // namespace

void ExpectMountInfoAgreesWithFindmnt() {
  // Other processes may mount or unmount meanwhile: compare a table read
  // before and after findmnt ran unchanged.
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::vector<MountEntry> before, after;
    ASSERT_TRUE(ReadMountInfo("/proc/self/mountinfo", before));
    const auto rows = Findmnt();
    ASSERT_TRUE(ReadMountInfo("/proc/self/mountinfo", after));
    if (before.size() != after.size() || before.size() != rows.size()) continue;
    ASSERT_FALSE(before.empty());
    for (const MountEntry& e : before) {
      SCOPED_TRACE("mount " + std::to_string(e.mountId) + " at " + e.mountPoint);
      const auto row = rows.find(e.mountId);
      ASSERT_NE(row, rows.end());
      const auto& f = row->second;
      EXPECT_EQ(f[0], std::to_string(e.parentId));
      EXPECT_EQ(f[1], std::to_string(e.major) + ":" + std::to_string(e.minor));
      EXPECT_EQ(f[2], Hex(e.root));
      EXPECT_EQ(f[3], Hex(e.mountPoint));
      EXPECT_EQ(f[4], Hex(e.fsType));
      // findmnt adds "[root]" to the source of a bind mount.
      if (e.root == "/") {
        EXPECT_EQ(f[5], Hex(e.source));
      }
    }
    return;
  }
  FAIL() << "the mount table kept changing";
}

}  // namespace enumtest
