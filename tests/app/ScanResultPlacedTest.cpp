// Saved results of disks whose volumes lie in their second and later
// partitions (tests/fixtures/placed), scanned, saved, loaded and copied out
// by rsf_roundtrip in processes of their own: a whole disk's quick scan, one
// volume's, and a complete scan of the disk with its table zeroed, on a
// read-only loop device with the kernel's partition nodes and without them
// (the volumes are then the application's own). Every file copied out of the
// loaded result has the bytes of the same file copied out straight after
// the scan, every original is among them, and the image is unchanged. The
// same disk with a partition moved is refused.
//
// The same on devices of 4096-byte sectors (tests/fixtures/placed4k): a 4Kn
// GPT disk, quick and complete with its table zeroed, volumes of 512-byte
// sectors seen through such a device, and carved pictures near the end of an
// image. And a volume cut short before its scan: once loaded, no file is
// "ok" that was not "ok" and the same straight after the scan, and the files
// of such a damaged load are copied out all the same. The NTFS fixture's
// volume cut in the middle of a compressed file: every file The Sleuth Kit
// places past the cut (istat) is failed, the compressed one too. And a
// destination too small for the files: those without room fail, and the run
// goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "EngineTypes.h"
#include "RoundTripOutput.h"
#include "ScanResultFiles.h"
#include "app/ScanResultChecks.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Conformance.h"
#include "support/ScratchWorkDir.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ShellQuote;

enum class Kind { kWholeDisk, kOneVolume, kDeepZeroed };

struct Case {
  const char* disk;     // mbr, gpt
  bool partitionNodes;  // losetup -P
  Kind kind;
  const char* volume;  // the volume a one-volume scan reads
};

std::string Label(const Case& c) {
  const char* kind = c.kind == Kind::kWholeDisk ? "WholeDisk" : c.kind == Kind::kOneVolume ? "OneVolume" : "DeepZeroed";
  return std::string(c.disk) + kind + (c.partitionNodes ? "WithNodes" : "WithoutNodes");
}
std::string Name(const testing::TestParamInfo<Case>& info) { return Label(info.param); }
void PrintTo(const Case& c, std::ostream* out) { *out << Label(c); }

struct Original {
  std::string fs, state, sha;
};

std::vector<Original> Originals(const fs::path& dir) {
  std::vector<Original> out;
  std::ifstream in(dir / "originals.tsv");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    Original o;
    std::getline(fields, o.fs, '\t');
    std::getline(fields, o.state, '\t');
    std::getline(fields, o.sha, '\t');
    out.push_back(o);
  }
  return out;
}

// The partition number of `volume` on the disk (IMG.parts.tsv).
int PartitionOf(const fs::path& image, const std::string& volume) {
  std::ifstream in(image.string() + ".parts.tsv");
  int number = 0;
  std::string start, size, name;
  while (in >> number >> start >> size >> name) {
    if (name == volume) return number;
  }
  return 0;
}

using roundtrip::FileLines;

// A scan of `device` saved with its files copied out, then loaded in another
// process and copied out again.
struct RoundTrip {
  testsupport::CommandResult scanned, recovered;
  std::vector<std::string> before, after;  // the "ok"/"failed" lines
  std::map<std::string, std::string> fresh, loaded;
};

RoundTrip ScanSaveLoad(const std::string& device, bool deep, const fs::path& work) {
  const std::string tool = CLIPMENDER_RSF_ROUNDTRIP;
  const fs::path fresh = work / "fresh", loaded = work / "loaded", rsf = work / "r.rsf";
  RoundTrip out;
  out.scanned =
      testsupport::RunCommand(ShellQuote(tool) + " scan " + (deep ? "--deep " : "") + "--recover-to " +
                              ShellQuote(fresh.string()) + " " + ShellQuote(device) + " " + ShellQuote(rsf.string()));
  out.recovered = testsupport::RunCommand(ShellQuote(tool) + " recover " + ShellQuote(rsf.string()) + " " +
                                          ShellQuote(loaded.string()));
  out.before = FileLines(out.scanned.output);
  out.after = FileLines(out.recovered.output);
  out.fresh = conformance::HashAll(fresh);
  out.loaded = conformance::HashAll(loaded);
  return out;
}

// The same files, each copied out, with the same bytes.
void ExpectSameCopies(const RoundTrip& trip) {
  EXPECT_EQ(trip.after, trip.before);
  EXPECT_EQ(trip.fresh.size(), trip.before.size());
  for (const auto& [path, sha] : trip.fresh) {
    const auto it = trip.loaded.find(path);
    if (it == trip.loaded.end()) {
      ADD_FAILURE() << path << " not copied out of the loaded result";
    } else {
      EXPECT_EQ(it->second, sha) << path << " differs once loaded";
    }
  }
}

class PlacedRoundTrip : public testing::TestWithParam<Case> {};

TEST_P(PlacedRoundTrip, LoadedTreesCopyOutTheBytesTheScanCopiedOut) {
  const Case& c = GetParam();
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const fs::path dir =
      conformance::FixtureDir("CLIPMENDER_PLACED_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "placed");
  const std::string why =
      conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/placed/make-placed-images.sh", dir);
  REQUIRE_OR_SKIP(why.empty(), why);

  const fs::path image = dir / (std::string(c.disk) + (c.kind == Kind::kDeepZeroed ? "-zeroed.img" : ".img"));
  testsupport::TempDir work;
  // A copy of its own, under a name of its own: the device list tells disks
  // apart by their backing file's name, and cases running side by side must
  // not find each other's.
  const fs::path disk = work.path() / (Label(c) + ".img");
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote(image.string()) + " " + ShellQuote(disk.string()));
  devicetest::ImageGuard guard(disk);
  devicetest::LoopDevice loop(disk, 0, c.partitionNodes, true);
  ASSERT_TRUE(loop.attached());
  if (c.kind != Kind::kDeepZeroed) {
    testsupport::RunCommand("udevadm settle 2>/dev/null");
    // Some kernels leave the table to udev even with -P.
    if (c.partitionNodes && !fs::exists(loop.Partition(2))) loop.Announce();
    // Whether the volumes are the kernel's nodes or the application's own.
    ASSERT_EQ(fs::exists(loop.Partition(2)), c.partitionNodes) << "partition nodes as losetup was asked";
  }
  std::string device = loop.path();
  if (c.kind == Kind::kOneVolume) {
    const int number = PartitionOf(image, c.volume);
    ASSERT_GT(number, 0) << c.volume;
    device = loop.Partition(number);
  }

  const RoundTrip trip = ScanSaveLoad(device, c.kind == Kind::kDeepZeroed, work.path());
  ASSERT_EQ(trip.scanned.exitCode, 0) << trip.scanned.output;
  EXPECT_EQ(trip.recovered.exitCode, 0) << trip.recovered.output;
  ASSERT_FALSE(trip.before.empty());
  ExpectSameCopies(trip);

  // Every original of the volumes scanned is among them; a complete scan
  // needs only the live ones (deleted FAT entries lose their chains).
  std::set<std::string> copied;
  for (const auto& [path, sha] : trip.loaded) copied.insert(sha);
  for (const Original& o : Originals(dir)) {
    if (c.kind == Kind::kOneVolume && o.fs != c.volume) continue;
    if (c.kind == Kind::kDeepZeroed && o.state != "live") continue;
    EXPECT_TRUE(copied.count(o.sha) != 0) << o.fs << " " << o.state << " " << o.sha << " not copied out";
  }
}

// The same disk (its name and capacity) with its FAT32 partition moved:
// the load is refused instead of reading the saved runs from elsewhere.
TEST(PlacedRefused, ADiskWhoseTableMovedAVolumeIsNotReadFromTheWrongPlace) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  REQUIRE_TOOL("sfdisk");
  const fs::path dir =
      conformance::FixtureDir("CLIPMENDER_PLACED_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "placed");
  const std::string why =
      conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/placed/make-placed-images.sh", dir);
  REQUIRE_OR_SKIP(why.empty(), why);
  testsupport::TempDir work;
  const std::string tool = CLIPMENDER_RSF_ROUNDTRIP;
  const fs::path rsf = work.path() / "r.rsf", original = work.path() / "moving" / "mbr-moved.img",
                 moved = work.path() / "mbr-moved.img";
  fs::create_directories(original.parent_path());
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote((dir / "mbr.img").string()) + " " +
                                ShellQuote(original.string()));
  {
    devicetest::ImageGuard guard(original);
    devicetest::LoopDevice loop(original, 0, false, true);
    ASSERT_TRUE(loop.attached());
    testsupport::RunCommandOrFail(ShellQuote(tool) + " scan " + ShellQuote(loop.path()) + " " +
                                  ShellQuote(rsf.string()));
  }
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote(original.string()) + " " +
                                ShellQuote(moved.string()));
  const int number = PartitionOf(dir / "mbr.img", "fat32");
  testsupport::RunCommandOrFail("echo 'start=45056, size=+' | sfdisk -q -N " + std::to_string(number) + " " +
                                ShellQuote(moved.string()));
  devicetest::LoopDevice loop(moved, 0, false, true);
  ASSERT_TRUE(loop.attached());
  const auto loaded = testsupport::RunCommand(ShellQuote(tool) + " recover " + ShellQuote(rsf.string()) + " " +
                                              ShellQuote((work.path() / "out").string()));
  EXPECT_NE(loaded.exitCode, 0);
  EXPECT_NE(loaded.output.find("load error 9"), std::string::npos) << loaded.output;
  EXPECT_TRUE(FileLines(loaded.output).empty());
}

// A destination without room for every file (a tmpfs of 256 KiB for the
// 1.4 MB the disk holds): no one is there to make room, so the copy-out ends
// by itself, names every file the loaded result holds, in the scan's order,
// and fails the files that did not fit; those it calls ok have the bytes
// copied out to a roomy destination straight after the scan.
TEST(PlacedFullDestination, FilesWithoutRoomFailAndTheRunGoesOn) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const fs::path dir =
      conformance::FixtureDir("CLIPMENDER_PLACED_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "placed");
  const std::string why =
      conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/placed/make-placed-images.sh", dir);
  REQUIRE_OR_SKIP(why.empty(), why);
  testsupport::TempDir work;
  const std::string tool = CLIPMENDER_RSF_ROUNDTRIP;
  const fs::path disk = work / "fullDestination.img", rsf = work / "r.rsf", fresh = work / "fresh",
                 small = work / "small";
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote((dir / "mbr.img").string()) + " " +
                                ShellQuote(disk.string()));
  devicetest::ImageGuard guard(disk);
  devicetest::LoopDevice loop(disk, 0, false, true);
  ASSERT_TRUE(loop.attached());
  const auto scanned = testsupport::RunCommand(ShellQuote(tool) + " scan --recover-to " + ShellQuote(fresh.string()) +
                                               " " + ShellQuote(loop.path()) + " " + ShellQuote(rsf.string()));
  ASSERT_EQ(scanned.exitCode, 0) << scanned.output;

  fs::create_directories(small);
  ASSERT_EQ(testsupport::RunCommand("mount -t tmpfs -o size=256k tmpfs " + ShellQuote(small.string())).exitCode, 0);
  struct Unmount {
    ~Unmount() { testsupport::RunCommand("umount " + ShellQuote(at.string())); }
    fs::path at;
  } unmount{small};
  // Bounded, so that a run waiting for room fails here instead of hanging.
  const auto recovered = testsupport::RunCommand("timeout -s KILL 120 " + ShellQuote(tool) + " recover " +
                                                 ShellQuote(rsf.string()) + " " + ShellQuote(small.string()));
  EXPECT_EQ(recovered.exitCode, 1) << "a failed file, and the run ended by itself\n" << recovered.output;

  const std::vector<std::string> before = FileLines(scanned.output), after = FileLines(recovered.output);
  const auto path = [](const std::string& line) { return line.substr(line.find(' ') + 1); };
  ASSERT_EQ(after.size(), before.size()) << recovered.output;
  const std::map<std::string, std::string> roomy = conformance::HashAll(fresh), full = conformance::HashAll(small);
  uint64_t okBytes = 0;
  size_t failed = 0;
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(path(after[i]), path(before[i]));
    EXPECT_EQ(before[i].rfind("ok ", 0), 0u) << before[i] << " with room";
    const std::string key = "./" + path(after[i]);
    if (after[i].rfind("ok ", 0) == 0) {
      EXPECT_EQ(full.count(key) != 0 ? full.at(key) : "", roomy.count(key) != 0 ? roomy.at(key) : "-") << key;
      okBytes += fs::file_size(small / path(after[i]));
    } else {
      ++failed;
      EXPECT_NE(full.count(key) != 0 ? full.at(key) : "", roomy.count(key) != 0 ? roomy.at(key) : "")
          << key << " failed with all its bytes";
    }
  }
  EXPECT_GT(failed, 0u) << "the disk's files fit in 256 KiB";
  EXPECT_LE(okBytes, 256u * 1024);
}

// A set of fixture images: the variable that may name its folder, the build
// tree's folder, its script.
struct FixtureSet {
  const char* env;
  const char* builtIn;
  const char* script;
};
constexpr FixtureSet kPlaced4k{"CLIPMENDER_PLACED4K_FIXTURES", "placed4k",
                               "tests/fixtures/placed4k/make-placed4k-images.sh"};
constexpr FixtureSet kNtfs{"CLIPMENDER_NTFS_FIXTURES", "ntfs", "tests/fixtures/ntfs/make-ntfs-images.sh"};

struct Case4k {
  const char* label;
  const char* image;      // in the placed4k set, unless `set` names another
  unsigned sectorSize;    // the loop device's
  bool partitionNodes;    // losetup -P
  bool deep;              // a complete scan, else a quick one
  int volume;             // the partition a one-volume scan reads, 0 for the device
  const char* originals;  // the volumes whose originals must come back
  int cutPercent;         // the image cut to this share of itself before the scan, 0 for whole
  // NTFS set: the image cut at the middle one of this file's clusters as
  // The Sleuth Kit's istat lists them (IMG's V.istat/N), instead.
  const char* cutInside = nullptr;
  const FixtureSet* set = &kPlaced4k;
};

using roundtrip::Names;
using roundtrip::StoredClusters;

std::string Name4k(const testing::TestParamInfo<Case4k>& info) { return info.param.label; }
void PrintTo(const Case4k& c, std::ostream* out) { *out << c.label; }

class PlacedRoundTrip4k : public testing::TestWithParam<Case4k> {};

TEST_P(PlacedRoundTrip4k, LoadedResultsCopyOutWhatTheScanCopiedOut) {
  const Case4k& c = GetParam();
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const fs::path dir = conformance::FixtureDir(c.set->env, fs::path(CLIPMENDER_BUILD_FIXTURES) / c.set->builtIn);
  const std::string why = conformance::EnsureFixtures(testsupport::SourceDir() / c.set->script, dir);
  REQUIRE_OR_SKIP(why.empty(), why);

  // The HFS+ volume is the shared sample's, which not every machine has.
  REQUIRE_OR_SKIP(fs::exists(dir / c.image), std::string(c.image) + " not made: no shared HFS+ samples");
  testsupport::TempDir work;
  const fs::path disk = work.path() / (std::string(c.label) + ".img");
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote((dir / c.image).string()) + " " +
                                ShellQuote(disk.string()));
  if (c.cutPercent != 0) {
    const auto size = fs::file_size(disk);
    fs::resize_file(disk, size / 100 * static_cast<unsigned>(c.cutPercent) / 4096 * 4096);
  }
  // The files the cut leaves with clusters past the device, by the peers'
  // listing of the whole image: none of them can come back whole.
  std::vector<std::string> pastTheCut;
  if (c.cutInside != nullptr) {
    const std::string variant = fs::path(c.image).stem().string();
    const auto clusters = StoredClusters(dir, variant);
    const auto inside = clusters.find(c.cutInside);
    ASSERT_TRUE(inside != clusters.end() && inside->second.size() >= 2) << c.cutInside << " has no clusters listed";
    std::vector<uint64_t> sorted = inside->second;
    std::sort(sorted.begin(), sorted.end());
    const uint64_t cut = sorted[sorted.size() / 2];
    const uint64_t clusterBytes = roundtrip::ClusterBytes(dir, variant);
    ASSERT_GT(clusterBytes, 0u) << "fsstat gives no cluster size";
    fs::resize_file(disk, cut * clusterBytes);
    for (const auto& [path, stored] : clusters) {
      if (std::any_of(stored.begin(), stored.end(), [cut](uint64_t cluster) { return cluster >= cut; })) {
        pastTheCut.push_back(path);
      }
    }
    ASSERT_TRUE(std::find(pastTheCut.begin(), pastTheCut.end(), c.cutInside) != pastTheCut.end());
  }
  devicetest::ImageGuard guard(disk);
  devicetest::LoopDevice loop(disk, c.sectorSize, c.partitionNodes, true);
  ASSERT_TRUE(loop.attached());
  if (c.partitionNodes) {
    testsupport::RunCommand("udevadm settle 2>/dev/null");
    if (!fs::exists(loop.Partition(2))) loop.Announce();
    ASSERT_TRUE(fs::exists(loop.Partition(2))) << "partition nodes as losetup was asked";
  }
  const std::string device = c.volume != 0 ? loop.Partition(c.volume) : loop.path();
  const RoundTrip trip = ScanSaveLoad(device, c.deep, work.path());
  ASSERT_FALSE(trip.before.empty()) << trip.scanned.output;

  if (c.cutPercent != 0 || c.cutInside != nullptr) {
    // The load judges the records against the shorter device and says so;
    // what it shows is copied out, and nothing the scan could not copy out
    // whole comes back "ok".
    EXPECT_NE(trip.recovered.exitCode, 0);
    EXPECT_NE(trip.recovered.output.find("load error 10"), std::string::npos) << trip.recovered.output;
    EXPECT_FALSE(trip.after.empty()) << "a damaged load copies out what it shows";
    EXPECT_NE(std::count_if(trip.before.begin(), trip.before.end(),
                            [](const std::string& line) { return line.rfind("failed ", 0) == 0; }),
              0)
        << "the cut takes some files' bytes";
    const std::set<std::string> okBefore(trip.before.begin(), trip.before.end());
    for (const std::string& line : trip.after) {
      if (line.rfind("ok ", 0) != 0) continue;
      const std::string path = "./" + line.substr(3);
      EXPECT_TRUE(okBefore.count(line) != 0) << path << " ok once loaded, not straight after the scan";
      const auto fresh = trip.fresh.find(path), loaded = trip.loaded.find(path);
      EXPECT_TRUE(fresh != trip.fresh.end() && loaded != trip.loaded.end() && fresh->second == loaded->second)
          << path << " ok once loaded with other bytes";
    }
    // A file of which the device holds only part, plain or compressed, is
    // reported failed, straight after the scan and once loaded.
    for (const std::string& path : pastTheCut) {
      for (const auto* lines : {&trip.before, &trip.after}) {
        EXPECT_EQ(
            std::count_if(lines->begin(), lines->end(), [&](const std::string& l) { return Names(l, "ok", path); }), 0)
            << path << " reaches past the cut, yet recovered "
            << (lines == &trip.before ? "after the scan" : "once loaded");
      }
    }
    return;
  }

  ASSERT_EQ(trip.scanned.exitCode, 0) << trip.scanned.output;
  EXPECT_EQ(trip.recovered.exitCode, 0) << trip.recovered.output;
  ExpectSameCopies(trip);
  // Every original of the volumes scanned is among them; a complete scan
  // needs only the live ones.
  std::set<std::string> copied;
  for (const auto& [path, sha] : trip.loaded) copied.insert(sha);
  const std::string wanted = std::string(",") + c.originals + ",";
  for (const Original& o : Originals(dir)) {
    if (wanted.find("," + o.fs + ",") == std::string::npos || (c.deep && o.state != "live")) continue;
    EXPECT_TRUE(copied.count(o.sha) != 0) << o.fs << " " << o.state << " " << o.sha << " not copied out";
  }
}

INSTANTIATE_TEST_SUITE_P(
    SectorSizes, PlacedRoundTrip4k,
    testing::Values(Case4k{"gpt4kWholeDisk", "gpt4k.img", 4096, false, false, 0, "fat32,ntfs", 0},
                    Case4k{"gpt4kWholeDiskWithNodes", "gpt4k.img", 4096, true, false, 0, "fat32,ntfs", 0},
                    Case4k{"gpt4kNtfsVolume", "gpt4k.img", 4096, true, false, 2, "ntfs", 0},
                    Case4k{"gpt4kDeepZeroed", "gpt4k-zeroed.img", 4096, false, true, 0, "fat32,ntfs", 0},
                    Case4k{"ntfs512Through4096", "ntfs512.img", 4096, false, false, 0, "ntfs512", 0},
                    Case4k{"ntfs512Through4096Deep", "ntfs512.img", 4096, false, true, 0, "ntfs512", 0},
                    Case4k{"fat32512Through4096", "fat32-512.img", 4096, false, false, 0, "fat32-512", 0},
                    Case4k{"fat32512Through4096Deep", "fat32-512.img", 4096, false, true, 0, "fat32-512", 0},
                    Case4k{"exfat512Through4096", "exfat512.img", 4096, false, false, 0, "exfat512", 0},
                    Case4k{"exfat512Through4096Deep", "exfat512.img", 4096, false, true, 0, "exfat512", 0},
                    Case4k{"hfsThrough4096", "hfs.img", 4096, false, false, 0, "hfs", 0},
                    Case4k{"hfsThrough4096Deep", "hfs.img", 4096, false, true, 0, "hfs", 0},
                    Case4k{"carve512", "carve.img", 512, false, true, 0, "carve", 0},
                    Case4k{"carve4096", "carve.img", 4096, false, true, 0, "carve", 0},
                    Case4k{"ntfs512Cut", "ntfs512.img", 512, false, false, 0, "", 50},
                    Case4k{"ntfs512CutThrough4096", "ntfs512.img", 4096, false, false, 0, "", 50},
                    // Cut in the middle of a compressed file's units.
                    Case4k{"ntfsCompressedCut", "default.img", 512, false, false, 0, "", 0, "compressed/text-300k.txt",
                           &kNtfs},
                    Case4k{"ntfsCompressedCutThrough4096", "default.img", 4096, false, false, 0, "", 0,
                           "compressed/text-300k.txt", &kNtfs}),
    Name4k);

// Each disk: the whole disk, one volume behind others (FAT32 after NTFS on
// the MBR disk, HFS+ last on the GPT disk), the disk without its table.
std::vector<Case> Cases() {
  std::vector<Case> out;
  for (const bool nodes : {false, true}) {
    out.push_back({"mbr", nodes, Kind::kWholeDisk, ""});
    out.push_back({"mbr", nodes, Kind::kOneVolume, "fat32"});
    out.push_back({"gpt", nodes, Kind::kWholeDisk, ""});
    out.push_back({"gpt", nodes, Kind::kOneVolume, "hfs"});
    out.push_back({nodes ? "gpt" : "mbr", nodes, Kind::kDeepZeroed, ""});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Disks, PlacedRoundTrip, testing::ValuesIn(Cases()), Name);

// Volumes whose deleted files' clusters newer files took (made by mkfs.fat +
// mtools, mkntfs + ntfs-3g, mkfs.exfat + exfat-fuse): a file the scan
// reported failed is failed once loaded too, and no other file changes its
// answer or its bytes. The files the fixture scripts found taken (their
// IMG.expect.fail, from TSK's istat) are among the failed ones.
//
// Rows with a later image: the volume is scanned and saved, then written to
// (newcomers over freed space; or live files deleted and a newcomer over
// them, in a second row) and the result is loaded there: every file whose
// clusters changed hands since (the later image's expect.fail, from TSK's
// istat and blkls) is reported failed, the load says how many changed, every
// other file keeps its answer and its bytes, and every file recovered has
// its original's bytes. And the same when the volume is written to after the
// load, before the copies: each copy judges its file again; and the NTFS
// volume of 512-byte sectors scanned and loaded through loop devices of
// 4096-byte sectors (a complete scan saves its records in 512-byte units);
// and results saved without their volumes' identities, whose files are held
// to their own entries: files deleted since the scan, whose erased entries
// still describe them, keep their answers and bytes there too.
//
// Camera cards (tests/fixtures/shots: FAT32, exFAT, NTFS) deep-scanned, then
// shot on: every picture is carved too, and a carved copy of a picture
// whose clusters changed hands since (known by its bytes, copied out
// straight after the scan, and the original's place from TSK) is failed
// once loaded and counted among the changed files, and so is one of a
// picture written again in place (its entry's copy is the picture now);
// every other carved copy keeps its answer and its bytes. Without
// identities no carved copy is vouched for. So too on a card formatted
// again before the scan, whose file system held no file then (no tree), and
// on one whose file system was lost before the scan and that was formatted
// since (its partition table places the new one).
struct Reused {
  const char* name;
  const char* env;      // the set's folder variable
  const char* builtIn;  // under the build's fixtures
  const char* script;
  const char* image;
  const char* fail;  // the expectation listing the taken files
  bool deep;
  const char* later = nullptr;      // the image written to after the scan, which the load reads
  const char* originals = nullptr;  // where the originals lie in the set, by their paths in the volume
  // Loaded on the volume as scanned, written to between the load and the
  // copies.
  bool betweenLoadAndCopy = false;
  unsigned sectorSize = 0;  // the loop devices', 0 for the image's own
  // The result saved without its volumes' identities, as a build before
  // them wrote it: nothing tells the load that the volume is the one scanned.
  bool withoutIdentity = false;
  // Every file carved is one of the originals, and some of them lost their
  // clusters since the scan, some did not.
  bool carved = false;
};
void PrintTo(const Reused& r, std::ostream* out) { *out << r.name; }

// Whether PATH (below the copies' folder) is a carved file's: its tree is
// "<number>-<searcher>-<volume>".
bool Carved(const std::string& path) {
  const size_t dash = path.find('-');
  return dash != std::string::npos && path.compare(dash + 1, 3, std::to_string(SEARCHER_TYPE_RAW) + "-") == 0;
}

std::vector<std::string> Lines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// Scans and saves `scanned` (copying its files out), then loads the result
// on `later`, the same volume written to since, under the same file name,
// and copies out again. With `betweenLoadAndCopy`, the result is loaded on
// `scanned` itself, and `later`'s bytes are written over it (behind the
// read-only loop device, whose cached blocks are dropped) after the load and
// before the copies.
RoundTrip ScanThenLoadLater(const fs::path& scanned, const fs::path& later, bool deep, bool betweenLoadAndCopy,
                            unsigned sectorSize, bool withoutIdentity, const fs::path& work) {
  const std::string tool = CLIPMENDER_RSF_ROUNDTRIP;
  const fs::path fresh = work / "fresh", loaded = work / "loaded", rsf = work / "r.rsf";
  RoundTrip out;
  const auto scan = [&](const std::string& device) {
    out.scanned =
        testsupport::RunCommand(ShellQuote(tool) + " scan " + (deep ? "--deep " : "") + "--recover-to " +
                                ShellQuote(fresh.string()) + " " + ShellQuote(device) + " " + ShellQuote(rsf.string()));
  };
  std::unique_ptr<devicetest::LoopDevice> loop;
  if (betweenLoadAndCopy) {
    loop = std::make_unique<devicetest::LoopDevice>(scanned, sectorSize, false, true);
    if (!loop->attached()) return out;
    scan(loop->path());
    const std::string write = "cp " + ShellQuote(later.string()) + " " + ShellQuote(scanned.string()) +
                              " && blockdev --flushbufs " + ShellQuote(loop->path());
    out.recovered = testsupport::RunCommand(ShellQuote(tool) + " recover --before-copy " + ShellQuote(write) + " " +
                                            ShellQuote(rsf.string()) + " " + ShellQuote(loaded.string()));
  } else {
    {
      devicetest::LoopDevice first(scanned, sectorSize, false, true);
      if (!first.attached()) return out;
      scan(first.path());
    }
    if (withoutIdentity) {
      namespace srr = SaveRestoreResult;
      const rsftest::Bytes older = rsftest::WithoutFrames(
          testsupport::ReadFile(rsf), {srr::_frPromisedFrames, srr::_frVolumeIdentity, srr::_frCheckValues});
      testsupport::WriteFile(rsf, older.data(), older.size());
    }
    loop = std::make_unique<devicetest::LoopDevice>(later, sectorSize, false, true);
    if (!loop->attached()) return out;
    out.recovered = testsupport::RunCommand(ShellQuote(tool) + " recover " + ShellQuote(rsf.string()) + " " +
                                            ShellQuote(loaded.string()));
  }
  out.before = FileLines(out.scanned.output);
  out.after = FileLines(out.recovered.output);
  out.fresh = conformance::HashAll(fresh);
  out.loaded = conformance::HashAll(loaded);
  return out;
}

void ExpectJudgedAgainstTheVolumeNow(const Reused& r, const fs::path& dir, const fs::path& work) {
  // Under one file name, as the card would be: the device list tells disks
  // apart by their backing file's name.
  const fs::path scanned = work / "scanned" / (std::string(r.name) + ".img");
  const fs::path later = work / "later" / (std::string(r.name) + ".img");
  fs::create_directories(scanned.parent_path());
  fs::create_directories(later.parent_path());
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote((dir / r.image).string()) + " " +
                                ShellQuote(scanned.string()));
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote((dir / r.later).string()) + " " +
                                ShellQuote(later.string()));
  // Written over while loaded, the scanned copy ends as the later image.
  std::unique_ptr<devicetest::ImageGuard> scannedGuard;
  if (!r.betweenLoadAndCopy) scannedGuard = std::make_unique<devicetest::ImageGuard>(scanned);
  devicetest::ImageGuard laterGuard(later);
  const RoundTrip trip =
      ScanThenLoadLater(scanned, later, r.deep, r.betweenLoadAndCopy, r.sectorSize, r.withoutIdentity, work);
  if (r.betweenLoadAndCopy) {
    EXPECT_EQ(testsupport::Sha256(scanned), testsupport::Sha256(later)) << "the card was written as the later image";
  }
  ASSERT_FALSE(trip.before.empty()) << trip.scanned.output;
  ASSERT_FALSE(trip.after.empty()) << trip.recovered.output;

  const std::vector<std::string> taken = Lines(dir / (std::string(r.later) + ".expect.fail"));
  ASSERT_FALSE(taken.empty()) << "no taken files listed beside " << r.later;
  const auto namesTaken = [&taken](const std::string& line, const std::string& answer) {
    return std::any_of(taken.begin(), taken.end(), [&](const std::string& path) { return Names(line, answer, path); });
  };
  // Live files written again in place since (their clusters kept): copied
  // from their entries they are the files now; carved, not what was found.
  const std::vector<std::string> rewritten = Lines(dir / (std::string(r.later) + ".expect.rewritten"));
  const auto namesRewritten = [&rewritten](const std::string& line) {
    return std::any_of(rewritten.begin(), rewritten.end(),
                       [&](const std::string& path) { return Names(line, "ok", path); });
  };
  for (const std::string& path : taken) {
    const auto failed = std::count_if(trip.after.begin(), trip.after.end(),
                                      [&](const std::string& line) { return Names(line, "failed", path); });
    const auto ok = std::count_if(trip.after.begin(), trip.after.end(),
                                  [&](const std::string& line) { return Names(line, "ok", path); });
    // A file the scan found by its name (a card formatted since holds its
    // pictures' bytes alone: they are only carved).
    const bool named = std::any_of(trip.before.begin(), trip.before.end(), [&](const std::string& line) {
      return Names(line, "ok", path) || Names(line, "failed", path);
    });
    EXPECT_EQ(ok, 0) << path << " is another file's bytes now, yet recovered once loaded";
    if (named) {
      EXPECT_GE(failed, 1) << path << " not reported failed once loaded";
    }
  }
  // Every other file as straight after the scan, with the same bytes.
  const std::set<std::string> after(trip.after.begin(), trip.after.end());
  // The originals by their bytes, to tell which one a carved file is.
  std::map<std::string, std::string> originals;
  if (r.originals != nullptr) {
    for (const auto& entry : fs::recursive_directory_iterator(dir / r.originals)) {
      if (entry.is_regular_file()) {
        originals[testsupport::Sha256(entry.path())] = entry.path().lexically_relative(dir / r.originals).string();
      }
    }
  }
  size_t changed = 0, carvedTaken = 0, carvedKept = 0;
  for (const std::string& line : trip.before) {
    const bool ok = line.rfind("ok ", 0) == 0;
    const std::string path = line.substr(ok ? 3 : 7);
    if (Carved(path)) {
      const auto fresh = trip.fresh.find("./" + path);
      const auto original = fresh != trip.fresh.end() ? originals.find(fresh->second) : originals.end();
      if (r.carved) {
        EXPECT_TRUE(original != originals.end()) << path << " is none of the originals";
      }
      if (original != originals.end() &&
          (namesTaken("ok /" + original->second, "ok") || namesRewritten("ok /" + original->second))) {
        EXPECT_TRUE(after.count("failed " + path) != 0)
            << path << " (" << original->second << ") recovered from clusters that hold other bytes now";
        if (ok) ++changed;
        ++carvedTaken;
        continue;
      }
      ++carvedKept;
      if (r.withoutIdentity) {
        EXPECT_TRUE(after.count("failed " + path) != 0) << path << " vouched for where the volume is not known";
        continue;
      }
    } else if (namesTaken("ok " + path, "ok")) {
      if (ok) ++changed;
      continue;
    } else if (namesRewritten("ok " + path)) {
      EXPECT_TRUE(after.count(line) != 0) << line << " answers otherwise once loaded";
      continue;
    }
    EXPECT_TRUE(after.count(line) != 0) << line << " answers otherwise once loaded on the volume written to";
    if (!ok) continue;
    const auto fresh = trip.fresh.find("./" + path), loaded = trip.loaded.find("./" + path);
    EXPECT_TRUE(fresh != trip.fresh.end() && loaded != trip.loaded.end() && fresh->second == loaded->second)
        << path << " ok once loaded with other bytes";
  }
  if (r.carved) {
    EXPECT_GT(carvedTaken, 0u) << "no carved picture lost its clusters";
    EXPECT_GT(carvedKept, 0u) << "every carved picture lost its clusters";
  }
  // The load says how many files changed hands since the scan; written to
  // after the load, nothing had changed then, and the copies judge again.
  EXPECT_NE(changed, 0u);
  if (r.betweenLoadAndCopy) {
    EXPECT_EQ(trip.recovered.output.find("volume changed since the scan"), std::string::npos) << trip.recovered.output;
  } else {
    EXPECT_NE(trip.recovered.output.find("volume changed since the scan: " + std::to_string(changed) + " files"),
              std::string::npos)
        << trip.recovered.output;
  }
  // What is recovered is the original, wherever the set keeps it, but for
  // the deleted files the scan already copies with another deleted one's
  // bytes (IMG.expect.unsure, first column).
  std::set<std::string> unsure;
  for (const std::string& line : Lines(dir / (std::string(r.image) + ".expect.unsure"))) {
    unsure.insert(line.substr(0, line.find('\t')));
  }
  size_t compared = 0;
  for (const std::string& line : trip.after) {
    if (r.originals == nullptr || line.rfind("ok ", 0) != 0) continue;
    const std::string path = line.substr(3);
    if (r.carved && Carved(path)) {
      // Carved, it is one of the originals whole.
      const auto loaded = trip.loaded.find("./" + path);
      ASSERT_NE(loaded, trip.loaded.end()) << path;
      EXPECT_EQ(originals.count(loaded->second), 1u) << path << " recovered with other bytes";
      ++compared;
      continue;
    }
    const std::string inVolume = path.substr(path.find('/') + 1);
    const fs::path original = dir / r.originals / inVolume;
    if (!fs::is_regular_file(original) || unsure.count(inVolume) != 0 || namesRewritten(line)) continue;
    const auto loaded = trip.loaded.find("./" + path);
    ASSERT_NE(loaded, trip.loaded.end()) << path;
    EXPECT_EQ(loaded->second, testsupport::Sha256(original)) << path << " recovered with other bytes";
    ++compared;
  }
  if (r.originals != nullptr) {
    EXPECT_GT(compared, 3u) << "too few recovered files have an original to compare with";
  }
}

class ReusedRoundTrip : public testing::TestWithParam<Reused> {};

TEST_P(ReusedRoundTrip, FilesWhoseSpaceWasTakenStayFailedOnceLoaded) {
  const Reused& r = GetParam();
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  fs::path dir = conformance::FixtureDir(r.env, fs::path(CLIPMENDER_BUILD_FIXTURES) / r.builtIn);
  if (std::string(r.env) == "CLIPMENDER_FAT_REUSE_FIXTURES" && std::getenv(r.env) == nullptr) {
    dir = conformance::FixtureDir("CLIPMENDER_FAT_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "fat") / "reuse";
  }
  const std::string why = conformance::EnsureFixtures(testsupport::SourceDir() / r.script, dir);
  REQUIRE_OR_SKIP(why.empty(), why);

  testsupport::TempDir work;
  if (r.later != nullptr) {
    ExpectJudgedAgainstTheVolumeNow(r, dir, work.path());
    return;
  }
  const fs::path disk = work.path() / (std::string(r.name) + ".img");
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote((dir / r.image).string()) + " " +
                                ShellQuote(disk.string()));
  devicetest::ImageGuard guard(disk);
  devicetest::LoopDevice loop(disk, 0, false, true);
  ASSERT_TRUE(loop.attached());
  const RoundTrip trip = ScanSaveLoad(loop.path(), r.deep, work.path());
  ASSERT_FALSE(trip.before.empty()) << trip.scanned.output;
  ExpectSameCopies(trip);

  const std::vector<std::string> taken = Lines(dir / r.fail);
  ASSERT_FALSE(taken.empty()) << "no taken files listed in " << r.fail;
  for (const std::string& path : taken) {
    const auto failed = std::count_if(trip.after.begin(), trip.after.end(),
                                      [&](const std::string& line) { return Names(line, "failed", path); });
    const auto ok = std::count_if(trip.after.begin(), trip.after.end(),
                                  [&](const std::string& line) { return Names(line, "ok", path); });
    EXPECT_EQ(ok, 0) << path << " is another file's bytes, yet recovered once loaded";
    EXPECT_GE(failed, 1) << path << " not reported failed once loaded";
  }
}

const char* const kFatReuse = "tests/fixtures/fat/make-fat-reuse-images.sh";
const char* const kNtfsReuse = "tests/fixtures/ntfs-reuse/make-ntfs-reuse-images.sh";
const char* const kExfat = "tests/fixtures/exfat/make-exfat-images.sh";
const char* const kShots = "tests/fixtures/shots/make-shots-images.sh";
const Reused kReused[] = {
    {"f16_quick", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f16-reuse.img", "f16-reuse.img.expect.fail",
     false},
    {"f32_quick", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f32-reuse.img", "f32-reuse.img.expect.fail",
     false},
    {"f32_deep", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f32-reuse.img", "f32-reuse.img.expect.fail",
     true},
    {"ntfs_quick", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img", "reuse.img.expect.fail",
     false},
    {"ntfs_deep", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img", "reuse.img.expect.fail",
     true},
    {"exfat_quick", "CLIPMENDER_EXFAT_FIXTURES", "exfat", kExfat, "c4k.img", "c4k.img.expect.fail", false},
    {"exfat_deep", "CLIPMENDER_EXFAT_FIXTURES", "exfat", kExfat, "c4k.img", "c4k.img.expect.fail", true},
    // Written to after the scan.
    {"f16_later", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f16-reuse.img", nullptr, false,
     "f16-reuse-later.img", "originals"},
    {"f16_later_deleted", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f16-reuse.img", nullptr, false,
     "f16-reuse-later2.img", "originals"},
    {"f32_later", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f32-reuse.img", nullptr, false,
     "f32-reuse-later.img", "originals"},
    {"f32_later_deleted", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f32-reuse.img", nullptr, false,
     "f32-reuse-later2.img", "originals"},
    {"f32_later_deleted_deep", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f32-reuse.img", nullptr, true,
     "f32-reuse-later2.img", "originals"},
    {"ntfs_later", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img", nullptr, false,
     "reuse-later.img", "originals"},
    {"ntfs_later_deleted", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img", nullptr, false,
     "reuse-later2.img", "originals"},
    {"ntfs_later_deleted_deep", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img", nullptr, true,
     "reuse-later2.img", "originals"},
    // The volume of 512-byte sectors seen through a device of 4096-byte ones.
    {"ntfs_later_through4096", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img", nullptr, false,
     "reuse-later.img", "originals", false, 4096},
    // Saved without identities.
    {"f16_later_deleted_unverified", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f16-reuse.img", nullptr,
     false, "f16-reuse-later2.img", "originals", false, 0, true},
    {"f32_later_deleted_unverified", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f32-reuse.img", nullptr,
     false, "f32-reuse-later2.img", "originals", false, 0, true},
    {"ntfs_later_deleted_unverified", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img", nullptr,
     false, "reuse-later2.img", "originals", false, 0, true},
    {"exfat_later_deleted_unverified", "CLIPMENDER_EXFAT_FIXTURES", "exfat", kExfat, "c4k.img", nullptr, false,
     "c4k-later2.img", "originals/c4k", false, 0, true},
    {"hfs_later_live_unverified", "CLIPMENDER_HFSPLUS_FIXTURES", "hfsplus",
     "tests/fixtures/hfsplus/make-hfsplus-images.sh", "lx-hfsplus-j.img", nullptr, false, "lx-hfsplus-jswap.img",
     nullptr, false, 0, true},
    {"ntfs_later_deleted_through4096_deep", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img",
     nullptr, true, "reuse-later2.img", "originals", false, 4096},
    {"exfat_later", "CLIPMENDER_EXFAT_FIXTURES", "exfat", kExfat, "c4k.img", nullptr, false, "c4k-later.img",
     "originals/c4k"},
    {"exfat_later_deleted", "CLIPMENDER_EXFAT_FIXTURES", "exfat", kExfat, "c4k.img", nullptr, false, "c4k-later2.img",
     "originals/c4k"},
    {"exfat_later_deleted_deep", "CLIPMENDER_EXFAT_FIXTURES", "exfat", kExfat, "c4k.img", nullptr, true,
     "c4k-later2.img", "originals/c4k"},
    // The HFS+ journal sample before and after its fragmented file took
    // three deleted fillers' blocks (no tool here writes HFS+).
    {"hfs_later", "CLIPMENDER_HFSPLUS_FIXTURES", "hfsplus", "tests/fixtures/hfsplus/make-hfsplus-images.sh",
     "lx-hfsplus-jhole-before.img", nullptr, false, "lx-hfsplus-jhole.img"},
    // The sample before and after two live files' blocks were given to each
    // other (their catalog records edited).
    {"hfs_later_live", "CLIPMENDER_HFSPLUS_FIXTURES", "hfsplus", "tests/fixtures/hfsplus/make-hfsplus-images.sh",
     "lx-hfsplus-j.img", nullptr, false, "lx-hfsplus-jswap.img"},
    // Written to between the load and the copies.
    {"f32_written_before_copy", "CLIPMENDER_FAT_REUSE_FIXTURES", "fat/reuse", kFatReuse, "f32-reuse.img", nullptr,
     false, "f32-reuse-later2.img", "originals", true},
    {"ntfs_written_before_copy", "CLIPMENDER_NTFS_REUSE_FIXTURES", "ntfs-reuse", kNtfsReuse, "reuse.img", nullptr,
     false, "reuse-later2.img", "originals", true},
    {"exfat_written_before_copy", "CLIPMENDER_EXFAT_FIXTURES", "exfat", kExfat, "c4k.img", nullptr, false,
     "c4k-later.img", "originals/c4k", true},
    // Camera cards deep-scanned and shot on: their carved pictures.
    {"f32_shots_later_deep", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "f32-shots.img", nullptr, true,
     "f32-shots-later.img", "originals", false, 0, false, true},
    {"exfat_shots_later_deep", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "exfat-shots.img", nullptr, true,
     "exfat-shots-later.img", "originals", false, 0, false, true},
    {"ntfs_shots_later_deep", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "ntfs-shots.img", nullptr, true,
     "ntfs-shots-later.img", "originals", false, 0, false, true},
    {"f32_shots_later_deep_unverified", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "f32-shots.img", nullptr, true,
     "f32-shots-later.img", "originals", false, 0, true, true},
    {"exfat_shots_written_before_copy_deep", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "exfat-shots.img", nullptr,
     true, "exfat-shots-later.img", "originals", true, 0, false, true},
    {"ntfs_shots_written_before_copy_deep", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "ntfs-shots.img", nullptr,
     true, "ntfs-shots-later.img", "originals", true, 0, false, true},
    // A card formatted again, its file system holding no file when scanned
    // (no tree): its carved pictures against what it gives now.
    {"f32_root_formatted_later_deep", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "f32-root.img", nullptr, true,
     "f32-root-later.img", "originals", false, 0, false, true},
    {"f32_root_formatted_written_before_copy_deep", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "f32-root.img",
     nullptr, true, "f32-root-later.img", "originals", true, 0, false, true},
    // A card whose file system was lost before the scan (only carving finds
    // its pictures), formatted since: the partition its table names.
    {"f32_mbr_lost_then_formatted_deep", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "f32-mbr.img", nullptr, true,
     "f32-mbr-later.img", "originals", false, 0, false, true},
    // The cards formatted again and shot a month later, loaded from results
    // without identities: every picture's entry names its place, size and
    // name, not its times.
    {"f32_shots_month_later_unverified", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "f32-shots.img", nullptr, false,
     "f32-shots-month.img", nullptr, false, 0, true},
    {"exfat_shots_month_later_unverified", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "exfat-shots.img", nullptr,
     false, "exfat-shots-month.img", nullptr, false, 0, true},
    {"ntfs_shots_month_later_unverified", "CLIPMENDER_SHOTS_FIXTURES", "shots", kShots, "ntfs-shots.img", nullptr,
     false, "ntfs-shots-month.img", nullptr, false, 0, true},
};
INSTANTIATE_TEST_SUITE_P(Volumes, ReusedRoundTrip, testing::ValuesIn(kReused),
                         [](const testing::TestParamInfo<Reused>& info) { return std::string(info.param.name); });

}  // namespace
