// A disk that answers I/O errors for a few sectors, as a failing card or disk
// answers: the NTFS fixture's volume served through a FUSE file that fails
// every read meeting a chosen cluster of one file (tests/support/
// failing_file_fuse.py), attached read-only as a loop device, whose page
// cache gathers the sectors around a read into large folios as it does for
// any disk. Scanned, saved, loaded and copied out by rsf_roundtrip: every
// file whose own clusters (The Sleuth Kit's istat) miss the bad one copies
// out with the original's bytes after the quick scan, after the load and
// after a deep scan; the file on it answers failed, its copy holding every
// other cluster's bytes. The same image read straight through a FUSE file
// that refuses O_DIRECT gives every sector but the bad ones too.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "RoundTripOutput.h"
#include "UnreadableSectors.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using roundtrip::FileLines;
using roundtrip::Names;
using testsupport::ShellQuote;

constexpr const char* kPython = "/usr/bin/python3";

// The FUSE server of `image` as MOUNT/disk.img, failing reads that meet any
// of `bad` (byte offset, length), for the object's lifetime; unmounted and
// waited for even when the test fails.
class FailingFile {
 public:
  FailingFile(const fs::path& image, const fs::path& mount, const std::vector<std::pair<uint64_t, uint64_t>>& bad,
              bool refuseDirect, const fs::path& badList = {})
      : mount_(mount) {
    fs::create_directories(mount);
    std::vector<std::string> args = {kPython,
                                     (testsupport::SourceDir() / "tests/support/failing_file_fuse.py").string()};
    if (refuseDirect) args.push_back("--refuse-direct");
    args.push_back(image.string());
    args.push_back(mount.string());
    for (const auto& [at, length] : bad) args.push_back(std::to_string(at) + ":" + std::to_string(length));
    if (!badList.empty()) args.push_back("@" + badList.string());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, kPython, nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    for (int i = 0; i < 200 && pid_ > 0 && !Mounted(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~FailingFile() {
    // A loop device lets go of the file a moment after it is detached: a
    // busy mount is asked again, and at last detached lazily, so that the
    // server always ends and no mount outlives the test.
    const std::string at = ShellQuote(mount_.string());
    for (int i = 0; i < 50 && Mounted(); ++i) {
      if (testsupport::RunCommand("umount " + at + " 2>/dev/null").exitCode == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (Mounted()) testsupport::RunCommand("umount -l " + at);
    if (pid_ <= 0) return;
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    // A server killed while mounted leaves a mount that answers nothing.
    if (Mounted()) testsupport::RunCommand("umount -l " + at);
  }
  FailingFile(const FailingFile&) = delete;
  FailingFile& operator=(const FailingFile&) = delete;

  bool Mounted() const { return testsupport::RunCommand("mountpoint -q " + ShellQuote(mount_.string())).exitCode == 0; }
  fs::path File() const { return mount_ / "disk.img"; }

 private:
  fs::path mount_;
  pid_t pid_ = -1;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The fixture's default NTFS volume and where its files lie.
struct Volume {
  fs::path dir;
  std::map<std::string, std::vector<uint64_t>> clusters;  // by path, from istat
  uint64_t clusterBytes = 0;
  std::vector<conformance::Expected> expected;
};

// The volume, with `why` empty; otherwise what is missing to serve it
// failing (FUSE, python3-fusepy, the fixture).
Volume DefaultVolume(std::string& why) {
  Volume v;
  if (!testsupport::HaveFuse()) {
    why = "needs root and FUSE";
    return v;
  }
  if (testsupport::RunCommand(std::string(kPython) + " -c 'import fusepy'").exitCode != 0) {
    why = "python3-fusepy is not installed";
    return v;
  }
  v.dir = conformance::FixtureDir("CLIPMENDER_NTFS_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "ntfs");
  why = conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/ntfs/make-ntfs-images.sh", v.dir);
  if (!why.empty()) return v;
  v.clusters = roundtrip::StoredClusters(v.dir, "default", true);
  v.clusterBytes = roundtrip::ClusterBytes(v.dir, "default");
  v.expected = conformance::ReadExpectations(v.dir / "default.img.expect.tsv");
  return v;
}

// What a run said of the file at `path`: "ok", "failed", or "" when nothing.
std::string Answer(const std::vector<std::string>& lines, const std::string& path) {
  for (const std::string& line : lines) {
    if (Names(line, "ok", path)) return "ok";
    if (Names(line, "failed", path)) return "failed";
  }
  return "";
}

// The copy of `path` among `copies` (HashAll's map), by its tail.
const std::string* CopyOf(const std::map<std::string, std::string>& copies, const std::string& path) {
  for (const auto& [copy, sha] : copies) {
    if (copy.size() > path.size() && copy.compare(copy.size() - path.size() - 1, path.size() + 1, "/" + path) == 0) {
      return &sha;
    }
  }
  return nullptr;
}

// Where the medium fails, and what that costs.
struct Damage {
  std::string what;
  std::vector<std::pair<uint64_t, uint64_t>> bad;  // bytes
  // The medium goes bad once the quick scan is saved: the load and the deep
  // scan meet it.
  bool afterScan = false;
  std::set<std::string> failed;      // answer failed after the quick scan and the load
  std::set<std::string> lostInDeep;  // not "ok" after the deep scan
  std::string keptWhole;             // its copy holds every cluster off the bad ranges
};

// Scanned, saved, loaded and copied out, and deep-scanned, with `damage`:
// every other file comes back whole.
void ScanLoadAndDeepScan(const Volume& volume, const Damage& damage) {
  SCOPED_TRACE(damage.what);
  testsupport::TempDir work;
  const fs::path image = work.path() / "default.img";
  testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote((volume.dir / "default.img").string()) + " " +
                                ShellQuote(image.string()));
  devicetest::ImageGuard guard(image);
  // The bad ranges, listed in a file the server reads again when it changes.
  const fs::path ranges = work.path() / "bad.txt";
  const auto fail = [&] {
    std::ofstream out(ranges);
    for (const auto& [at, length] : damage.bad) out << at << ":" << length << "\n";
  };
  if (!damage.afterScan) fail();
  FailingFile failing(image, work.path() / "mnt", {}, false, ranges);
  ASSERT_TRUE(failing.Mounted()) << "the FUSE server did not mount";
  devicetest::LoopDevice loop(failing.File(), 0, false, true);
  ASSERT_TRUE(loop.attached());
  const std::string tool = ShellQuote(CLIPMENDER_RSF_ROUNDTRIP);
  const fs::path rsf = work.path() / "r.rsf";
  const auto quick =
      testsupport::RunCommand(tool + " scan --recover-to " + ShellQuote((work.path() / "quick").string()) + " " +
                              loop.path() + " " + ShellQuote(rsf.string()));
  if (damage.afterScan) {
    fail();
    // What the page cache keeps of the healthy medium is gone with it.
    testsupport::RunCommand("blockdev --flushbufs " + loop.path());
  }
  const auto loaded = testsupport::RunCommand(tool + " recover " + ShellQuote(rsf.string()) + " " +
                                              ShellQuote((work.path() / "loaded").string()));
  const auto deep =
      testsupport::RunCommand(tool + " scan --deep --recover-to " + ShellQuote((work.path() / "deep").string()) + " " +
                              loop.path() + " " + ShellQuote((work.path() / "d.rsf").string()));
  const struct {
    const char* what;
    const testsupport::CommandResult& run;
    fs::path copies;
    bool deep;
  } runs[] = {{"after the quick scan", quick, work.path() / "quick", false},
              {"once loaded", loaded, work.path() / "loaded", false},
              {"after the deep scan", deep, work.path() / "deep", true}};

  // The copy of a file on a bad range: every cluster the medium still gives,
  // zeros for the bad ones.
  const std::string original = ReadFile(image);
  std::string wanted;
  if (!damage.keptWhole.empty()) {
    for (const uint64_t cluster : volume.clusters.at(damage.keptWhole)) {
      const uint64_t at = cluster * volume.clusterBytes;
      const bool bad = std::any_of(damage.bad.begin(), damage.bad.end(), [&](const auto& range) {
        return range.first < at + volume.clusterBytes && at < range.first + range.second;
      });
      wanted += bad ? std::string(volume.clusterBytes, '\0') : original.substr(at, volume.clusterBytes);
    }
    for (const auto& e : volume.expected) {
      if (e.path == damage.keptWhole) wanted.resize(static_cast<size_t>(e.size));
    }
  }

  for (const auto& r : runs) {
    SCOPED_TRACE(r.what);
    const std::vector<std::string> lines = FileLines(r.run.output);
    ASSERT_FALSE(lines.empty()) << r.run.output;
    const auto copies = conformance::HashAll(r.copies);
    int whole = 0;
    for (const auto& e : volume.expected) {
      if (e.folder || e.sha256.empty() || e.mustFail || (r.deep && e.deleted)) continue;
      const std::string answer = Answer(lines, e.path);
      const bool medium = !damage.afterScan || r.copies != work.path() / "quick";
      if (medium && (r.deep ? damage.lostInDeep : damage.failed).count(e.path) != 0) {
        if (r.deep) {
          EXPECT_NE(answer, "ok") << e.path << " lies on a bad range";
        } else {
          EXPECT_EQ(answer, "failed") << e.path << " lies on a bad range";
        }
        continue;
      }
      EXPECT_EQ(answer, "ok") << e.path << " lies off the bad ranges";
      const std::string* sha = CopyOf(copies, e.path);
      EXPECT_TRUE(sha != nullptr && *sha == e.sha256) << e.path << " copied out with other bytes";
      ++whole;
    }
    EXPECT_GT(whole, 200);
    if (damage.keptWhole.empty()) continue;
    // What could be read of the bad file was kept.
    for (const auto& entry : fs::recursive_directory_iterator(r.copies)) {
      const std::string path = entry.path().string();
      const std::string& kept = damage.keptWhole;
      if (path.size() > kept.size() && path.compare(path.size() - kept.size(), kept.size(), kept) == 0) {
        EXPECT_TRUE(ReadFile(entry.path()) == wanted) << path << " lost more than its bad clusters";
      }
    }
  }
}

TEST(FailingDisk, EveryFileOffTheBadRangesComesBackAfterAScanALoadAndADeepScan) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  std::string why;
  const Volume volume = DefaultVolume(why);
  REQUIRE_OR_SKIP(why.empty(), why);
  ASSERT_GT(volume.clusterBytes, 0u);
  const auto clustersOf = [&](const std::string& path) {
    const auto it = volume.clusters.find(path);
    return it != volume.clusters.end() ? it->second : std::vector<uint64_t>();
  };

  // A cluster in the middle of a file of many, and no other file's.
  Damage cluster;
  cluster.what = "a cluster of one file";
  cluster.keptWhole = "big/random-300k.bin";
  const std::vector<uint64_t> victim = clustersOf(cluster.keptWhole);
  ASSERT_GT(victim.size(), 8u);
  const uint64_t bad = victim[victim.size() / 2];
  cluster.bad = {{bad * volume.clusterBytes, volume.clusterBytes}};
  for (const auto& [path, stored] : volume.clusters) {
    if (std::find(stored.begin(), stored.end(), bad) != stored.end()) cluster.failed.insert(path);
  }
  ASSERT_EQ(cluster.failed, std::set<std::string>{cluster.keptWhole});
  cluster.lostInDeep = cluster.failed;

  // The first sector of $Bitmap (istat 6), whose bits stand for the first
  // 4096 clusters: a deleted file with a cluster there may have lost it to
  // another file, and is not vouched for; a live one is, by its record.
  Damage bitmap;
  bitmap.what = "the first sector of $Bitmap";
  const std::vector<uint64_t> bitmapClusters = roundtrip::DataClusters(volume.dir / "default.istat" / "6");
  ASSERT_FALSE(bitmapClusters.empty());
  bitmap.bad = {{bitmapClusters.front() * volume.clusterBytes, 512}};
  for (const auto& e : volume.expected) {
    const std::vector<uint64_t> own = clustersOf(e.path);
    if (e.deleted && std::any_of(own.begin(), own.end(), [](uint64_t c) { return c < 512 * 8; })) {
      bitmap.failed.insert(e.path);
    }
  }
  ASSERT_GE(bitmap.failed.size(), 3u);

  // The first sector of the record of a live file in clusters of its own
  // (its number from fls, the table's clusters from istat 0), once the scan
  // is saved: the loaded result's file lost the record that vouches for its
  // clusters, which still read.
  Damage record;
  record.what = "a live file's record, after the scan";
  record.afterScan = true;
  std::string owner;
  uint64_t number = 0;
  std::ifstream fls(volume.dir / "default.img.fls.txt");
  for (std::string line; owner.empty() && std::getline(fls, line);) {
    const size_t dash = line.find('-', 4), tab = line.find('\t');
    if (line.rfind("r/r ", 0) != 0 || line.rfind("r/r *", 0) == 0 || dash == std::string::npos ||
        tab == std::string::npos) {
      continue;
    }
    const std::string path = line.substr(tab + 1);
    if (path != cluster.keptWhole && clustersOf(path).size() > 1) {
      owner = path;
      number = std::stoull(line.substr(4, dash - 4));
    }
  }
  ASSERT_FALSE(owner.empty()) << "no live file in clusters of its own";
  const std::vector<uint64_t> table = roundtrip::DataClusters(volume.dir / "default.istat" / "0");
  ASSERT_GT(table.size(), number * 1024 / volume.clusterBytes);
  record.bad = {
      {table[number * 1024 / volume.clusterBytes] * volume.clusterBytes + number * 1024 % volume.clusterBytes, 512}};
  record.failed = record.lostInDeep = {owner};

  for (const Damage& damage : {cluster, bitmap, record}) ScanLoadAndDeepScan(volume, damage);
}

// An image on a file system that refuses O_DIRECT, read as an image file:
// the retries go through the page cache with read-ahead off, and still lose
// only the bad sectors.
TEST(FailingDisk, AnImageWhereODirectIsRefusedStillLosesOnlyItsBadSectors) {
  std::string why;
  const Volume volume = DefaultVolume(why);
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path image = volume.dir / "default.img";
  devicetest::ImageGuard guard(image);
  testsupport::TempDir work;
  // A sector in the middle of a 64 KiB stretch, and a whole 4 KiB.
  const uint64_t sector = 9000, cluster = 5000;
  FailingFile failing(image, work.path() / "mnt", {{sector * 512, 512}, {cluster * 4096, 4096}}, true);
  ASSERT_TRUE(failing.Mounted());
  std::unique_ptr<IStorageDevice, devicetest::DeviceReleaser> device(CreateDiskDevice(failing.File().c_str()));
  ASSERT_EQ(device->Open(), 1);
  const std::string original = ReadFile(image);
  const int64_t total = device->GetTotalSectors();
  ASSERT_EQ(total * 512, static_cast<int64_t>(original.size()));
  std::string got(original.size(), '\x55');
  int failed = 0;
  for (int64_t first = 0; first < total; first += 8192) {
    if (device->ReadSector(got.data() + first * 512, first, std::min<int64_t>(8192, total - first)) == 0) {
      EXPECT_TRUE(unreadable::IsSalvaged(device->GetLastError())) << first;
      ++failed;
    }
  }
  EXPECT_EQ(failed, 2);
  std::string wanted = original;
  std::fill_n(wanted.begin() + static_cast<std::ptrdiff_t>(sector * 512), 512, '\0');
  std::fill_n(wanted.begin() + static_cast<std::ptrdiff_t>(cluster * 4096), 4096, '\0');
  EXPECT_TRUE(got == wanted) << "only the bad sectors are zeros";
  EXPECT_EQ(unreadable::Find(device.get(), 0, total), (SectorRuns{{9000, 1}, {40000, 8}}));
  auto* raw = dynamic_cast<CRawDevice*>(device.get());
  ASSERT_NE(raw, nullptr);
  auto* medium = dynamic_cast<CDescriptorMedium*>(raw->Reader()->Medium());
  ASSERT_NE(medium, nullptr);
  EXPECT_FALSE(medium->IsDirect()) << "the server refused O_DIRECT";
  device.reset();
}

}  // namespace
