// What the scan-operation tests share: the category lists the engine's filter
// is made from, and the checks that a file The Sleuth Kit lists is indexed
// under its root, category and months, and that folders are never counted.
#pragma once

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileNode.h"
#include "FileTypeManager.h"
#include "app/KVUIScan.h"

namespace scantest {

// Category bits 1, 2, 4, 8, 16 in order, set before the first test (after
// every static object is made), so the process-wide filter is made from them.
inline const char* const kLists[] = {"jpg;png", "mp3", "avi", "zip", "doc;txt"};
class CategoryLists : public testing::Environment {
  void SetUp() override {
    std::string* lists[] = {&strPics, &strMusic, &strMovies, &strArchvie, &strDocument};
    for (int i = 0; i < 5; ++i) *lists[i] = kLists[i];
  }
};
inline testing::Environment* const kCategoryLists = testing::AddGlobalTestEnvironment(new CategoryLists);

inline _FILTER_TYPE CategoryOf(const std::string& name) {
  const auto dot = name.rfind('.');
  const std::string ext = ";" + (dot == std::string::npos ? "" : name.substr(dot + 1)) + ";";
  for (int i = 0; i < 5; ++i) {
    if (dot != std::string::npos && (";" + std::string(kLists[i]) + ";").find(ext) != std::string::npos) {
      return static_cast<_FILTER_TYPE>(1 << i);
    }
  }
  return FILTER_TYPE_OTHER;
}

// Every node below `node` by its path from the tree's root.
inline void Walk(IFileNode* node, const std::string& path, std::map<std::string, IFileNode*>& out, int depth = 0) {
  for (IFileNode* child = node->GetFirstChild(); child != nullptr && depth < 64; child = child->GetNextNode()) {
    const std::string childPath = (path.empty() ? "" : path + "/") + (child->GetFileName() ? child->GetFileName() : "");
    out[childPath] = child;
    Walk(child, childPath, out, depth + 1);
  }
}

// A file at one of `paths` (its links, as fls -p gives them) is in the tree
// under `root`, under its category and the months of the times istat gives.
inline void ExpectIndexed(KVUIScan& scan, IFilesystemNode* root, const std::vector<std::string>& paths,
                          uint64_t created, uint64_t modified) {
  std::map<std::string, IFileNode*> tree;
  Walk(root, "", tree);
  auto it = tree.end();
  for (const std::string& link : paths) it = it != tree.end() ? it : tree.find(link);
  ASSERT_NE(it, tree.end()) << paths.front() << " is not under its root";
  const auto& [path, node] = *it;
  const auto in = [node](const std::vector<IFileNode*>& list) {
    return std::find(list.begin(), list.end(), node) != list.end();
  };
  EXPECT_TRUE(in(scan.GetTypeMap()[CategoryOf(path.substr(path.rfind('/') + 1))])) << path;
  for (auto [time, index] :
       {std::make_pair(created, scan.GetCreateTimeMap()), std::make_pair(modified, scan.GetModifyTimeMap())}) {
    const time_t t = static_cast<time_t>(time / 10000000 - 11644473600ull);
    struct tm local {};
    localtime_r(&t, &local);
    EXPECT_TRUE(in(index[local.tm_year + 1900][local.tm_mon + 1])) << path << " at " << t;
  }
}

// The count is the number of file nodes in the trees; the category index
// holds them and no folder.
inline void ExpectOnlyFilesCounted(KVUIScan& scan) {
  size_t files = 0, indexed = 0;
  for (IFilesystemNode* root : scan.GetFileSystemNode()) {
    std::map<std::string, IFileNode*> tree;
    Walk(root, "", tree);
    for (const auto& [path, node] : tree) files += node->IsDirectory() == 0 ? 1 : 0;
  }
  for (const auto& [type, list] : scan.GetTypeMap()) {
    for (IFileNode* node : list) EXPECT_EQ(node->IsDirectory(), 0) << node->GetFileName();
    indexed += list.size();
  }
  EXPECT_EQ(scan.GetScanFileCnt(), files);
  EXPECT_EQ(indexed, files);
}

}  // namespace scantest
