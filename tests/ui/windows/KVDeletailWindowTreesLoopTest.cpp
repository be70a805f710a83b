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

#include "FatFixtures.h"
#include "KVDeletailWindowTestSupport.h"
#include "KVWindowsTestSupport.h"
#include "NtfsFixtures.h"
#include "QuickScanProbe.h"
#include "UiTestSupport.h"
#include "WizardTestSupport.h"
#include "app/KVUIScan.h"
#include "engine/device/DeviceTestSupport.h"
#include "platform/Resources.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KitElidedLabel.h"
#include "ui/widgets/KitImageView.h"
#include "ui/widgets/KitImages.h"

namespace {

namespace fs = std::filesystem;
using resultstest::Browsing;
using resultstest::Choose;
using resultstest::FolderAt;
using resultstest::SubRows;
using resultstest::TickRow;

// A file of the image as the peers know it.
struct Known {
  std::string path, ext;
  uint64_t size = 0;
  int64_t modified = -1, created = -1;
};

// The type tree files a name by the text after its last dot, lower-case.
std::string ExtOf(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  const auto dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// "YYYY-MM" of a Unix time in the zone the test set.
std::string Month(int64_t t) {
  const time_t v = static_cast<time_t>(t);
  struct tm parts {};
  localtime_r(&v, &parts);
  char key[32];
  std::snprintf(key, sizeof key, "%04d-%02d", parts.tm_year + 1900, parts.tm_mon + 1);
  return key;
}

// Creation times by path, as fls -m gives them (a live name before a
// deleted one; The Sleuth Kit's folder of orphans is the application's
// folder of lost files); the names of metadata and streams are left out.
std::map<std::string, int64_t> PeerCreationTimes(const fs::path& image) {
  const std::string text = testsupport::RunCommandOrFail("fls -m / -r " + testsupport::ShellQuote(image.string()));
  std::map<std::string, int64_t> times;
  std::set<std::string> live;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '|');) f.push_back(field);
    if (f.size() < 11 || f[1].size() < 2 || f[1].find("($FILE_NAME)") != std::string::npos) continue;
    std::string path = f[1].substr(1);
    const bool deleted = path.ends_with(" (deleted)");
    if (deleted) path.resize(path.size() - 10);
    if (path.rfind("$OrphanFiles/", 0) == 0) path = std::string(quickprobe::kLostFolder) + path.substr(12);
    if (path.find(':', path.rfind('/') + 1) != std::string::npos || live.count(path) != 0) continue;
    if (deleted && times.count(path) != 0) continue;
    if (!deleted) live.insert(path);
    times[path] = std::stoll(f[10]);
  }
  return times;
}

// Extension to category bit from the shipped table; an extension listed
// under two categories belongs to the later one.
std::map<std::string, int> CategoryTable() {
  QVariant table;
  EXPECT_TRUE(platform::Resources::ReadPropertyList(QStringLiteral("FileType"), &table));
  std::map<std::string, int> bits;
  for (int bit : {1, 2, 4, 8, 16, 32}) {
    for (const QVariant& ext : table.toMap().value(QString::number(bit)).toList())
      bits[ext.toString().toLower().toStdString()] = bit;
  }
  return bits;
}

// The states the path tree's folders must show with the entries `ticked`
// picks ticked: a file counts 2 or 0, a folder its own state over what it
// holds (none 0, all 2, some 1); an empty folder is ticked or not itself.
// Keyed by path ("" the root).
std::map<std::string, int> FolderStates(const std::vector<conformance::Expected>& entries,
                                        const std::function<bool(const std::string&)>& ticked) {
  std::map<std::string, std::vector<const conformance::Expected*>> held;
  for (const conformance::Expected& e : entries) {
    const auto slash = e.path.rfind('/');
    held[slash == std::string::npos ? "" : e.path.substr(0, slash)].push_back(&e);
  }
  std::map<std::string, int> states;
  const std::function<int(const std::string&)> state = [&](const std::string& folder) {
    const auto& inside = held[folder];
    if (inside.empty()) return states[folder] = ticked(folder) ? 2 : 0;
    int sum = 0;
    for (const conformance::Expected* e : inside) sum += e->folder ? state(e->path) : ticked(e->path) ? 2 : 0;
    return states[folder] = sum == 0 ? 0 : sum == 2 * static_cast<int>(inside.size()) ? 2 : 1;
  };
  state("");
  return states;
}

int StateOf(int ticked, int count) { return ticked == 0 ? 0 : ticked == count ? 2 : 1; }

// Every expected folder's row shows the state `ticked` gives it.
void ExpectFolderStates(KVDeletailWindowController& window, const std::vector<conformance::Expected>& entries,
                        const std::function<bool(const std::string&)>& ticked, const char* when) {
  OpNodeData* root = window.allDiskArr.front().get();
  for (const auto& [path, state] : FolderStates(entries, ticked)) {
    if (path.empty()) continue;  // the root also holds what the scan could not place
    OpNodeData* row = FolderAt(window, root, QString::fromStdString(path).split(QLatin1Char('/')));
    ASSERT_NE(row, nullptr) << path;
    EXPECT_EQ(row->state(), state) << when << ": " << path;
  }
}

// Year and month rows ("YYYY-MM") with their file counts, in order.
std::map<std::string, size_t> DateRows(const KVRowArray& rows, std::map<std::string, OpNodeData*>* months) {
  std::map<std::string, size_t> counts;
  EXPECT_EQ(rows.size(), 1u);
  std::vector<std::string> order;
  for (OpNodeData* year : SubRows(rows.front().get())) {
    for (OpNodeData* month : SubRows(year)) {
      const std::string key = year->name().toStdString() + "-" + month->name().toStdString();
      order.push_back(key);
      counts[key] = month->children().size();
      (*months)[key] = month;
    }
  }
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  return counts;
}

// Sorting by a column with equal keys keeps the list's order among them.
void ExpectStableSort(KVDeletailWindowController& window, const char* column,
                      const std::function<uint64_t(IFileNode*)>& key) {
  const std::vector<IFileNode*> before = window.arrList;
  const bool ascending = window.isSorted == 1;
  window.didClickTableColumn(window.tableView,
                             window.tableView->tableColumnWithIdentifier(QString::fromLatin1(column)));
  const std::vector<IFileNode*>& after = window.arrList;
  ASSERT_EQ(std::multiset<IFileNode*>(after.begin(), after.end()),
            std::multiset<IFileNode*>(before.begin(), before.end()));
  const auto at = [&](IFileNode* file) { return std::find(before.begin(), before.end(), file) - before.begin(); };
  for (size_t k = 1; k < after.size(); ++k) {
    const uint64_t a = key(after[k - 1]), b = key(after[k]);
    EXPECT_TRUE(ascending ? a <= b : a >= b) << column << " at " << k;
    if (a == b) {
      EXPECT_LT(at(after[k - 1]), at(after[k])) << column << ": equal keys reordered at " << k;
    }
  }
}

void TicksAndTrees(const fs::path& image, const char* zone, const QString& shots) {
  ::setenv("TZ", zone, 1);
  ::tzset();
  windowtest::Start();
  KVUIController::initFileType();
  KVUIController::SetRecoveryType(0x7f);
  const std::vector<conformance::Expected> entries = conformance::ReadExpectations(image.string() + ".expect.tsv");
  const std::map<std::string, int64_t> created = PeerCreationTimes(image);
  std::vector<Known> files;
  uint64_t bytes = 0;
  for (const conformance::Expected& e : entries) {
    if (e.folder) continue;
    ASSERT_GE(e.size, 0) << e.path;
    const auto peer = created.find(e.path);
    files.push_back(
        {e.path, ExtOf(e.path), static_cast<uint64_t>(e.size), e.mtime, peer != created.end() ? peer->second : -1});
    bytes += static_cast<uint64_t>(e.size);
  }
  ASSERT_GT(files.size(), 100u);

  devicetest::ImageGuard unchanged(image);
  {
    devicetest::LoopDevice loop(image, 0, false, true);
    ASSERT_TRUE(loop.attached());
    KVUIScan scan;
    KVUIController::UseScan(&scan);
    KVUIController::RefreshDeviceInfo();
    const int disk = wizardtest::DiskIndexOf(loop.path());
    ASSERT_GE(disk, 0) << loop.path() << " is not in the device list";
    std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
    KVUIController::GetDeviceInfoToArray(&rows);
    DiskVolumeNodeData* chosen = nullptr;
    for (const auto& row : rows) {
      if (row->diskIndex() == disk) chosen = row->numberOfChildren() > 0 ? row->childAtIndex(0) : row.get();
    }
    ASSERT_NE(chosen, nullptr);
    QPointer<KVDeletailWindowController> window = KVDeletailWindowController::OpenForScan(*chosen);
    rows.clear();
    ASSERT_TRUE(Browsing(*window));
    qttest::PumpUntil([] { return false; }, 1);  // the scan's last news
    window->popupViewHidden();
    ASSERT_EQ(window->allDiskArr.size(), 1u);
    OpNodeData* root = window->allDiskArr.front().get();
    const auto shoot = [&](const char* tree) {
      qttest::PumpUntil([] { return false; }, 0);
      uitest::SaveArtifact(uitest::Grab(window->window()), shots + QString::fromLatin1(tree));
    };

    // The root's box ticks every file of the image: the summary counts them.
    TickRow(*window, window->outlineView, root);
    EXPECT_EQ(window->selectedFileCnt, static_cast<int>(files.size()));
    EXPECT_EQ(window->selectedFileSize, bytes);
    EXPECT_TRUE(window->selectFilesLabel->text().endsWith(QStringLiteral(" in %1 files").arg(files.size())));
    ExpectFolderStates(
        *window, entries, [](const std::string&) { return true; }, "all ticked");
    TickRow(*window, window->outlineView, root);
    EXPECT_EQ(window->selectedFileCnt, 0);
    EXPECT_EQ(root->state(), 0);

    // File to folder: the folder with the most files of its own beside a
    // folder that holds files; one file, then the header box, then that
    // folder's box.
    std::map<std::string, int> direct;
    std::set<std::string> holdingFiles, filePaths;
    for (const conformance::Expected& e : entries) {
      const auto slash = e.path.rfind('/');
      if (e.folder) continue;
      filePaths.insert(e.path);
      ++direct[slash == std::string::npos ? "" : e.path.substr(0, slash)];
      for (auto up = slash; up != std::string::npos && up > 0; up = e.path.rfind('/', up - 1))
        holdingFiles.insert(e.path.substr(0, up));
    }
    std::string parent, subPath;
    for (const conformance::Expected& e : entries) {
      const auto slash = e.path.rfind('/');
      if (!e.folder || slash == std::string::npos || holdingFiles.count(e.path) == 0) continue;
      const std::string up = e.path.substr(0, slash);
      if (direct[up] > 0 && (parent.empty() || direct[up] > direct[parent])) {
        parent = up;
        subPath = e.path;
      }
    }
    ASSERT_FALSE(parent.empty());
    OpNodeData* folder = FolderAt(*window, root, QString::fromStdString(parent).split(QLatin1Char('/')));
    ASSERT_NE(folder, nullptr);
    Choose(*window, folder);
    ASSERT_EQ(static_cast<int>(window->arrList.size()), direct[parent]);
    const std::string first = parent + "/" + OpNodeData::fileNodeName(window->arrList.front()).toStdString();
    window->nsbuttonCellClick(0);
    ExpectFolderStates(
        *window, entries, [&](const std::string& path) { return path == first; }, "one file");
    EXPECT_EQ(window->selectedFileCnt, 1);
    window->nsbuttonCellClick(0);
    EXPECT_EQ(folder->state(), 0);
    window->setAllSelectOrNoSelect();
    const auto inParent = [&](const std::string& path) {
      return path.rfind(parent + "/", 0) == 0 && path.find('/', parent.size() + 1) == std::string::npos &&
             filePaths.count(path) != 0;
    };
    ExpectFolderStates(*window, entries, inParent, "the header box");
    EXPECT_EQ(window->selectedFileCnt, direct[parent]);
    OpNodeData* sub = FolderAt(*window, root, QString::fromStdString(subPath).split(QLatin1Char('/')));
    ASSERT_NE(sub, nullptr);
    TickRow(*window, window->outlineView, sub);
    const auto underSub = [&](const std::string& path) { return path == subPath || path.rfind(subPath + "/", 0) == 0; };
    const auto withSub = [&](const std::string& path) { return inParent(path) || underSub(path); };
    ExpectFolderStates(*window, entries, withSub, "and a folder's box");
    window->setAllSelectOrNoSelect();  // all listed files ticked: the box unticks them
    ExpectFolderStates(*window, entries, underSub, "the header box again");
    TickRow(*window, window->outlineView, root);  // partly ticked: ticked whole
    TickRow(*window, window->outlineView, root);
    EXPECT_EQ(window->selectedFileCnt, 0);

    // Sorting the biggest folder's list; its files share their times.
    std::string biggest;
    for (const auto& [path, count] : direct) {
      if (!path.empty() && (biggest.empty() || count > direct[biggest])) biggest = path;
    }
    Choose(*window, FolderAt(*window, root, QString::fromStdString(biggest).split(QLatin1Char('/'))));
    ASSERT_GT(window->arrList.size(), 100u);
    const auto createdKey = [](IFileNode* file) { return OpNodeData(file).createTimeValue(); };
    const auto sizeKey = [](IFileNode* file) { return OpNodeData(file).size(); };
    ExpectStableSort(*window, "Created", createdKey);
    ExpectStableSort(*window, "Created", createdKey);
    ExpectStableSort(*window, "Size", sizeKey);
    ExpectStableSort(*window, "Size", sizeKey);
    const bool ascending = window->isSorted == 1;
    window->didClickTableColumn(window->tableView,
                                window->tableView->tableColumnWithIdentifier(QStringLiteral("Name")));
    for (size_t k = 1; k < window->arrList.size(); ++k) {
      const int order =
          OpNodeData::fileNodeName(window->arrList[k - 1]).compare(OpNodeData::fileNodeName(window->arrList[k]));
      EXPECT_TRUE(ascending ? order <= 0 : order >= 0) << k;
    }
    shoot("-tree-path");

    // The type tree: a row per category, below it a row per extension met,
    // files without a listed extension directly under "other".
    const std::map<std::string, int> table = CategoryTable();
    const auto bitOf = [&](const std::string& ext) {
      const auto it = table.find(ext);
      return it != table.end() ? it->second : 0;
    };
    std::map<std::string, size_t> typeRows;  // "<bit>/<ext>"; "32/" for files under "other" itself
    for (const Known& file : files) {
      const int bit = bitOf(file.ext);
      ++typeRows[bit == 0 ? "32/" : std::to_string(bit) + "/" + file.ext];
    }
    window->typeButtonClick();
    ASSERT_EQ(window->allTypeArr.size(), 6u);
    std::map<std::string, size_t> shown;
    for (size_t i = 0; i < 6; ++i) {
      OpNodeData* category = window->allTypeArr[i].get();
      const std::vector<OpNodeData*> exts = SubRows(category);
      for (OpNodeData* ext : exts)
        shown[std::to_string(1 << i) + "/" + ext->name().toStdString()] = ext->children().size();
      if (category->children().size() > exts.size())
        shown[std::to_string(1 << i) + "/"] = category->children().size() - exts.size();
      // The outline lists the extension rows, never the files beside them,
      // and counts the files below.
      EXPECT_EQ(window->getNodeDataIsLeaf(category), static_cast<int>(exts.size()));
      size_t below = 0;
      for (const auto& [key, count] : typeRows) below += key.rfind(std::to_string(1 << i) + "/", 0) == 0 ? count : 0;
      KitTableColumn* name = window->outlineView->tableColumnWithIdentifier(QStringLiteral("Name"));
      auto* cell = static_cast<NewButton*>(name->dataCell());
      window->willDisplayCell(window->outlineView, cell, name, category);
      EXPECT_TRUE(cell->label().endsWith(QStringLiteral("(%1)").arg(below))) << cell->label().toStdString();
    }
    EXPECT_EQ(shown, typeRows);

    // Every .txt file ticked through its extension row.
    OpNodeData* documents = window->allTypeArr[4].get();
    OpNodeData* txt = nullptr;
    for (OpNodeData* ext : SubRows(documents)) txt = ext->name() == QLatin1String("txt") ? ext : txt;
    ASSERT_NE(txt, nullptr);
    TickRow(*window, window->outlineView, txt);
    const auto isTxt = [&](const std::string& path) { return ExtOf(path) == "txt"; };
    size_t txtFiles = 0;
    uint64_t txtBytes = 0;
    for (const Known& file : files) {
      if (file.ext != "txt") continue;
      ++txtFiles;
      txtBytes += file.size;
    }
    EXPECT_EQ(window->selectedFileCnt, static_cast<int>(txtFiles));
    EXPECT_EQ(window->selectedFileSize, txtBytes);
    EXPECT_EQ(txt->state(), 2);
    int documentsTicked = 0;
    for (OpNodeData* ext : SubRows(documents)) documentsTicked += ext->state();
    EXPECT_EQ(documents->state(), StateOf(documentsTicked, 2 * static_cast<int>(documents->children().size())));
    Choose(*window, txt);
    EXPECT_EQ(window->listViewSelectAllButton->image().toImage(),
              KitImages::Named(QStringLiteral("checkbox_yes")).toImage());
    shoot("-tree-type");

    // With the other row's extension rows ticked, a file of the other row's
    // own ticked and unticked from its list leaves their files ticked.
    OpNodeData* other = window->allTypeArr[5].get();
    if (typeRows.count("32/") != 0) {
      for (OpNodeData* ext : SubRows(other)) TickRow(*window, window->outlineView, ext);
      const int withExtensions = window->selectedFileCnt;
      Choose(*window, other);
      ASSERT_EQ(window->arrList.size(), typeRows["32/"]);
      window->nsbuttonCellClick(0);
      EXPECT_EQ(window->selectedFileCnt, withExtensions + 1);
      EXPECT_EQ(other->state(), 1);
      window->nsbuttonCellClick(0);
      EXPECT_EQ(window->selectedFileCnt, withExtensions);
      for (OpNodeData* ext : SubRows(other)) TickRow(*window, window->outlineView, ext);
      EXPECT_EQ(window->selectedFileCnt, static_cast<int>(txtFiles));
    }

    // The path tree shows the same ticks.
    window->pathButtonClick();
    ExpectFolderStates(*window, entries, isTxt, "txt ticked");

    // The date trees: a row per year and month of the files' times in the
    // zone of the machine, the month rows showing the same ticks.
    for (const bool byCreation : {true, false}) {
      std::map<std::string, size_t> months;
      std::map<std::string, int> ticked;
      for (const Known& file : files) {
        const int64_t t = byCreation ? file.created : file.modified;
        if (t <= 0) continue;
        ++months[Month(t)];
        ticked[Month(t)] += file.ext == "txt" ? 1 : 0;
      }
      if (byCreation) {
        window->timeButtonClick();
      } else {
        window->modifyTimeButtonClick();
      }
      const KVRowArray& tree = byCreation ? window->allCreatTimeArr : window->allModifyTimeArr;
      std::map<std::string, OpNodeData*> monthRows;
      EXPECT_EQ(DateRows(tree, &monthRows), months) << (byCreation ? "created" : "modified");
      for (const auto& [key, row] : monthRows) {
        EXPECT_EQ(row->state(), StateOf(ticked[key], static_cast<int>(months[key]))) << key;
      }
      ASSERT_FALSE(monthRows.empty());
      for (OpNodeData* year : SubRows(tree.front().get())) window->timeOutlineView->expandItem(year);
      OpNodeData* month = monthRows.begin()->second;
      Choose(*window, month);
      shoot(byCreation ? "-tree-created" : "-tree-modified");
      // A month's box ticks its files (and the summary counts them).
      if (month->state() == 2) TickRow(*window, window->timeOutlineView, month);
      TickRow(*window, window->timeOutlineView, month);
      EXPECT_EQ(month->state(), 2);
      size_t expectedTicked = 0;
      for (const Known& file : files) {
        const int64_t t = byCreation ? file.created : file.modified;
        expectedTicked += file.ext == "txt" || (t > 0 && Month(t) == monthRows.begin()->first) ? 1 : 0;
      }
      EXPECT_EQ(window->selectedFileCnt, static_cast<int>(expectedTicked));
      TickRow(*window, window->timeOutlineView, month);
      // Back to the .txt files alone.
      window->typeButtonClick();
      TickRow(*window, window->outlineView, txt);
      if (txt->state() != 2) TickRow(*window, window->outlineView, txt);
      EXPECT_EQ(window->selectedFileCnt, static_cast<int>(txtFiles));
    }
    delete window.data();
    KVUIController::UseScan(nullptr);
  }
  // The lists that knew the device let it go.
  KVUIController::RefreshDeviceInfo();
  KVUIController::RefreshDeviceInfo();
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
