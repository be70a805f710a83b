// A real saved result of a disk of five volumes (tests/fixtures/placed, the
// MBR disk: FAT16, NTFS, FAT32, then exFAT and HFS+ in logical partitions),
// quick-scanned whole on a stand-in machine and saved, then loaded again in
// one process with every byte of the file given one flipped bit in turn
// (bit `byte % 8`), and with the volume places or the partition records of
// two trees swapped. Each variant is loaded as the windows load it, on the
// disk the scan ran on: it loads exactly what the file loaded before (every
// tree, every record, the same copy-out volume and partition records, hence
// the same bytes), or the load reports damage or refuses, and then every
// file it still shows is one the file showed before, read from the same
// volume with the same records. The unchanged load copies out every
// original of the disk. The image is unchanged.
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "DataRecovery.h"
#include "DeviceData.h"
#include "FileNode.h"
#include "OnDiskBytes.h"
#include "ScanResultDump.h"
#include "ScanResultFiles.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "app/ScanResultChecks.h"
#include "app/ScanResultSaveRestore.h"
#include "copyout/CDataRecovery.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "scan/CRecoveryController.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

namespace fs = std::filesystem;
namespace srr = SaveRestoreResult;
using rsftest::Bytes;

// Where each frame's payload lies in a file, by GUID, from the archive's
// layout (132-byte header, 36-byte frame headers).
struct FrameAt {
  size_t at = 0, size = 0;
};
std::map<std::string, FrameAt> Frames(const Bytes& file) {
  std::map<std::string, FrameAt> out;
  for (size_t at = 132; at + 36 <= file.size();) {
    const uint32_t size = ondisk::Le32(&file[at + 32]);
    out[std::string(file.begin() + long(at) + 16, file.begin() + long(at) + 32)] = {at + 36, size};
    at += 36 + size_t{size};
  }
  return out;
}
std::string Key(const tagGUIDSIGN& id) { return std::string(id.bytes, id.bytes + 16); }

// The 104-byte partition records of each tree of a trees frame (file
// offsets), read by the layout.
std::vector<std::vector<size_t>> PartitionRecords(const Bytes& file, size_t frame) {
  std::vector<std::vector<size_t>> out;
  size_t at = frame;
  const auto record = [&file](size_t from) {
    const uint32_t runs = ondisk::Le32(&file[from + 58]);
    from += 66 + 16 * size_t{runs};
    return from + 4 + ondisk::Le32(&file[from]) + 18;
  };
  const uint64_t roots = ondisk::Le64(&file[at]);
  at += 8;
  for (uint64_t r = 0; r < roots; ++r) {
    at = record(at + 4);                    // tag, system record's file record
    at += 8 + ondisk::Le32(&file[at + 4]);  // searcher, volume name
    const uint32_t count = ondisk::Le32(&file[at]);
    at += 4;
    auto& list = out.emplace_back();
    for (uint32_t p = 0; p < count; ++p, at += 108) list.push_back(at + 4);
    while (ondisk::Le32(&file[at]) == 0) at = record(at + 4);
    at += 4;
  }
  return out;
}

// The engine's controllers without the second a tree builder waits before a
// tree's first batch for a window to settle its new root: there is none.
KVUIScan::ControllerFactory WithoutPause() {
  return [](_RECOVERY_CONTROLLER_TYPE kind) {
    IRecoveryController* controller = CreateRecoveryController(kind);
    if (auto* base = dynamic_cast<CRecoveryControllerBase*>(controller)) {
      RecoveryControllerParts parts;
      parts.makeTreeBuilder = [](bool restoring) {
        IDirecotryTreeBuilder* builder = CreateTreeBuilder(restoring);
        if (auto* tree = dynamic_cast<CDirectoryTreeBuilder*>(builder)) tree->SetPause({});
        return builder;
      };
      base->SetParts(parts);
    }
    return controller;
  };
}

class PlacedDisk : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "the fixture needs root, loop devices and FUSE");
    const fs::path dir =
        conformance::FixtureDir("CLIPMENDER_PLACED_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "placed");
    const std::string why =
        conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/placed/make-placed-images.sh", dir);
    REQUIRE_OR_SKIP(why.empty(), why);
    fixture_ = dir;
    loaded_.SetStartPause(0);
    // Each load builds its trees afresh in blocks of a few hundred KiB:
    // kept by malloc instead of given back and faulted in again each time,
    // the thousands of loads take a fifth of the time.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    testsupport::RunCommandOrFail("cp --sparse=always " + testsupport::ShellQuote((dir / "mbr.img").string()) + " " +
                                  testsupport::ShellQuote(disk_.string()));
    machine_.AddDisk(
        {.name = "sdf", .major = 240, .minor = 96, .size512 = fs::file_size(disk_) / 512, .model = "Flipped"});
    machine_.SetNode("sdf", disk_);
    guard_ = std::make_unique<devicetest::ImageGuard>(disk_);
    model_.InitDeviceInfo();
    IStorageDevice* disk = model_.GetDiskStorageByIndex(0);
    ASSERT_NE(disk, nullptr);
    scanned_.SetStatus(KVOperationRunning);
    ASSERT_FALSE(result::IsFailure(scanned_.DoScan(disk, nullptr)));
    scanned_.SetStatus(KVOperationIdle);
    ASSERT_EQ(scanned_.GetFileSystemNode().size(), 5u) << "the disk's five volumes";
    srr::OperationPara para{(work_ / "real.rsf").string(), &scanned_, &saver_, &model_};
    saver_.SetStatus(KVOperationRunning);
    ASSERT_EQ(srr::Static_SaveScanResult(para), 0u);
    saver_.SetStatus(KVOperationIdle);
    file_ = testsupport::ReadFile(work_ / "real.rsf");
  }

  uint64_t Load(const Bytes& bytes) {
    testsupport::WriteFile(work_ / "variant.rsf", bytes.data(), bytes.size());
    srr::OperationPara para{(work_ / "variant.rsf").string(), &loaded_, nullptr, &model_};
    loaded_.SetStatus(KVOperationRunning);
    const uint64_t code = srr::Static_RestoreScanResult(para);
    loaded_.SetStatus(KVOperationIdle);
    return code;
  }

  // One line per file of the loaded result: its tree, where the tree's
  // copy-out volume begins on the disk and its partition records, then
  // every field of its record but its path.
  std::vector<std::string> FileKeys() {
    std::vector<std::string> keys;
    const std::string dump = rsftest::DumpResult(loaded_);
    std::vector<IFilesystemNode*> roots = loaded_.GetFileSystemNode();
    size_t tree = SIZE_MAX;
    std::string prefix;
    size_t from = 0;
    while (from < dump.size()) {
      size_t end = dump.find('\n', from);
      if (end == std::string::npos) end = dump.size();
      const std::string line = dump.substr(from, end - from);
      from = end + 1;
      if (line.rfind("root ", 0) == 0) {
        ++tree;
        prefix = line + " at " + VolumeStart(tree < roots.size() ? roots[tree] : nullptr) + "\n";
      } else if (line.rfind("partition ", 0) == 0 || line.rfind("no ", 0) == 0) {
        prefix += line + "\n";
      } else if (line.find(" file ") != std::string::npos) {
        keys.push_back(prefix + line.substr(line.find('\t')));
      }
    }
    return keys;
  }
  std::string VolumeStart(IFilesystemNode* root) {
    auto* copyOut = root != nullptr ? dynamic_cast<CDataRecovery*>(loaded_.GetFileNodeDataRecover(root)) : nullptr;
    IStorageDevice* device = copyOut != nullptr ? copyOut->GetDevice() : nullptr;
    if (device == nullptr) return "?";
    if (auto* window = dynamic_cast<IPartitionStorageDevice*>(device)) return std::to_string(window->GetStartSector());
    const CCollectedVolumeDeviceInfoStruct* info = VolumeRecordOf(device);
    return info != nullptr ? std::to_string(info->startSector) : "disk";
  }

  testsupport::TempDir work_;
  enumtest::FakeMachine machine_;
  fs::path fixture_, disk_ = machine_ / "disk.img";
  std::unique_ptr<devicetest::ImageGuard> guard_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  KVUIScan scanned_{&model_, WithoutPause()};
  KVUIScan loaded_{&model_, WithoutPause()};
  KVSaveAndRestoreNodeOperate saver_;
  Bytes file_;
};

// What each volume of the disk says of itself, as blkid (FAT, exFAT, NTFS
// serials) and fsstat (the HFS+ identifier) read it.
TEST(VolumeIdentity, EachFileSystemsOwnSerialAsThePeersReadIt) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "the fixture needs root, loop devices and FUSE");
  REQUIRE_TOOL("blkid");
  const fs::path dir =
      conformance::FixtureDir("CLIPMENDER_PLACED_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "placed");
  const std::string why =
      conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/placed/make-placed-images.sh", dir);
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path image = dir / "mbr.img";
  const Bytes disk = testsupport::ReadFile(image);
  std::ifstream parts(image.string() + ".parts.tsv");
  size_t seen = 0;
  for (std::string number, start, size, volume; parts >> number >> start >> size >> volume; ++seen) {
    const uint64_t at = std::stoull(start) * 512;
    ASSERT_LE(at + srr::kIdentityRegionBytes, disk.size());
    srr::VolumeIdentity identity;
    ASSERT_TRUE(srr::IdentityOf(&disk[at], srr::kIdentityRegionBytes, identity)) << volume;
    char text[40];
    if (volume == "hfs") {
      ASSERT_EQ(identity.kind, uint32_t(srr::IdentityKind::kHfsPlus));
      std::string hex;
      for (size_t i = 4; i < identity.value.size(); ++i) {
        std::snprintf(text, sizeof text, "%02x", identity.value[i]);
        hex += text;
      }
      const auto fsstat = testsupport::RunCommand("fsstat -o " + start + " " + testsupport::ShellQuote(image.string()));
      EXPECT_NE(fsstat.output.find("Volume Identifier: " + hex), std::string::npos) << fsstat.output;
      continue;
    }
    const std::string blkid = testsupport::RunCommand("blkid -p -o value -s UUID --offset " + std::to_string(at) + " " +
                                                      testsupport::ShellQuote(image.string()))
                                  .output;
    if (volume == "ntfs") {
      ASSERT_EQ(identity.kind, uint32_t(srr::IdentityKind::kNtfs));
      std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(ondisk::Le64(identity.value.data())));
    } else {
      ASSERT_EQ(identity.kind, uint32_t(volume == "exfat" ? srr::IdentityKind::kExfat : srr::IdentityKind::kFat));
      const uint32_t serial = ondisk::Le32(identity.value.data());
      std::snprintf(text, sizeof text, "%04X-%04X", serial >> 16, serial & 0xFFFF);
    }
    EXPECT_EQ(blkid, std::string(text) + "\n") << volume;
  }
  EXPECT_EQ(seen, 5u);
}

TEST_F(PlacedDisk, EveryFlippedBitOrSwapLoadsTheSameFilesOrIsDamageOrRefused) {
  if (IsSkipped()) return;
  ASSERT_EQ(Load(file_), 0u);
  const std::string whole = rsftest::DumpResult(loaded_);
  const std::vector<std::string> keys = FileKeys();
  const std::multiset<std::string> known(keys.begin(), keys.end());
  ASSERT_GT(keys.size(), 30u) << "the files of five volumes";
  // The unchanged load copies out every original of the disk.
  const fs::path out = work_ / "recovered";
  EXPECT_EQ(rsftest::RecoverAll(loaded_, model_, out), 0u);
  std::set<std::string> copied;
  for (const auto& [path, sha] : conformance::HashAll(out)) copied.insert(sha);
  std::ifstream originals(fixture_ / "originals.tsv");
  size_t count = 0;
  for (std::string fs, state, sha, path; originals >> fs >> state >> sha && std::getline(originals, path); ++count) {
    EXPECT_TRUE(copied.count(sha) != 0) << fs << path;
  }
  ASSERT_GT(count, 20u);

  // A variant is good when it loads all of it, or owns up and shows only
  // files the file showed before, as they were.
  std::map<uint64_t, size_t> codes;
  size_t failures = 0;
  std::vector<size_t> silent;  // bytes whose flip loads without a word
  const auto judge = [&](const Bytes& variant, const std::string& what) {
    const uint64_t code = Load(variant);
    ++codes[code];
    bool good = true;
    if (code == 0) {
      good = rsftest::DumpResult(loaded_) == whole;
      EXPECT_TRUE(good) << what << ": loads without a word, and loads otherwise";
    } else {
      std::multiset<std::string> left = known;
      for (const std::string& key : FileKeys()) {
        const auto it = left.find(key);
        if (it == left.end()) {
          good = false;
          ADD_FAILURE() << what << ": load code " << code << " shows a file the file did not show:\n" << key;
          break;
        }
        left.erase(it);
      }
    }
    failures += good ? 0 : 1;
  };

  const auto started = std::chrono::steady_clock::now();
  for (size_t at = 0; at < file_.size() && failures < 10; ++at) {
    Bytes variant = file_;
    variant[at] ^= static_cast<uint8_t>(1u << (at % 8));
    const size_t before = codes[0];
    judge(variant, "byte " + std::to_string(at) + " bit " + std::to_string(at % 8));
    if (codes[0] != before) silent.push_back(at);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu bytes flipped in %.1f s; load codes:", file_.size(), seconds);
  for (const auto& [code, n] : codes) std::printf(" %llu x%zu", static_cast<unsigned long long>(code), n);
  std::printf("\nloaded whole and the same despite the flip, bytes:");
  for (const size_t at : silent) std::printf(" %zu", at);
  std::printf(" (of %zu)\n", file_.size());
  EXPECT_LT(codes[0], file_.size() / 50) << "almost every flipped bit is found";

  // Two trees' places swapped (NTFS, the second tree, and FAT32, the
  // third), or their partition records: damage, or a refusal.
  const auto frames = Frames(file_);
  const FrameAt place = frames.at(Key(srr::_frVolumePlace));
  const size_t roots = place.at + 4 + 8 + 8 + 4 + ondisk::Le32(&file_[place.at + 20]);
  ASSERT_EQ(ondisk::Le64(&file_[roots]), 5u);
  Bytes swapped = file_;
  std::swap_ranges(swapped.begin() + long(roots + 8 + 16), swapped.begin() + long(roots + 8 + 32),
                   swapped.begin() + long(roots + 8 + 32));
  ASSERT_NE(swapped, file_);
  codes.clear();
  judge(swapped, "places swapped");
  EXPECT_NE(codes.count(0), 1u);
  // Without its check values (and the frame that promises them, as a
  // build that wrote neither), what each volume says of itself refuses it.
  const FrameAt checks = frames.at(Key(srr::_frCheckValues));
  ASSERT_EQ(checks.at + checks.size, file_.size()) << "the check values come last";
  const auto unchecked = [](const Bytes& file) {
    return rsftest::WithoutFrames(file, {srr::_frPromisedFrames, srr::_frCheckValues});
  };
  EXPECT_EQ(Load(unchecked(swapped)), srr::kLoadOtherVolume);
  EXPECT_EQ(Load(unchecked(file_)), 0u) << "a file without check values";
  EXPECT_EQ(rsftest::DumpResult(loaded_), whole);
  // Cut before the check values it promised: damage, not an older file.
  EXPECT_EQ(Load(Bytes(file_.begin(), file_.begin() + long(checks.at - 36))), srr::kLoadBadHeader);

  const auto partitions = PartitionRecords(file_, frames.at(Key(srr::_frFileSystemNode)).at);
  ASSERT_EQ(partitions.size(), 5u);
  ASSERT_FALSE(partitions[1].empty());
  ASSERT_FALSE(partitions[2].empty());
  swapped = file_;
  std::swap_ranges(swapped.begin() + long(partitions[1][0]), swapped.begin() + long(partitions[1][0] + 104),
                   swapped.begin() + long(partitions[2][0]));
  ASSERT_NE(swapped, file_);
  EXPECT_EQ(Load(swapped), srr::kLoadDamaged);
  judge(swapped, "partition records swapped");
}

}  // namespace
