// Volumes read through a medium that fails on chosen sectors, as a failing
// card or disk fails (devicetest::FailingMedium under the volume device): a
// sector it cannot give costs only the folder entries, table entries and
// allocation bits on it. The Sleuth Kit places them: fsstat gives the
// tables, istat a file's sectors, and the inode number of a FAT or exFAT
// entry counts its 32-byte slot from the data area's first sector (from 3).
// Folders go on after a lost sector in the quick scan; the load-time judges
// hold against the volume only the files that need what was lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AllocationJudge.h"
#include "DataRunList.h"
#include "FileNode.h"
#include "FileSystemSearchController.h"
#include "QuickScanProbe.h"
#include "RoundTripOutput.h"
#include "SearchedPartitionInfo.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "exfat/ExFatAllocationJudge.h"
#include "fat/FATAllocationJudge.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusAllocationJudge.h"
#include "ntfs/NTFSAllocationJudge.h"
#include "support/Conformance.h"
#include "support/KeepingTreeBuilder.h"
#include "support/PeerOutput.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A volume device on `bytes` whose 512-byte sectors `bad` answer I/O errors.
IStorageDevice* Failing(const Bytes& bytes, const std::set<int64_t>& bad) {
  std::vector<std::pair<int64_t, int64_t>> ranges;
  for (const int64_t sector : bad) ranges.emplace_back(sector * 512, 512);
  auto* device = new CVolumeDevice("a failing card");
  device->OpenOn(std::make_unique<devicetest::FailingMedium>(bytes, ranges), 512,
                 static_cast<int64_t>(bytes.size() / 512));
  return device;
}

// The sectors istat lists for inode `inode` (0 padding left out).
std::vector<int64_t> IstatSectors(const fs::path& image, uint64_t inode) {
  const auto run =
      testsupport::RunCommand("istat " + testsupport::ShellQuote(image.string()) + " " + std::to_string(inode));
  std::vector<int64_t> sectors;
  std::istringstream in(run.output);
  bool listed = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Sectors:", 0) == 0) {
      listed = true;
      continue;
    }
    if (!listed || line.find_first_not_of("0123456789 ") != std::string::npos) continue;
    std::istringstream numbers(line);
    for (int64_t s; numbers >> s;) {
      if (s != 0) sectors.push_back(s);
    }
  }
  return sectors;
}

// The first number of a fsstat line "NAME: A - B".
int64_t FsstatStart(const std::string& fsstat, const std::string& name) {
  std::smatch m;
  const std::regex line("\\* " + name + ": ([0-9]+) - ([0-9]+)");
  return std::regex_search(fsstat, m, line) ? std::stoll(m[1]) : -1;
}

// What a volume's image and its peers' listings give a test.
struct Volume {
  fs::path image;
  Bytes bytes;
  std::string fsstat;
  std::map<std::string, uint64_t> inodes;  // by path, from fls
  std::vector<conformance::Expected> expected;

  // The files of folder `folder` by inode number, ascending.
  std::vector<std::pair<uint64_t, std::string>> FilesIn(const std::string& folder) const {
    std::vector<std::pair<uint64_t, std::string>> files;
    for (const auto& [path, inode] : inodes) {
      if (path.rfind(folder + "/", 0) == 0) files.emplace_back(inode, path);
    }
    std::sort(files.begin(), files.end());
    return files;
  }
};

// The fixture set `set` (made by tests/fixtures/`script` when missing, into
// CLIPMENDER_<SET>_FIXTURES or the build's folder); `why` says what is
// missing when it cannot be.
fs::path FixtureSet(const std::string& set, const std::string& script, std::string& why) {
  std::string variable = "CLIPMENDER_" + set + "_FIXTURES";
  std::transform(variable.begin(), variable.end(), variable.begin(), [](unsigned char c) { return std::toupper(c); });
  const fs::path dir = conformance::FixtureDir(variable.c_str(), fs::path(CLIPMENDER_BUILD_FIXTURES) / set);
  why = conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures" / script, dir);
  if (why.empty() && testsupport::RunCommand("command -v istat").exitCode != 0) why = "needs The Sleuth Kit";
  return dir;
}

Volume Load(const fs::path& dir, const std::string& name) {
  Volume v;
  v.image = dir / name;
  v.bytes = ReadAll(v.image);
  v.fsstat = testsupport::RunCommandOrFail("fsstat " + testsupport::ShellQuote(v.image.string()));
  for (const peers::FlsEntry& e : peers::ParseFls(peers::ReadText(dir / (name + ".fls.txt")))) {
    v.inodes[e.path] = e.record;
  }
  v.expected = conformance::ReadExpectations(dir / (name + ".expect.tsv"));
  return v;
}

// The files a quick scan shows, by path.
std::set<std::string> Shown(const quickprobe::QuickScan& scan) {
  std::set<std::string> shown;
  for (const quickprobe::Node& n : scan.nodes()) {
    if (!n.folder) shown.insert(n.path);
  }
  return shown;
}

// A quick scan of `v` through a medium that loses `bad`.
std::unique_ptr<quickprobe::QuickScan> ScanFailing(const Volume& v, const std::set<int64_t>& bad) {
  quickprobe::QuickScan::Options options;
  options.open = [&v, bad] { return Failing(v.bytes, bad); };
  auto scan = std::make_unique<quickprobe::QuickScan>(v.image, options);
  EXPECT_TRUE(scan->Run());
  return scan;
}

// The judge of the scanned volume `scan` made by `make`, on `device`.
template <typename Make>
std::unique_ptr<IAllocationJudge> JudgeOf(quickprobe::QuickScan& scan, IStorageDevice* device, Make make) {
  CSearchedPartitionInfo* record = nullptr;
  if (scan.searcher() == nullptr || scan.searcher()->GetSearchedPartitionInfo(&record, 1) != 1) return nullptr;
  const std::unique_ptr<CSearchedPartitionInfo> partition(record);
  return make(device, *partition);
}

// That judge's answer for every file the scan shows, by path.
template <typename Make>
std::map<std::string, bool> Judged(quickprobe::QuickScan& scan, IStorageDevice* device, Make make) {
  std::map<std::string, bool> taken;
  std::unique_ptr<IAllocationJudge> judge = JudgeOf(scan, device, make);
  if (judge == nullptr) return taken;
  for (const quickprobe::Node& n : scan.nodes()) {
    if (auto* file = dynamic_cast<CFileNode*>(n.node); file != nullptr && !n.folder)
      taken[n.path] = judge->IsTaken(*file);
  }
  return taken;
}

// How many bytes of [begin, end) `judge` says its volume gives to a file or
// to its metadata (what a carved file lying there is held against).
uint64_t GivenBytes(IAllocationJudge* judge, uint64_t begin, uint64_t end) {
  uint64_t given = 0;
  if (judge != nullptr) judge->ForEachGiven(begin, end, [&given](uint64_t from, uint64_t to) { given += to - from; });
  return given;
}

// A carved file has no entry or record to vouch for it: the judge of a
// medium that lost the allocation marks of [from, to) (bytes of the device;
// the volume's last clusters, mostly free) gives all of it, the judge of
// the healthy one does not, and both give the same of the 64 clusters of
// `clusterBytes` in front, whose marks were read.
void ExpectLostMarksGiven(IAllocationJudge* healthy, IAllocationJudge* failing, uint64_t from, uint64_t to,
                          uint64_t clusterBytes) {
  ASSERT_TRUE(healthy != nullptr && failing != nullptr);
  ASSERT_GT(from, 64 * clusterBytes);
  const uint64_t ahead = from - 64 * clusterBytes;
  EXPECT_LT(GivenBytes(healthy, from, to), to - from) << "every cluster there is in use";
  EXPECT_EQ(GivenBytes(failing, from, to), to - from);
  EXPECT_EQ(GivenBytes(failing, ahead, from), GivenBytes(healthy, ahead, from));
}

// Every file judged on the failing medium (`after`) is taken exactly where
// it needs what was lost or was taken on the healthy one (`before`); answers
// how many need it.
template <typename Needs>
size_t ExpectTakenWhereNeeded(const Volume& v, const std::map<std::string, bool>& before,
                              const std::map<std::string, bool>& after, Needs needs) {
  EXPECT_EQ(after.size(), before.size());
  size_t needing = 0;
  for (const conformance::Expected& e : v.expected) {
    if (e.folder || after.count(e.path) == 0 || before.count(e.path) == 0 || v.inodes.count(e.path) == 0) continue;
    const bool lost = needs(e);
    needing += lost ? 1 : 0;
    EXPECT_EQ(after.at(e.path), lost || before.at(e.path)) << e.path;
  }
  return needing;
}

std::unique_ptr<IStorageDevice, devicetest::DeviceReleaser> Device(IStorageDevice* device) {
  return std::unique_ptr<IStorageDevice, devicetest::DeviceReleaser>(device);
}

// A folder of 200 files with long names (each entry with its long-name or
// name entries in slots of its own): one of its sectors lost costs the
// entries in it, and every entry after it in the folder still comes back.
// `slots(inode)` gives the slots of the entry whose inode number is given,
// `vouching(inode)` those the judge (made by `make`) needs to find it by:
// the result `healthy` scanned before the sector was lost, judged once it
// is, holds against the volume only the files whose entries are gone.
template <typename Slots, typename Vouching, typename Make>
void FolderGoesOnAfterALostSector(const Volume& v, int64_t firstDataSector, const std::string& folder, Slots slots,
                                  Vouching vouching, quickprobe::QuickScan& healthy, Make make) {
  const auto files = v.FilesIn(folder);
  ASSERT_EQ(files.size(), 200u);
  const auto sectorOf = [&](uint64_t slot) { return firstDataSector + static_cast<int64_t>((slot - 3) / 16); };
  const int64_t lost = sectorOf(files[100].first);
  std::set<std::string> gone, unvouched;
  for (const auto& [inode, path] : files) {
    for (const uint64_t slot : slots(inode)) {
      if (sectorOf(slot) == lost) gone.insert(path);
    }
    for (const uint64_t slot : vouching(inode)) {
      if (sectorOf(slot) == lost) unvouched.insert(path);
    }
  }
  ASSERT_GE(gone.size(), 3u);
  ASSERT_LE(gone.size(), 6u);
  ASSERT_FALSE(unvouched.empty());

  const auto device = Device(Failing(v.bytes, {lost}));
  const size_t needing =
      ExpectTakenWhereNeeded(v, Judged(healthy, healthy.device(), make), Judged(healthy, device.get(), make),
                             [&](const conformance::Expected& e) { return unvouched.count(e.path) != 0; });
  EXPECT_EQ(needing, unvouched.size());

  const auto scan = ScanFailing(v, {lost});
  const std::set<std::string> shown = Shown(*scan);
  size_t after = 0;
  for (const conformance::Expected& e : v.expected) {
    if (e.folder) continue;
    if (gone.count(e.path) != 0) {
      EXPECT_EQ(shown.count(e.path), 0u) << e.path << " lies on the lost sector";
      continue;
    }
    EXPECT_EQ(shown.count(e.path), 1u) << e.path << " is not on the lost sector";
    if (e.path.rfind(folder + "/", 0) == 0 && v.inodes.at(e.path) > files[100].first) ++after;
  }
  EXPECT_GE(after, 95u) << "the entries after the lost sector";
}

TEST(LostSectors, AFatFolderAndTableLoseOnlyWhatLiesOnTheSector) {
  std::string why;
  const fs::path dir = FixtureSet("fat", "fat/make-fat-images.sh", why);
  REQUIRE_OR_SKIP(why.empty(), why);
  const Volume v = Load(dir, "f16.img");
  devicetest::ImageGuard guard(v.image);
  const int64_t dataStart = FsstatStart(v.fsstat, "Data Area");
  const int64_t fat0 = FsstatStart(v.fsstat, "FAT 0"), fat1 = FsstatStart(v.fsstat, "FAT 1");
  const int64_t clusterArea = FsstatStart(v.fsstat, "Cluster Area");
  ASSERT_TRUE(dataStart > 0 && fat0 > 0 && fat1 > fat0 && clusterArea > dataStart);
  constexpr int64_t kSectorsPerCluster = 4;  // "Cluster Size: 2048"
  ASSERT_NE(v.fsstat.find("Cluster Size: 2048"), std::string::npos);

  // A short entry and the three long-name entries before it; the judge
  // finds an entry that lost its long name by its times.
  quickprobe::QuickScan healthy(v.image);
  ASSERT_TRUE(healthy.Run());
  FolderGoesOnAfterALostSector(
      v, dataStart, "many",
      [](uint64_t inode) {
        return std::vector<uint64_t>{inode - 3, inode - 2, inode - 1, inode};
      },
      [](uint64_t inode) { return std::vector<uint64_t>{inode}; }, healthy, CreateFATAllocationJudge);

  // One table sector lost in both copies: its entries are known nowhere. A
  // live file needs the entries of all its clusters but the last (which
  // says where its chain goes on), and its entry must still be reached
  // along its folder's chain; a deleted one may have lost any of its
  // clusters to a file whose chain is not known.
  std::map<std::string, std::vector<int64_t>> clusters;
  for (const conformance::Expected& e : v.expected) {
    if (v.inodes.count(e.path) == 0) continue;
    for (const int64_t sector : IstatSectors(v.image, v.inodes.at(e.path))) {
      const int64_t cluster = (sector - clusterArea) / kSectorsPerCluster + 2;
      if (clusters[e.path].empty() || clusters[e.path].back() != cluster) clusters[e.path].push_back(cluster);
    }
  }
  // The table's first sector, in both copies: the header is lost with it,
  // and a copy is still read for the rest.
  const std::vector<int64_t>& big = clusters.at("docs/report.bin");
  ASSERT_GT(big.size(), 2u);
  const int64_t tableSector = big.front() * 2 / 512;
  const auto entryLost = [&](int64_t cluster) { return cluster * 2 / 512 == tableSector; };
  // Whether the folder chain of `path`'s parent reaches the cluster its
  // entry lies in (up to the first cluster whose entry is lost; the fixed
  // root always).
  const auto reached = [&](const std::string& path) {
    const int64_t sector = dataStart + static_cast<int64_t>((v.inodes.at(path) - 3) / 16);
    if (sector < clusterArea || path.find('/') == std::string::npos) return true;
    const int64_t cluster = (sector - clusterArea) / kSectorsPerCluster + 2;
    const auto chain = clusters.find(path.substr(0, path.rfind('/')));
    if (chain == clusters.end()) return false;
    for (const int64_t c : chain->second) {
      if (c == cluster) return true;
      if (entryLost(c)) return false;
    }
    return false;
  };

  const auto before = Judged(healthy, healthy.device(), CreateFATAllocationJudge);
  const auto failing = Device(Failing(v.bytes, {fat0 + tableSector, fat1 + tableSector}));
  const auto after = Judged(healthy, failing.get(), CreateFATAllocationJudge);
  ASSERT_FALSE(after.empty());
  const size_t needing = ExpectTakenWhereNeeded(v, before, after, [&](const conformance::Expected& e) {
    if (clusters.count(e.path) == 0) return false;
    const std::vector<int64_t>& own = clusters.at(e.path);
    if (e.deleted) return std::any_of(own.begin(), own.end(), entryLost);
    return std::any_of(own.begin(), own.end() - (own.empty() ? 0 : 1), entryLost) || !reached(e.path);
  });
  EXPECT_GT(needing, 0u);

  // Nor a carved file in the clusters whose entries were lost: the table's
  // last sector, in both copies.
  std::smatch range;
  ASSERT_TRUE(std::regex_search(v.fsstat, range, std::regex("Total Cluster Range: 2 - ([0-9]+)")));
  const int64_t lastCluster = std::stoll(range[1]), lastSector = lastCluster * 2 / 512;
  const auto lastLost = Device(Failing(v.bytes, {fat0 + lastSector, fat1 + lastSector}));
  ExpectLostMarksGiven(JudgeOf(healthy, healthy.device(), CreateFATAllocationJudge).get(),
                       JudgeOf(healthy, lastLost.get(), CreateFATAllocationJudge).get(),
                       (clusterArea + (lastSector * 256 - 2) * kSectorsPerCluster) * 512,
                       (clusterArea + (lastCluster - 1) * kSectorsPerCluster) * 512, 2048);
}

TEST(LostSectors, AnExFatFolderAndBitmapLoseOnlyWhatLiesOnTheSector) {
  std::string why;
  const fs::path dir = FixtureSet("exfat", "exfat/make-exfat-images.sh", why);
  REQUIRE_OR_SKIP(why.empty(), why);
  const Volume v = Load(dir, "c4k.img");
  devicetest::ImageGuard guard(v.image);
  const int64_t heap = FsstatStart(v.fsstat, "Data Area");
  ASSERT_GT(heap, 0);
  constexpr int64_t kSectorsPerCluster = 8;  // "Cluster Size: 4096"
  ASSERT_NE(v.fsstat.find("Cluster Size: 4096"), std::string::npos);

  // A File entry and the Stream and Name entries after it, a set the judge
  // needs whole.
  quickprobe::QuickScan healthy(v.image);
  ASSERT_TRUE(healthy.Run());
  const auto set = [](uint64_t inode) { return std::vector<uint64_t>{inode, inode + 1, inode + 2}; };
  FolderGoesOnAfterALostSector(v, heap, "many", set, set, healthy, CreateExFatAllocationJudge);

  // The allocation bitmap's first sector lost: the clusters it stands for
  // may be anybody's. A live file's entry set still vouches for it; a
  // deleted file with a cluster there is not vouched for.
  const std::vector<int64_t> bitmap = IstatSectors(v.image, v.inodes.at("$ALLOC_BITMAP"));
  ASSERT_FALSE(bitmap.empty());
  const int64_t lastLostCluster = 2 + 512 * 8 - 1;
  const auto before = Judged(healthy, healthy.device(), CreateExFatAllocationJudge);
  const auto failing = Device(Failing(v.bytes, {bitmap.front()}));
  const auto after = Judged(healthy, failing.get(), CreateExFatAllocationJudge);
  ASSERT_FALSE(after.empty());
  const size_t needing = ExpectTakenWhereNeeded(v, before, after, [&](const conformance::Expected& e) {
    if (!e.deleted) return false;
    const std::vector<int64_t> own = IstatSectors(v.image, v.inodes.at(e.path));
    return std::any_of(own.begin(), own.end(),
                       [&](int64_t sector) { return (sector - heap) / kSectorsPerCluster + 2 <= lastLostCluster; });
  });
  EXPECT_GT(needing, 3u);

  // Nor does one vouch for a carved file in the clusters whose bits were
  // lost: the bitmap's last sector.
  std::smatch range;
  ASSERT_TRUE(std::regex_search(v.fsstat, range, std::regex("Cluster Range: 2 - ([0-9]+)")));
  ASSERT_GT(bitmap.size(), 1u);
  const int64_t firstLast = 2 + static_cast<int64_t>(bitmap.size() - 1) * 512 * 8, lastCluster = std::stoll(range[1]);
  const auto lastLost = Device(Failing(v.bytes, {bitmap.back()}));
  ExpectLostMarksGiven(JudgeOf(healthy, healthy.device(), CreateExFatAllocationJudge).get(),
                       JudgeOf(healthy, lastLost.get(), CreateExFatAllocationJudge).get(),
                       (heap + (firstLast - 2) * kSectorsPerCluster) * 512,
                       (heap + (lastCluster - 1) * kSectorsPerCluster) * 512, 4096);
}

// The HFS+ sample whose journal remembers deleted files (three of them lost
// blocks to a live file since): with its allocation file lost, every deleted
// file with blocks may have lost them, and none is vouched for (an
// allocation file that could not be read vouched for every one).
TEST(LostSectors, AnHfsPlusAllocationFileLostVouchesForNoDeletedFile) {
  std::string why;
  const fs::path dir = FixtureSet("hfsplus", "hfsplus/make-hfsplus-images.sh", why);
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path image = dir / "lx-hfsplus-jhole.img";
  devicetest::ImageGuard guard(image);
  const Bytes bytes = ReadAll(image);
  // The allocation file's place, from the volume header (at byte 1024; its
  // fork data at 0x70, the first extent's start block 16 bytes in).
  const auto be32 = [&bytes](size_t at) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
  };
  const uint32_t blockSize = be32(1024 + 0x28);
  const int64_t first = int64_t{be32(1024 + 0x70 + 16)} * blockSize / 512;
  ASSERT_EQ(blockSize, 4096u);
  std::set<std::string> deletedWithBlocks;
  std::ifstream tsv(dir / "lx-hfsplus-jhole.img.deleted.tsv");
  for (std::string line; std::getline(tsv, line);) {
    std::istringstream fields(line);
    std::string path, id, size;
    std::getline(fields, path, '\t');
    std::getline(fields, id, '\t');
    std::getline(fields, size, '\t');
    if (!size.empty() && std::stoll(size) > 0) deletedWithBlocks.insert(path.substr(path.rfind('/') + 1));
  }
  ASSERT_GT(deletedWithBlocks.size(), 10u);

  const auto failing = Device(Failing(bytes, {first, first + 1}));
  CHFSPlusVolume volume(failing.get(), false);
  ASSERT_TRUE(result::IsSuccess(volume.GetLastError()));
  testsupport::KeepingTreeBuilder builder;
  CHFSPlusQuickFileSystemSearchProgress progress;
  ASSERT_TRUE(result::IsSuccess(volume.QuickSearchFiles(&builder, &progress)));
  std::set<std::string> unsure, deleted, withBlocks;
  for (IFileNode* n : builder.nodes) {
    auto* node = dynamic_cast<CFileNode*>(n);
    if (node == nullptr || node->IsDeleted() == 0 || node->IsDirectory() != 0) continue;
    deleted.insert(node->GetFileName());
    if (node->IsContentUnsure()) unsure.insert(node->GetFileName());
    // Compressed files may hold their bytes in an attribute, in no block.
    IDataRunList* runs = node->GetDataRunList();
    if (runs != nullptr && runs->GetFirst() != nullptr) withBlocks.insert(node->GetFileName());
  }
  for (const std::string& name : deletedWithBlocks) EXPECT_EQ(deleted.count(name), 1u) << name;
  EXPECT_EQ(unsure, withBlocks) << "every deleted file with blocks may have lost them";
  EXPECT_GT(withBlocks.size(), 10u);

  // Nor a carved file: every block whose mark was lost may be in use (the
  // two sectors mark the volume's first 8192 blocks).
  CSearchedPartitionInfo record(512);
  record.SetStartSector(0);
  record.SetFirstDataSector(0);
  record.SetSectorsperCluster(blockSize / 512);
  const uint64_t to = std::min<uint64_t>(8192, be32(1024 + 0x2C)) * blockSize;
  const auto healthy = Device(Failing(bytes, {}));
  const auto healthyJudge = CreateHFSPlusAllocationJudge(healthy.get(), record);
  const auto failingJudge = CreateHFSPlusAllocationJudge(failing.get(), record);
  ASSERT_TRUE(healthyJudge != nullptr && failingJudge != nullptr);
  EXPECT_LT(GivenBytes(healthyJudge.get(), 0, to), to) << "every block there is in use";
  EXPECT_EQ(GivenBytes(failingJudge.get(), 0, to), to);
}

// An NTFS volume whose $Bitmap lost its last sector (istat places it): no
// record vouches for a carved file in the clusters it stands for.
TEST(LostSectors, AnNtfsBitmapSectorLostVouchesForNoCarvedFileThere) {
  std::string why;
  const fs::path dir = FixtureSet("ntfs", "ntfs/make-ntfs-images.sh", why);
  REQUIRE_OR_SKIP(why.empty(), why);
  const Volume v = Load(dir, "default.img");
  devicetest::ImageGuard guard(v.image);
  std::smatch range;
  ASSERT_TRUE(std::regex_search(v.fsstat, range, std::regex("Total Cluster Range: 0 - ([0-9]+)")));
  ASSERT_NE(v.fsstat.find("Cluster Size: 4096"), std::string::npos);
  const int64_t clusters = std::stoll(range[1]) + 1;
  const std::vector<uint64_t> bitmap = roundtrip::DataClusters(dir / "default.istat" / "6");
  ASSERT_FALSE(bitmap.empty());
  // Its 512-byte sectors, each the marks of 4096 clusters.
  const int64_t lastSector = (clusters - 1) / 4096;
  ASSERT_LT(lastSector, 8) << "the bitmap's sectors lie in its first cluster";
  quickprobe::QuickScan healthy(v.image);
  ASSERT_TRUE(healthy.Run());
  const auto lastLost = Device(Failing(v.bytes, {static_cast<int64_t>(bitmap.front()) * 8 + lastSector}));
  ExpectLostMarksGiven(JudgeOf(healthy, healthy.device(), CreateNTFSAllocationJudge).get(),
                       JudgeOf(healthy, lastLost.get(), CreateNTFSAllocationJudge).get(),
                       uint64_t(lastSector) * 4096 * 4096, uint64_t(clusters) * 4096, 4096);
}

}  // namespace
