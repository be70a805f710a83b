// The root and lost-file folder node.
#include "tree/CFilesystemNode.h"

#include <gtest/gtest.h>

#include <memory>

#include "DataRunList.h"

namespace {

TEST(FilesystemNode, AnswersAsAnEmptyFolderThatIsNeverDeleted) {
  CFilesystemNode root(SEARCHER_TYPE_FAT, "Stick(FAT/FAT32)", "Stick", 0);
  EXPECT_STREQ(root.GetFileName(), "Stick(FAT/FAT32)");
  EXPECT_STREQ(root.GetVolumeName(), "Stick");
  EXPECT_EQ(root.GetSearcheType(), SEARCHER_TYPE_FAT);
  EXPECT_EQ(root.GetCurrentNodeID(), 0);
  EXPECT_EQ(root.GetParentNodeID(), -1);
  EXPECT_EQ(root.GetFileSize(), 0u);
  EXPECT_EQ(root.GetAttribute(), 0u);
  EXPECT_EQ(root.GetCreationTime(), 0u);
  EXPECT_EQ(root.GetModificationTime(), 0u);
  EXPECT_EQ(root.GetLastAccessTime(), 0u);
  EXPECT_EQ(root.IsDirectory(), 1);
  root.MarkDeleted();
  EXPECT_EQ(root.IsDeleted(), 0);
}

TEST(FilesystemNode, KeepsItsNameThroughDotCleaning) {
  CFilesystemNode lost(SEARCHER_TYPE_NTFS, "..Other lost files", "LostFiles", -1);
  lost.FilterFileNameByDot();
  EXPECT_STREQ(lost.GetFileName(), "..Other lost files");
}

TEST(FilesystemNode, CloneCopiesIdentityButNoLinks) {
  CFilesystemNode root(SEARCHER_TYPE_HFSPLUS, "Mac(HFS+)", "Mac", 2);
  CFilesystemNode child(SEARCHER_TYPE_HFSPLUS, "child", "", 16);
  ASSERT_EQ(root.AddChild(&child), 1);
  root.SetCheck(CHECKED_STATUS_CHECKED);
  std::unique_ptr<IFileNode, void (*)(IFileNode*)> copy(root.Clone(), [](IFileNode* n) { n->Release(); });
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->GetFileName(), "Mac(HFS+)");
  EXPECT_STREQ(copy->GetVolumeName(), "Mac");
  EXPECT_EQ(copy->GetSearcheType(), SEARCHER_TYPE_HFSPLUS);
  EXPECT_EQ(copy->GetCurrentNodeID(), 2);
  EXPECT_EQ(copy->GetFirstChild(), nullptr);
  EXPECT_EQ(copy->GetParent(), nullptr);
  EXPECT_EQ(copy->GetCheckedStatus(), CHECKED_STATUS_UNCHECKED);
  EXPECT_NE(dynamic_cast<CFilesystemNode*>(copy.get()), nullptr);
}

}  // namespace
