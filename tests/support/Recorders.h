// What a scan reports to, for tests and fuzz targets (no gtest): a progress
// sink that keeps every record and can stop the scan, and a tree builder
// that keeps what it is given and owns the nodes it accepts.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"
#include "Progress.h"
#include "SearchedPartitionInfo.h"

namespace testsupport {

class ProgressSink : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO* info) override {
    records.push_back(*info);
    return 0;
  }
  int Continued() override { return ++calls < stopAt || stopAt == 0 ? 1 : 0; }
  int shouldBuild() override { return 1; }
  std::vector<_PROGRESS_INFO> records;
  int calls = 0;
  int stopAt = 0;  // Continued() answers 0 from this call on (0: never)
};

class RecordingBuilder : public IDirecotryTreeBuilder {
 public:
  struct Added {
    int64_t id, parent;
    std::string name;
    bool deleted, folder;
    uint64_t size;
  };
  ~RecordingBuilder() override {
    for (IFileNode* node : owned) node->Release();
  }
  int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
  int AddNode(IFileNode* node, _tagSearcherType) override {
    const char* name = node->GetFileName();
    added.push_back({node->GetCurrentNodeID(), node->GetParentNodeID(), name != nullptr ? name : "",
                     node->IsDeleted() != 0, node->IsDirectory() != 0, node->GetFileSize()});
    // Refused nodes go back to the searcher, which must release them.
    if (refuseEvery != 0 && added.size() % refuseEvery == 0) return 0;
    owned.push_back(node);
    return 1;
  }
  int AddSearcherInfo(_tagSearcherType type, int64_t root) override {
    events.push_back("info:" + std::to_string(type) + ":" + std::to_string(root));
    return 1;
  }
  void FlashBuild(_tagSearcherType type) override { events.push_back("flash:" + std::to_string(type)); }
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override {
    events.push_back("partition");
    partitionSectorsPerCluster = partition != nullptr ? partition->GetSectorsperCluster() : 0;
    partitionDevice = device;
  }

  const Added* Find(int64_t id) const {
    for (const Added& a : added) {
      if (a.id == id) return &a;
    }
    return nullptr;
  }
  IFileNode* Node(int64_t id) const {
    for (IFileNode* node : owned) {
      if (node->GetCurrentNodeID() == id) return node;
    }
    return nullptr;
  }
  std::set<int64_t> Ids() const {
    std::set<int64_t> ids;
    for (const Added& a : added) ids.insert(a.id);
    return ids;
  }

  unsigned refuseEvery = 0;  // refuse every n-th node (0: none)
  std::vector<std::string> events;
  std::vector<Added> added;
  std::vector<IFileNode*> owned;
  uint32_t partitionSectorsPerCluster = 0;
  IStorageDevice* partitionDevice = nullptr;
};

}  // namespace testsupport
