#include "QuickScanProbe.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <unordered_map>

#include "DataRecovery.h"
#include "DeviceData.h"
#include "FileNode.h"
#include "FileSystemSearchController.h"
#include "RecoveryController.h"
#include "RecoveryFilter.h"
#include "StorageDevice.h"
#include "VolumeAnalyze.h"
#include "device/DiskDevice.h"
#include "device/PartitionDevice.h"
#include "recycle/CRecycleNameRestorer.h"
#include "scan/CRecoveryController.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace quickprobe {

namespace fs = std::filesystem;

// Forwards to the searcher the engine makes and keeps what its scan
// answered (the controller answers it too, except a stop).
class QuickScan::RecordingSearcher : public IQuickFileSystemSearchController {
 public:
  RecordingSearcher(IQuickFileSystemSearchController* inner, ResultCode* answer) : inner_(inner), answer_(answer) {}
  ~RecordingSearcher() override { delete inner_; }
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { inner_->SetDirecotryTreeBuilder(builder); }
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override {
    return inner_->GetSearchedPartitionInfo(array, capacity);
  }
  ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* progress) override {
    *answer_ = inner_->QuickSearchFiles(device, progress);
    return *answer_;
  }
  IQuickFileSystemSearchController* inner() const { return inner_; }

 private:
  IQuickFileSystemSearchController* inner_;
  ResultCode* answer_;
};

int TreeSearcherType(IFileNode* node) {
  IFileNode* top = node;
  // Trees are shallow; a parent chain this long is a loop.
  for (int step = 0; top != nullptr && top->GetParent() != nullptr && step < 4096; ++step) top = top->GetParent();
  auto* root = dynamic_cast<IFilesystemNode*>(top);
  return root != nullptr ? root->GetSearcheType() : SEARCHER_TYPE_NONE;
}

std::string Line(const Node& node) {
  char head[160];
  std::snprintf(head, sizeof head, "%s\t%s\t%lld\t%lld\t%llu\t0x%x\t", node.folder ? "d" : "f",
                node.deleted ? "deleted" : "live", static_cast<long long>(node.id), static_cast<long long>(node.parent),
                static_cast<unsigned long long>(node.size), node.attribute);
  return head + node.path;
}

QuickScan::QuickScan(fs::path device, Options options) : path_(std::move(device)), options_(options) {}

QuickScan::~QuickScan() {
  // Copy-out first: its records may point at what the searcher owns.
  for (auto& [type, recovery] : recoveries_) {
    if (recovery != nullptr) recovery->Release();
  }
  if (controller_ != nullptr) controller_->Release();
  for (IStorageDevice* device : {device_, disk_}) {
    if (device == nullptr) continue;
    device->Close();
    device->Release();
  }
}

int QuickScan::ShowNodes(IFileNode** nodes, unsigned count, int lostNodes) {
  for (unsigned i = 0; i < count; ++i) shown_.emplace_back(nodes[i], lostNodes != 0);
  return 0;
}

int QuickScan::ShowFilesystemNode(IFilesystemNode* root) {
  roots_.push_back(root);
  return 0;
}

int QuickScan::UpdateProgress(_PROGRESS_INFO* info) {
  progress_.push_back(*info);
  return 0;
}

bool QuickScan::Run() {
  // As the application does, before its first scan.
  CRecycleNameRestorer::Register();
  device_ = options_.open ? options_.open() : CreateVolumeDevice(path_.c_str());
  if (device_ == nullptr || device_->Open() == 0) return false;
  if (options_.offset != 0) {
    disk_ = device_;
    const int64_t start = static_cast<int64_t>(options_.offset / disk_->GetSectorSize());
    device_ = CreatePartitionDevice(disk_, start, disk_->GetTotalSectors() - start);
    if (device_ == nullptr || device_->Open() == 0) return false;
  }

  // The record device enumeration would attach: sector size and count, and
  // the file-system type the volume analyzers find.
  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->sectorSize = options_.sectorSize != 0 ? options_.sectorSize : device_->GetSectorSize();
  const uint64_t bytes = static_cast<uint64_t>(device_->GetTotalSectors()) * device_->GetSectorSize();
  info->totalSectors = static_cast<int64_t>(bytes / static_cast<uint64_t>(info->sectorSize));
  info->fileSystemType = FILE_SYSTEM_TYPE_UNKNOWN;
  info->partitionNumber = -1;
  SetRecordText(info->volumeName, path_.filename().c_str());
  SetRecordText(info->bsdName, path_.filename().c_str());
  device_->SetPrivateData(CreateVolumeDeviceData(info));
  if (!options_.skipAnalyzers) {
    if (IVolumeAnalyzeController* analyzers = CreateVolumeAnalyzeController(device_, 0)) {
      if (IVolumeAnalyze* analyzer = analyzers->GetVolumeAnzlyzer()) {
        info->fileSystemType = static_cast<uint32_t>(analyzer->GetFileSystemType());
        char label[100] = {};
        analyzer->GetLabel(label, sizeof label);
        SetRecordText(info->label, label);
      }
      analyzers->Release();
    }
  }
  if (options_.fileSystemType >= 0) info->fileSystemType = static_cast<uint32_t>(options_.fileSystemType);
  fileSystemType_ = static_cast<int>(info->fileSystemType);

  controller_ =
      CreateRecoveryController(options_.complete ? RECOVERY_CONTROLLER_COMPLETE : RECOVERY_CONTROLLER_DELETED);
  if (controller_ == nullptr) return false;
  if (auto* base = dynamic_cast<CRecoveryControllerBase*>(controller_)) {
    RecoveryControllerParts parts;
    const bool pause = options_.pause;
    parts.makeTreeBuilder = [pause](bool restoring) -> IDirecotryTreeBuilder* {
      auto* builder = new CDirectoryTreeBuilder(restoring);
      if (!pause) builder->SetPause([] {});
      return builder;
    };
    parts.makeQuickSearcher = [this](_tagSearcherType type) -> IQuickFileSystemSearchController* {
      IQuickFileSystemSearchController* inner = RecoveryControllerParts::Defaults().makeQuickSearcher(type);
      if (inner == nullptr) return nullptr;
      searcher_ = inner;
      return new RecordingSearcher(inner, &searcherAnswer_);
    };
    // The image was written and closed before the scan: no flush needed.
    parts.flushFileBuffers = [] {};
    base->SetParts(parts);
  }
  IRecoveryFilter* filter = CreateFilter();
  // A quick scan of an unmounted volume shows live files too; no category
  // is selected, so every file passes.
  filter->SetScanType(options_.complete ? SCAN_TYPE_DEEP : SCAN_TYPE_QUICK_UNMOUNTED);
  filter->SetFilterTypes(kFilterAllTypes);
  controller_->Initialize(filter);
  controllerAnswer_ = controller_->StartDataRecovery(device_, this, this);

  // Paths, by walking up to the root.
  std::unordered_map<IFileNode*, bool> lost;
  for (const auto& [node, isLost] : shown_) lost[node] = isLost;
  nodes_.clear();
  for (const auto& [node, isLost] : shown_) {
    Node n;
    n.node = node;
    n.id = node->GetCurrentNodeID();
    n.parent = node->GetParentNodeID();
    n.folder = node->IsDirectory() != 0;
    n.deleted = node->IsDeleted() != 0;
    n.lost = isLost;
    n.size = node->GetFileSize();
    n.attribute = node->GetAttribute();
    std::vector<std::string> parts;
    for (IFileNode* at = node; at != nullptr && at->GetParent() != nullptr; at = at->GetParent()) {
      const char* name = at->GetFileName();
      parts.emplace_back(name != nullptr ? name : "");
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
      if (!n.path.empty()) n.path += '/';
      n.path += *it;
    }
    nodes_.push_back(std::move(n));
  }
  return true;
}

const Node* QuickScan::Find(const std::string& path) const {
  for (const Node& n : nodes_) {
    if (n.path == path) return &n;
  }
  return nullptr;
}

IDataRecovery* QuickScan::Recovery(IFileNode* node) {
  // Each searcher's records are its own: a FAT node read through NTFS's
  // copy-out would be taken for an NTFS record, and a complete scan finds
  // several file systems at once. As the application does, the searcher is
  // the one whose tree the node is in: only a tree's root knows it (most
  // nodes answer "none" themselves).
  if (controller_ == nullptr || node == nullptr) return nullptr;
  const int type = TreeSearcherType(node);
  auto found = recoveries_.find(type);
  if (found == recoveries_.end()) {
    found = recoveries_.emplace(type, controller_->GetDataRecovery(static_cast<_tagSearcherType>(type))).first;
  }
  return found->second;
}

ResultCode QuickScan::CopyOut(const Node& node, const fs::path& to) {
  if (!to.parent_path().empty()) fs::create_directories(to.parent_path());
  if (node.size == 0) {
    std::ofstream(to, std::ios::binary | std::ios::trunc);
    return 0;
  }
  IDataRecovery* recovery = Recovery(node.node);
  if (recovery == nullptr) return result::MakeResult(result::kModuleCopyOut, 0, result::kErrNoFileSystem);
  if (IFileReader* clone = recovery->SetRecoverNode(node.node)) clone->Release();
  return recovery->RecoverTo(to.c_str(), nullptr, 0);
}

std::vector<uint8_t> QuickScan::Read(const Node& node, bool* ok, unsigned chunk) {
  *ok = false;
  IDataRecovery* recovery = Recovery(node.node);
  if (recovery == nullptr) return {};
  IFileReader* reader = recovery->SetRecoverNode(node.node);
  if (reader == nullptr) return {};
  std::vector<uint8_t> out(static_cast<size_t>(reader->GetDataSize()));
  size_t done = 0;
  *ok = true;
  while (done < out.size()) {
    const unsigned want = static_cast<unsigned>(std::min<size_t>(chunk, out.size() - done));
    const unsigned got =
        reader->ReadData(static_cast<long long>(done), reinterpret_cast<char*>(out.data() + done), want);
    if (got == 0) {
      *ok = false;
      break;
    }
    done += got;
  }
  out.resize(done);
  reader->Release();
  return out;
}

}  // namespace quickprobe
