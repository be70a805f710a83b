// Ticks, sorting and the four trees of the results window on real images:
// the FAT16 image of tests/fixtures/fat (mkfs.fat and mtools) and the NTFS
// image of tests/fixtures/ntfs (mkntfs and ntfs-3g), each attached read-only
// as a loop device and quick-scanned. What the window must show comes from
// outside our code: paths, sizes and modification times from the image's
// expectation file, creation times from The Sleuth Kit (fls -m), categories
// from the shipped "FileType" table. The image is unchanged afterwards.
#include <QPointer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "FatFixtures.h"
#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "NtfsFixtures.h"
#include "QuickScanProbe.h"
#include "UiTestSupport.h"
#include "app/KVUIScan.h"
#include "engine/device/DeviceTestSupport.h"
#include "platform/Resources.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KitElidedLabel.h"

namespace {

namespace fs = std::filesystem;
using conformance::Expected;
using resultstest::Choose;
using resultstest::SubRows;
using resultstest::TickRow;
using Picks = std::function<bool(const std::string& path)>;

// The type tree files a name by the text after its last dot, lower-case.
std::string ExtOf(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  const auto dot = name.rfind('.');
  return dot == std::string::npos ? "" : QString::fromStdString(name.substr(dot + 1)).toLower().toStdString();
}

// "YYYY-MM" of a Unix time in the zone the test set.
std::string Month(int64_t t) {
  const time_t v = static_cast<time_t>(t);
  struct tm parts {};
  localtime_r(&v, &parts);
  return QStringLiteral("%1-%2").arg(parts.tm_year + 1900).arg(parts.tm_mon + 1, 2, 10, QLatin1Char('0')).toStdString();
}

// Creation times by path from fls -m: a live name before a deleted one,
// The Sleuth Kit's orphans under the application's folder of lost files.
std::map<std::string, int64_t> PeerCreationTimes(const fs::path& image) {
  std::istringstream lines(testsupport::RunCommandOrFail("fls -m / -r " + testsupport::ShellQuote(image.string())));
  std::map<std::string, int64_t> times;
  std::set<std::string> live;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '|');) f.push_back(field);
    if (f.size() < 11 || f[1].size() < 2 || f[1].find("($FILE_NAME)") != std::string::npos) continue;
    std::string path = f[1].substr(1);
    const bool deleted = path.ends_with(" (deleted)");
    if (deleted) path.resize(path.size() - 10);
    if (path.rfind("$OrphanFiles/", 0) == 0) path = std::string(quickprobe::kLostFolder) + path.substr(12);
    if (live.count(path) != 0 || (deleted && times.count(path) != 0)) continue;
    if (!deleted) live.insert(path);
    times[path] = std::stoll(f[10]);
  }
  return times;
}

// The states the path tree's folders must show with the entries `ticked`
// picks: a folder's over what it holds (a file 2 or 0, a folder its own
// state): none 0, all 2, some 1; an empty folder is ticked or not itself.
std::map<std::string, int> FolderStates(const std::vector<Expected>& entries, const Picks& ticked) {
  std::map<std::string, std::vector<const Expected*>> held;
  for (const Expected& e : entries) held[e.path.substr(0, e.path.rfind('/') + 1)].push_back(&e);
  std::map<std::string, int> states;
  const std::function<int(const std::string&)> state = [&](const std::string& folder) {
    const auto& inside = held[folder.empty() ? "" : folder + "/"];
    if (inside.empty()) return states[folder] = ticked(folder) ? 2 : 0;
    int sum = 0;
    for (const Expected* e : inside) sum += e->folder ? state(e->path) : ticked(e->path) ? 2 : 0;
    return states[folder] = sum == 0 ? 0 : sum == 2 * static_cast<int>(inside.size()) ? 2 : 1;
  };
  state("");
  return states;
}

// Every expected folder's row shows its state (the root also holds what the
// scan could not place: it is left out).
void ExpectFolderStates(KVDeletailWindowController& window, const std::vector<Expected>& entries, const Picks& ticked,
                        const char* when) {
  for (const auto& [path, state] : FolderStates(entries, ticked)) {
    if (path.empty()) continue;
    OpNodeData* row = resultstest::FolderAt(window, window.allDiskArr.front().get(),
                                            QString::fromStdString(path).split(QLatin1Char('/')));
    ASSERT_NE(row, nullptr) << path;
    EXPECT_EQ(row->state(), state) << when << ": " << path;
  }
}

// Sorts the list by `column`: in the direction the window says, and equal
// keys keep the order they had.
void ExpectStableSort(KVDeletailWindowController& window, const char* column, uint64_t (*key)(IFileNode*)) {
  const std::vector<IFileNode*> before = window.arrList;
  const bool ascending = window.isSorted == 1;
  window.didClickTableColumn(window.tableView,
                             window.tableView->tableColumnWithIdentifier(QString::fromLatin1(column)));
  ASSERT_EQ(window.arrList.size(), before.size());
  const auto at = [&](IFileNode* file) { return std::find(before.begin(), before.end(), file) - before.begin(); };
  for (size_t k = 1; k < window.arrList.size(); ++k) {
    const uint64_t a = key(window.arrList[k - 1]), b = key(window.arrList[k]);
    EXPECT_TRUE(ascending ? a <= b : a >= b) << column << " at " << k;
    if (a == b) {
      EXPECT_LT(at(window.arrList[k - 1]), at(window.arrList[k])) << column << ": ties reordered at " << k;
    }
  }
}

void TicksAndTrees(const fs::path& image, const char* zone, const QString& shots) {
  ::setenv("TZ", zone, 1);
  ::tzset();
  windowtest::Start();
  KVUIController::initFileType();
  KVUIController::SetRecoveryType(0x7f);
  const std::vector<Expected> entries = conformance::ReadExpectations(image.string() + ".expect.tsv");
  const std::map<std::string, int64_t> created = PeerCreationTimes(image);
  QVariant table;
  ASSERT_TRUE(platform::Resources::ReadPropertyList(QStringLiteral("FileType"), &table));
  std::map<std::string, int> bits;  // a later category wins
  for (int bit : {1, 2, 4, 8, 16, 32}) {
    for (const QVariant& ext : table.toMap().value(QString::number(bit)).toList())
      bits[ext.toString().toLower().toStdString()] = bit;
  }
  // Per file: "<category bit>/<extension>" ("32/" for one under "other"
  // itself) and its creation and modification months.
  std::map<std::string, size_t> typeRows, txtPerMonth[2], perMonth[2];
  std::map<std::string, int> direct;  // files directly in each folder
  std::set<std::string> holdingFiles, filePaths;
  size_t txtFiles = 0;
  uint64_t bytes = 0, txtBytes = 0;
  for (const Expected& e : entries) {
    if (e.folder) continue;
    filePaths.insert(e.path);
    const std::string ext = ExtOf(e.path);
    const int bit = bits.count(ext) != 0 ? bits[ext] : 0;
    ++typeRows[bit == 0 ? "32/" : std::to_string(bit) + "/" + ext];
    bytes += static_cast<uint64_t>(e.size);
    txtFiles += ext == "txt" ? 1 : 0;
    txtBytes += ext == "txt" ? static_cast<uint64_t>(e.size) : 0;
    const auto peer = created.find(e.path);
    ASSERT_NE(peer, created.end()) << e.path;
    for (int k : {0, 1}) {
      const std::string month = Month(k == 0 ? peer->second : e.mtime);
      ++perMonth[k][month];
      txtPerMonth[k][month] += ext == "txt" ? 1 : 0;
    }
    const auto slash = e.path.rfind('/');
    ++direct[slash == std::string::npos ? "" : e.path.substr(0, slash)];
    for (auto up = slash; up != std::string::npos && up > 0; up = e.path.rfind('/', up - 1))
      holdingFiles.insert(e.path.substr(0, up));
  }
  ASSERT_GT(txtFiles, 100u);

  devicetest::ImageGuard unchanged(image);
  {
    devicetest::LoopDevice loop(image, 0, false, true);
    ASSERT_TRUE(loop.attached());
    KVUIScan scan;
    KVUIController::UseScan(&scan);
    QPointer<KVDeletailWindowController> window = resultstest::OpenOnDevice(loop.path());
    ASSERT_NE(window, nullptr) << loop.path() << " is not in the device list";
    ASSERT_TRUE(resultstest::Browsing(*window));
    qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
    window->popupViewHidden();
    OpNodeData* root = window->allDiskArr.front().get();
    const auto shoot = [&](const char* tree) {
      qttest::PumpUntil([] { return false; }, 0);
      uitest::SaveArtifact(uitest::Grab(window->window()), shots + QString::fromLatin1(tree));
    };
    const auto folderRow = [&](const std::string& path) {
      return resultstest::FolderAt(*window, root, QString::fromStdString(path).split(QLatin1Char('/')));
    };

    // The root's box ticks every file of the image: the summary counts them.
    TickRow(*window, window->outlineView, root);
    EXPECT_EQ(window->selectedFileSize, bytes);
    EXPECT_TRUE(window->selectFilesLabel->text().endsWith(QStringLiteral(" in %1 files").arg(filePaths.size())))
        << window->selectFilesLabel->text().toStdString();
    ExpectFolderStates(
        *window, entries, [](const std::string&) { return true; }, "all ticked");
    TickRow(*window, window->outlineView, root);
    EXPECT_EQ(window->selectedFileCnt, 0);

    // File to folder: a folder with files of its own beside a folder that
    // holds files (so it stays partly ticked); one file, then the header box.
    std::string parent;
    for (const Expected& e : entries) {
      const auto slash = e.path.rfind('/');
      if (parent.empty() && e.folder && holdingFiles.count(e.path) != 0 && slash != std::string::npos &&
          direct[e.path.substr(0, slash)] > 0) {
        parent = e.path.substr(0, slash);
      }
    }
    ASSERT_FALSE(parent.empty());
    Choose(*window, folderRow(parent));
    const std::string first = parent + "/" + OpNodeData::fileNodeName(window->arrList.front()).toStdString();
    window->nsbuttonCellClick(0);
    ExpectFolderStates(
        *window, entries, [&](const std::string& path) { return path == first; }, "one file");
    window->nsbuttonCellClick(0);
    window->setAllSelectOrNoSelect();
    const Picks listed = [&](const std::string& path) {
      return filePaths.count(path) != 0 && path.rfind(parent + "/", 0) == 0 &&
             path.find('/', parent.size() + 1) == std::string::npos;
    };
    EXPECT_EQ(window->selectedFileCnt, direct[parent]);
    ExpectFolderStates(*window, entries, listed, "the header box");
    TickRow(*window, window->outlineView, root);  // partly ticked: ticked whole
    TickRow(*window, window->outlineView, root);

    // Sorting the biggest folder's list, whose files share their times.
    const auto biggest = std::max_element(direct.begin(), direct.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
    Choose(*window, folderRow(biggest->first));
    for (const char* column : {"Created", "Created"})
      ExpectStableSort(*window, column, [](IFileNode* file) { return OpNodeData(file).createTimeValue(); });
    for (const char* column : {"Size", "Size"})
      ExpectStableSort(*window, column, [](IFileNode* file) { return OpNodeData(file).size(); });
    shoot("-tree-path");

    // The type tree: a row per category, below it a row per extension met
    // (the outline lists those), the files without a listed extension under
    // "other" itself; each row counts the files below it.
    window->typeButtonClick();
    ASSERT_EQ(window->allTypeArr.size(), 6u);
    std::map<std::string, size_t> shown;
    KitTableColumn* name = window->outlineView->tableColumnWithIdentifier(QStringLiteral("Name"));
    auto* cell = static_cast<NewButton*>(name->dataCell());
    for (size_t i = 0; i < 6; ++i) {
      OpNodeData* category = window->allTypeArr[i].get();
      const std::string bit = std::to_string(1 << i) + "/";
      const std::vector<OpNodeData*> exts = SubRows(category);
      for (OpNodeData* ext : exts) shown[bit + ext->name().toStdString()] = ext->children().size();
      if (category->children().size() > exts.size()) shown[bit] = category->children().size() - exts.size();
      EXPECT_EQ(window->getNodeDataIsLeaf(category), static_cast<int>(exts.size()));
      size_t below = 0;
      for (const auto& [key, count] : typeRows) below += key.rfind(bit, 0) == 0 ? count : 0;
      window->willDisplayCell(window->outlineView, cell, name, category);
      EXPECT_TRUE(cell->label().endsWith(QStringLiteral("(%1)").arg(below))) << cell->label().toStdString();
    }
    EXPECT_EQ(shown, typeRows);

    // Every .txt file ticked through its extension row: counted, and shown
    // by the path tree's folders.
    OpNodeData* txt = nullptr;
    for (OpNodeData* ext : SubRows(window->allTypeArr[4].get())) txt = ext->name() == "txt" ? ext : txt;
    ASSERT_NE(txt, nullptr);
    TickRow(*window, window->outlineView, txt);
    EXPECT_EQ(window->selectedFileCnt, static_cast<int>(txtFiles));
    EXPECT_EQ(window->selectedFileSize, txtBytes);
    Choose(*window, txt);
    shoot("-tree-type");
    // With the other row's extension rows ticked, a file of the other row's
    // own ticked and unticked from its list leaves their files ticked.
    OpNodeData* other = window->allTypeArr[5].get();
    if (typeRows.count("32/") != 0) {
      for (OpNodeData* ext : SubRows(other)) TickRow(*window, window->outlineView, ext);
      const int withExtensions = window->selectedFileCnt;
      Choose(*window, other);
      window->nsbuttonCellClick(0);
      EXPECT_EQ(other->state(), 1);
      window->nsbuttonCellClick(0);
      EXPECT_EQ(window->selectedFileCnt, withExtensions);
      for (OpNodeData* ext : SubRows(other)) TickRow(*window, window->outlineView, ext);
    }
    window->pathButtonClick();
    ExpectFolderStates(
        *window, entries, [](const std::string& path) { return ExtOf(path) == "txt"; }, "txt");

    // The date trees: a row per year and month of the files' times in the
    // machine's zone, each month ticked as much as its .txt files make it;
    // a month's box ticks its files.
    for (int k : {0, 1}) {
      k == 0 ? window->timeButtonClick() : window->modifyTimeButtonClick();
      const KVRowArray& tree = k == 0 ? window->allCreatTimeArr : window->allModifyTimeArr;
      ASSERT_EQ(tree.size(), 1u);
      std::map<std::string, size_t> months;
      OpNodeData* month = nullptr;
      std::string monthKey;
      for (OpNodeData* year : SubRows(tree.front().get())) {
        window->timeOutlineView->expandItem(year);
        for (OpNodeData* row : SubRows(year)) {
          const std::string key = year->name().toStdString() + "-" + row->name().toStdString();
          months[key] = row->children().size();
          const size_t ticked = txtPerMonth[k][key];
          EXPECT_EQ(row->state(), ticked == 0 ? 0 : ticked == months[key] ? 2 : 1) << key;
          if (month == nullptr) std::tie(month, monthKey) = std::pair(row, key);
        }
      }
      EXPECT_EQ(months, perMonth[k]);
      ASSERT_NE(month, nullptr);
      Choose(*window, month);
      shoot(k == 0 ? "-tree-created" : "-tree-modified");
      TickRow(*window, window->timeOutlineView, month);
      EXPECT_EQ(month->state(), 2);
      EXPECT_EQ(window->selectedFileCnt, static_cast<int>(txtFiles + perMonth[k][monthKey] - txtPerMonth[k][monthKey]));
      TickRow(*window, window->timeOutlineView, month);
      EXPECT_EQ(window->selectedFileCnt, static_cast<int>(txtFiles - txtPerMonth[k][monthKey]));
      txt->setNodeState(2);  // as before, for the next tree
    }
    delete window.data();
    KVUIController::UseScan(nullptr);
  }
}

TEST(ResultTreesOnFat, TicksSortingAndTreesAgreeWithTheImage) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  const std::string why = fatfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  // FAT keeps local times: the zone the peers ran in.
  TicksAndTrees(fatfixtures::Dir() / "f16.img", "UTC", QStringLiteral("results-fat16"));
}

TEST(ResultTreesOnNtfs, TicksSortingAndTreesAgreeWithTheImage) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  REQUIRE_NTFS_FIXTURES();
  // Fourteen hours east of UTC, written without a zone database.
  TicksAndTrees(ntfsfixtures::FixtureDir() / "default.img", "XYZ-14", QStringLiteral("results-ntfs"));
}

}  // namespace
