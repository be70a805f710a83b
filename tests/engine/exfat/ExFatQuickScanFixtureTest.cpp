// The quick scan end to end, as the application runs it, on the volumes
// tests/fixtures/exfat/make-exfat-images.sh fills through exfat-fuse: what
// it shows and what it copies out, against the files as they were written
// and The Sleuth Kit's view of the images.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileNode.h"
#include "FileTime.h"
#include "QuickScanProbe.h"
#include "engine/device/DeviceTestSupport.h"
#include "exfat/ExFatQuickSearch.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ShellQuote;

fs::path FixtureDir() {
  if (const char* dir = std::getenv("CLIPMENDER_EXFAT_FIXTURES"); dir != nullptr && *dir != '\0') return dir;
  return CLIPMENDER_EXFAT_FIXTURE_DIR;
}

std::string EnsureFixtures() {
  static const std::string state = [] {
    const fs::path script = testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-images.sh";
    const auto r = testsupport::RunCommand("bash " + ShellQuote(script.string()) + " " +
                                           ShellQuote(FixtureDir().string()) + " 2>&1");
    if (r.exitCode == 0) return std::string();
    return (r.exitCode == 77 ? "cannot build the exFAT images here: " : "the exFAT image script failed: ") + r.output;
  }();
  return state;
}

std::string ReadText(const fs::path& path) {
  const std::vector<uint8_t> bytes = testsupport::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// One line of IMG.expect.tsv.
struct Row {
  bool folder;
  bool deleted;
  uint64_t size;
  std::string mtime, sha256, peerSha256, path;
};

std::vector<Row> Expectations(const fs::path& image) {
  std::vector<Row> rows;
  std::ifstream in(image.string() + ".expect.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() != 7) continue;
    rows.push_back({f[0] == "d", f[1] == "deleted", f[2] == "-" ? 0 : std::stoull(f[2]), f[3], f[4], f[5], f[6]});
  }
  return rows;
}

class ExFatQuickScanOnImages : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveFuse() && testsupport::HaveLoopDevices(),
                    "needs root, /dev/fuse and loop devices to fill the images");
    const std::string why = EnsureFixtures();
    REQUIRE_OR_SKIP(why.empty(), why);
    setenv("TZ", "UTC", 1);
  }
  fs::path Image() const { return FixtureDir() / (std::string(GetParam()) + ".img"); }
};

}  // namespace

TEST_P(ExFatQuickScanOnImages, ShowsEveryLiveAndDeletedEntryWithItsSizeAndTime) {
  devicetest::ImageGuard guard(Image());
  const std::vector<Row> rows = Expectations(Image());
  ASSERT_GT(rows.size(), 200u);
  quickprobe::QuickScan scan(Image());
  ASSERT_TRUE(scan.Run());
  EXPECT_EQ(scan.fileSystemType(), FILE_SYSTEM_TYPE_EXFAT);
  EXPECT_EQ(scan.searcherAnswer(), 0u);
  ASSERT_FALSE(scan.progress().empty());
  EXPECT_EQ(scan.progress().back().status, PROGRESS_STATUS_FINISHED);
  for (const Row& row : rows) {
    const quickprobe::Node* node = scan.Find(row.path);
    ASSERT_NE(node, nullptr) << row.path;
    EXPECT_EQ(node->folder, row.folder) << row.path;
    EXPECT_EQ(node->deleted, row.deleted) << row.path;
    if (row.folder) continue;
    EXPECT_EQ(node->size, row.size) << row.path;
    EXPECT_EQ(std::to_string(filetime::ToUnixSeconds(node->node->GetModificationTime())), row.mtime) << row.path;
  }
  // Nothing more, and nothing lost: every folder was found.
  EXPECT_EQ(scan.nodes().size(), rows.size());
  for (const quickprobe::Node& node : scan.nodes()) EXPECT_FALSE(node.lost) << node.path;
}

TEST_P(ExFatQuickScanOnImages, CopiesOutWhatTheVolumeStillHoldsByteForByte) {
  devicetest::ImageGuard guard(Image());
  quickprobe::QuickScan scan(Image());
  ASSERT_TRUE(scan.Run());
  testsupport::TempDir out;
  int copied = 0;
  int deleted = 0;
  for (const Row& row : Expectations(Image())) {
    // Deleted files whose clusters went to newer files (icat reads those)
    // cannot come back; all others must, fragmented ones included.
    if (row.folder || row.sha256 != row.peerSha256) continue;
    const quickprobe::Node* node = scan.Find(row.path);
    ASSERT_NE(node, nullptr) << row.path;
    const fs::path to = out / std::to_string(copied++);
    ASSERT_EQ(scan.CopyOut(*node, to), 0u) << row.path;
    EXPECT_EQ(testsupport::Sha256(to), row.sha256) << row.path;
    deleted += row.deleted ? 1 : 0;
  }
  EXPECT_GT(copied, 200);
  EXPECT_EQ(deleted, 4);
}

TEST_P(ExFatQuickScanOnImages, AFolderWhoseChainComesBackOnItselfIsReadOnce) {
  // The folder of 200 files, spread over the table with 512-byte clusters,
  // its last cluster linked back to its first.
  if (std::string(GetParam()) != "c512") GTEST_SKIP() << "the folder is chained through the table on c512";
  testsupport::TempDir dir;
  const fs::path image = dir / "loop.img";
  const std::string fls = ReadText(Image().string() + ".fls.txt");
  const size_t at = fls.find(":\tmany\n");
  ASSERT_NE(at, std::string::npos);
  const std::string entry = fls.substr(fls.rfind(' ', at) + 1, at - fls.rfind(' ', at) - 1);
  std::istringstream sectors(testsupport::RunCommandOrFail("istat -f exfat " + ShellQuote(Image().string()) + " " +
                                                           entry + " | sed -n '/^Sectors:/,$p' | tail -n +2"));
  std::vector<int64_t> list;
  for (int64_t s; sectors >> s;) {
    if (s != 0) list.push_back(s);
  }
  const std::string fsstat = ReadText(Image().string() + ".fsstat.txt");
  auto field = [&](const std::string& name) { return std::stoll(fsstat.substr(fsstat.find(name) + name.size())); };
  const int64_t heap = field("** Cluster Heap: ");
  const int64_t spc = field("Cluster Size: ") / 512;
  const int64_t fat = field("* FAT 1: ");
  ASSERT_GT(list.size(), size_t(spc));
  const uint32_t first = static_cast<uint32_t>((list.front() - heap) / spc + 2);
  const uint32_t last = static_cast<uint32_t>((list.back() - heap) / spc + 2);
  testsupport::RunCommandOrFail("cp " + ShellQuote(Image().string()) + " " + ShellQuote(image.string()));
  std::fstream patch(image, std::ios::in | std::ios::out | std::ios::binary);
  patch.seekp(fat * 512 + int64_t{last} * 4);
  patch.write(reinterpret_cast<const char*>(&first), 4);
  patch.close();

  quickprobe::QuickScan scan(image);
  ASSERT_TRUE(scan.Run());
  int files = 0;
  for (const quickprobe::Node& node : scan.nodes()) files += node.path.rfind("many/", 0) == 0 ? 1 : 0;
  EXPECT_EQ(files, 200);
}

INSTANTIATE_TEST_SUITE_P(Images, ExFatQuickScanOnImages, ::testing::Values("c4k", "c512"));
