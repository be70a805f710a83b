#include "ScanResultDump.h"

#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

#include "DataRecovery.h"
#include "DataRunList.h"
#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "app/KVRecoveryFilePath.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "copyout/CDataRecovery.h"

namespace rsftest {

namespace {

std::string NameOf(IFileNode* node) {
  const char* name = node->GetFileName();
  return name != nullptr ? name : "";
}

// The runs as a list merges them when it is given them one by one. A saved
// result keeps no empty list: it reads back as none.
std::string Runs(CFileNode* node) {
  IDataRunList* list = node->GetDataRunList();
  if (list == nullptr || list->GetFirst() == nullptr) return "-";
  std::vector<DataRun> runs;
  for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    if (!runs.empty() && !runs.back().IsSparse() && runs.back().length >= 0 && run->length >= 0 &&
        runs.back().start + runs.back().length == run->start) {
      runs.back().length += run->length;
    } else {
      runs.push_back(*run);
    }
  }
  std::string out = list->IsResident() != 0 ? "resident:" : "";
  for (const DataRun& run : runs) out += std::to_string(run.start) + "+" + std::to_string(run.length) + " ";
  return out;
}

std::string Line(IFileNode* node, const std::string& path) {
  auto* base = dynamic_cast<CFileNode*>(node);
  std::ostringstream line;
  line << path << "\tid " << node->GetCurrentNodeID() << " parent " << node->GetParentNodeID()
       << (node->IsDirectory() != 0 ? " folder" : " file") << (node->IsDeleted() != 0 ? " deleted" : " live")
       << " size " << node->GetFileSize() << " attr " << (node->GetAttribute() & 0xFFFF) << " times "
       << node->GetCreationTime() << "/" << node->GetModificationTime() << "/" << node->GetLastAccessTime()
       << " compressed " << node->IsCompressed() << " shown " << node->IsNodeShow();
  if (base != nullptr) {
    line << " partition " << base->GetBelongedPartition() << " record " << base->GetMetadataStartPosition() << " runs "
         << Runs(base);
  }
  return line.str();
}

std::string Partitions(KVUIScan& scan, IFilesystemNode* root) {
  IRecoveryController* controller = scan.GetRecoveryController();
  if (controller == nullptr) return "no controller\n";
  IDataRecovery* kept =
      controller->thisType() == RECOVERY_CONTROLLER_DELETED ? scan.GetFileNodeDataRecover(root) : nullptr;
  std::unique_ptr<IDataRecovery, void (*)(IDataRecovery*)> made(nullptr, [](IDataRecovery* r) { r->Release(); });
  if (kept == nullptr) made.reset(controller->GetDataRecovery(root->GetSearcheType()));
  auto* records = dynamic_cast<CDataRecovery*>(kept != nullptr ? kept : made.get());
  if (records == nullptr) return "no partitions\n";
  std::string out;
  uint32_t count = 0;
  const auto& list = records->GetSearchedPartition(count);
  for (uint32_t i = 0; i < count && i < list.size(); ++i) {
    uint8_t record[CSearchedPartitionInfo::kRecordSize];
    list[i]->WriteRecord(record);
    out += "partition ";
    char hex[3];
    for (size_t b = 16; b < sizeof record; ++b) {
      std::snprintf(hex, sizeof hex, "%02x", record[b]);
      out += hex;
    }
    out += "\n";
  }
  return out;
}

}  // namespace

std::string DumpResult(KVUIScan& scan) {
  std::string out;
  for (IFilesystemNode* root : scan.GetFileSystemNode()) {
    out += "root " + std::to_string(root->GetSearcheType()) + " " + NameOf(root) + " volume " +
           (root->GetVolumeName() != nullptr ? root->GetVolumeName() : "") + " id " +
           std::to_string(root->GetCurrentNodeID()) + "\n";
    out += Partitions(scan, root);
    // Depth first, each folder's children in their sibling order, so that a
    // result whose folders list their children otherwise reads otherwise.
    std::vector<std::pair<IFileNode*, std::string>> stack;
    const auto pushChildren = [&stack](IFileNode* folder, const std::string& path) {
      std::vector<IFileNode*> children;
      for (IFileNode* child = folder->GetFirstChild(); child != nullptr; child = child->GetNextNode())
        children.push_back(child);
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.emplace_back(*it, path + "/" + NameOf(*it));
    };
    pushChildren(root, "");
    while (!stack.empty()) {
      const auto [node, path] = stack.back();
      stack.pop_back();
      out += Line(node, path) + "\n";
      pushChildren(node, path);
    }
  }
  return out;
}

uint64_t RecoverAll(KVUIScan& scan, KVUIDeviceData& devices, const std::filesystem::path& folder) {
  for (IFilesystemNode* root : scan.GetFileSystemNode()) root->SetCheck(CHECKED_STATUS_CHECKED);
  KVUIRecovery recovery(&scan, &devices);
  recovery.SetRecoveryPath(folder.c_str());
  KVRecoveryFolderNumbers::Shared().Clear();
  recovery.SetStatus(KVOperationRunning);
  std::string rawFolders;
  recovery.DoRecovery(rawFolders);
  const uint64_t failed = recovery.GetFailedFilesCnt();
  recovery.ReleaseDataRecovery();
  for (IFilesystemNode* root : scan.GetFileSystemNode()) root->SetCheck(CHECKED_STATUS_UNCHECKED);
  return failed;
}

}  // namespace rsftest
