// A tree builder for tests and fuzz targets (no gtest) that keeps what a
// scan gives it and owns the nodes it accepts (progress: RecordingProgress.h).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileNode.h"
#include "SearchedPartitionInfo.h"

namespace testsupport {

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
