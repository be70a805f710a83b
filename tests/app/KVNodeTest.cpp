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

  // A file's own row under an extension row: the rows above follow.
  auto bmp = Grouping(1, "bmp");
  OpNodeData* raw = bmp.get();
  category_->addChildObject(std::move(bmp));
  raw->addChildObject(std::make_unique<OpNodeData>(files_[0]));
  std::get<0>(raw->children()[0])->setNodeState(2);
  EXPECT_EQ(raw->state(), 2);
  EXPECT_EQ(category_->state(), 1);
}

TEST(RowKinds, IconsFollowTheRowAndUnnamedDevicesAreUntitled) {
  platform::Resources::SetRoot(QString::fromStdString((testsupport::SourceDir() / "resources").string()));
  platform::UserDefaults::Standard().SetPreferredLanguages({"en"});
  platform::Resources::ReloadStrings();
  NodeTree tree;
  AppTestRoot* root = tree.Root("Volume", SEARCHER_TYPE_NTFS);
  EXPECT_EQ(OpNodeData(__TreeNodeData__{1, 0, 1, root}).nodeType(), 0);
  EXPECT_EQ(Grouping(1, "Pictures")->nodeType(), 2);
  EXPECT_EQ(Grouping(1, "jpg")->nodeType(), 7) << "an extension row is no category";
  // The date tree as the date manager makes it: root, year, month.
  auto dates = Grouping(3, "Modified");
  dates->addChildObject(Grouping(3, "2013"));
  OpNodeData* year = std::get<0>(dates->children()[0]).get();
  year->addChildObject(Grouping(3, "05"));
  EXPECT_EQ(dates->nodeType(), 8);
  EXPECT_EQ(year->nodeType(), 8);
  EXPECT_EQ(std::get<0>(year->children()[0])->nodeType(), 9);
  EXPECT_EQ(DiskVolumeNodeData(_DiskVolumeData()).name(), "Untitled");
  platform::UserDefaults::Standard().Remove(platform::UserDefaults::kPreferredLanguagesKey);
  platform::Resources::SetRoot(QString());
}

}  // namespace
