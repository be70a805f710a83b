// What no loaded scan result may show, however damaged its file: a file
// larger than its runs hold, runs outside the device it was loaded on, or a
// file read through a partition record that is not one of its own tree's
// (two trees of one searcher may carry records of the same index). A
// builder that sits in front of another one checks every node the replay
// hands over, through the record that copy-out (CDataRecovery over the
// records the replay gives it) picks for the node, and counts what breaks
// the rule. No gtest: the loader's fuzz target uses it too.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DataRunList.h"
#include "DirecotryTreeBuilder.h"
#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "app/KVRestoreScanSink.h"
#include "copyout/CDataRecovery.h"
#include "support/BytesDevice.h"

namespace rsftest {

class InvariantBuilder final : public IDirecotryTreeBuilder {
 public:
  // `deviceBytes`: the size of the device the replay runs on.
  InvariantBuilder(IDirecotryTreeBuilder* inner, SaveRestoreResult::KVRestoreScanSink& sink, uint64_t deviceBytes)
      : inner_(inner), sink_(sink), deviceBytes_(deviceBytes) {}

  int Initialize(const char* name, IDrirectoryTree* tree, IRecoveryFilter* filter) override {
    return inner_->Initialize(name, tree, filter);
  }
  int AddNode(IFileNode* node, _tagSearcherType type) override {
    Check(node, type);
    ++nodes;
    return inner_->AddNode(node, type);
  }
  int AddSearcherInfo(_tagSearcherType type, int64_t root) override {
    // The replay hands the tree's records over right after this: they are
    // the ones from here to the end of the searcher's list.
    treeType_ = type;
    treeFirst_ = sink_.GetSearchedPartition(type).size();
    copyOut_.reset();
    return inner_->AddSearcherInfo(type, root);
  }
  void FlashBuild(_tagSearcherType type) override { inner_->FlashBuild(type); }
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo* p, IStorageDevice* d) override { inner_->SetPartitonDevice(p, d); }
  void SetPartitionSource(_tagSearcherType t, IFileSystemSearchController* s) override {
    inner_->SetPartitionSource(t, s);
  }

  std::vector<std::string> broken;  // one line per node that breaks the rule
  size_t nodes = 0;

 private:
  void Check(IFileNode* node, _tagSearcherType type) {
    auto* file = dynamic_cast<CFileNode*>(node);
    if (file == nullptr) return;
    const std::string name = node->GetFileName() != nullptr ? node->GetFileName() : "";
    std::vector<CSearchedPartitionInfo*>& partitions = sink_.GetSearchedPartition(type);
    // Copy-out over every record of the searcher, as the replay gives them.
    if (copyOut_ == nullptr) {
      copyOut_ = std::make_unique<CDataRecovery>();
      copyOut_->Initialize(partitions, &noBytes_);
    }
    const CSearchedPartitionInfo* partition = copyOut_->GetNodePartition(file);
    if (partition != nullptr && !OfThisTree(*partition, partitions, type)) {
      broken.push_back("read through another tree's record: " + name);
      return;
    }
    IDataRunList* list = file->GetDataRunList();
    const bool decoded = type == SEARCHER_TYPE_HFSPLUS && node->IsCompressed() != 0;
    if (list != nullptr && list->IsResident() != 0) {
      // Content inside a metadata record: no record holds 64 KiB.
      if (node->IsDirectory() == 0 && node->GetFileSize() > 64 * 1024) broken.push_back("resident size: " + name);
      return;
    }
    unsigned __int128 held = 0;
    bool anyRun = false;
    for (DataRun* run = list != nullptr ? list->GetFirst() : nullptr; run != nullptr; run = list->GetNext()) {
      if (run->length == 0) continue;
      anyRun = true;
      if (partition == nullptr || run->length < 0) {
        broken.push_back("run without a place: " + name);
        return;
      }
      const unsigned __int128 cluster =
          static_cast<unsigned __int128>(partition->GetSectorsperCluster()) * partition->GetSectorSize();
      const unsigned __int128 bytes = cluster * static_cast<uint64_t>(run->length);
      held += bytes;
      if (!run->IsSparse()) {
        const __int128 first = static_cast<__int128>(partition->GetFirstDataSector()) * partition->GetSectorSize() +
                               static_cast<__int128>(run->start) * static_cast<__int128>(cluster);
        if (first < 0 || static_cast<unsigned __int128>(first) + bytes > deviceBytes_) {
          broken.push_back("run outside the device: " + name);
        }
      }
    }
    if (held > deviceBytes_) broken.push_back("runs larger than the device: " + name);
    if (node->IsDirectory() != 0) return;
    const uint64_t size = node->GetFileSize();
    if (decoded ? size > deviceBytes_ : size > held) {
      broken.push_back("size " + std::to_string(size) + " above its runs" + (anyRun ? "" : " (none)") + ": " + name);
    }
  }

  // Whether `record` is, field for field, one of the records the current
  // tree handed over.
  bool OfThisTree(const CSearchedPartitionInfo& record, const std::vector<CSearchedPartitionInfo*>& partitions,
                  _tagSearcherType type) const {
    if (type != treeType_) return false;
    uint8_t bytes[CSearchedPartitionInfo::kRecordSize];
    record.WriteRecord(bytes);
    for (size_t i = treeFirst_; i < partitions.size(); ++i) {
      uint8_t own[CSearchedPartitionInfo::kRecordSize];
      partitions[i]->WriteRecord(own);
      if (std::memcmp(bytes, own, sizeof own) == 0) return true;
    }
    return false;
  }

  IDirecotryTreeBuilder* inner_;
  SaveRestoreResult::KVRestoreScanSink& sink_;
  uint64_t deviceBytes_;
  _tagSearcherType treeType_ = SEARCHER_TYPE_NONE;
  size_t treeFirst_ = 0;
  std::unique_ptr<CDataRecovery> copyOut_;
  testsupport::BytesDevice noBytes_{nullptr, 0};  // copy-out needs a device; nothing is read
};

}  // namespace rsftest
