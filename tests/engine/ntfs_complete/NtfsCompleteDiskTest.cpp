// Complete scans of whole disks made by sfdisk, sgdisk, mkntfs and ntfs-3g,
// some of them damaged with dd and sgdisk: the partitions the NTFS searcher
// reports must be those mmls and fsstat read on the intact copy, and through
// the conformance harness, every partition's files must be those fls and
// tsk_recover read on the intact copy, and copy out like the originals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "NtfsCompleteSupport.h"
#include "QuickScanProbe.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/ntfs_logfile/LogFileScenario.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using ntfscomplete::Geometry;

fs::path FixtureDir() {
  if (const char* dir = std::getenv("CLIPMENDER_NTFS_DISK_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_NTFS_DISK_FIXTURE_DIR;
}

std::string EnsureFixtures() {
  static const std::string state = [] {
    const fs::path script = testsupport::SourceDir() / "tests/fixtures/ntfs-disk/make-ntfs-disk-images.sh";
    const auto r = testsupport::RunCommand("bash " + testsupport::ShellQuote(script.string()) + " " +
                                           testsupport::ShellQuote(FixtureDir().string()) + " 2>&1");
    if (r.exitCode == 0) return std::string();
    return (r.exitCode == 77 ? "cannot build the disk images here: " : "the disk image script failed: ") + r.output;
  }();
  return state;
}

#define REQUIRE_DISK_FIXTURES()                                                          \
  do {                                                                                   \
    REQUIRE_OR_SKIP(testsupport::HaveFuse(), "needs root and /dev/fuse to fill images"); \
    const std::string why = EnsureFixtures();                                            \
    REQUIRE_OR_SKIP(why.empty(), why);                                                   \
  } while (0)

TEST(NtfsCompleteDisk, PartitionsAreThoseThePeersReadOnTheIntactDisk) {
  REQUIRE_DISK_FIXTURES();
  for (const char* name : {"mbr.img", "gpt3.img", "gpt3-lost.img", "gpt3-bothlost.img", "gpt3-notable.img", "mixed.img",
                           "mixed-lost.img"}) {
    SCOPED_TRACE(name);
    const fs::path image = FixtureDir() / name;
    const std::vector<Geometry> expected = ntfscomplete::ReadPartitions(image.string() + ".partitions.tsv");
    ASSERT_FALSE(expected.empty());
    devicetest::ImageGuard guard(image);
    devicetest::DevicePtr disk = devicetest::OpenDisk(image.string());
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(ntfscomplete::ScanDisk(disk.get()), expected);
  }
}

// A volume whose log the generator wrote (two restart pages, records that
// hold deleted files' earlier records), at sector 2048 of a disk, with both
// its boot sectors zeroed.
TEST(NtfsCompleteDisk, LostVolumesLogPlacesItAndGivesItsDeletedFilesBack) {
  const std::string why = ntfslogfile::EnsureFixtures();
  REQUIRE_OR_SKIP(why.empty(), why);
  testsupport::TempDir dir;
  const fs::path scenario = ntfslogfile::FixtureDir() / "c4096";
  ntfslogfile::ScenarioManifest m;
  ASSERT_TRUE(m.Load(scenario / "manifest.txt"));
  const std::vector<uint8_t> volume = testsupport::ReadFile(scenario / "volume.img");
  const int64_t start = 2048, sectors = static_cast<int64_t>(volume.size() / 512);
  std::vector<uint8_t> bytes(volume.size() + 4096 * 512);
  std::copy(volume.begin(), volume.end(), bytes.begin() + start * 512);
  for (const int64_t sector : {start, start + sectors - 1}) std::fill_n(bytes.begin() + sector * 512, 512, 0);
  const fs::path image = dir / "disk.img";
  testsupport::WriteFile(image, bytes.data(), bytes.size());
  devicetest::ImageGuard guard(image);

  {
    devicetest::DevicePtr disk = devicetest::OpenDisk(image.string());
    ASSERT_NE(disk, nullptr);
    const std::vector<ntfscomplete::Evidence> found = ntfscomplete::SearchEvidence(disk.get(), 8192);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].geometry.start, start);
    EXPECT_EQ(found[0].flags & (ntfs_evidence::kFirstRestartPage | ntfs_evidence::kSecondRestartPage),
              ntfs_evidence::kFirstRestartPage | ntfs_evidence::kSecondRestartPage);
  }

  // The files whose runs only the log still holds copy out like the
  // originals: the log is read inside the partition.
  quickprobe::QuickScan::Options options;
  options.complete = true;
  quickprobe::QuickScan scan(image, options);
  ASSERT_TRUE(scan.Run());
  size_t checked = 0;
  for (size_t i = 0; i < m.Count("files"); ++i) {
    const std::string key = "files." + std::to_string(i) + ".";
    if (m.Number(key + "expect_recovered") == 0 && m.Number(key + "deleted") != 0) continue;
    const std::string path = m.Text(key + "path");
    const quickprobe::Node* node = scan.Find(path);
    ASSERT_NE(node, nullptr) << path;
    EXPECT_EQ(node->deleted, m.Number(key + "deleted") != 0) << path;
    const fs::path out = dir / ("file" + std::to_string(i));
    ASSERT_EQ(scan.CopyOut(*node, out), 0u) << path;
    EXPECT_EQ(testsupport::Sha256(out), m.Text(key + "sha256")) << path;
    ++checked;
  }
  EXPECT_GE(checked, 3u);
}

std::vector<conformance::Row> Rows() {
  auto row = [](std::string name, const std::string& image, const std::string& expect) {
    conformance::Row r;
    r.name = std::move(name);
    r.image = FixtureDir() / (image + ".img");
    r.expect = FixtureDir() / (expect + ".expect.tsv");
    r.complete = true;
    r.prepare = [] { return testsupport::HaveFuse() ? EnsureFixtures() : "needs root and /dev/fuse to fill images"; };
    return r;
  };
  std::vector<conformance::Row> rows;
  for (const char* image : {"mbr", "gpt3", "gpt3-lost", "gpt3-bothlost", "gpt3-notable"}) {
    std::string name = image;
    std::replace(name.begin(), name.end(), '-', '_');
    rows.push_back(row(name, image, std::string(image) + ".img"));
  }
  conformance::Row loop = row("gpt3_lost_loop", "gpt3-lost", "gpt3-lost.img");
  loop.through = conformance::Through::kLoop;
  rows.push_back(loop);
  // The intact disk shows its FAT32 volume beside the NTFS one; from the
  // wiped disk the NTFS volume must come back whole.
  rows.push_back(row("mixed", "mixed", "mixed.img.both"));
  rows.push_back(row("mixed_lost", "mixed-lost", "mixed-lost.img.2048"));
  return rows;
}

CONFORMANCE_ROWS(NtfsCompleteRows, Rows());

}  // namespace
