// What the scans say about files on volumes whose own records cannot vouch
// for them, beyond what the rows check: a damaged $Bitmap (its clusters
// zeroed or overwritten, its record gone) makes no deleted file suspect, in
// either scan; and a stream the volume cannot hold (hugesparse.img) is cut
// to nothing, marked, and its copy answers a failure in both scans.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "FileNode.h"
#include "NtfsFixtures.h"
#include "QuickScanProbe.h"
#include "ResultCode.h"
#include "copyout/CDataRecovery.h"
#include "engine/device/DeviceTestSupport.h"
#include "ntfs/NTFSQuickSearch.h"

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

TEST(NtfsClusterBitmap, DamagedBitmapMarksNoDeletedFile) {
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunCommandOrFail(cp + c.damage);
    bool loaded = true;
    EXPECT_TRUE(Scan(copy, false, &loaded).empty());
    EXPECT_FALSE(loaded);
    EXPECT_TRUE(Scan(copy, true).empty());
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
