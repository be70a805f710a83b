// A scan of a small image run the way the application runs it (the volume
// analyzers name the file system, the recovery controller picks the
// searchers, the real tree builder links the nodes), then every file found
// copied out through its tree's copy-out object into a scratch folder. This
// is where a damaged size or run turns into a copy that never ends or fills
// the destination, so it fails on those:
// - a copy of a file that is not compressed may not take more room on the
//   destination than the image has bytes (holes take none);
// - a copy may not take longer than the fuzzer's time-out (a hang);
// and stops any copy, without failing, once it holds kCopyCap bytes (a
// compressed file may rightly be larger than the image). Every file is also
// held against the image by its file system's allocation judge, as a loaded
// result's files are: damaged tables, bitmaps, folders and records must not
// crash or hang it either.
//
// Input: byte 0 holds flags (bit 0 a complete scan instead of the quick one,
// bit 1 4096-byte sectors); bytes 1-2 the image's size in 64 KiB units (at
// most kMaxImage); then pieces, each a 4-byte little-endian sector number
// (512-byte sectors), a 2-byte sector count and the sectors' bytes. The
// image is zeros except for the pieces. make-scan-seeds.sh writes seeds from
// images that real tools made.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DataRecovery.h"
#include "DeviceData.h"
#include "DirectoryTree.h"
#include "FileNode.h"
#include "FileReader.h"
#include "Progress.h"
#include "RecoveryController.h"
#include "RecoveryFilter.h"
#include "VolumeAnalyze.h"
#include "copyout/CDataRecovery.h"
#include "exfat/ExFatAllocationJudge.h"
#include "fat/FATAllocationJudge.h"
#include "hfsplus/HFSPlusAllocationJudge.h"
#include "ntfs/NTFSAllocationJudge.h"
#include "recycle/CRecycleNameRestorer.h"
#include "scan/CRecoveryController.h"
#include "support/StubDevice.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

constexpr uint64_t kMaxImage = uint64_t{64} << 20;
constexpr uint64_t kCopyCap = uint64_t{64} << 20;

class ImageDevice final : public testsupport::StubDevice {
 public:
  ImageDevice(const std::vector<uint8_t>& bytes, uint32_t sectorSize) : bytes_(bytes), sectorSize_(sectorSize) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    const int64_t total = GetTotalSectors();
    if (buffer == nullptr || first < 0 || count < 0 || first > total || count > total - first) return 0;
    std::memcpy(buffer, bytes_.data() + first * sectorSize_, static_cast<size_t>(count) * sectorSize_);
    return 1;
  }
  uint32_t GetSectorSize() override { return sectorSize_; }
  int64_t GetTotalSectors() override { return static_cast<int64_t>(bytes_.size() / sectorSize_); }
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }
  ResultCode GetLastError() override { return 0; }

 private:
  const std::vector<uint8_t>& bytes_;
  uint32_t sectorSize_;
};

// Keeps what the builder shows, and stops a copy at the cap.
class Sink final : public IDrirectoryTree, public IProgress {
 public:
  int ShowNodes(IFileNode** nodes, unsigned count, int) override {
    for (unsigned i = 0; i < count; ++i) shown.push_back(nodes[i]);
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode*) override { return 0; }
  int UpdateProgress(_PROGRESS_INFO*) override {
    ++updates;
    return 0;
  }
  int Continued() override {
    if (copyPath.empty()) return 1;
    struct stat st {};
    return ::stat(copyPath.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_blocks) * 512 < kCopyCap ? 1 : 0;
  }
  int shouldBuild() override { return 1; }

  std::vector<IFileNode*> shown;
  std::string copyPath;
  uint64_t updates = 0;
};

const std::string& Scratch() {
  // Kept until the process ends (never destroyed), so that the folder can be
  // removed then.
  static const std::string* dir = [] {
    char pattern[] = "/tmp/scan-copyout-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    auto* path = new std::string(made);
    std::atexit([] { ::rmdir(Scratch().c_str()); });
    return path;
  }();
  return *dir;
}

int TreeType(IFileNode* node) {
  IFileNode* top = node;
  for (int i = 0; i < 4096 && top->GetParent() != nullptr; ++i) top = top->GetParent();
  return top->GetSearcheType();
}

void Run(const std::vector<uint8_t>& image, uint32_t sectorSize, bool complete) {
  CRecycleNameRestorer::Register();
  ImageDevice device(image, sectorSize);
  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->sectorSize = sectorSize;
  info->totalSectors = device.GetTotalSectors();
  info->fileSystemType = FILE_SYSTEM_TYPE_UNKNOWN;
  device.SetPrivateData(CreateVolumeDeviceData(info));
  if (IVolumeAnalyzeController* analyzers = CreateVolumeAnalyzeController(&device, 0)) {
    if (IVolumeAnalyze* analyzer = analyzers->GetVolumeAnzlyzer()) {
      info->fileSystemType = static_cast<uint32_t>(analyzer->GetFileSystemType());
    }
    analyzers->Release();
  }

  IRecoveryController* controller =
      CreateRecoveryController(complete ? RECOVERY_CONTROLLER_COMPLETE : RECOVERY_CONTROLLER_DELETED);
  auto* base = dynamic_cast<CRecoveryControllerBase*>(controller);
  if (base == nullptr) std::abort();
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = [](bool restoring) -> IDirecotryTreeBuilder* {
    auto* builder = new CDirectoryTreeBuilder(restoring);
    builder->SetPause([] {});
    return builder;
  };
  parts.flushFileBuffers = [] {};
  base->SetParts(parts);
  IRecoveryFilter* filter = CreateFilter();
  filter->SetScanType(complete ? SCAN_TYPE_DEEP : SCAN_TYPE_QUICK_UNMOUNTED);
  filter->SetFilterTypes(kFilterAllTypes);
  controller->Initialize(filter);
  Sink sink;
  controller->StartDataRecovery(&device, &sink, &sink);

  std::map<int, IDataRecovery*> recoveries;
  std::map<const CSearchedPartitionInfo*, std::unique_ptr<IAllocationJudge>> judges;
  const std::string path = Scratch() + "/copy";
  for (IFileNode* node : sink.shown) {
    if (node->IsDirectory() != 0) continue;
    const int type = TreeType(node);
    auto it = recoveries.find(type);
    if (it == recoveries.end()) {
      it = recoveries.emplace(type, controller->GetDataRecovery(static_cast<_tagSearcherType>(type))).first;
    }
    IDataRecovery* recovery = it->second;
    if (recovery == nullptr) continue;
    auto* records = dynamic_cast<CDataRecovery*>(recovery);
    auto* file = dynamic_cast<CFileNode*>(node);
    if (const CSearchedPartitionInfo* partition =
            records != nullptr && file != nullptr ? records->GetNodePartition(file) : nullptr) {
      auto judge = judges.find(partition);
      if (judge == judges.end()) {
        std::unique_ptr<IAllocationJudge> made;
        if (type == SEARCHER_TYPE_FAT) made = CreateFATAllocationJudge(&device, *partition);
        if (type == SEARCHER_TYPE_EXFAT) made = CreateExFatAllocationJudge(&device, *partition);
        if (type == SEARCHER_TYPE_NTFS) made = CreateNTFSAllocationJudge(&device, *partition);
        if (type == SEARCHER_TYPE_HFSPLUS) made = CreateHFSPlusAllocationJudge(&device, *partition);
        judge = judges.emplace(partition, std::move(made)).first;
      }
      // As a load judges it, and as a load that cannot tell its volume is
      // the one scanned: held to its own entry.
      if (judge->second != nullptr) {
        for (const bool ownEntry : {false, true}) {
          judge->second->SetOwnEntryRequired(ownEntry);
          judge->second->IsTaken(*file);
        }
      }
    }
    if (IFileReader* clone = recovery->SetRecoverNode(node)) clone->Release();
    sink.copyPath = path;
    recovery->RecoverTo(path.c_str(), &sink, 0);
    sink.copyPath.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && node->IsCompressed() == 0 &&
        static_cast<uint64_t>(st.st_blocks) * 512 > image.size() + (uint64_t{1} << 20)) {
      std::abort();  // a copy took more room than the image has
    }
    ::unlink(path.c_str());
  }
  // What each volume gives now over the whole image, as a carved file
  // spanning it asks: pieces inside what was asked, in order, none empty.
  for (const auto& [partition, judge] : judges) {
    if (judge == nullptr) continue;
    uint64_t last = 0;
    judge->ForEachGiven(0, image.size(), [&](uint64_t from, uint64_t to) {
      if (from < last || to <= from || to > image.size()) std::abort();
      last = to;
    });
  }
  judges.clear();
  for (auto& [type, recovery] : recoveries) {
    if (recovery != nullptr) recovery->Release();
  }
  controller->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  const uint64_t imageBytes = (uint64_t{data[1]} | uint64_t{data[2]} << 8) << 16;
  if (imageBytes == 0 || imageBytes > kMaxImage) return 0;
  std::vector<uint8_t> image(imageBytes, 0);
  size_t at = 3;
  while (size - at >= 6) {
    const uint64_t sector =
        uint64_t{data[at]} | uint64_t{data[at + 1]} << 8 | uint64_t{data[at + 2]} << 16 | uint64_t{data[at + 3]} << 24;
    const uint64_t count = uint64_t{data[at + 4]} | uint64_t{data[at + 5]} << 8;
    at += 6;
    const uint64_t bytes = std::min<uint64_t>(count * 512, size - at);
    if (sector * 512 < imageBytes) {
      std::memcpy(image.data() + sector * 512, data + at, std::min<uint64_t>(bytes, imageBytes - sector * 512));
    }
    at += bytes;
  }
  Run(image, (flags & 2) != 0 ? 4096 : 512, (flags & 1) != 0);
  return 0;
}
