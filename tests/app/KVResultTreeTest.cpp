// Result rows by date and type over found nodes handed to the scan
// operation as a scanner would, and the scan's progress texts.
#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "AppTestNode.h"
#include "FileTime.h"
#include "app/KVTimeMgr.h"
#include "app/KVTypeMgr.h"
#include "app/KVUIController.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"

namespace {

// Unix seconds of a UTC date.
int64_t Utc(int year, int month, int day) {
  struct tm parts {};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = 10;
  return timegm(&parts);
}

class ResultTrees : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    // The engine's category lists come from the type table, before the
    // first filter is made.
    KVUIController::initFileType();
    KVUIController::UseScan(&scan);
    KVTypeMgr::share().clear();
    KVTimeMgr::share().clear();
    root = tree.Root(std::string("vol"), SEARCHER_TYPE_NTFS);
    scan.ShowFilesystemNode(root);
  }
  void TearDown() override { KVUIController::UseScan(nullptr); }

  AppTestNode* File(const std::string& name, int64_t modified) {
    AppTestNode* node = tree.File(root, name);
    node->SetModified(modified == 0 ? 0 : filetime::FromUnixSeconds(modified));
    IFileNode* handle = node;
    scan.ShowNodes(&handle, 1, 0);
    return node;
  }

  NodeTree tree;
  AppTestRoot* root = nullptr;
  KVUIScan scan;
};

std::vector<std::string> Names(OpNodeData* row) {
  std::vector<std::string> names;
  for (auto& child : row->children()) {
    if (auto* sub = std::get_if<std::unique_ptr<OpNodeData>>(&child)) names.push_back((*sub)->name().toStdString());
  }
  return names;
}

OpNodeData* Row(OpNodeData* parent, size_t i) {
  return std::get<std::unique_ptr<OpNodeData>>(parent->children().at(i)).get();
}

TEST_F(ResultTrees, DateRowsSortByNumberAndKeepTheirMonth) {
  File("a.jpg", Utc(2015, 3, 31));
  File("b.txt", Utc(2013, 11, 30));
  File("c.txt", Utc(2015, 1, 31));
  File("never.txt", 0);
  tree.Folder(root, "folder");
  KVRowArray rows;
  KVUIController::SetViewType(KVViewModificationDate);
  KVUIController::GetScanTreeNodeData(&rows, 0);
  ASSERT_EQ(rows.size(), 1u);
  OpNodeData* top = rows[0].get();
  EXPECT_EQ(Names(top), (std::vector<std::string>{"2013", "2015"}));
  EXPECT_EQ(Names(Row(top, 1)), (std::vector<std::string>{"01", "03"}));
  EXPECT_EQ(KVUIController::GetTimeNodeChildrenCnt(top), 3u);
  EXPECT_EQ(KVUIController::GetTimeNodeChildrenCnt(Row(top, 1)), 2u);

  // A month row's time lies in its own month whatever today's day is: the
  // 31st must not carry February into March.
  for (int month = 1; month <= 12; ++month) {
    const time_t t = KVTimeMgr::MonthTime(2015, month);
    struct tm parts {};
    localtime_r(&t, &parts);
    EXPECT_EQ(parts.tm_mon + 1, month);
  }
  std::vector<IFileNode*> list;
  KVUIController::GetFileNodeToArray(&list, Row(Row(top, 1), 1));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_STREQ(list[0]->GetFileName(), "a.jpg");

  // A second refresh adds nothing; a later file goes to the end of its month.
  KVUIController::GetScanTreeNodeData(&rows, 0);
  EXPECT_EQ(KVUIController::GetTimeNodeChildrenCnt(top), 3u);
  File("d.txt", Utc(2015, 3, 2));
  File("e.txt", Utc(10000, 1, 1));
  KVUIController::GetScanTreeNodeData(&rows, 0);
  EXPECT_EQ(Names(top), (std::vector<std::string>{"2013", "2015", "10000"}));
  KVUIController::GetFileNodeToArray(&list, Row(Row(top, 1), 1));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_STREQ(list[1]->GetFileName(), "d.txt");

  // Rows dropped and made again (the window drops them for a search or a
  // scan, which may be refused) hold every file again, and a later file
  // goes into the new rows, not into the dropped ones.
  rows.clear();
  KVUIController::GetScanTreeNodeData(&rows, 0);
  ASSERT_EQ(rows.size(), 1u);
  top = rows[0].get();
  EXPECT_EQ(Names(top), (std::vector<std::string>{"2013", "2015", "10000"}));
  EXPECT_EQ(KVUIController::GetTimeNodeChildrenCnt(top), 5u);
  File("f.txt", Utc(2013, 11, 1));
  KVUIController::GetScanTreeNodeData(&rows, 0);
  EXPECT_EQ(KVUIController::GetTimeNodeChildrenCnt(Row(top, 0)), 2u);
}

TEST_F(ResultTrees, TypeRowsPutUnlistedExtensionsUnderOther) {
  File("b.JPG", 1);
  File("a.png", 1);
  File("c.jpg", 1);
  File("notes.qqq", 1);
  File("README", 1);
  AppTestNode* hidden = File("d.jpg", 1);
  hidden->ShowNode(0);
  KVRowArray rows;
  KVUIController::SetViewType(KVViewFileType);
  KVUIController::GetScanTreeNodeData(&rows, 0);
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(Names(rows[0].get()), (std::vector<std::string>{"jpg", "png"}));
  EXPECT_EQ(Row(rows[0].get(), 0)->children().size(), 2u);
  EXPECT_TRUE(Names(rows[5].get()).empty());
  EXPECT_EQ(rows[5]->children().size(), 2u);
  std::vector<IFileNode*> list;
  EXPECT_EQ(KVUIController::GetTypeInfoToArray(&list, rows[0].get()), 1);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(KVUIController::GetTypeInfoToArray(&list, rows[5].get()), 0);
  EXPECT_EQ(list.size(), 2u);
  EXPECT_EQ(KVUIController::GetNodeChildrenCnt(rows[0].get()), 3u);

  // One of the two jpg files ticked: the extension row is partly ticked.
  OpNodeData::setFileNodeWithState(std::get<IFileNode*>(Row(rows[0].get(), 0)->children()[0]), 2);
  KVUIController::RefreshTypeTreeState(nullptr);
  EXPECT_EQ(Row(rows[0].get(), 0)->state(), 1);
  EXPECT_EQ(rows[0]->state(), 1);
  EXPECT_FALSE(KVUIController::getImageForType("jpg").isEmpty());
  EXPECT_TRUE(KVUIController::getImageForType("qqq").isEmpty());

  // An extension met later still takes its place by name.
  File("e.gif", 1);
  KVUIController::GetScanTreeNodeData(&rows, 0);
  EXPECT_EQ(Names(rows[0].get()), (std::vector<std::string>{"gif", "jpg", "png"}));
}

// The other row holds extension rows beside its own files: its mark counts
// both, and recomputing it never ticks or unticks its extension rows' files.
TEST_F(ResultTrees, OtherRowMarksCountItsExtensionRowsAndLeaveThemAlone) {
  AppTestNode* loose = File("README", 1);
  AppTestNode* log = File("trace.log", 1);
  KVRowArray rows;
  KVUIController::SetViewType(KVViewFileType);
  KVUIController::GetScanTreeNodeData(&rows, 0);
  OpNodeData* other = rows[5].get();
  ASSERT_EQ(Names(other), std::vector<std::string>{"log"});
  ASSERT_EQ(other->children().size(), 2u);
  EXPECT_EQ(KVUIController::GetNodeChildrenCnt(other), 2u) << "files, not rows";

  // Its own file ticked from the list: the log file stays as it was.
  OpNodeData::setFileNodeWithState(loose, 2);
  KVUIController::RefreshTypeTreeState(other);
  EXPECT_EQ(log->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(other->state(), 1);
  OpNodeData::setFileNodeWithState(log, 2);
  KVUIController::RefreshTypeTreeState(nullptr);
  EXPECT_EQ(Row(other, 0)->state(), 2);
  EXPECT_EQ(other->state(), 2);
  OpNodeData::setFileNodeWithState(loose, 0);
  KVUIController::RefreshTypeTreeState(other);
  EXPECT_EQ(log->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(other->state(), 1);
}

TEST_F(ResultTrees, NameSearchHidesWhatDoesNotMatch) {
  AppTestNode* folder = tree.Folder(root, "album");
  AppTestNode* photo = tree.File(folder, "PHOTO1.jpg");
  AppTestNode* other = tree.File(root, "myphoto.png");
  AppTestNode* doc = File("doc.txt", 1);
  for (IFileNode* node : {static_cast<IFileNode*>(photo), static_cast<IFileNode*>(other)}) scan.ShowNodes(&node, 1, 0);
  std::vector<IFileNode*> list;
  KVUIController::GetSearchResultToArr(&list);
  EXPECT_TRUE(list.empty()) << "no key, no result list";

  // One search at a time, until the window acknowledges it.
  scan.SetSearching(1);
  EXPECT_FALSE(KVUIController::DoSearchWithString("PHO", "searched"));
  KVUIController::StopSearch();

  scan.SetSearchKey("PHO");
  KVUIController::DoSearchFn("searched");
  EXPECT_TRUE(photo->IsNodeShow());
  EXPECT_TRUE(other->IsNodeShow());
  EXPECT_FALSE(doc->IsNodeShow());
  EXPECT_TRUE(folder->IsNodeShow());
  KVUIController::GetSearchResultToArr(&list);
  EXPECT_EQ(list.size(), 2u);
  EXPECT_EQ(KVUIController::GetSearchString(), "PHO");

  scan.SetSearchKey("");
  KVUIController::DoSearchFn("searched");
  EXPECT_TRUE(doc->IsNodeShow());
  EXPECT_EQ(KVUIController::GetSearchString(), "");
}

// A full destination pauses a running recovery and never turns a stop into
// a pause; bytes count per file.
TEST_F(ResultTrees, RecoveryProgressPausesOnAFullDestination) {
  KVUIRecovery recovery(&scan);
  recovery.SetRecoveryTotalSize(300);
  recovery.SetStatus(KVOperationRunning);
  _PROGRESS_INFO info;
  info.total = 200;
  info.current = 100;
  recovery.UpdateProgress(&info);
  info.error = 0x0107000000000d03ull;
  recovery.UpdateProgress(&info);
  EXPECT_EQ(recovery.GetStatus(), KVOperationPaused);
  EXPECT_EQ(recovery.GetProgressInfo().error, info.error);
  recovery.SetStatus(KVOperationStopping);
  recovery.UpdateProgress(&info);
  EXPECT_EQ(recovery.GetStatus(), KVOperationStopping);
  info.error = 0;
  info.current = 200;
  recovery.UpdateProgress(&info);
  EXPECT_EQ(recovery.GetRecoveriedFileSize(), 200u);
  EXPECT_EQ(recovery.GetProgressInfo().total, 300u);

  setenv("PKEXEC_UID", "1234", 1);
  setenv("SUDO_UID", "99", 1);
  EXPECT_EQ(KVUIRecovery::InvokingUser(), 1234);
  setenv("PKEXEC_UID", "12x", 1);
  EXPECT_EQ(KVUIRecovery::InvokingUser(), 99);
  unsetenv("PKEXEC_UID");
  unsetenv("SUDO_UID");
  EXPECT_EQ(KVUIRecovery::InvokingUser(), -1);
}

// The disks under a device-mapper volume over a partition, as sysfs links
// them: the volume, the partition and the disk holding it.
TEST(RecoveryDestination, BackingDisksFollowSlavesAndPartitionsInSysfs) {
  namespace fs = std::filesystem;
  const fs::path sys = fs::temp_directory_path() / ("clipmender-sys-" + std::to_string(getpid()));
  const fs::path disk = sys / "devices/virtual/block/loop7";
  const fs::path dm = sys / "devices/virtual/block/dm-0";
  fs::create_directories(disk / "loop7p1");
  fs::create_directories(disk / "loop7p2");
  std::FILE* mark = std::fopen((disk / "loop7p1/partition").c_str(), "w");
  ASSERT_NE(mark, nullptr);
  std::fclose(mark);
  fs::create_directories(dm / "slaves");
  fs::create_directory_symlink("../../loop7/loop7p1", dm / "slaves/loop7p1");
  fs::create_directories(sys / "dev/block");
  fs::create_directory_symlink("../../devices/virtual/block/dm-0", sys / "dev/block/253:0");
  EXPECT_EQ(KVUIRecovery::BackingDisks(makedev(253, 0), sys.string()),
            (std::set<std::string>{"dm-0", "loop7p1", "loop7"}));
  EXPECT_TRUE(KVUIRecovery::BackingDisks(makedev(253, 1), sys.string()).empty());
  fs::remove_all(sys);
}

TEST_F(ResultTrees, ProgressTexts) {
  double percent = -1;
  uint64_t files = 1;
  EXPECT_EQ(KVUIController::GetScanProgress(&percent, &files), "-:-:-");
  EXPECT_EQ(percent, 0.0);
  EXPECT_EQ(files, 0u);
  const auto at = [&](uint64_t current, uint64_t total, time_t elapsed) {
    _PROGRESS_INFO info;
    info.total = total;
    info.current = current;
    scan.SetProgressInfo(info);
    scan.SetStartTime(1000);
    scan.SetEndTime(1000 + elapsed);
    return KVUIController::GetScanProgress(&percent, &files).toStdString();
  };
  EXPECT_EQ(at(5, 1000, 10), "-:-:-");
  EXPECT_EQ(at(50, 100, 10), "00:00:10");
  EXPECT_DOUBLE_EQ(percent, 50.0);
  EXPECT_EQ(at(50, 100, 101 * 3600), "-:-:-");
  EXPECT_EQ(at(50, 100, 100 * 3600 + 59 * 60), "100:59:00");
  EXPECT_EQ(at(100, 100, 10), "00:00:00");
}

}  // namespace
