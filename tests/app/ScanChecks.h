// What the scan-operation tests share: the category lists the engine's filter
// is made from, a controller that records which devices a scan started on,
// a disk model over the stand-in machine, and the check that a file The
// Sleuth Kit lists is indexed under its root, category and months.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileNode.h"
#include "FileTypeManager.h"
#include "RecoveryController.h"
#include "app/KVUIScan.h"

namespace scantest {

// Set before the first test (after every static object is made), so the
// process-wide filter is made from them.
class CategoryLists : public testing::Environment {
 public:
  void SetUp() override {
    strPics = "jpg;png";
    strMusic = "mp3";
    strMovies = "avi";
    strArchvie = "zip";
    strDocument = "doc;txt";
  }
};
inline testing::Environment* const kCategoryLists = testing::AddGlobalTestEnvironment(new CategoryLists);

// The category the lists above give a name.
inline _FILTER_TYPE CategoryOf(const std::string& name) {
  const auto dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  const std::map<std::string, _FILTER_TYPE> table = {{"jpg", FILTER_TYPE_PICTURE}, {"png", FILTER_TYPE_PICTURE},
                                                     {"mp3", FILTER_TYPE_MUSIC},   {"avi", FILTER_TYPE_MOVIE},
                                                     {"zip", FILTER_TYPE_ARCHIVE}, {"doc", FILTER_TYPE_DOCUMENT},
                                                     {"txt", FILTER_TYPE_DOCUMENT}};
  const auto it = table.find(ext);
  return it == table.end() ? FILTER_TYPE_OTHER : it->second;
}

// Forwards to a real controller and records every device a scan starts on;
// `onStart` runs first.
class RecordingController : public IRecoveryController {
 public:
  RecordingController(IRecoveryController* real, std::vector<IStorageDevice*>* started, std::function<void()> onStart)
      : real_(real), started_(started), onStart_(std::move(onStart)) {}
  _RECOVERY_CONTROLLER_TYPE thisType() const override { return real_->thisType(); }
  int Initialize(IRecoveryFilter* filter) override { return real_->Initialize(filter); }
  ResultCode StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) override {
    started_->push_back(device);
    if (onStart_) onStart_();
    return real_->StartDataRecovery(device, progress, tree);
  }
  IDataRecovery* GetDataRecovery(_tagSearcherType type) const override { return real_->GetDataRecovery(type); }
  void Release() override {
    real_->Release();
    delete this;
  }
  void SetRestoreScanSink(RestoreScanSink* sink) override { real_->SetRestoreScanSink(sink); }

 private:
  IRecoveryController* real_;
  std::vector<IStorageDevice*>* started_;
  std::function<void()> onStart_;
};

// Every node below `node` by its path from the tree's root.
inline void Walk(IFileNode* node, const std::string& path, std::map<std::string, IFileNode*>& out, int depth = 0) {
  for (IFileNode* child = node->GetFirstChild(); child != nullptr && depth < 64; child = child->GetNextNode()) {
    const std::string name = child->GetFileName() != nullptr ? child->GetFileName() : "";
    const std::string childPath = path.empty() ? name : path + "/" + name;
    out[childPath] = child;
    Walk(child, childPath, out, depth + 1);
  }
}

inline bool Holds(const std::vector<IFileNode*>& list, IFileNode* node) {
  return std::find(list.begin(), list.end(), node) != list.end();
}

// Local year and month of a _FILETIME.
inline std::pair<int, int> Month(uint64_t fileTime) {
  const time_t t = static_cast<time_t>(fileTime / 10000000 - 11644473600ull);
  struct tm local {};
  localtime_r(&t, &local);
  return {local.tm_year + 1900, local.tm_mon + 1};
}

// A file of one of `paths` (its links, as fls -p gives them) is in the tree
// under `root`, indexed under its category and under the months of the
// times istat gives it.
inline void ExpectIndexed(KVUIScan& scan, IFilesystemNode* root, const std::vector<std::string>& paths,
                          uint64_t created, uint64_t modified) {
  std::map<std::string, IFileNode*> tree;
  Walk(root, "", tree);
  auto it = tree.end();
  for (const std::string& link : paths) it = it != tree.end() ? it : tree.find(link);
  ASSERT_NE(it, tree.end()) << paths.front() << " is not under its root";
  const std::string& path = it->first;
  IFileNode* node = it->second;
  EXPECT_EQ(node->IsDirectory(), 0) << path;
  const std::string name = path.substr(path.rfind('/') + 1);
  EXPECT_TRUE(Holds(scan.GetTypeMap()[CategoryOf(name)], node)) << path << " is not under its category";
  const auto [cy, cm] = Month(created);
  EXPECT_TRUE(Holds(scan.GetCreateTimeMap()[cy][cm], node)) << path << " is not under " << cy << "-" << cm;
  const auto [my, mm] = Month(modified);
  EXPECT_TRUE(Holds(scan.GetModifyTimeMap()[my][mm], node)) << path << " is not under " << my << "-" << mm;
}

// Files (never folders) are what the indexes and the count hold: the count
// is the number of file nodes in the trees, every category entry is a file.
inline void ExpectOnlyFilesCounted(KVUIScan& scan) {
  size_t files = 0;
  for (IFilesystemNode* root : scan.GetFileSystemNode()) {
    std::map<std::string, IFileNode*> tree;
    Walk(root, "", tree);
    for (const auto& [path, node] : tree) files += node->IsDirectory() == 0 ? 1 : 0;
  }
  EXPECT_EQ(scan.GetScanFileCnt(), files);
  size_t indexed = 0;
  for (const auto& [type, list] : scan.GetTypeMap()) {
    for (IFileNode* node : list) EXPECT_EQ(node->IsDirectory(), 0) << node->GetFileName();
    indexed += list.size();
  }
  EXPECT_EQ(indexed, files);
}

}  // namespace scantest
