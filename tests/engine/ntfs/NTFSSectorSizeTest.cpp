// A volume made with 512-byte sectors, seen through a device that reports
// 4096-byte sectors (as disks in many USB enclosures are): its 1024-byte FILE
// records share device sectors, four to one. The quick scan lists and reads
// back the same files as through 512-byte sectors.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "NtfsFixtures.h"
#include "QuickScanProbe.h"
#include "StorageDevice.h"
#include "ntfs/NTFSQuickSearch.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using quickprobe::Node;
using quickprobe::QuickScan;
using testsupport::ShellQuote;

// `losetup -r --sector-size 4096`, detached with the object.
class ReadOnlyWideLoop {
 public:
  explicit ReadOnlyWideLoop(const fs::path& image) {
    const auto r = testsupport::RunCommand("losetup -f --show -r --sector-size 4096 " + ShellQuote(image.string()));
    if (r.exitCode == 0 && r.output.rfind("/dev/loop", 0) == 0) path_ = r.output.substr(0, r.output.find('\n'));
  }
  ~ReadOnlyWideLoop() {
    if (!path_.empty()) testsupport::RunCommand("losetup -d " + ShellQuote(path_));
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::map<std::string, const Node*> Listing(const QuickScan& scan) {
  std::map<std::string, const Node*> lines;
  for (const Node& node : scan.nodes()) lines[quickprobe::Line(node)] = &node;
  return lines;
}

TEST(NtfsSectorSize, A512ByteSectorVolumeOnA4096ByteSectorDeviceGivesTheSameFiles) {
  REQUIRE_NTFS_FIXTURES();
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  for (const std::string variant : {"default", "c65536", "attrlist-live", "attrlist-deleted"}) {
    SCOPED_TRACE(variant);
    const fs::path image = ntfsfixtures::FixtureDir() / (variant + ".img");
    devicetest::ImageGuard guard(image);
    QuickScan narrow(image);
    ASSERT_TRUE(narrow.Run());
    ASSERT_EQ(narrow.searcherAnswer(), 0u);
    ReadOnlyWideLoop loop(image);
    ASSERT_FALSE(loop.path().empty());
    QuickScan wide(loop.path());
    ASSERT_TRUE(wide.Run());
    ASSERT_EQ(wide.device()->GetSectorSize(), 4096u);
    EXPECT_EQ(wide.searcherAnswer(), 0u);
    const auto* searcher = dynamic_cast<const CNTFSQuickSearch*>(wide.searcher());
    ASSERT_NE(searcher, nullptr);
    EXPECT_EQ(searcher->GetFileRecordsPerSector(), 4u);

    const auto expected = Listing(narrow), got = Listing(wide);
    ASSERT_GT(expected.size(), 20u);
    std::vector<std::string> want, have;
    for (const auto& [line, node] : expected) want.push_back(line);
    for (const auto& [line, node] : got) have.push_back(line);
    EXPECT_EQ(have, want);
    int compared = 0;
    for (const auto& [line, node] : expected) {
      const auto other = got.find(line);
      if (node->folder || node->size == 0 || other == got.end()) continue;
      bool narrowOk = false, wideOk = false;
      const auto bytes = narrow.Read(*node, &narrowOk);
      EXPECT_TRUE(wide.Read(*other->second, &wideOk) == bytes && narrowOk == wideOk) << node->path;
      compared += narrowOk ? 1 : 0;
    }
    EXPECT_GT(compared, 10);
  }
}

}  // namespace
