// The quick scan end to end on the images of make-ntfs-images.sh, run as the
// application runs it (tests/tools/QuickScanProbe.h): every file and folder
// The Sleuth Kit lists (fls -r -p) comes back with its path and deleted
// state, files copy out byte for byte like the originals, at least every
// deleted file that tsk_recover and ntfsundelete bring back comes back too,
// a zeroed $MFT record 0 is replaced by its mirror, devices the scan cannot
// walk end with an error, and no image changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DataRunList.h"
#include "FileNode.h"
#include "NtfsFixtures.h"
#include "NtfsImageCheck.h"
#include "NtfsPeers.h"
#include "QuickScanProbe.h"
#include "VolumeAnalyze.h"
#include "device/DiskDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "ntfs/NTFSQuickSearch.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using ntfsfixtures::FixtureDir;
using quickprobe::Node;
using quickprobe::QuickScan;

const char* const kVariants[] = {"default", "c512", "c65536", "s4096"};

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

CNTFSQuickSearch* Searcher(const QuickScan& scan) { return dynamic_cast<CNTFSQuickSearch*>(scan.searcher()); }

// The unnamed $DATA size istat gives for a record; -1 when unknown.
int64_t IstatDataSize(const fs::path& prefix, uint64_t record) {
  const fs::path path = prefix.string() + ".istat/" + std::to_string(record);
  if (!fs::exists(path)) return -1;
  const ntfspeers::Istat istat = ntfspeers::ParseIstat(ntfspeers::ReadText(path));
  for (const ntfspeers::IstatAttribute& a : istat.attributes) {
    if (a.type == 0x80 && a.name == "N/A") return a.size;
  }
  return 0;
}

// Where the scan shows what fls lists at `path`: metafiles are not shown,
// fls's orphans are under the lost-file folder, and nameless ones are named
// after their record. Empty when the scan does not show it.
std::string ExpectedPath(const ntfspeers::FlsEntry& entry, const fs::path& prefix) {
  const std::string& path = entry.path;
  if (path == "$OrphanFiles") return {};
  const std::string orphans = "$OrphanFiles/";
  if (StartsWith(path, orphans)) {
    const std::string name = path.substr(orphans.size());
    // The lost-file folder leaves out empty files.
    if (IstatDataSize(prefix, entry.record) <= 0) return {};
    if (name == "OrphanFile-" + std::to_string(entry.record)) {
      return std::string(quickprobe::kLostFolder) + "/MFTRecord-" + std::to_string(entry.record);
    }
    return std::string(quickprobe::kLostFolder) + "/" + name;
  }
  if (path[0] == '$') return {};  // the volume's own files
  return path;
}

struct Expected {
  std::set<std::string> paths;
  bool deleted = false;
  bool folder = false;
};

// Compares the scan's nodes with PREFIX.fls: every record fls lists comes
// back once, at one of its paths (a file with two links has two), with its
// deleted state (the record's own, as istat reads it); the scan shows nothing
// fls does not list. Folders without a
// file below are not shown by the tree builder.
void ExpectListingLikeFls(const QuickScan& scan, const fs::path& prefix) {
  std::map<uint64_t, Expected> expected;
  std::set<std::string> filePaths;
  for (const ntfspeers::FlsEntry& entry : ntfspeers::ParseFls(ntfspeers::ReadText(prefix.string() + ".fls"))) {
    const std::string path = ExpectedPath(entry, prefix);
    if (path.empty()) continue;
    Expected& e = expected[entry.record];
    e.paths.insert(path);
    // fls marks a deleted folder that its parent's index still names as in
    // use; istat reads the record's own flag.
    const fs::path istat = prefix.string() + ".istat/" + std::to_string(entry.record);
    e.deleted = fs::exists(istat) ? !ntfspeers::ParseIstat(ntfspeers::ReadText(istat)).allocated : entry.deleted;
    e.folder = entry.type.find('d') != std::string::npos;
    if (!e.folder) filePaths.insert(path);
  }
  for (auto it = expected.begin(); it != expected.end();) {
    bool hasFile = !it->second.folder;
    for (const std::string& p : it->second.paths) {
      auto below = filePaths.lower_bound(p + "/");
      hasFile = hasFile || (below != filePaths.end() && StartsWith(*below, p + "/"));
    }
    it = hasFile ? std::next(it) : expected.erase(it);
  }

  std::map<int64_t, const Node*> byRecord;
  int shown = 0;
  for (const Node& node : scan.nodes()) {
    if (node.id == -1 && node.path == quickprobe::kLostFolder) continue;
    ++shown;
    EXPECT_TRUE(byRecord.emplace(node.id, &node).second) << "record " << node.id << " shown twice";
    auto it = expected.find(static_cast<uint64_t>(node.id));
    if (it == expected.end()) {
      ADD_FAILURE() << "fls does not list " << quickprobe::Line(node);
      continue;
    }
    EXPECT_EQ(it->second.paths.count(node.path), 1u) << quickprobe::Line(node) << " is listed by fls elsewhere";
    EXPECT_EQ(node.deleted, it->second.deleted) << quickprobe::Line(node);
    EXPECT_EQ(node.folder, it->second.folder) << quickprobe::Line(node);
  }
  for (const auto& [record, e] : expected) {
    EXPECT_EQ(byRecord.count(static_cast<int64_t>(record)), 1u) << "not shown: " << *e.paths.begin();
  }
  EXPECT_EQ(static_cast<size_t>(shown), expected.size());
  // What fls -r -p -d lists is shown, and shown deleted.
  const fs::path deletedOnly = prefix.string() + ".fls-d";
  if (!fs::exists(deletedOnly)) return;
  int deleted = 0;
  for (const ntfspeers::FlsEntry& entry : ntfspeers::ParseFls(ntfspeers::ReadText(deletedOnly))) {
    if (ExpectedPath(entry, prefix).empty()) continue;
    auto it = byRecord.find(static_cast<int64_t>(entry.record));
    if (it == byRecord.end()) continue;  // a folder without a file below (checked above)
    EXPECT_TRUE(it->second->deleted) << entry.path;
    ++deleted;
  }
  EXPECT_GT(deleted, 0);
}

// Checks at the end that the image is what the fixture script left.
class Unchanged {
 public:
  Unchanged(fs::path image, fs::path sha) : image_(std::move(image)), sha_(std::move(sha)) {}
  ~Unchanged() { EXPECT_EQ(testsupport::Sha256(image_) + "\n", ntfspeers::ReadText(sha_)) << image_ << " changed"; }

 private:
  fs::path image_, sha_;
};

// The originals of the manifest, by the path the scan shows them at.
std::map<std::string, fs::path> Originals() {
  std::map<std::string, fs::path> out;
  for (const ntfsfixtures::ManifestItem& item : ntfsfixtures::Manifest()) {
    if (item.folder) continue;
    std::string path = item.path;
    if (StartsWith(path, "$OrphanFiles/")) path = std::string(quickprobe::kLostFolder) + path.substr(12);
    out[path] = FixtureDir() / "originals" / item.original;
  }
  return out;
}

Bytes ReadThrough(QuickScan& scan, const Node& node) {
  bool ok = false;
  Bytes bytes = scan.Read(node, &ok);
  EXPECT_TRUE(ok || node.size == 0) << node.path;
  return bytes;
}

// Every deleted file the peers brought back comes back from the scan too:
// like the original when there is one, else like the peer's copy (which
// ntfsundelete pads to whole clusters).
void ExpectPeersRecoverNoMore(QuickScan& scan, const fs::path& prefix, const std::map<std::string, fs::path>& known) {
  std::map<std::string, const Node*> byPath;
  std::map<int64_t, const Node*> byRecord;
  for (const Node& node : scan.nodes()) {
    byPath[node.path] = &node;
    if (!node.folder) byRecord[node.id] = &node;
  }
  auto expectLike = [&](const Node& node, const fs::path& peerCopy, bool padded) {
    const Bytes ours = ReadThrough(scan, node);
    auto original = known.find(node.path);
    if (original != known.end()) {
      EXPECT_TRUE(ours == testsupport::ReadFile(original->second)) << node.path << " differs from its original";
      return;
    }
    Bytes theirs = testsupport::ReadFile(peerCopy);
    if (padded && theirs.size() > ours.size()) theirs.resize(ours.size());
    EXPECT_TRUE(ours == theirs) << node.path << " differs from " << peerCopy;
  };

  int tsk = 0, undeleted = 0;
  const fs::path tskDir = prefix.string() + ".tsk-recovered";
  for (const auto& file : fs::recursive_directory_iterator(tskDir)) {
    if (!file.is_regular_file()) continue;
    ++tsk;
    std::string path = fs::relative(file.path(), tskDir).string();
    const std::string orphans = "$OrphanFiles/OrphanFile-";
    if (StartsWith(path, orphans)) {
      path = std::string(quickprobe::kLostFolder) + "/MFTRecord-" + path.substr(orphans.size());
    } else if (StartsWith(path, "$OrphanFiles/")) {
      path = std::string(quickprobe::kLostFolder) + path.substr(12);
    }
    auto it = byPath.find(path);
    if (it == byPath.end()) {
      ADD_FAILURE() << "tsk_recover brings back " << path << ", the scan does not show it";
      continue;
    }
    EXPECT_TRUE(it->second->deleted) << path;
    expectLike(*it->second, file.path(), false);
  }
  for (const auto& folder : fs::directory_iterator(prefix.string() + ".undeleted")) {
    for (const auto& file : fs::directory_iterator(folder.path())) {
      ++undeleted;
      const int64_t record = std::stoll(folder.path().filename().string());
      auto it = byRecord.find(record);
      if (it == byRecord.end()) {
        ADD_FAILURE() << "ntfsundelete brings back record " << record << ", the scan does not show it";
        continue;
      }
      expectLike(*it->second, file.path(), true);
    }
  }
  EXPECT_GT(tsk + undeleted, 0) << "the peers brought nothing back: the fixture is not what the test needs";
}

class NtfsQuickScanImages : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { REQUIRE_NTFS_FIXTURES(); }
  fs::path Image() const { return FixtureDir() / (std::string(GetParam()) + ".img"); }
  fs::path Prefix() const { return FixtureDir() / GetParam(); }
};

// ---- listing ------------------------------------------------------------------------

TEST_P(NtfsQuickScanImages, ListsWhatFlsListsWithPathsAndDeletedStates) {
  Unchanged unchanged(Image(), Prefix().string() + ".sha256");
  devicetest::ImageGuard guard(Image());
  QuickScan scan(Image());
  ASSERT_TRUE(scan.Run());
  EXPECT_EQ(scan.fileSystemType(), 3);
  EXPECT_EQ(scan.searcherAnswer(), 0u);
  EXPECT_FALSE(Searcher(scan)->IsMFTFromMirror());
  EXPECT_EQ(scan.roots().size(), 1u);
  ExpectListingLikeFls(scan, Prefix());
  // The orphan: its folder's record now holds a file.
  const Node* orphan = scan.Find(std::string(quickprobe::kLostFolder) + "/orphan.txt");
  ASSERT_NE(orphan, nullptr);
  EXPECT_TRUE(orphan->lost);
  EXPECT_TRUE(orphan->deleted);
  // Finished: the last progress record says so, with no read failure.
  ASSERT_FALSE(scan.progress().empty());
  EXPECT_EQ(scan.progress().back().status, 3u);
  EXPECT_EQ(scan.progress().back().error, 0u);
}

TEST_P(NtfsQuickScanImages, EveryFileCopiesOutLikeItsOriginal) {
  Unchanged unchanged(Image(), Prefix().string() + ".sha256");
  QuickScan scan(Image());
  ASSERT_TRUE(scan.Run());
  // By record: a file with two links is shown under one of its names.
  std::map<std::string, uint64_t> records;
  for (const ntfscheck::PathRecord& p : ntfscheck::ReadPaths(Prefix())) records[p.path] = p.record;
  std::map<int64_t, const Node*> byRecord;
  for (const Node& node : scan.nodes()) byRecord[node.id] = &node;
  testsupport::TempDir out;
  int copied = 0, deleted = 0;
  for (const ntfsfixtures::ManifestItem& item : ntfsfixtures::Manifest()) {
    if (item.folder) continue;
    SCOPED_TRACE(item.path);
    ASSERT_EQ(records.count(item.path), 1u);
    const auto found = byRecord.find(static_cast<int64_t>(records[item.path]));
    ASSERT_NE(found, byRecord.end());
    const Node& node = *found->second;
    EXPECT_EQ(node.deleted, item.deleted);
    const fs::path to = out / ("copy-" + std::to_string(copied));
    ASSERT_EQ(scan.CopyOut(node, to), 0u);
    const fs::path original = FixtureDir() / "originals" / item.original;
    EXPECT_TRUE(testsupport::ReadFile(to) == testsupport::ReadFile(original)) << "differs from " << original;
    ++copied;
    if (node.deleted) ++deleted;
  }
  EXPECT_GT(copied, 220);
  EXPECT_GE(deleted, 9);
}

TEST_P(NtfsQuickScanImages, TheDeletedFilesAreOfEveryKind) {
  // The copy-out test above is only as good as the variety istat shows.
  QuickScan scan(Image());
  ASSERT_TRUE(scan.Run());
  auto data = [&](const std::string& path) {
    const Node* node = scan.Find(path);
    EXPECT_NE(node, nullptr) << path;
    const auto istat = ntfspeers::ParseIstat(
        ntfspeers::ReadText(Prefix().string() + ".istat/" + std::to_string(node != nullptr ? node->id : 0)));
    for (const auto& a : istat.attributes) {
      if (a.type == 0x80 && a.name == "N/A") return a;
    }
    return ntfspeers::IstatAttribute();
  };
  EXPECT_TRUE(data("gone/deleted-small.txt").resident);
  const auto fragmented = data("gone/fragmented.bin").clusters;
  int pieces = 1;
  for (size_t i = 1; i < fragmented.size(); ++i) pieces += fragmented[i] != fragmented[i - 1] + 1;
  // With 4096-byte sectors ntfs-3g finds room outside the holes.
  EXPECT_GE(pieces, std::string(GetParam()) != "s4096" ? 2 : 1);
  const auto sparse = data("gone/sparse-deleted.bin").clusters;
  EXPECT_GT(std::count(sparse.begin(), sparse.end(), 0), 0) << "holes";
  const bool compresses = std::string(GetParam()) != "c65536";  // clusters above 4 KiB never compress
  EXPECT_EQ(data("gone-compressed/text-200k.txt").compressed, compresses);
  EXPECT_EQ((scan.Find("gone-compressed/text-200k.txt")->attribute & 0x800) != 0, compresses);
}

TEST_P(NtfsQuickScanImages, EveryDeletedFileThePeersRecoverComesBack) {
  Unchanged unchanged(Image(), Prefix().string() + ".sha256");
  QuickScan scan(Image());
  ASSERT_TRUE(scan.Run());
  ExpectPeersRecoverNoMore(scan, Prefix(), Originals());
}

TEST_P(NtfsQuickScanImages, TheVolumeAnalyzerTellsTypeAndSize) {
  devicetest::ImageGuard guard(Image());
  std::unique_ptr<IStorageDevice, void (*)(IStorageDevice*)> device(CreateVolumeDevice(Image().c_str()),
                                                                    [](IStorageDevice* d) { d->Release(); });
  ASSERT_EQ(device->Open(), 1);
  std::unique_ptr<IVolumeAnalyze, void (*)(IVolumeAnalyze*)> analyzer(CreateNTFSVolumeAnalyze(device.get(), 0),
                                                                      [](IVolumeAnalyze* a) { a->Release(); });
  ASSERT_NE(analyzer, nullptr);
  const ntfspeers::Fsstat fsstat = ntfspeers::ParseFsstat(ntfspeers::ReadText(Prefix().string() + ".fsstat"));
  EXPECT_EQ(analyzer->GetFileSystemType(), FILE_SYSTEM_TYPE_NTFS);
  EXPECT_EQ(analyzer->GetTotalSector(), static_cast<uint64_t>(fsstat.lastSector + 1) * fsstat.sectorSize / 512);
  device->Close();
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsQuickScanImages, testing::ValuesIn(kVariants));

// ---- the file with an attribute list ---------------------------------------------------

class NtfsQuickScanAttributeList : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_NTFS_FIXTURES(); }
  static int64_t Big() {
    for (const std::string& line : Lines()) {
      const auto f = ntfsfixtures::Fields(line);
      if (f.size() >= 2 && f[0] == "big") return std::stoll(f[1]);
    }
    return -1;
  }
  static std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::istringstream in(ntfspeers::ReadText(FixtureDir() / "attrlist.tsv"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

TEST_F(NtfsQuickScanAttributeList, TheLiveImageListsLikeFls) {
  const fs::path image = FixtureDir() / "attrlist-live.img";
  Unchanged unchanged(image, FixtureDir() / "attrlist-live.sha256");
  QuickScan scan(image);
  ASSERT_TRUE(scan.Run());
  ExpectListingLikeFls(scan, FixtureDir() / "attrlist-live");
  const Node* big = scan.Find("big.bin");
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->id, Big());
  EXPECT_TRUE(ReadThrough(scan, *big) == testsupport::ReadFile(FixtureDir() / "originals/attrlist/big.bin"));
}

TEST_F(NtfsQuickScanAttributeList, TheDeletedFileComesBackWholeThoughItsNameAndPartOfItsListWentWithTheDeletion) {
  // Deleting emptied the extension record that held the name and cut the
  // last extension record out of the list; both peers bring back less than
  // the file (tsk_recover a prefix, ntfsundelete wrong bytes from 2.4 MB on).
  const fs::path image = FixtureDir() / "attrlist-deleted.img";
  Unchanged unchanged(image, FixtureDir() / "attrlist-deleted.sha256");
  QuickScan scan(image);
  ASSERT_TRUE(scan.Run());
  ExpectListingLikeFls(scan, FixtureDir() / "attrlist-deleted");
  const std::string path = std::string(quickprobe::kLostFolder) + "/MFTRecord-" + std::to_string(Big());
  const Node* big = scan.Find(path);
  ASSERT_NE(big, nullptr);
  EXPECT_TRUE(big->deleted);
  testsupport::TempDir out;
  ASSERT_EQ(scan.CopyOut(*big, out / "big.bin"), 0u);
  EXPECT_TRUE(testsupport::ReadFile(out / "big.bin") ==
              testsupport::ReadFile(FixtureDir() / "originals/attrlist/big.bin"));
  std::map<std::string, fs::path> known = {{path, FixtureDir() / "originals/attrlist/big.bin"}};
  ExpectPeersRecoverNoMore(scan, FixtureDir() / "attrlist-deleted", known);
}

TEST_F(NtfsQuickScanAttributeList, ADeletedFileWhoseExtensionRecordsOthersTookKeepsOnlyItsOwnPart) {
  const fs::path image = FixtureDir() / "attrlist-reused.img";
  Unchanged unchanged(image, FixtureDir() / "attrlist-reused.sha256");
  QuickScan scan(image);
  ASSERT_TRUE(scan.Run());
  const Node* big = nullptr;
  for (const Node& node : scan.nodes()) {
    if (node.id == Big()) big = &node;
  }
  ASSERT_NE(big, nullptr);
  EXPECT_TRUE(big->deleted);
  // It keeps the runs of its own record, the file's first clusters as the
  // live image had them, and nothing from the records others took.
  const ntfspeers::Istat live =
      ntfspeers::ParseIstat(ntfspeers::ReadText(FixtureDir() / ("attrlist-live.istat/" + std::to_string(Big()))));
  std::vector<int64_t> clusters;
  for (const auto& a : live.attributes) {
    if (a.type == 0x80 && a.name == "N/A") clusters = a.clusters;
  }
  std::vector<int64_t> ours;
  IDataRunList* runs = dynamic_cast<CFileNode*>(big->node)->GetDataRunList();
  ASSERT_NE(runs, nullptr);
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    for (int64_t i = 0; i < run->length; ++i) ours.push_back(run->start + i);
  }
  ASSERT_GT(ours.size(), 0u);
  ASSERT_LT(ours.size(), clusters.size());
  EXPECT_TRUE(std::equal(ours.begin(), ours.end(), clusters.begin()));
  EXPECT_EQ(big->size, ours.size() * 4096);
  // The files that took its extension records come back with their own.
  for (const std::string& line : Lines()) {
    const auto f = ntfsfixtures::Fields(line);
    if (f.size() < 3 || f[0] != "new") continue;
    const Node* node = scan.Find(f[1]);
    ASSERT_NE(node, nullptr) << f[1];
    EXPECT_EQ(node->id, std::stoll(f[2]));
  }
}

// ---- damaged and unusual devices ---------------------------------------------------------

TEST(NtfsQuickScanDamage, AZeroedMFTRecordZeroIsReadThroughTheMirror) {
  REQUIRE_NTFS_FIXTURES();
  const fs::path image = FixtureDir() / "mirror.img";
  Unchanged unchanged(image, FixtureDir() / "mirror.sha256");
  QuickScan damaged(image);
  ASSERT_TRUE(damaged.Run());
  EXPECT_EQ(damaged.searcherAnswer(), 0u);
  EXPECT_TRUE(Searcher(damaged)->IsMFTFromMirror());
  // Everything but record 0 is the default image's.
  ExpectListingLikeFls(damaged, FixtureDir() / "default");
  const Node* deleted = damaged.Find("gone/deleted-big.bin");
  ASSERT_NE(deleted, nullptr);
  EXPECT_TRUE(ReadThrough(damaged, *deleted) ==
              testsupport::ReadFile(FixtureDir() / "originals/deleted/gone/deleted-big.bin"));
}

TEST(NtfsQuickScanDamage, AOneSectorDeviceEndsWithAnErrorAndNoNodes) {
  REQUIRE_NTFS_FIXTURES();
  testsupport::TempDir dir;
  const fs::path one = dir / "one-sector.img";
  testsupport::RunCommandOrFail("dd if=" + testsupport::ShellQuote((FixtureDir() / "default.img").string()) +
                                " of=" + testsupport::ShellQuote(one.string()) + " bs=512 count=1 status=none");
  devicetest::ImageGuard guard(one);
  QuickScan scan(one);
  ASSERT_TRUE(scan.Run());
  EXPECT_EQ(scan.fileSystemType(), 3) << "its one sector is an NTFS boot sector";
  EXPECT_EQ(scan.searcherAnswer(), CNTFSQuickSearch::kNotNTFS);
  EXPECT_TRUE(scan.nodes().empty());

  // An empty device is of no file system; the scan itself says the same.
  const fs::path empty = dir / "empty.img";
  testsupport::WriteFile(empty, "");
  QuickScan none(empty);
  ASSERT_TRUE(none.Run());
  EXPECT_EQ(none.fileSystemType(), FILE_SYSTEM_TYPE_UNKNOWN);
  EXPECT_EQ(none.searcherAnswer(), QuickScan::kNoAnswer);
  std::unique_ptr<IStorageDevice, void (*)(IStorageDevice*)> device(CreateVolumeDevice(empty.c_str()),
                                                                    [](IStorageDevice* d) { d->Release(); });
  ASSERT_EQ(device->Open(), 1);
  CNTFSQuickSearch searcher;
  struct Quiet : IProgress {
    int UpdateProgress(_PROGRESS_INFO*) override { return 0; }
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
  } quiet;
  EXPECT_EQ(searcher.QuickSearchFiles(device.get(), &quiet), CNTFSQuickSearch::kNotNTFS);
}

// On a device of 4096-byte sectors, 1024-byte records share a sector, four
// to one; a volume made for such sectors has 4096-byte records, one a sector.
// Both are walked.
void ExpectWideSectorScan(QuickScan& scan, const std::string& variant, const std::string& readBack) {
  ASSERT_TRUE(scan.Run());
  EXPECT_EQ(scan.fileSystemType(), 3);
  EXPECT_EQ(scan.searcherAnswer(), 0u);
  EXPECT_EQ(Searcher(scan)->GetSectorsPerFileRecord(), variant == "default" ? 0u : 1u);
  ExpectListingLikeFls(scan, FixtureDir() / variant);
  const Node* node = scan.Find(readBack);
  ASSERT_NE(node, nullptr);
  EXPECT_TRUE(ReadThrough(scan, *node) == testsupport::ReadFile(FixtureDir() / "originals/deleted" / readBack));
}

TEST(NtfsQuickScanDamage, AnImageReadIn4096ByteSectorsIsWalked) {
  REQUIRE_NTFS_FIXTURES();
  QuickScan::Options wide;
  wide.sectorSize = 4096;
  for (const std::string variant : {"default", "s4096"}) {
    SCOPED_TRACE(variant);
    Unchanged unchanged(FixtureDir() / (variant + ".img"), FixtureDir() / (variant + ".sha256"));
    QuickScan scan(FixtureDir() / (variant + ".img"), wide);
    ExpectWideSectorScan(scan, variant, "gone/sparse-deleted.bin");
  }
}

TEST(NtfsQuickScanDamage, ALoopDeviceOf4096ByteSectorsIsScannedInItsOwnSectors) {
  REQUIRE_NTFS_FIXTURES();
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  for (const std::string variant : {"default", "s4096"}) {
    SCOPED_TRACE(variant);
    Unchanged unchanged(FixtureDir() / (variant + ".img"), FixtureDir() / (variant + ".sha256"));
    devicetest::LoopDevice loop(FixtureDir() / (variant + ".img"), 4096);
    ASSERT_TRUE(loop.attached());
    QuickScan scan(loop.path());
    ExpectWideSectorScan(scan, variant, "gone-compressed/text-200k.txt");
    ASSERT_NE(scan.device(), nullptr);
    EXPECT_EQ(scan.device()->GetSectorSize(), 4096u);
  }
}

// ---- the probe program ----------------------------------------------------------------

TEST(NtfsQuickScanProbe, TheProgramPrintsTheSameListing) {
  REQUIRE_NTFS_FIXTURES();
  const fs::path image = FixtureDir() / "default.img";
  QuickScan scan(image);
  ASSERT_TRUE(scan.Run());
  std::vector<std::string> expected;
  for (const Node& node : scan.nodes()) expected.push_back("node\t" + quickprobe::Line(node));
  const auto r =
      testsupport::RunCommand(std::string(CLIPMENDER_QUICKSCAN_PROBE) + " " + testsupport::ShellQuote(image.string()));
  ASSERT_EQ(r.exitCode, 0);
  std::vector<std::string> printed;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    if (StartsWith(line, "node\t")) printed.push_back(line);
  }
  std::sort(expected.begin(), expected.end());
  std::sort(printed.begin(), printed.end());
  EXPECT_EQ(printed, expected);
  EXPECT_NE(r.output.find("scan\t0x0000000000000000\t" + std::to_string(expected.size())), std::string::npos);
}

}  // namespace
