#include "engine/enumeration/EnumTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "EngineTypes.h"
#include "VolumeAnalyze.h"
#include "enumeration/MountInfo.h"

namespace enumtest {

using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

namespace {

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// One line of the -P output of lsblk or findmnt: KEY="value" pairs, with
// \xHH escapes in the values.
std::map<std::string, std::string> Pairs(const std::string& line) {
  std::map<std::string, std::string> out;
  std::istringstream in(line);
  std::string key, value;
  while (std::getline(in >> std::ws, key, '=') && in.get() == '"' && std::getline(in, value, '"')) {
    std::string& text = out[key];
    for (size_t i = 0; i < value.size(); ++i) {
      const bool escape = value.compare(i, 2, "\\x") == 0 && i + 3 < value.size();
      text.push_back(escape ? static_cast<char>(std::stoi(value.substr(i + 2, 2), nullptr, 16)) : value[i]);
      if (escape) i += 3;
    }
  }
  return out;
}

std::vector<std::map<std::string, std::string>> PairLines(const std::string& command) {
  std::istringstream in(RunCommandOrFail(command));
  std::vector<std::map<std::string, std::string>> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(Pairs(line));
  return lines;
}

}  // namespace

FakeMachine::FakeMachine() {
  fs::create_directories(sys() / "block");
  fs::create_directories(dev());
  SetMountInfo("");
}

void FakeMachine::AddDisk(const DiskSpec& disk) {
  const fs::path dir = sys() / (disk.devicePath.empty() ? "devices/virtual/block/" + disk.name : disk.devicePath);
  WriteText(dir / "dev", std::to_string(disk.major) + ":" + std::to_string(disk.minor) + "\n");
  WriteText(dir / "size", std::to_string(disk.size512) + "\n");
  WriteText(dir / "ro", disk.readOnly ? "1\n" : "0\n");
  WriteText(dir / "queue" / "logical_block_size", std::to_string(disk.logical) + "\n");
  for (const auto& [file, text] : {std::pair{"loop/backing_file", disk.backingFile},
                                   {"device/type", disk.scsiType},
                                   {"device/vendor", disk.vendor},
                                   {"device/model", disk.model}}) {
    if (!text.empty()) WriteText(dir / file, text + "\n");
  }
  fs::create_directory_symlink(fs::relative(dir, sys() / "block"), sys() / "block" / disk.name);
  diskDirs_[disk.name] = dir;
}

void FakeMachine::AddPartition(const std::string& disk, const std::string& name, int number, uint32_t major,
                               uint32_t minor, int64_t start512, uint64_t size512) {
  const fs::path dir = diskDirs_.at(disk) / name;
  WriteText(dir / "dev", std::to_string(major) + ":" + std::to_string(minor) + "\n");
  WriteText(dir / "partition", std::to_string(number) + "\n");
  WriteText(dir / "start", std::to_string(start512) + "\n");
  WriteText(dir / "size", std::to_string(size512) + "\n");
  WriteText(dir / "ro", "0\n");
}

void FakeMachine::SetNode(const std::string& name, const fs::path& image) {
  fs::remove(dev() / name);
  fs::create_symlink(fs::absolute(image), dev() / name);
}

void FakeMachine::Write(const fs::path& relative, const std::string& text) { WriteText(dir_.path() / relative, text); }

std::unique_ptr<IMediaSource> FakeMachine::Source() const {
  return std::make_unique<CLinuxMediaSource>(sys().string(), dev().string(), (dir_ / "mountinfo").string());
}

std::vector<MediaRecord> FakeMachine::List() const {
  std::vector<MediaRecord> media;
  EXPECT_EQ(Source()->ListMedia(media), 0u);
  return media;
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
  std::istringstream in(testsupport::RunCommand("blkid -p -o export " + ShellQuote(path)).output);
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::vector<LsblkRow> Lsblk(const std::string& path) {
  std::vector<LsblkRow> rows;
  for (auto& f :
       PairLines("lsblk -P -b -o NAME,SIZE,LOG-SEC,MAJ:MIN,PARTUUID,PARTTYPE,LABEL,MOUNTPOINT " + ShellQuote(path))) {
    const std::string& numbers = f["MAJ:MIN"];
    rows.push_back({f["NAME"], std::stoull(f["SIZE"]), static_cast<uint32_t>(std::stoul(f["LOG-SEC"])),
                    static_cast<uint32_t>(std::stoul(numbers)),
                    static_cast<uint32_t>(std::stoul(numbers.substr(numbers.find(':') + 1))), f["PARTUUID"],
                    f["PARTTYPE"], f["LABEL"], f["MOUNTPOINT"]});
  }
  return rows;
}

std::vector<IStorageDevice*> Listed(const std::function<ResultCode(IStorageDevice**, int&)>& enumerate) {
  int count = 0;
  EXPECT_EQ(enumerate(nullptr, count), 0u);
  std::vector<IStorageDevice*> out(static_cast<size_t>(count));
  if (count > 0) {
    EXPECT_EQ(enumerate(out.data(), count), 0u);
  }
  return out;
}

IStorageDevice* FindDisk(IEnumDeviceEx& e, const std::string& devicePath) {
  for (IStorageDevice* disk : Disks(e)) {
    if (devicePath == DiskRecordOf(disk)->devicePath) return disk;
  }
  return nullptr;
}

uint32_t ExpectedFileSystemType(IStorageDevice* volume, const std::map<std::string, std::string>& blkid) {
  const std::string type = Value(blkid, "TYPE");
  const std::string version = Value(blkid, "VERSION");
  const std::map<std::string, std::pair<IVolumeAnalyze* (*)(IStorageDevice*, uint64_t), uint32_t>> kinds = {
      {"vfat",
       {&CreateFatVolumeAnalyze, version == "FAT12"   ? FILE_SYSTEM_TYPE_FAT12
                                 : version == "FAT16" ? FILE_SYSTEM_TYPE_FAT16
                                                      : FILE_SYSTEM_TYPE_FAT32}},
      {"exfat", {&CreateExfatVolumeAnalyze, FILE_SYSTEM_TYPE_EXFAT}},
      {"ntfs", {&CreateNTFSVolumeAnalyze, FILE_SYSTEM_TYPE_NTFS}},
      {"hfsplus", {&CreateHFSPlusVolumeAnalyze, FILE_SYSTEM_TYPE_HFSPLUS}}};
  const auto kind = kinds.find(type);
  IVolumeAnalyze* analyzer = kind != kinds.end() ? kind->second.first(volume, 0) : nullptr;
  if (analyzer == nullptr) return FILE_SYSTEM_TYPE_UNKNOWN;
  const bool recognised = analyzer->GetFileSystemType() != FILE_SYSTEM_TYPE_UNKNOWN;
  analyzer->Release();
  return recognised ? kind->second.second : static_cast<uint32_t>(FILE_SYSTEM_TYPE_UNKNOWN);
}

void ExpectMountInfoAgreesWithFindmnt() {
  // Other processes may mount or unmount meanwhile: compare a table read
  // before and after findmnt ran unchanged.
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::vector<MountEntry> before, after;
    ASSERT_TRUE(ReadMountInfo("/proc/self/mountinfo", before));
    std::map<int64_t, std::map<std::string, std::string>> rows;  // by mount ID
    for (auto& f : PairLines("findmnt -P -o ID,PARENT,MAJ:MIN,FSROOT,TARGET,FSTYPE,SOURCE")) {
      rows[std::stoll(f["ID"])] = f;
    }
    ASSERT_TRUE(ReadMountInfo("/proc/self/mountinfo", after));
    if (before.size() != after.size() || before.size() != rows.size()) continue;
    ASSERT_FALSE(before.empty());
    for (const MountEntry& e : before) {
      SCOPED_TRACE("mount " + std::to_string(e.mountId) + " at " + e.mountPoint);
      auto& f = rows[e.mountId];
      EXPECT_EQ(f["PARENT"], std::to_string(e.parentId));
      EXPECT_EQ(f["MAJ:MIN"], std::to_string(e.major) + ":" + std::to_string(e.minor));
      EXPECT_EQ(std::tie(f["FSROOT"], f["TARGET"], f["FSTYPE"]), std::tie(e.root, e.mountPoint, e.fsType));
      // findmnt adds "[root]" to the source of a bind mount.
      if (e.root == "/") {
        EXPECT_EQ(f["SOURCE"], e.source);
      }
    }
    return;
  }
  FAIL() << "the mount table kept changing";
}

}  // namespace enumtest
