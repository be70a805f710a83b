// Row objects: check marks between grouping rows, their children (rows and
// node handles) and the found nodes, icon kinds, and device rows.
#include <gtest/gtest.h>

#include "AppTestNode.h"
#include "app/KVNode.h"
#include "app/KVUIDeviceData.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"
#include "support/ScratchWorkDir.h"
#include "support/TestSupport.h"

namespace {

std::unique_ptr<OpNodeData> Grouping(int type, const QString& name) {
  auto row = std::make_unique<OpNodeData>(__TreeNodeData__{});
  row->setType(type);
  row->setFadeName(name);
  return row;
}

// A category row with three extension rows, each holding two found files.
class TypeTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tree_.Root("Volume", SEARCHER_TYPE_NTFS);
    category_ = Grouping(1, "pictures");
    for (const char* ext : {"jpg", "png", "gif"}) {
      auto row = Grouping(1, ext);
      for (int i = 0; i < 2; ++i) {
        AppTestNode* file = tree_.File(root_, std::string("f.") + ext);
        files_.push_back(file);
        row->addChildObject(static_cast<IFileNode*>(file));
      }
      extensions_.push_back(row.get());
      category_->addChildObject(std::move(row));
    }
  }

  NodeTree tree_;
  AppTestRoot* root_ = nullptr;
  std::unique_ptr<OpNodeData> category_;
  std::vector<OpNodeData*> extensions_;
  std::vector<IFileNode*> files_;
};

TEST_F(TypeTree, TwoOfThreeChildrenTickedMakeTheParentMixedAndAllThreeFull) {
  extensions_[0]->setNodeState(2);
  EXPECT_EQ(category_->state(), 1);
  extensions_[1]->setNodeState(2);
  EXPECT_EQ(category_->state(), 1);
  EXPECT_EQ(files_[0]->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  EXPECT_EQ(files_[4]->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_EQ(root_->GetCheckedStatus(), CHECKED_STATUS_PARTLY) << "the nodes' own tree follows";
  extensions_[2]->setNodeState(2);
  EXPECT_EQ(category_->state(), 2);
  EXPECT_EQ(root_->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  extensions_[1]->setNodeState(0);
  extensions_[0]->setNodeState(0);
  extensions_[2]->setNodeState(0);
  EXPECT_EQ(category_->state(), 0);
}

TEST_F(TypeTree, TickingAParentTicksEveryChildAndAPartlyTickedParentLeavesThem) {
  category_->setNodeState(2);
  for (OpNodeData* row : extensions_) EXPECT_EQ(row->state(), 2);
  for (IFileNode* file : files_) EXPECT_EQ(file->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  category_->setNodeState(1);
  for (IFileNode* file : files_) EXPECT_EQ(file->GetCheckedStatus(), CHECKED_STATUS_CHECKED);
  category_->setNodeState(0);
  for (IFileNode* file : files_) EXPECT_EQ(file->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);

  // A handle ticked through its own row under the extension row: the
  // extension row and the category follow.
  auto only = Grouping(1, "bmp");
  OpNodeData* bmp = only.get();
  category_->addChildObject(std::move(only));
  auto fileRow = std::make_unique<OpNodeData>(files_[0]);
  fileRow->setType(1);
  OpNodeData* file = fileRow.get();
  bmp->addChildObject(std::move(fileRow));
  file->setNodeState(2);
  EXPECT_EQ(bmp->state(), 2);
  EXPECT_EQ(category_->state(), 1);
}

TEST(RowKinds, IconsNamesAndDeviceRows) {
  platform::Resources::SetRoot(QString::fromStdString((testsupport::SourceDir() / "resources").string()));
  platform::UserDefaults::Standard().SetPreferredLanguages({"en"});
  platform::Resources::ReloadStrings();
  NodeTree tree;
  AppTestRoot* root = tree.Root("Volume", SEARCHER_TYPE_NTFS);
  AppTestNode* folder = tree.Folder(root, "Docs");
  tree.File(folder, "a.txt");
  EXPECT_EQ(OpNodeData(__TreeNodeData__{1, 0, 1, root}).nodeType(), 0);
  OpNodeData folderRow(folder);
  EXPECT_EQ(folderRow.nodeType(), 1);
  EXPECT_EQ(folderRow.path(), "/Volume/Docs");
  EXPECT_EQ(folderRow.size(), 0u);
  EXPECT_EQ(folderRow.createTime(), "") << "no creation time, no text";
  EXPECT_TRUE(OpNodeData(root).isHasFolderChildren());
  EXPECT_FALSE(folderRow.isHasFolderChildren());
  EXPECT_EQ(Grouping(1, "jpg")->nodeType(), 7) << "an extension row is no category";
  EXPECT_EQ(Grouping(1, "Pictures")->nodeType(), 2);
  EXPECT_EQ(Grouping(1, "Documents")->nodeType(), 6);
  auto year = Grouping(2, "2013");
  auto month = Grouping(2, "5");
  OpNodeData* monthRow = month.get();
  year->addChildObject(std::move(month));
  EXPECT_EQ(year->nodeType(), 8);
  EXPECT_EQ(monthRow->nodeType(), 9);
  EXPECT_TRUE(year->isDirect());
  EXPECT_EQ(year->path(), "");

  _DiskVolumeData unnamed;
  unnamed.size = 1000;
  unnamed.isUsb = 1;
  DiskVolumeNodeData row(unnamed);
  EXPECT_EQ(row.name(), "Untitled");
  EXPECT_EQ(row.capacity(), 1000u);
  EXPECT_EQ(row.isUsb(), 1);
  std::vector<std::unique_ptr<DiskVolumeNodeData>> children;
  _DiskVolumeData data;
  data.name = "Data";
  children.push_back(std::make_unique<DiskVolumeNodeData>(data));
  row.setSubNode(std::move(children));
  ASSERT_EQ(row.numberOfChildren(), 1u);
  EXPECT_EQ(row.childAtIndex(0)->name(), "Data");
  EXPECT_EQ(row.childAtIndex(1), nullptr);
  platform::UserDefaults::Standard().Remove(platform::UserDefaults::kPreferredLanguagesKey);
  platform::Resources::SetRoot(QString());
}

}  // namespace
