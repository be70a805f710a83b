// The complete scan over an MBR disk holding FAT16 and FAT32: the partitions
// mmls and fsstat describe, the quick scan's trees, and, with the table and
// every boot sector zeroed, the same partitions found from their tables and
// folders with their files intact.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>
#include <unordered_set>

#include "FatFixtures.h"
#include "ResultCode.h"
#include "engine/device/DeviceTestSupport.h"
#include "fat/FATCompleteSearcher.h"
#include "fat/FATQuickSearcher.h"
#include "support/PeerOutput.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"
#include "tools/QuickScanProbe.h"

namespace {

namespace fs = std::filesystem;
using Entry = std::tuple<int64_t, int64_t, std::string, bool, bool, uint64_t>;

struct Geometry {
  int64_t start, dataStart;
  uint32_t sectorsPerCluster;
};

// Partitions of mmls, data starts and cluster sizes of fsstat.
std::vector<Geometry> PeerGeometry() {
  std::vector<Geometry> out;
  std::istringstream mmls(peers::ReadText(fatfixtures::Dir() / "disk.img.mmls.txt"));
  const std::regex line(R"(^\d+:\s+\d+:\d+\s+(\d+)\s+)");
  std::smatch m;
  for (std::string text; std::getline(mmls, text);) {
    if (!std::regex_search(text, m, line)) continue;
    const int64_t start = std::stoll(m[1]);
    const std::string stat =
        peers::ReadText(fatfixtures::Dir() / ("disk.img.p" + std::to_string(out.size() + 1) + ".fsstat.txt"));
    const std::smatch area = [&] {
      std::smatch a;
      std::regex_search(stat, a, std::regex(R"(\*\* Cluster Area: (\d+))"));
      return a;
    }();
    const peers::Fsstat fsstat = peers::ParseFsstat(stat);
    out.push_back({start, start + std::stoll(area[1]), fsstat.clusterSize / fsstat.sectorSize});
  }
  return out;
}

class FatComplete : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = fatfixtures::Ready();
    REQUIRE_OR_SKIP(why.empty(), why);
  }
  // Every sector of `image` through the searcher, then EndSearch(build).
  static void Scan(const fs::path& image, CFATCompleteFSearcher& searcher, testsupport::RecordingBuilder& builder,
                   int build) {
    devicetest::ImageGuard guard(image);
    IStorageDevice* device = fatfixtures::OpenVolume(image, FILE_SYSTEM_TYPE_UNKNOWN);
    ASSERT_NE(device, nullptr);
    searcher.SetDevice(device);
    searcher.SetBlockSize(8192);
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.PreparetoSearch();
    for (int64_t s = 0; s < device->GetTotalSectors(); s += 8192) {
      searcher.AnalyzeBlock(s, std::min<int64_t>(8192, device->GetTotalSectors() - s));
    }
    searcher.EndSearch(build);
    device->Release();
  }
  static std::vector<CFATSearchedPartitionInfo*> Found(CFATCompleteFSearcher& searcher) {
    const int count = searcher.GetSearchedPartitionInfo(nullptr, 0);
    std::vector<CSearchedPartitionInfo*> array(static_cast<size_t>(count), nullptr);
    // Too little room: nothing written, the count told.
    if (count > 0) {
      EXPECT_EQ(searcher.GetSearchedPartitionInfo(array.data(), count - 1), count);
    }
    EXPECT_EQ(searcher.GetSearchedPartitionInfo(array.data(), count), count);
    std::vector<CFATSearchedPartitionInfo*> out;
    for (CSearchedPartitionInfo* r : array) out.push_back(static_cast<CFATSearchedPartitionInfo*>(r));
    return out;
  }
  static std::multiset<Entry> Entries(const testsupport::RecordingBuilder& builder) {
    std::multiset<Entry> out;
    for (const auto& a : builder.added) out.emplace(a.id, a.parent, a.name, a.deleted, a.folder, a.size);
    return out;
  }
};

TEST_F(FatComplete, FindsBothPartitionsAsThePeersDoAndTheQuickScansTrees) {
  CFATCompleteFSearcher searcher;
  testsupport::RecordingBuilder builder;
  Scan(fatfixtures::Dir() / "disk.img", searcher, builder, 1);
  const std::vector<Geometry> peer = PeerGeometry();
  ASSERT_EQ(peer.size(), 2u);
  std::vector<CFATSearchedPartitionInfo*> found = Found(searcher);
  ASSERT_EQ(found.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(found[i]->GetStartSector(), peer[i].start) << i;
    EXPECT_EQ(found[i]->GetFirstDataSector(), peer[i].dataStart) << i;
    EXPECT_EQ(found[i]->GetSectorsperCluster(), peer[i].sectorsPerCluster) << i;
  }
  EXPECT_EQ(found[0]->GetFileSystemType(), FILE_SYSTEM_TYPE_FAT16);
  EXPECT_EQ(found[1]->GetFileSystemType(), FILE_SYSTEM_TYPE_FAT32);
  // Both boot sectors of FAT32 and both tables of each.
  EXPECT_EQ(found[0]->GetReliabilityScore(), 100u);
  EXPECT_EQ(found[1]->GetReliabilityScore(), 100u);
  for (auto* r : found) delete r;

  std::multiset<Entry> quick;
  for (const char* v : {"f16", "f32"}) {
    testsupport::RecordingBuilder one;
    testsupport::RecordingProgress sink;
    IStorageDevice* device =
        fatfixtures::OpenVolume(fatfixtures::Dir() / (std::string(v) + ".img"),
                                std::string(v) == "f16" ? FILE_SYSTEM_TYPE_FAT16 : FILE_SYSTEM_TYPE_FAT32);
    CFATQuickSearcher q;
    q.SetDirecotryTreeBuilder(&one);
    EXPECT_EQ(q.QuickSearchFiles(device, &sink), 0u);
    device->Release();
    const std::multiset<Entry> e = Entries(one);
    quick.insert(e.begin(), e.end());
  }
  EXPECT_EQ(Entries(builder), quick);
  EXPECT_EQ(builder.events.back(), "flash:32");
}

TEST_F(FatComplete, EndSearchWithoutBuildingKeepsAndBuildsNothing) {
  CFATCompleteFSearcher searcher;
  testsupport::RecordingBuilder builder;
  Scan(fatfixtures::Dir() / "disk.img", searcher, builder, 0);
  EXPECT_TRUE(builder.added.empty());
  EXPECT_TRUE(builder.events.empty());
  EXPECT_EQ(searcher.GetSearchedPartitionInfo(nullptr, 0), 0);
}

TEST_F(FatComplete, RefusedFoldersAreNotTouchedAgain) {
  // Every third node refused: what the searcher gets back it releases, and
  // the refused folders' content is still parsed (ASan tells the rest).
  CFATCompleteFSearcher searcher;
  testsupport::RecordingBuilder builder;
  builder.refuseEvery = 3;
  Scan(fatfixtures::Dir() / "disk-wiped.img", searcher, builder, 1);
  EXPECT_GT(builder.owned.size(), 100u);
}

TEST_F(FatComplete, WipedTableAndBootSectorsStillGiveThePartitionsAndTheirFiles) {
  CFATCompleteFSearcher searcher;
  testsupport::RecordingBuilder builder;
  Scan(fatfixtures::Dir() / "disk-wiped.img", searcher, builder, 1);
  const std::vector<Geometry> peer = PeerGeometry();
  std::vector<CFATSearchedPartitionInfo*> found = Found(searcher);
  for (const Geometry& g : peer) {
    const bool seen = std::any_of(found.begin(), found.end(), [&](CFATSearchedPartitionInfo* r) {
      return r->GetFirstDataSector() == g.dataStart && r->GetSectorsperCluster() == g.sectorsPerCluster;
    });
    EXPECT_TRUE(seen) << "data start " << g.dataStart;
  }
  for (auto* r : found) delete r;
  EXPECT_TRUE(std::any_of(builder.added.begin(), builder.added.end(),
                          [](const auto& a) { return a.folder && std::regex_match(a.name, std::regex("DIR[0-9]+")); }));

  // Through the application's complete scan: live contiguous files copy out
  // as they were written.
  quickprobe::QuickScan::Options options;
  options.complete = true;
  quickprobe::QuickScan scan(fatfixtures::Dir() / "disk-wiped.img", options);
  ASSERT_TRUE(scan.Run());
  int compared = 0;
  for (const char* name : {"readme.txt", "Entry number 001 of the big folder.txt", "deep.txt", "report.bin"}) {
    std::ifstream in(fatfixtures::Dir() / "originals" /
                         (std::string(name) == "deep.txt"     ? "docs/sub dir/deep.txt"
                          : std::string(name) == "report.bin" ? "docs/report.bin"
                          : std::string(name)[0] == 'E'       ? "many/" + std::string(name)
                                                              : std::string(name)),
                     std::ios::binary);
    const std::vector<uint8_t> original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const quickprobe::Node& n : scan.nodes()) {
      if (n.folder || fs::path(n.path).filename() != name) continue;
      bool ok = false;
      EXPECT_EQ(scan.Read(n, &ok, 777), original) << n.path;
      EXPECT_TRUE(ok) << n.path;
      ++compared;
    }
  }
  // Each file once on each partition.
  EXPECT_EQ(compared, 8);
}

TEST_F(FatComplete, WithoutATableNoFileInPiecesPassesForRecovered) {
  // The wiped disk's volumes are found through their folders, so no table
  // was seen begin: every chain is a guess. Whatever copies out without an
  // error, live or deleted, in its folder or among the lost files, is its
  // original; fragmented.bin (in pieces) may not. Deleted files whose
  // clusters later files took (the fill blocks) are left out: every whole
  // sector of theirs must still be on the disk.
  std::ifstream disk(fatfixtures::Dir() / "disk-wiped.img", std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(disk)), std::istreambuf_iterator<char>());
  std::unordered_set<std::string_view> sectors;
  for (size_t at = 0; at + 512 <= image.size(); at += 512) sectors.insert(std::string_view(image).substr(at, 512));
  auto lies = [&](const std::vector<uint8_t>& body) {
    for (size_t at = 0; at + 512 <= body.size(); at += 512) {
      if (sectors.count(std::string_view(reinterpret_cast<const char*>(body.data()) + at, 512)) == 0) return false;
    }
    return true;
  };
  std::multimap<std::string, std::vector<uint8_t>> originals;
  for (const auto& entry : fs::recursive_directory_iterator(fatfixtures::Dir() / "originals")) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    originals.emplace(entry.path().filename().string(),
                      std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }
  quickprobe::QuickScan::Options options;
  options.complete = true;
  quickprobe::QuickScan scan(fatfixtures::Dir() / "disk-wiped.img", options);
  ASSERT_TRUE(scan.Run());
  const fs::path out = fs::path(::testing::TempDir()) / ("fat-wiped-copy-" + std::to_string(getpid()));
  int copied = 0;
  int lost = 0;
  int fragmented = 0;
  for (const quickprobe::Node& n : scan.nodes()) {
    const std::string name = fs::path(n.path).filename().string();
    auto [from, to] = originals.equal_range(name);
    if (n.folder || from == to) continue;
    if (n.deleted && std::none_of(from, to, [&](const auto& o) { return lies(o.second); })) continue;
    if (name == "fragmented.bin") ++fragmented;
    fs::remove(out);
    if (result::IsFailure(scan.CopyOut(n, out))) continue;
    std::ifstream in(out, std::ios::binary);
    const std::vector<uint8_t> copy((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::any_of(from, to, [&](const auto& o) { return o.second == copy; })) << n.path;
    ++copied;
    if (n.path.starts_with(quickprobe::kLostFolder)) ++lost;
  }
  fs::remove(out);
  EXPECT_GE(fragmented, 1);
  EXPECT_GT(copied, 30);
  // The big folder's files past its first cluster, which no chain reaches
  // here, are among the lost files, read with their own volume's layout.
  // Its first cluster holds at most 15 of its 200 (FAT16, 2 KiB clusters)
  // and 3 (FAT32, 512 bytes); a cluster's end cuts at most one long name
  // per cluster (some 13 and 50 of them): more than 300 copy out by name.
  EXPECT_GT(lost, 300);
}

}  // namespace
