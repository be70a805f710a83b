// What the scans say about files on volumes whose own records cannot vouch
// for them, beyond what the rows check: a damaged $Bitmap (its clusters
// zeroed or overwritten, its record gone) makes no deleted file suspect, in
// either scan; and a stream the volume cannot hold (hugesparse.img) is cut
// to nothing, marked, and its copy answers a failure in both scans. The
// bitmap's answers about ranges of clusters, read in pieces, are those of
// the bytes The Sleuth Kit reads from it (icat).
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "FileNode.h"
#include "NtfsFixtures.h"
#include "QuickScanProbe.h"
#include "ResultCode.h"
#include "copyout/CDataRecovery.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "ntfs/NTFSClusterBitmap.h"
#include "ntfs/NTFSQuickSearch.h"
#include "support/KeepingTreeBuilder.h"
#include "support/RecordingProgress.h"

namespace {

namespace fs = std::filesystem;
using quickprobe::QuickScan;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

std::vector<std::string> Lines(const fs::path& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// The paths of the files a scan marks content-unsure.
std::vector<std::string> Unsure(const QuickScan& scan) {
  std::vector<std::string> out;
  for (const quickprobe::Node& node : scan.nodes()) {
    auto* file = dynamic_cast<CFileNode*>(node.node);
    if (!node.folder && file != nullptr && file->IsContentUnsure()) out.push_back(node.path);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Scan(const fs::path& image, bool complete, bool* bitmap = nullptr) {
  QuickScan::Options options;
  options.complete = complete;
  QuickScan scan(image, options);
  EXPECT_TRUE(scan.Run()) << image;
  if (bitmap != nullptr) {
    auto* searcher = dynamic_cast<CNTFSQuickSearch*>(scan.searcher());
    EXPECT_NE(searcher, nullptr);
    *bitmap = searcher != nullptr && searcher->HasClusterBitmap();
  }
  EXPECT_GT(scan.nodes().size(), 20u) << image;
  return Unsure(scan);
}

// Every range asked of the bitmap of `image` (4 KiB clusters) answers what
// icat's copy of the bitmap says; ranges past the volume's end say nothing.
void CheckRanges(const fs::path& image, uint64_t clusters, int64_t longest) {
  SCOPED_TRACE(image.string());
  const std::string bits = RunCommandOrFail("icat " + ShellQuote(image.string()) + " 6");
  ASSERT_GE(bits.size() * 8, clusters);
  std::unique_ptr<IStorageDevice, void (*)(IStorageDevice*)> device(CreateVolumeDevice(image.c_str()),
                                                                    [](IStorageDevice* d) { d->Release(); });
  ASSERT_TRUE(device != nullptr && device->Open() != 0);
  testsupport::KeepingTreeBuilder builder;
  testsupport::RecordingProgress progress;
  CNTFSQuickSearch searcher;
  searcher.SetDirecotryTreeBuilder(&builder);
  ASSERT_EQ(searcher.QuickSearchFiles(device.get(), &progress), 0u);
  EXPECT_TRUE(searcher.HasClusterBitmap());
  auto bitmap = CNTFSClusterBitmap::Load(*device, 0, searcher.GetSectorsPerCluster(), 1024,
                                         searcher.GetMFTDataRunList(), clusters);
  ASSERT_NE(bitmap, nullptr);
  auto set = [&](uint64_t c) { return (static_cast<uint8_t>(bits[c / 8]) >> (c % 8) & 1) != 0; };
  std::mt19937_64 rng(20261207);
  std::vector<std::pair<int64_t, int64_t>> ranges;
  constexpr int64_t kPiece = int64_t{CNTFSClusterBitmap::kPieceBytes} * 8;
  for (int64_t at = 0; at < static_cast<int64_t>(clusters); at += kPiece) {
    ranges.push_back({at, std::min<int64_t>(kPiece, static_cast<int64_t>(clusters) - at)});  // whole pieces
    if (at > 0) ranges.push_back({at - 100, 200});                                           // across their ends
  }
  for (int i = 0; i < 3000; ++i) {
    const int64_t length = 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(i % 3 == 0 ? longest : 300));
    if (length > static_cast<int64_t>(clusters)) continue;
    ranges.push_back({static_cast<int64_t>(rng() % (clusters - static_cast<uint64_t>(length) + 1)), length});
  }
  for (const auto& [lcn, count] : ranges) {
    bool any = false, all = true;
    for (int64_t c = lcn; c < lcn + count; ++c) {
      any = any || set(static_cast<uint64_t>(c));
      all = all && set(static_cast<uint64_t>(c));
    }
    ASSERT_EQ(bitmap->AnyInUse(lcn, count), any ? 1 : 0) << lcn << "+" << count;
    ASSERT_EQ(bitmap->AllInUse(lcn, count), all ? 1 : 0) << lcn << "+" << count;
  }
  EXPECT_EQ(bitmap->AnyInUse(static_cast<int64_t>(clusters) - 1, 2), -1);
  EXPECT_EQ(bitmap->AnyInUse(-1, 2), -1);
  EXPECT_EQ(bitmap->AnyInUse(0, 0), -1);
}

TEST(NtfsClusterBitmap, RangesAnswerWhatTheBitmapHolds) {
  const std::string why = ntfsfixtures::EnsureReuseFixtures();
  REQUIRE_OR_SKIP(why.empty(), why);
  REQUIRE_TOOL("mkntfs");
  const fs::path reuse = ntfsfixtures::ReuseFixtureDir() / "reuse.img";
  devicetest::ImageGuard guard(reuse);
  // A full volume of 8191 clusters, with files deleted here and there.
  CheckRanges(reuse, 8191, 8191);
  // An empty one whose bitmap is 2 MiB: two pieces and a bit.
  testsupport::TempDir scratch;
  const fs::path large = scratch / "large.img";
  RunCommandOrFail("truncate -s 66G " + ShellQuote(large.string()) + " && mkntfs -F -f -q -c 4096 " +
                   ShellQuote(large.string()) + " >/dev/null 2>&1");
  CheckRanges(large, (uint64_t{66} << 30) / 4096 - 1, int64_t{1} << 22);
}

// Every cluster size mkntfs makes, volumes of 4096-byte sectors, and
// volumes of 512-byte sectors seen through 4096-byte ones.
TEST(NtfsClusterBitmap, BelievedOnEveryVolumeTheToolsMake) {
  const std::string why = ntfsfixtures::EnsureFixtures();
  REQUIRE_OR_SKIP(why.empty(), why);
  for (const char* variant : {"default", "c512", "c65536", "s4096", "attrlist-reused"}) {
    for (uint32_t sectorSize : {0u, 4096u}) {
      if (sectorSize != 0 && std::string(variant) == "c512") continue;  // clusters smaller than a sector
      SCOPED_TRACE(std::string(variant) + " " + std::to_string(sectorSize));
      const fs::path image = ntfsfixtures::FixtureDir() / (std::string(variant) + ".img");
      devicetest::ImageGuard guard(image);
      QuickScan::Options options;
      options.sectorSize = sectorSize;
      QuickScan scan(image, options);
      ASSERT_TRUE(scan.Run());
      auto* searcher = dynamic_cast<CNTFSQuickSearch*>(scan.searcher());
      ASSERT_NE(searcher, nullptr);
      EXPECT_TRUE(searcher->HasClusterBitmap());
    }
  }
}

TEST(NtfsClusterBitmap, DamagedBitmapLeavesOnlyWhatDeletedFilesSay) {
  const std::string why = ntfsfixtures::EnsureReuseFixtures();
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path dir = ntfsfixtures::ReuseFixtureDir();
  const fs::path original = dir / "reuse.img";
  devicetest::ImageGuard guard(original);

  // Intact: The Sleuth Kit's list of the deleted files whose clusters are
  // in use again, from either scan.
  std::vector<std::string> taken = Lines(dir / "reuse.img.expect.fail");
  std::sort(taken.begin(), taken.end());
  ASSERT_GE(taken.size(), 2u);
  bool believed = false;
  EXPECT_EQ(Scan(original, false, &believed), taken);
  EXPECT_TRUE(believed);
  EXPECT_EQ(Scan(original, true), taken);

  // Where istat places the bitmap's clusters and record 6.
  const std::string istat = RunCommandOrFail("istat " + ShellQuote(original.string()) + " 6");
  const std::string fsstat = RunCommandOrFail("fsstat " + ShellQuote(original.string()));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex("First Cluster of MFT: (\\d+)")));
  const uint64_t record6 = std::stoull(m[1]) * 4096 + 6 * 1024;
  const size_t data = istat.find("Type: $DATA");
  ASSERT_NE(data, std::string::npos);
  std::istringstream clusters(istat.substr(istat.find('\n', data) + 1));
  uint64_t first = 0;
  ASSERT_TRUE(clusters >> first);
  uint64_t count = 1;
  for (uint64_t next; clusters >> next && next == first + count;) ++count;

  testsupport::TempDir scratch;
  const fs::path copy = scratch / "damaged.img";
  const std::string img = ShellQuote(copy.string());
  const std::string cp = "cp --sparse=always " + ShellQuote(original.string()) + " " + img + " && ";
  const std::string bitmapAt = " bs=4096 seek=" + std::to_string(first) + " count=" + std::to_string(count);
  const struct {
    const char* what;
    std::string damage;
  } cases[] = {
      {"bitmap zeroed", "dd if=/dev/zero of=" + img + bitmapAt + " conv=notrunc status=none"},
      {"bitmap random", "python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(7).randbytes(" +
                            std::to_string(count * 4096) + "))' | dd of=" + img + bitmapAt +
                            " iflag=fullblock conv=notrunc status=none"},
      {"record 6 zeroed",
       "dd if=/dev/zero of=" + img + " bs=1 seek=" + std::to_string(record6) + " count=1024 conv=notrunc status=none"},
  };
  // Without the bitmap, only what the deleted files themselves say stands:
  // the holes the deleted fragmented file was written over.
  std::vector<std::string> overwritten = Lines(dir / "reuse.overwritten");
  std::sort(overwritten.begin(), overwritten.end());
  ASSERT_GE(overwritten.size(), 2u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunCommandOrFail(cp + c.damage);
    bool loaded = true;
    EXPECT_EQ(Scan(copy, false, &loaded), overwritten);
    EXPECT_FALSE(loaded);
    EXPECT_EQ(Scan(copy, true), overwritten);
  }
}

TEST(NtfsClusterBitmap, StreamLargerThanTheVolumeCopiesAsAFailure) {
  const std::string why = ntfsfixtures::EnsureFixtures();
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path image = ntfsfixtures::FixtureDir() / "hugesparse.img";
  devicetest::ImageGuard guard(image);
  testsupport::TempDir scratch;
  for (bool complete : {false, true}) {
    SCOPED_TRACE(complete ? "complete" : "quick");
    QuickScan::Options options;
    options.complete = complete;
    QuickScan scan(image, options);
    ASSERT_TRUE(scan.Run());
    const quickprobe::Node* node = scan.Find("big/random-300k.bin");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->size, 0u);
    auto* file = dynamic_cast<CFileNode*>(node->node);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->IsSizeDamaged());
    // Through the copy-out object itself: no copy of it is a recovered file.
    IDataRecovery* recovery = scan.Recovery(node->node);
    ASSERT_NE(recovery, nullptr);
    if (IFileReader* reader = recovery->SetRecoverNode(node->node)) reader->Release();
    const fs::path to = scratch / (complete ? "complete" : "quick");
    const ResultCode copied = recovery->RecoverTo(to.c_str(), nullptr, 0);
    EXPECT_TRUE(result::IsFailure(copied)) << std::hex << copied;
    std::error_code error;
    EXPECT_EQ(fs::file_size(to, error), 0u);
  }
}

}  // namespace
