// A quick scan through the application's scan operation and the real engine
// of the NTFS fixture image (filled through ntfs-3g), lying as the one
// partition of an MBR disk on a stand-in machine: every file fls -r -p lists
// is indexed under its root, its category and the months istat gives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>

#include "NtfsFixtures.h"
#include "NtfsPeers.h"
#include "ScanChecks.h"
#include "app/KVTimeMgr.h"
#include "app/KVTypeMgr.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"

namespace {

namespace fs = std::filesystem;

// The default image as the one partition of an MBR disk on a stand-in
// machine, quick-scanned through the scan operation.
struct ScannedDisk {
  enumtest::FakeMachine machine;
  fs::path disk = machine / "disk.img";
  std::unique_ptr<devicetest::ImageGuard> guard;
  std::unique_ptr<KVUIDeviceData> model;
  std::unique_ptr<KVUIScan> scan;

  void Scan(const fs::path& fixtures) {
    devicetest::MakeSparseImage(disk, fs::file_size(fixtures / "default.img") + (1 << 20));
    enumtest::MakeMbr(disk, {"1 : start=2048, type=7"});
    testsupport::RunCommandOrFail("dd if=" + testsupport::ShellQuote((fixtures / "default.img").string()) +
                                  " of=" + testsupport::ShellQuote(disk.string()) +
                                  " bs=512 seek=2048 conv=notrunc,sparse status=none");
    machine.AddDisk({.name = "sdp", .major = 8, .minor = 80, .size512 = fs::file_size(disk) / 512});
    machine.SetNode("sdp", disk);
    guard = std::make_unique<devicetest::ImageGuard>(disk);
    model = std::make_unique<KVUIDeviceData>([this] { return std::make_unique<CEnumDeviceEx>(machine.Source()); });
    model->InitDeviceInfo();
    IStorageDevice* volume = model->GetStorageByDiskVolumeIndex(0, 0);
    ASSERT_NE(volume, nullptr);
    scan = std::make_unique<KVUIScan>(model.get());
    scan->SetStatus(KVOperationRunning);
    EXPECT_FALSE(result::IsFailure(scan->DoScan(volume, nullptr)));
    EXPECT_EQ(scan->GetStatus(), KVOperationIdle);
  }
};

TEST(NtfsScanIndexes, EveryFileTheSleuthKitListsIsUnderItsRootCategoryAndMonths) {
  REQUIRE_NTFS_FIXTURES();
  const fs::path fixtures = ntfsfixtures::FixtureDir();
  ScannedDisk scanned;
  ASSERT_NO_FATAL_FAILURE(scanned.Scan(fixtures));
  KVUIScan& scan = *scanned.scan;
  EXPECT_FALSE(scan.IsDeepScan());
  const auto roots = scan.GetFileSystemNode();
  ASSERT_EQ(roots.size(), 1u);

  std::map<uint64_t, std::vector<std::string>> links;  // record -> its paths
  for (const auto& entry : ntfspeers::ParseFls(ntfspeers::ReadText(fixtures / "default.img.fls.txt"))) {
    // Metafiles and fls's orphans (shown elsewhere, under the lost-file folder).
    if (entry.path[0] == '$' || entry.type.find('d') != std::string::npos) continue;
    const auto istat =
        ntfspeers::ParseIstat(ntfspeers::ReadText(fixtures / "default.istat" / std::to_string(entry.record)));
    // A deleted name whose record another file took shows as that file.
    if (entry.deleted && istat.allocated) continue;
    links[entry.record].push_back(entry.path);
  }
  for (const auto& [record, paths] : links) {
    const auto istat = ntfspeers::ParseIstat(ntfspeers::ReadText(fixtures / "default.istat" / std::to_string(record)));
    scantest::ExpectIndexed(scan, roots[0], paths, istat.siCreated, istat.siModified);
  }
  const size_t files = links.size();
  EXPECT_GT(files, 10u);
  scantest::ExpectOnlyFilesCounted(scan);
}

}  // namespace

namespace trees {

// One file as fls -m lists it: its name and its standard-information times.
struct PeerFile {
  std::string name;
  int64_t created = 0, modified = 0;
};

// The files of the image by record, as fls -m gives them (a record once, by
// its live name when it has one); metafiles, folders and the names The
// Sleuth Kit makes up for unnamed records are left out.
std::map<uint64_t, PeerFile> PeerFiles(const fs::path& image) {
  const std::string text =
      testsupport::RunCommandOrFail("TZ=UTC fls -m / -r " + testsupport::ShellQuote(image.string()));
  std::map<uint64_t, PeerFile> files;
  std::set<uint64_t> live;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '|');) f.push_back(field);
    if (f.size() < 11 || f[1].find("($FILE_NAME)") != std::string::npos ||
        (f[3].rfind("r/", 0) != 0 && f[3].rfind("-/", 0) != 0)) {
      continue;
    }
    std::string name = f[1].substr(1);
    const bool deleted = name.size() > 10 && name.ends_with(" (deleted)");
    if (deleted) name.resize(name.size() - 10);
    if (name.find(':', name.rfind('/') + 1) != std::string::npos) continue;  // a named stream
    if (name[0] == '$' && (!name.starts_with("$OrphanFiles/") || name.starts_with("$OrphanFiles/OrphanFile-"))) {
      continue;
    }
    const uint64_t record = std::stoull(f[2]);
    if (live.count(record) != 0 || (deleted && files.count(record) != 0)) continue;
    if (!deleted) live.insert(record);
    files[record] = {name.substr(name.rfind('/') + 1), std::stoll(f[8]), std::stoll(f[10])};
  }
  return files;
}

std::string Ext(const std::string& name) {
  const auto dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// "YYYY-MM" to count.
using Months = std::map<std::string, size_t>;

std::string MonthKey(int64_t t) {
  const time_t v = static_cast<time_t>(t);
  struct tm parts {};
  gmtime_r(&v, &parts);
  char key[32];
  std::snprintf(key, sizeof key, "%04d-%02d", parts.tm_year + 1900, parts.tm_mon + 1);
  return key;
}

std::vector<OpNodeData*> Rows(OpNodeData* row) {
  std::vector<OpNodeData*> rows;
  for (auto& child : row->children()) {
    if (auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child)) rows.push_back(sub->get());
  }
  return rows;
}

Months DateTree(const KVRowArray& rows) {
  Months months;
  EXPECT_EQ(rows.size(), 1u);
  std::vector<std::string> order;
  for (OpNodeData* year : Rows(rows[0].get())) {
    for (OpNodeData* month : Rows(year)) {
      const std::string key = year->name().toStdString() + "-" + month->name().toStdString();
      order.push_back(key);
      months[key] = KVUIController::GetTimeNodeChildrenCnt(month);
    }
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  return months;
}

}  // namespace trees

// The type tree and both date trees after a real scan hold what fls -m
// lists, and a tick in one tree shows in the others.
TEST(NtfsResultTrees, TypeAndDateRowsCountWhatTheSleuthKitListsAndShareTicks) {
  REQUIRE_NTFS_FIXTURES();
  setenv("TZ", "UTC", 1);
  tzset();
  const fs::path fixtures = ntfsfixtures::FixtureDir();
  ScannedDisk scanned;
  ASSERT_NO_FATAL_FAILURE(scanned.Scan(fixtures));
  KVUIController::UseScan(scanned.scan.get());
  KVTypeMgr& types = KVTypeMgr::share();
  types.clear();
  KVTimeMgr::share().clear();

  const auto peer = trees::PeerFiles(fixtures / "default.img");
  ASSERT_GT(peer.size(), 10u);
  std::map<std::string, size_t> byExt;  // "<category bit>/<ext>", "32/" for files listed directly under other
  trees::Months created, modified;
  for (const auto& [record, file] : peer) {
    const std::string ext = trees::Ext(file.name);
    const int bit = types.categoryOf(QString::fromStdString(ext));
    ++byExt[bit == 0 ? "32/" : std::to_string(bit) + "/" + ext];
    if (file.created != 0) ++created[trees::MonthKey(file.created)];
    if (file.modified != 0) ++modified[trees::MonthKey(file.modified)];
  }

  KVRowArray typeRows;
  KVUIController::SetViewType(KVViewFileType);
  const auto typeTree = [&] {
    std::map<std::string, size_t> seen;
    KVUIController::GetScanTreeNodeData(&typeRows, 0);
    EXPECT_EQ(typeRows.size(), 6u);
    for (size_t i = 0; i < typeRows.size(); ++i) {
      const std::string bit = std::to_string(1 << i);
      std::vector<std::string> names;
      for (OpNodeData* ext : trees::Rows(typeRows[i].get())) {
        names.push_back(ext->name().toStdString());
        seen[bit + "/" + names.back()] = ext->children().size();
      }
      EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
      const size_t direct = typeRows[i]->children().size() - names.size();
      if (direct != 0) seen[bit + "/"] = direct;
    }
    return seen;
  };
  EXPECT_EQ(typeTree(), byExt);
  EXPECT_EQ(typeTree(), byExt) << "a second refresh added rows";

  KVRowArray createdRows, modifiedRows;
  KVUIController::SetViewType(KVViewCreationDate);
  KVUIController::GetScanTreeNodeData(&createdRows, 0);
  EXPECT_EQ(trees::DateTree(createdRows), created);
  KVUIController::GetScanTreeNodeData(&createdRows, 0);
  EXPECT_EQ(trees::DateTree(createdRows), created) << "a second refresh added rows";
  EXPECT_EQ(KVUIController::GetTimeNodeChildrenCnt(createdRows[0].get()), peer.size());
  KVUIController::SetViewType(KVViewModificationDate);
  KVUIController::GetScanTreeNodeData(&modifiedRows, 0);
  EXPECT_EQ(trees::DateTree(modifiedRows), modified);

  // Tick every .txt file through its extension row.
  OpNodeData* txt = nullptr;
  for (OpNodeData* ext : trees::Rows(types.categoryRow(16))) {
    if (ext->name() == "txt") txt = ext;
  }
  ASSERT_NE(txt, nullptr);
  txt->setNodeState(2);
  const size_t txtFiles = byExt["16/txt"];
  ASSERT_LT(txtFiles, peer.size());
  KVUIController::RefreshTimeTreeState(createdRows);
  KVUIController::RefreshTimeTreeState(modifiedRows);
  for (const KVRowArray* rows : {&createdRows, &modifiedRows}) {
    for (OpNodeData* year : trees::Rows((*rows)[0].get())) {
      for (OpNodeData* month : trees::Rows(year)) {
        size_t ticked = 0;
        for (auto& child : month->children()) ticked += OpNodeData::fileNodeState(std::get<IFileNode*>(child)) == 2;
        const int want = ticked == 0 ? 0 : ticked == month->children().size() ? 2 : 1;
        EXPECT_EQ(month->state(), want) << year->name().toStdString() << "-" << month->name().toStdString();
      }
    }
  }
  // Every ticked file is a .txt one, as the path tree sees it.
  KVRowArray pathRows;
  KVUIController::SetViewType(KVViewPath);
  KVUIController::GetScanTreeNodeData(&pathRows, 0);
  ASSERT_EQ(pathRows.size(), 1u);
  std::map<std::string, IFileNode*> all;
  scantest::Walk(pathRows[0]->fileNode(), "", all);
  size_t ticked = 0;
  IFileNode* oneTxt = nullptr;
  for (const auto& [path, node] : all) {
    if (node->IsDirectory() != 0 || node->GetCheckedStatus() != 2) continue;
    EXPECT_EQ(trees::Ext(path), "txt") << path;
    ++ticked;
    oneTxt = node;
  }
  EXPECT_GE(ticked, txtFiles);
  // Unticked in the path tree: the extension row shows partly ticked.
  ASSERT_NE(oneTxt, nullptr);
  OpNodeData(oneTxt).setNodeState(0);
  KVUIController::RefreshTypeTreeState(nullptr);
  EXPECT_EQ(txt->state(), txtFiles > 1 ? 1 : 0);
  KVUIController::UseScan(nullptr);
}

namespace recovery {

// Ticks two of every three live files the fixture wrote; answers their
// paths and the sha256 of their originals.
std::map<std::string, std::string> Tick(KVUIScan& scan, const fs::path& fixtures) {
  std::map<std::string, IFileNode*> tree;
  scantest::Walk(scan.GetFileSystemNode().at(0), "", tree);
  std::map<std::string, std::string> wanted;
  std::istringstream lines(
      testsupport::RunCommandOrFail("cat " + testsupport::ShellQuote((fixtures / "default.img.expect.tsv").string())));
  size_t seen = 0;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() != 7 || f[0] != "f" || f[1] != "live" || f[4] == "-" || ++seen % 3 == 0) continue;
    EXPECT_TRUE(tree.count(f[6])) << f[6];
    if (tree.count(f[6]) == 0) continue;
    tree[f[6]]->SetCheck(CHECKED_STATUS_CHECKED);
    wanted[f[6]] = f[4];
  }
  return wanted;
}

// The copies lie below one top folder "0001" and its volume folder, byte
// for byte the originals, and nothing else was copied.
void ExpectCopied(const fs::path& out, const std::map<std::string, std::string>& wanted) {
  std::vector<fs::path> tops;
  for (const auto& entry : fs::directory_iterator(out)) tops.push_back(entry.path());
  ASSERT_EQ(tops.size(), 1u);
  EXPECT_EQ(tops[0].filename(), "0001");
  std::vector<fs::path> volumes;
  for (const auto& entry : fs::directory_iterator(tops[0])) volumes.push_back(entry.path());
  ASSERT_EQ(volumes.size(), 1u);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(volumes[0])) files += entry.is_regular_file();
  EXPECT_EQ(files, wanted.size());
  for (const auto& [path, sha] : wanted) {
    const std::string sum = testsupport::RunCommandOrFail(
        "sha256sum " + testsupport::ShellQuote((volumes[0] / path).string()) + " 2>/dev/null || true");
    EXPECT_EQ(sum.substr(0, 64), sha) << path;
  }
}

}  // namespace recovery

// A scanned disk with two of every three live files ticked.
class NtfsRecovery : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NTFS_FIXTURES();
    ASSERT_NO_FATAL_FAILURE(scanned.Scan(ntfsfixtures::FixtureDir()));
    KVUIController::UseScan(scanned.scan.get());
    wanted = recovery::Tick(*scanned.scan, ntfsfixtures::FixtureDir());
    operation = std::make_unique<KVUIRecovery>(scanned.scan.get(), scanned.model.get());
    KVUIController::UseRecovery(operation.get());
  }
  void TearDown() override {
    KVUIController::UseRecovery(nullptr);
    KVUIController::UseScan(nullptr);
  }

  ScannedDisk scanned;
  std::map<std::string, std::string> wanted;
  std::unique_ptr<KVUIRecovery> operation;
};

// Ticked live files copied out through the recovery operation into a
// destination that fills mid-run: the recovery pauses; once space is freed
// and the user resumes, every file finishes byte-identical to the original
// the fixture wrote, and nothing else is copied. The image is unchanged
// (the guard).
TEST_F(NtfsRecovery, AFullDestinationPausesAndResumesToIdenticalCopies) {
  const fs::path out = scanned.machine / "small";
  fs::create_directories(out);
  testsupport::RunCommandOrFail("mount -t tmpfs -o size=256k tmpfs " + testsupport::ShellQuote(out.string()));
  struct Unmount {
    ~Unmount() { testsupport::RunCommand("umount " + testsupport::ShellQuote(at.string())); }
    fs::path at;
  } unmount{out};
  KVUIRecovery& recovery = *operation;
  EXPECT_FALSE(KVUIController::IsRecoveryToSameDevice(QString::fromStdString(out.string())));
  int count = 0;
  uint64_t size = 0;
  KVUIController::GetSelectedFilesAmout(&count, &size);
  ASSERT_GT(wanted.size(), 20u);
  EXPECT_EQ(static_cast<size_t>(count), wanted.size());
  ASSERT_GT(size, 1u << 20) << "the selection must not fit";
  testing::internal::CaptureStdout();
  ASSERT_EQ(KVUIController::DoRecovery(QString::fromStdString(out.string()), "DoRecovery"), 0u);
  const auto waitFor = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 600 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return done();
  };
  EXPECT_TRUE(waitFor([&] { return recovery.GetStatus() == KVOperationPaused; }));
  uint64_t total = 0, current = 0, error = 0;
  KVUIController::GetRecoveryProgressTotal(&total, &current, &error);
  EXPECT_EQ(error & 0xffffffffu, KVUIRecovery::kDestinationFull);
  EXPECT_EQ(KVUIController::DoRecovery(QString::fromStdString(out.string()), "DoRecovery") != 0, true)
      << "a second start while one runs";
  testsupport::RunCommandOrFail("mount -o remount,size=64m " + testsupport::ShellQuote(out.string()));
  KVUIController::PauseOrResumeRecovery();
  EXPECT_TRUE(waitFor([&] { return !recovery.IsWorkerRunning(); }));
  // Each file, once whole, is told on standard output with its place in the run.
  const std::string told = testing::internal::GetCapturedStdout();
  for (const auto& [path, sha] : wanted) {
    EXPECT_NE(told.find("):" + fs::path(path).filename().string() + "=====\n"), std::string::npos) << path;
  }
  EXPECT_NE(told.find("===Recvoeried file(1):"), std::string::npos);
  EXPECT_NE(told.find("===Recvoeried file(" + std::to_string(wanted.size()) + "):"), std::string::npos);
  EXPECT_EQ(recovery.GetRecoveriedFilesCnt(), wanted.size());
  EXPECT_EQ(recovery.GetFailedFilesCnt(), 0u);
  EXPECT_EQ(recovery.GetRecoveriedFileSize(), size);
  recovery::ExpectCopied(out, wanted);
}
