// Copies of fixture images with one file's size damaged, as a few changed
// bytes on a failing disk would, through the conformance harness: the scan
// and the copies end within moments, and no copy is larger than the file's
// runs (tests/engine/copyout/damage-size.py makes the damage).
// - HFS+: a catalog record's data-fork size set to 2^62; the file shows the
//   bytes its extents hold, which The Sleuth Kit's copy with slack gives.
// - NTFS: a base record's $DATA start VCN set to 2^40 (the size would have
//   come from a leading hole of petabytes); the file copies out whole.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "EngineTypes.h"
#include "FileNode.h"
#include "HFSPlusQuickScan.h"
#include "QuickScanProbe.h"
#include "support/Conformance.h"
#include "support/ScratchWorkDir.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using conformance::Row;
using testsupport::RunCommand;
using testsupport::ShellQuote;

fs::path Out() { return fs::path(CLIPMENDER_DAMAGED_DIR); }

std::string Run(const std::string& command) {
  const auto r = RunCommand(command + " 2>&1");
  return r.exitCode == 0 ? std::string() : command + ": " + r.output;
}

// The inode fls gives `path` in `listing`; -1 when it is not there.
int64_t Inode(const fs::path& listing, const std::string& path) {
  std::ifstream in(listing);
  const std::regex line("^\\S+ (\\d+)[^:]*:\\t(.*)$");
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (std::regex_match(text, m, line) && m[2] == path) return std::stoll(m[1]);
  }
  return -1;
}

std::string FsstatNumber(const fs::path& fsstat, const std::string& label) {
  std::ifstream in(fsstat);
  for (std::string text; std::getline(in, text);) {
    if (text.rfind(label, 0) == 0) return text.substr(label.size());
  }
  return "";
}

// Rows and tests of this program run at once in processes of their own, and
// a scan checks that its image does not change under it: each damaged copy is
// made once under a lock, and made again only when its original changed.
std::string MadeOnce(const std::string& name, const fs::path& original, const std::function<std::string()>& make) {
  fs::create_directories(Out());
  const int lock = ::open((Out() / (name + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) return "cannot lock " + name;
  std::error_code ec;
  const std::string stamp = std::to_string(fs::last_write_time(original, ec).time_since_epoch().count()) + " " +
                            std::to_string(fs::file_size(original, ec));
  const fs::path done = Out() / (name + ".made");
  std::string why;
  std::ifstream in(done);
  std::string was;
  std::getline(in, was);
  if (was != stamp) {
    fs::remove(done, ec);
    why = make();
    if (why.empty()) std::ofstream(done) << stamp << "\n";
  }
  ::close(lock);
  return why;
}

std::string MakeHfsDamage(const fs::path& dir) {
  std::string why;
  const fs::path original = dir / "lx-hfsplus.img";
  const std::string file = "random/r-100000.bin";
  const int64_t inode = Inode(original.string() + ".fls.txt", file);
  if (inode < 0) return file + " not in the listing";
  const fs::path image = Out() / "hfs-size.img";
  fs::create_directories(Out());
  why = Run("cp --sparse=always " + ShellQuote(original.string()) + " " + ShellQuote(image.string()) + " && python3 " +
            ShellQuote((testsupport::SourceDir() / "tests/engine/copyout/damage-size.py").string()) + " hfsplus " +
            ShellQuote(image.string()) + " " + std::to_string(inode) + " 100000 " + std::to_string(uint64_t{1} << 62));
  if (!why.empty()) return why;
  // The file as its extents hold it: the peer's copy with the slack.
  const std::string slack = ShellQuote((Out() / "hfs-size.slack").string());
  why = Run("icat -s " + ShellQuote(original.string()) + " " + std::to_string(inode) + " >" + slack);
  if (!why.empty()) return why;
  const std::string sha = testsupport::Sha256(Out() / "hfs-size.slack");
  const uint64_t held = fs::file_size(Out() / "hfs-size.slack");
  hfsquick::WriteExpectWithHiddenFiles(original.string() + ".expect.tsv", original.string() + ".fls.txt",
                                       Out() / "hfs-size.expect.tsv");
  std::ifstream in(Out() / "hfs-size.expect.tsv");
  std::ofstream out(image.string() + ".expect.tsv");
  for (std::string line; std::getline(in, line);) {
    if (line.size() > file.size() && line.compare(line.size() - file.size() - 1, std::string::npos, "\t" + file) == 0) {
      std::istringstream fields(line);
      std::string kind, state, size, mtime;
      std::getline(fields, kind, '\t');
      std::getline(fields, state, '\t');
      std::getline(fields, size, '\t');
      std::getline(fields, mtime, '\t');
      line = kind + "\t" + state + "\t" + std::to_string(held) + "\t" + mtime + "\t-\t" + sha + "\t" + file;
    }
    out << line << "\n";
  }
  return "";
}

std::string MakeNtfsDamage(const fs::path& dir) {
  std::string why;
  const fs::path original = dir / "default.img";
  const int64_t record = Inode(original.string() + ".fls.txt", "big/random-300k.bin");
  const std::string fsstat = original.string() + ".fsstat.txt";
  const std::string cluster = FsstatNumber(fsstat, "Cluster Size: ");
  const std::string mft = FsstatNumber(fsstat, "First Cluster of MFT: ");
  const std::string entry = FsstatNumber(fsstat, "Size of MFT Entries: ");
  if (record < 0 || cluster.empty() || mft.empty() || entry.empty()) return "no geometry for the NTFS image";
  const fs::path image = Out() / "ntfs-vcn.img";
  fs::create_directories(Out());
  why =
      Run("cp --sparse=always " + ShellQuote(original.string()) + " " + ShellQuote(image.string()) + " && python3 " +
          ShellQuote((testsupport::SourceDir() / "tests/engine/copyout/damage-size.py").string()) + " ntfs " +
          ShellQuote(image.string()) + " " + std::to_string(std::stoll(mft) * std::stoll(cluster)) + " " +
          std::to_string(std::stoll(entry)) + " " + std::to_string(record) + " " + std::to_string(uint64_t{1} << 40) +
          " && cp " + ShellQuote(original.string() + ".expect.tsv") + " " + ShellQuote(image.string() + ".expect.tsv"));
  return why;
}

std::string MakeHfs() {
  std::string why;
  const fs::path dir = hfsquick::RowFixtures(&why);
  return why.empty() ? MadeOnce("hfs-size", dir / "lx-hfsplus.img", [&] { return MakeHfsDamage(dir); }) : why;
}

std::string MakeNtfs() {
  const fs::path dir = conformance::FixtureDir("CLIPMENDER_NTFS_FIXTURES", CLIPMENDER_NTFS_FIXTURE_DIR);
  if (!testsupport::HaveFuse()) return "needs root and /dev/fuse to fill the NTFS images";
  const std::string why =
      conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/ntfs/make-ntfs-images.sh", dir);
  return why.empty() ? MadeOnce("ntfs-vcn", dir / "default.img", [&] { return MakeNtfsDamage(dir); }) : why;
}

std::vector<Row> Rows() {
  Row hfs;
  hfs.name = "hfsplus_catalog_size";
  hfs.image = Out() / "hfs-size.img";
  hfs.expect = Out() / "hfs-size.img.expect.tsv";
  hfs.prepare = MakeHfs;
  hfs.cutSizes = true;
  Row ntfs;
  ntfs.name = "ntfs_start_vcn";
  ntfs.image = Out() / "ntfs-vcn.img";
  ntfs.expect = Out() / "ntfs-vcn.img.expect.tsv";
  ntfs.prepare = MakeNtfs;
  ntfs.cutSizes = true;
  return {hfs, ntfs};
}

CONFORMANCE_ROWS(DamagedSize, Rows());

// What a node tells the recovery's free-space check and the user: the bytes
// its content takes on the medium (a sparse file's holes left out, as the
// peer's cluster list gives them) and whether its size was damaged.
TEST(StoredBytes, HolesDoNotCountAndADamagedSizeSaysSo) {
  const std::string whyHfs = MakeHfs();
  REQUIRE_OR_SKIP(whyHfs.empty(), whyHfs);
  quickprobe::QuickScan hfs(Out() / "hfs-size.img");
  ASSERT_TRUE(hfs.Run());
  const quickprobe::Node* damaged = hfs.Find("random/r-100000.bin");
  ASSERT_NE(damaged, nullptr);
  auto* node = dynamic_cast<CFileNode*>(damaged->node);
  ASSERT_NE(node, nullptr);
  EXPECT_TRUE(node->IsSizeDamaged());
  EXPECT_EQ(node->GetStoredSize(), fs::file_size(Out() / "hfs-size.slack"));
  const quickprobe::Node* intact = hfs.Find("random/r-10000.bin");
  ASSERT_NE(intact, nullptr);
  EXPECT_FALSE(dynamic_cast<CFileNode*>(intact->node)->IsSizeDamaged());

  const fs::path dir = conformance::FixtureDir("CLIPMENDER_NTFS_FIXTURES", CLIPMENDER_NTFS_FIXTURE_DIR);
  REQUIRE_OR_SKIP(testsupport::HaveFuse(), "needs root and /dev/fuse to fill the NTFS images");
  const std::string why =
      conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/ntfs/make-ntfs-images.sh", dir);
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path image = dir / "default.img";
  const int64_t inode = Inode(image.string() + ".fls.txt", "sparse/sparse.bin");
  ASSERT_GE(inode, 0);
  // istat lists the unnamed stream's clusters after its attribute line, 0
  // for a hole.
  const auto listed =
      RunCommand("istat " + ShellQuote(image.string()) + " " + std::to_string(inode) +
                 R"( | sed -n '/^Type: \$DATA (128-/,$p' | tail -n +2 | tr ' ' '\n' | grep -c '^[1-9]')");
  const uint64_t clusters = std::stoull(listed.output);
  quickprobe::QuickScan ntfs(image);
  ASSERT_TRUE(ntfs.Run());
  const quickprobe::Node* sparse = ntfs.Find("sparse/sparse.bin");
  ASSERT_NE(sparse, nullptr);
  auto* sparseNode = dynamic_cast<CFileNode*>(sparse->node);
  ASSERT_NE(sparseNode, nullptr);
  EXPECT_EQ(sparseNode->GetFileSize(), 8u << 20);
  EXPECT_EQ(sparseNode->GetStoredSize(), clusters * 4096) << "from istat: " << clusters << " clusters";
  EXPECT_FALSE(sparseNode->IsSizeDamaged());
}

// Copies of the journaled HFS+ sample with 1, 5 and 20 % of the 4 KiB blocks
// after its header overwritten with random bytes (fixed seeds): scanning and
// copying out every file shown ends, and the log stays small (each copy
// writes the first few failures of a kind and then a count).
TEST(HeavilyDamagedHFSPlus, AScanAndCopyOutKeepTheLogSmall) {
  std::string why;
  const fs::path dir = hfsquick::RowFixtures(&why);
  REQUIRE_OR_SKIP(why.empty(), why);
  testsupport::TempDir scratch;
  const fs::path log = testsupport::ScratchWorkDir() / "tolveraware.log";
  int copies = 0;
  for (const int percent : {1, 5, 20}) {
    const fs::path image = scratch / ("damaged-" + std::to_string(percent) + ".img");
    fs::copy_file(dir / "lx-hfsplus-j.img", image);
    testsupport::RunCommandOrFail("python3 -c " + ShellQuote(R"(
import random, sys
path, percent = sys.argv[1], int(sys.argv[2])
rng = random.Random(percent)
with open(path, 'r+b') as f:
    f.seek(0, 2)
    blocks = f.tell() // 4096
    for block in range(1, blocks - 1):
        if rng.random() * 100 < percent:
            f.seek(block * 4096)
            f.write(bytes(rng.getrandbits(8) for _ in range(4096)))
)") + " " + ShellQuote(image.string()) +
                                  " " + std::to_string(percent));
    quickprobe::QuickScan::Options options;
    options.fileSystemType = FILE_SYSTEM_TYPE_HFSPLUS;
    quickprobe::QuickScan scan(image, options);
    ASSERT_TRUE(scan.Run());
    for (const quickprobe::Node& node : scan.nodes()) {
      if (node.folder) continue;
      scan.CopyOut(node, scratch / "copy");
      ++copies;
    }
  }
  EXPECT_GT(copies, 100);
  const uintmax_t logBytes = fs::exists(log) ? fs::file_size(log) : 0;
  std::printf("%d copies, log of %ju bytes\n", copies, logBytes);
  EXPECT_LT(logBytes, 1u << 20);
}

}  // namespace
