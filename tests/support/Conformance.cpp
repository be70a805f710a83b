#include "support/Conformance.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>

#include "DataRunList.h"
#include "EngineTypes.h"
#include "FileNode.h"
#include "FileTime.h"
#include "QuickScanProbe.h"
#include "SearchedPartitionInfo.h"
#include "copyout/CDataRecovery.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

#ifdef CLIPMENDER_CONFORMANCE_APP
#include "app/KVRecoveryFilePath.h"
#endif

namespace conformance {

namespace fs = std::filesystem;
using quickprobe::Node;
using quickprobe::QuickScan;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

std::vector<Expected> ReadExpectations(const fs::path& file) {
  std::vector<Expected> out;
  std::ifstream in(file);
  EXPECT_TRUE(in.good()) << "no expectation file " << file;
  auto number = [](const std::string& f) -> int64_t { return f == "-" ? -1 : std::stoll(f); };
  auto hash = [](const std::string& f) { return f == "-" ? std::string() : f; };
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() != 7 || (f[0] != "d" && f[0] != "f") || (f[1] != "live" && f[1] != "deleted")) {
      ADD_FAILURE() << file << ": malformed line: " << line;
      continue;
    }
    const bool mustFail = f[4] == "fail";
    const bool timeUnknown = f[3] == "unknown";
    out.push_back({f[0] == "d", f[1] == "deleted", number(f[2]), timeUnknown ? -1 : number(f[3]), timeUnknown,
                   mustFail ? std::string() : hash(f[4]), mustFail ? std::string() : hash(f[5]), f[6], mustFail});
  }
  return out;
}

std::string RowName(const testing::TestParamInfo<Row>& info) { return info.param.name; }

fs::path FixtureDir(const char* env, const fs::path& builtIn) {
  const char* dir = std::getenv(env);
  return dir != nullptr && *dir != '\0' ? fs::path(dir) : builtIn;
}

std::string EnsureFixtures(const fs::path& script, const fs::path& outDir) {
  static std::mutex lock;
  static std::map<fs::path, std::string> done;
  std::lock_guard<std::mutex> hold(lock);
  auto it = done.find(script);
  if (it != done.end()) return it->second;
  const auto r =
      testsupport::RunCommand("bash " + ShellQuote(script.string()) + " " + ShellQuote(outDir.string()) + " 2>&1");
  std::string why;
  if (r.exitCode == 77) why = "cannot build the images here: " + r.output;
  if (r.exitCode != 0 && r.exitCode != 77) why = "the fixture script failed: " + r.output;
  return done[script] = why;
}

std::map<std::string, std::string> HashAll(const fs::path& dir) {
  std::map<std::string, std::string> out;
  std::istringstream in(
      RunCommandOrFail("cd " + ShellQuote(dir.string()) + " && find . -type f -print0 | xargs -0 -r sha256sum"));
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 66) out[line.substr(66)] = line.substr(0, 64);
  }
  return out;
}

namespace {

// The listing two scans must share. FAT's made-up folders are numbered
// DIR0, DIR1... by one count for the whole process, so a second scan names
// the same lost folder with the next number: the numbers are left out.
std::vector<std::string> Listing(const QuickScan& scan) {
  static const std::regex kMadeUpFolder("(^|/|\t)DIR[0-9]+(?=/|$)");
  std::vector<std::string> lines;
  for (const Node& node : scan.nodes())
    lines.push_back(std::regex_replace(quickprobe::Line(node), kMadeUpFolder, "$1DIR#"));
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The image as the row scans it: cut, or inside an MBR disk.
fs::path Derive(const Row& row, const testsupport::TempDir& scratch) {
  fs::path image = row.image;
  if (row.keep < 1.0) {
    const fs::path cut = scratch / "cut.img";
    const auto size = static_cast<uint64_t>(static_cast<double>(fs::file_size(image)) * row.keep) / 4096 * 4096;
    RunCommandOrFail("cp --sparse=always " + ShellQuote(image.string()) + " " + ShellQuote(cut.string()) +
                     " && truncate -s " + std::to_string(size) + " " + ShellQuote(cut.string()));
    image = cut;
  }
  if (row.mbr) {
    const fs::path disk = scratch / "disk.img";
    const uint64_t size = fs::file_size(image);
    RunCommandOrFail(
        "truncate -s " + std::to_string(size + (2u << 20)) + " " + ShellQuote(disk.string()) +
        " && dd if=" + ShellQuote(image.string()) + " of=" + ShellQuote(disk.string()) +
        " bs=1M seek=1 conv=notrunc,sparse status=none && echo 'start=2048, size=" + std::to_string(size / 512) +
        ", type=" + row.mbrType + "' | sfdisk -q " + ShellQuote(disk.string()) + " >/dev/null");
    image = disk;
  }
  return image;
}

bool Carved(const Row& row, const Node& node) {
  return !row.carved.empty() && quickprobe::TreeSearcherType(node.node) == SEARCHER_TYPE_RAW;
}

// Every carved file copies out through the carver's copy-out object, and
// every original the row names is among the copies.
void CheckCarved(const Row& row, QuickScan& scan, const testsupport::TempDir& scratch) {
  std::set<std::string> wanted;
  std::ifstream in(row.carved);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') wanted.insert(line.substr(0, line.find('\t')));
  }
  EXPECT_FALSE(wanted.empty()) << row.carved;
  const fs::path dir = scratch / "carved";
  fs::create_directories(dir);
  int n = 0;
  for (const Node& node : scan.nodes()) {
    if (!Carved(row, node) || node.folder) continue;
    const fs::path to = dir / std::to_string(n++);
    EXPECT_EQ(scan.CopyOut(node, to), 0u) << node.path;
  }
  std::set<std::string> copies;
  for (const auto& [file, hash] : HashAll(dir)) copies.insert(hash);
  for (const std::string& hash : wanted) EXPECT_EQ(copies.count(hash), 1u) << "not carved whole: " << hash;
}

// A carved file's runs hold its bytes and no more, in the units its tree's
// partition record counts, and lie on the device: a saved result judges
// them so when it is loaded.
void CheckCarvedRuns(QuickScan& scan) {
  IStorageDevice* device = scan.device();
  const uint64_t deviceBytes =
      device != nullptr ? static_cast<uint64_t>(device->GetTotalSectors()) * device->GetSectorSize() : 0;
  for (const Node& node : scan.nodes()) {
    if (node.folder || quickprobe::TreeSearcherType(node.node) != SEARCHER_TYPE_RAW) continue;
    auto* file = dynamic_cast<CFileNode*>(node.node);
    auto* records = dynamic_cast<CDataRecovery*>(scan.Recovery(node.node));
    ASSERT_TRUE(file != nullptr && records != nullptr && !records->GetSearchedPartition().empty()) << node.path;
    const CSearchedPartitionInfo* partition = records->GetSearchedPartition().front();
    const uint64_t unit = uint64_t{partition->GetSectorSize()} * partition->GetSectorsperCluster();
    ASSERT_NE(unit, 0u) << node.path;
    uint64_t held = 0;
    IDataRunList* runs = file->GetDataRunList();
    for (const DataRun* run = runs != nullptr ? runs->GetFirst() : nullptr; run != nullptr; run = runs->GetNext()) {
      ASSERT_GE(run->start, 0) << node.path;
      EXPECT_LE((static_cast<uint64_t>(run->start) + static_cast<uint64_t>(run->length)) * unit, deviceBytes)
          << node.path << ": a run past the device's end";
      held += static_cast<uint64_t>(run->length) * unit;
    }
    EXPECT_TRUE(held >= node.size && held < node.size + unit)
        << node.path << ": runs of " << held << " bytes for a file of " << node.size;
  }
}

void CheckListing(const Row& row, QuickScan& scan, const std::vector<Expected>& expected,
                  const testsupport::TempDir& scratch) {
  std::map<std::string, const Expected*> byPath;
  for (const Expected& e : expected) EXPECT_TRUE(byPath.emplace(e.path, &e).second) << "expected twice: " << e.path;
  if (!row.carved.empty() && row.keep >= 1.0) CheckCarved(row, scan, scratch);
  std::map<std::string, const Node*> shown;
  for (const Node& node : scan.nodes()) {
    if (node.id == -1 && node.path == quickprobe::kLostFolder) continue;
    if (Carved(row, node)) continue;
    EXPECT_TRUE(shown.emplace(node.path, &node).second) << "shown twice: " << node.path;
    auto it = byPath.find(node.path);
    if (it == byPath.end()) {
      ADD_FAILURE() << "not expected: " << quickprobe::Line(node);
      continue;
    }
    const Expected& e = *it->second;
    EXPECT_EQ(node.folder, e.folder) << quickprobe::Line(node);
    EXPECT_EQ(node.deleted, e.deleted) << quickprobe::Line(node);
    if (row.keep < 1.0) continue;  // sizes and times of a cut volume may go with it
    if (!e.folder && e.size >= 0) {
      EXPECT_EQ(node.size, static_cast<uint64_t>(e.size)) << node.path;
    }
    if (e.mtime >= 0) {
      EXPECT_EQ(filetime::ToUnixSeconds(node.node->GetModificationTime()), e.mtime) << node.path;
    }
    if (e.timeUnknown) {
      EXPECT_EQ(node.node->GetModificationTime(), 0u) << node.path << ": a time shown where none can be read";
    }
  }
  if (row.keep < 1.0) {
    // Whatever is still shown reads without a crash; its bytes may be cut.
    bool ok = false;
    for (const auto& [path, node] : shown) {
      if (!node->folder) scan.Read(*node, &ok, 4093);
    }
    return;
  }
  for (const Expected& e : expected) EXPECT_EQ(shown.count(e.path), 1u) << "not shown: " << e.path;

  // Copies through the copy-out object (c/N) and reads in pieces of an odd
  // size (r/N), hashed in one go.
  fs::create_directories(scratch / "c");
  fs::create_directories(scratch / "r");
  std::map<std::string, const Expected*> wanted;
  int n = 0;
  std::vector<std::string> identical;  // answered incomplete, yet their originals
#ifdef CLIPMENDER_CONFORMANCE_APP
  KVRecoveryFolderNumbers numbers;
#endif
  for (const Expected& e : expected) {
    if (e.folder || shown.count(e.path) == 0) continue;
    const Node& node = *shown[e.path];
    const std::string name = std::to_string(n++);
    if (e.mustFail) {
      // Copied for the user to judge, never counted as recovered.
      const ResultCode copied = scan.CopyOut(node, scratch / "c" / name);
      EXPECT_TRUE(result::IsFailure(copied) && result::Error(copied) == result::kErrIncomplete)
          << e.path << " is not the file, yet copies out as recovered";
      continue;
    }
    if (e.sha256.empty() && e.peerSha256.empty()) continue;
    const ResultCode copied = scan.CopyOut(node, scratch / "c" / name);
    if (row.mayFail && result::IsFailure(copied)) {
      // Said to be no sure copy: whatever it holds is not claimed.
      EXPECT_EQ(result::Error(copied), result::kErrIncomplete) << e.path;
      if (!e.sha256.empty() && testsupport::Sha256(scratch / "c" / name) == e.sha256) identical.push_back(e.path);
      continue;
    }
    wanted["./c/" + name] = wanted["./r/" + name] = &e;
    const bool cut = row.cutSizes && result::IsFailure(copied) && result::Error(copied) == result::kErrIncomplete;
    if (!cut) {
      EXPECT_EQ(copied, 0u) << e.path;
    }
    bool ok = false;
    const std::vector<uint8_t> bytes = scan.Read(node, &ok, 4093);
    EXPECT_TRUE(ok || node.size == 0) << e.path;
    testsupport::WriteFile(scratch / "r" / name, bytes.data(), bytes.size());
#ifdef CLIPMENDER_CONFORMANCE_APP
    // Through the application's path builder, below a folder of its own.
    char* path = CreateRecoveryFilePathByNode(node.node, (scratch / "app").c_str(), numbers);
    EXPECT_NE(path, nullptr) << e.path;
    if (path == nullptr) continue;
    const ResultCode again = scan.CopyOut(node, path);
    if (!cut) {
      EXPECT_EQ(again, 0u) << e.path;
    } else {
      EXPECT_EQ(result::Error(again), result::kErrIncomplete) << e.path;
    }
    wanted["./" + fs::relative(path, scratch.path()).string()] = &e;
    std::free(path);
#endif
  }
  if (row.identicalMayFail >= 0) {
    std::string which;
    for (const std::string& path : identical) which += "\n  " + path;
    EXPECT_LE(identical.size(), static_cast<size_t>(row.identicalMayFail))
        << "copies reported failed that are their originals byte for byte:" << which;
  }
  const std::map<std::string, std::string> hashes = HashAll(scratch.path());
  for (const auto& [file, e] : wanted) {
    auto it = hashes.find(file);
    const std::string got = it == hashes.end() ? "(none)" : it->second;
    EXPECT_EQ(got, e->sha256.empty() ? e->peerSha256 : e->sha256)
        << e->path
        << (file[2] == 'c'   ? " copied out"
            : file[2] == 'r' ? " read in pieces"
                             : " copied by the app's path")
        << (e->sha256.empty() ? " differs from the peer's copy" : " differs from the original");
  }
}

// Every expected file is read from a volume found where the row says.
void CheckVolumeStart(const Row& row, QuickScan& scan, const std::vector<Expected>& expected) {
  std::set<IDataRecovery*> asked;
  for (const Expected& e : expected) {
    const Node* node = scan.Find(e.path);
    if (e.folder || node == nullptr) continue;
    IDataRecovery* recovery = scan.Recovery(node->node);
    if (!asked.insert(recovery).second) continue;
    auto* records = dynamic_cast<CDataRecovery*>(recovery);
    ASSERT_NE(records, nullptr) << e.path;
    std::vector<int64_t> starts;
    for (const CSearchedPartitionInfo* p : records->GetSearchedPartition()) {
      if (p != nullptr) starts.push_back(p->GetStartSector() * static_cast<int64_t>(p->GetSectorSize()));
    }
    std::ostringstream found;
    for (int64_t start : starts) found << ' ' << start;
    EXPECT_NE(std::find(starts.begin(), starts.end(), row.volumeAt), starts.end())
        << e.path << ": no volume found at byte " << row.volumeAt << "; found at" << found.str();
  }
  EXPECT_FALSE(asked.empty()) << "no expected file was shown";
}

}  // namespace

void Check(const Row& row) {
  // The expected times come from peers run under TZ=UTC. FAT keeps local
  // times without a zone, which the scanner reads in the machine's zone, so
  // the scan must see the zone the peers saw.
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  if (row.prepare) {
    const std::string why = row.prepare();
    REQUIRE_OR_SKIP(why.empty(), why);
  }
  if (row.through == Through::kLoop) REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  if (row.mbr) REQUIRE_TOOL("sfdisk");
  devicetest::ImageGuard guard(row.image);
  testsupport::TempDir scratch;
  const fs::path image = Derive(row, scratch);

  std::unique_ptr<devicetest::LoopDevice> loop;
  QuickScan::Options options;
  options.sectorSize = row.sectorSize;
  options.complete = row.complete;
  fs::path device = image;
  if (row.through == Through::kLoop) {
    loop = std::make_unique<devicetest::LoopDevice>(image, row.sectorSize);
    ASSERT_TRUE(loop->attached());
    device = loop->path();
  }
  // The partition as a window on the disk, the way a partition of a disk
  // image is read.
  options.offset = row.mbr && !row.wholeDisk ? uint64_t{1} << 20 : row.offset;

  QuickScan scan(device, options);
  ASSERT_TRUE(scan.Run()) << device;
  const std::vector<Expected> expected = row.expect.empty() ? std::vector<Expected>() : ReadExpectations(row.expect);
  if (expected.empty()) {
    EXPECT_TRUE(scan.nodes().empty()) << scan.nodes().size() << " nodes, first " << quickprobe::Line(scan.nodes()[0]);
    if (row.failure) {
      const ResultCode answer = row.complete ? scan.controllerAnswer() : scan.searcherAnswer();
      EXPECT_TRUE(result::IsFailure(answer)) << std::hex << answer;
    }
  } else {
    // A complete scan has no quick searcher to answer: the controller does.
    const ResultCode answer = row.complete ? scan.controllerAnswer() : scan.searcherAnswer();
    if (row.failure) {
      EXPECT_TRUE(result::IsFailure(answer)) << std::hex << answer;
    } else {
      EXPECT_EQ(answer, row.keep < 1.0 ? answer : 0u);
    }
    CheckListing(row, scan, expected, scratch);
    if (row.volumeAt >= 0) CheckVolumeStart(row, scan, expected);
    if (row.complete) CheckCarvedRuns(scan);
  }
  QuickScan again(device, options);
  ASSERT_TRUE(again.Run());
  EXPECT_EQ(Listing(again), Listing(scan)) << "a second scan shows something else";
}

}  // namespace conformance
