// The exFAT volumes of tests/fixtures/exfat/make-exfat-images.sh through the
// conformance harness: 4 KiB and 512-byte clusters, 4096-byte sectors, loop
// devices, inside an MBR disk, cut short, a folder chained back on itself,
// volumes whose sectors are not the device's (read in their own), quick and
// complete, a root cluster zeroed or written over (a failure answer), and
// an allocation bitmap written over (deleted files guessed through it are
// said to be unsure). Every image holds a fragmented file deleted with its
// chain kept, which must copy out whole, and deleted files whose clusters
// live newcomers took, whose copies must be reported failed; and a file
// modified at an impossible hour, listed with no time.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include "QuickScanProbe.h"
#include "ResultCode.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

using conformance::Row;
using conformance::Through;

std::filesystem::path FixtureDir() {
  return conformance::FixtureDir("CLIPMENDER_EXFAT_FIXTURES", CLIPMENDER_EXFAT_FIXTURE_DIR);
}

std::vector<Row> Rows() {
  auto row = [](std::string name, const std::string& image, const std::string& expect, uint32_t sectorSize = 0) {
    Row r;
    r.name = std::move(name);
    r.image = FixtureDir() / (image + ".img");
    if (!expect.empty()) r.expect = FixtureDir() / (expect + ".img.expect.tsv");
    r.sectorSize = sectorSize;
    r.prepare = [] {
      return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-images.sh",
                                         FixtureDir());
    };
    return r;
  };
  std::vector<Row> rows{row("c4k", "c4k", "c4k"),
                        row("c512", "c512", "c512"),
                        row("s4096", "s4096", "s4096", 4096),
                        row("looped", "looped", "c512"),
                        row("c4k_as_4096", "c4k", "c4k", 4096),
                        row("s4096_as_512", "s4096", "s4096")};
  for (Row loop : {row("c4k_loop", "c4k", "c4k"), row("s4096_loop", "s4096", "s4096", 4096),
                   row("c4k_loop_as_4096", "c4k", "c4k", 4096), row("s4096_loop_as_512", "s4096", "s4096")}) {
    loop.through = Through::kLoop;
    rows.push_back(loop);
  }
  // A root cluster that holds no folder shows nothing and says so.
  for (const char* how : {"rootzero", "rootrandom"}) {
    Row root = row(how, how, "");
    root.failure = true;
    rows.push_back(root);
  }
  Row mbr = row("c4k_mbr", "c4k", "c4k");
  mbr.mbr = true;
  rows.push_back(mbr);
  Row cut = row("c512_cut", "c512", "c512");
  cut.keep = 0.4;
  rows.push_back(cut);
  for (Row complete : {row("c4k_complete", "c4k", "c4k"), row("c512_complete", "c512", "c512"),
                       row("s4096_complete", "s4096", "s4096", 4096)}) {
    complete.complete = true;
    rows.push_back(complete);
  }
  // The bitmap is all a freed chain's guess has to pass over live files:
  // written over, it vouches for no guess, and a guessed copy says so.
  for (Row damaged :
       {row("c4k_bitmaprandom", "bitmaprandom", "c4k"), row("c4k_bitmaprandom_complete", "bitmaprandom", "c4k")}) {
    damaged.mayFail = true;
    damaged.complete = damaged.name.ends_with("_complete");
    rows.push_back(damaged);
  }
  // A file modified at an impossible hour: listed, with no time.
  rows.push_back(row("badtime", "badtime", "badtime"));
  Row badtime = row("badtime_complete", "badtime", "badtime");
  badtime.complete = true;
  rows.push_back(badtime);
  return rows;
}

CONFORMANCE_ROWS(ExFat, Rows());

// exFAT cards filled as a camera fills one (make-exfat-camera-images.sh):
// no deleted shot comes back as recovered with another's bytes where
// another entry names its clusters, and at most three that are whole are
// reported failed.
std::vector<Row> CameraRows() {
  const std::filesystem::path dir =
      conformance::FixtureDir("CLIPMENDER_EXFAT_CAMERA_FIXTURES", CLIPMENDER_EXFAT_CAMERA_FIXTURE_DIR);
  std::vector<Row> rows;
  for (const char* card : {"x32k-camera", "x4k-camera"}) {
    Row r;
    r.name = std::string(card[1] == '3' ? "x32k" : "x4k") + "_camera_quick";
    r.image = dir / (std::string(card) + ".img");
    r.expect = dir / (std::string(card) + ".img.expect.tsv");
    r.prepare = [dir] {
      return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-camera-images.sh",
                                         dir);
    };
    r.mayFail = true;
    r.identicalMayFail = 3;
    rows.push_back(r);
  }
  return rows;
}

CONFORMANCE_ROWS(ExFatCamera, CameraRows());

std::vector<uint8_t> Bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// With the root written over, the complete scan finds the folders but not
// the bitmap: a deleted file in pieces can only be guessed. Every file whose
// bytes still lie on the volume and that copies out without an error is its
// original, loose/freed chain.bin (in pieces between live files) among them.
TEST(ExFatDamage, WithoutTheBitmapNoGuessedCopyPassesForTheFile) {
  const std::string why =
      conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-images.sh", FixtureDir());
  if (!why.empty()) GTEST_SKIP() << why;
  const std::filesystem::path originals = FixtureDir() / "originals" / "c4k";
  // Names are not unique (tail.txt): a copy must be one of its name's.
  std::map<std::string, std::vector<std::vector<uint8_t>>> byName;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(originals)) {
    if (entry.is_regular_file()) byName[entry.path().filename().string()].push_back(Bytes(entry.path()));
  }
  const std::vector<uint8_t> image = Bytes(FixtureDir() / "rootrandom.img");
  const std::string_view disk(reinterpret_cast<const char*>(image.data()), image.size());
  // Every 4 KiB piece (a cluster) of the original somewhere on the volume.
  auto lies = [&](const std::vector<uint8_t>& body) {
    for (size_t at = 0; at < body.size(); at += 4096) {
      const std::string_view piece(reinterpret_cast<const char*>(body.data()) + at,
                                   std::min<size_t>(4096, body.size() - at));
      if (disk.find(piece) == std::string_view::npos) return false;
    }
    return true;
  };
  quickprobe::QuickScan::Options options;
  options.complete = true;
  quickprobe::QuickScan scan(FixtureDir() / "rootrandom.img", options);
  ASSERT_TRUE(scan.Run());
  const std::filesystem::path out = std::filesystem::path(testing::TempDir()) / "exfat-rootrandom-copy";
  int copied = 0;
  int freed = 0;
  for (const quickprobe::Node& n : scan.nodes()) {
    const std::string name = std::filesystem::path(n.path).filename().string();
    auto original = byName.find(name);
    if (n.folder || original == byName.end()) continue;
    if (n.deleted && std::none_of(original->second.begin(), original->second.end(), lies)) continue;
    if (name == "freed chain.bin") ++freed;
    std::filesystem::remove(out);
    if (result::IsFailure(scan.CopyOut(n, out))) continue;
    const std::vector<uint8_t> copy = Bytes(out);
    EXPECT_NE(std::find(original->second.begin(), original->second.end(), copy), original->second.end()) << n.path;
    ++copied;
  }
  std::filesystem::remove(out);
  EXPECT_EQ(freed, 1);
  EXPECT_GT(copied, 200);
}

}  // namespace
