#include "FatTestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "DeviceData.h"
#include "FileNode.h"
#include "FileReader.h"
#include "FileSystemSearchController.h"
#include "RecoveryFilter.h"
#include "copyout/CDataRecovery.h"
#include "support/StubDevice.h"
#include "support/TestSupport.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace fattest {

namespace fs = std::filesystem;

fs::path FixtureDir() {
  if (const char* dir = std::getenv("CLIPMENDER_FAT_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_FAT_FIXTURE_DIR;
}

std::string EnsureFixtures() {
  static const std::string state = [] {
    const fs::path script = testsupport::SourceDir() / "tests/fixtures/fat/make-fat-images.sh";
    const auto r = testsupport::RunCommand("bash " + testsupport::ShellQuote(script.string()) + " " +
                                           testsupport::ShellQuote(FixtureDir().string()) + " 2>&1");
    if (r.exitCode == 0) return std::string();
    return (r.exitCode == 77 ? "cannot build the FAT images here: " : "the FAT image script failed: ") + r.output;
  }();
  return state;
}

std::vector<Expected> ReadExpect(const fs::path& tsv) {
  std::vector<Expected> out;
  std::ifstream in(tsv);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    if (f.size() != 7) continue;
    Expected e;
    e.folder = f[0] == "d";
    e.deleted = f[1] == "deleted";
    e.size = f[2] == "-" ? -1 : std::stoll(f[2]);
    e.mtime = f[3] == "-" ? -1 : std::stoll(f[3]);
    e.sha256 = f[4];
    e.peerSha256 = f[5];
    e.path = f[6];
    out.push_back(e);
  }
  return out;
}

namespace {

class FileWindow final : public testsupport::StubDevice {
 public:
  FileWindow(const fs::path& image, int64_t start, int64_t count)
      : fd_(::open(image.c_str(), O_RDONLY | O_CLOEXEC)), start_(start), count_(count) {}
  ~FileWindow() override {
    if (fd_ >= 0) ::close(fd_);
  }
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (fd_ < 0 || buffer == nullptr || first < 0 || count < 0 || first > count_ || count > count_ - first) return 0;
    const size_t bytes = static_cast<size_t>(count) * 512;
    return ::pread(fd_, buffer, bytes, (start_ + first) * 512) == static_cast<ssize_t>(bytes) ? 1 : 0;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return count_; }
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }
  ResultCode GetLastError() override { return 0; }

 private:
  int fd_;
  int64_t start_;
  int64_t count_;
};

}  // namespace

IStorageDevice* OpenVolume(const fs::path& image, int64_t start, int64_t count, int fileSystemType) {
  if (count < 0) count = static_cast<int64_t>(fs::file_size(image) / 512) - start;
  auto* device = new FileWindow(image, start, count);
  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->fileSystemType = static_cast<uint32_t>(fileSystemType);
  info->sectorSize = 512;
  info->totalSectors = count;
  device->SetPrivateData(CreateVolumeDeviceData(info));
  return device;
}

QuickScan::QuickScan(IStorageDevice* device) : device_(device) {
  filter_ = CreateFilter();
  filter_->SetScanType(SCAN_TYPE_QUICK_UNMOUNTED);
  filter_->SetFilterTypes(kFilterAllTypes);
  builder_ = new CDirectoryTreeBuilder(false);
  builder_->SetPause([] {});
  builder_->Initialize("Disk", this, filter_);
  searcher_ = CreateFATQuickSearcher();
  searcher_->SetDirecotryTreeBuilder(builder_);
  answer_ = searcher_->QuickSearchFiles(device_, this);
  recovery_ = std::make_unique<CDataRecovery>();
  recovery_->Initialize(searcher_, device_);

  for (IFileNode* node : shown_) {
    Found f;
    f.node = node;
    f.folder = node->IsDirectory() != 0;
    f.deleted = node->IsDeleted() != 0;
    f.size = node->GetFileSize();
    f.mtime = static_cast<int64_t>((node->GetModificationTime() - 116444736000000000ULL) / 10000000);
    std::vector<std::string> parts;
    for (IFileNode* at = node; at != nullptr && at->GetParent() != nullptr; at = at->GetParent()) {
      parts.emplace_back(at->GetFileName() != nullptr ? at->GetFileName() : "");
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) f.path += (f.path.empty() ? "" : "/") + *it;
    found_.push_back(f);
  }
}

QuickScan::~QuickScan() {
  recovery_.reset();
  delete searcher_;
  builder_->Release();
  filter_->Release();
  device_->Release();
}

int QuickScan::ShowNodes(IFileNode** nodes, unsigned count, int) {
  shown_.insert(shown_.end(), nodes, nodes + count);
  return 0;
}

int QuickScan::UpdateProgress(_PROGRESS_INFO* info) {
  progress_.push_back(*info);
  return 0;
}

const Found* QuickScan::Find(const std::string& path) const {
  for (const Found& f : found_) {
    if (f.path == path) return &f;
  }
  return nullptr;
}

std::string QuickScan::CopySha256(const Found& node, const fs::path& scratch) {
  fs::remove(scratch);
  if (node.size == 0) {
    std::ofstream(scratch, std::ios::binary);
  } else {
    IFileReader* clone = recovery_->SetRecoverNode(node.node);
    if (clone == nullptr) return "";
    clone->Release();
    if (result::IsFailure(recovery_->RecoverTo(scratch.c_str(), nullptr, 0))) return "";
  }
  return testsupport::Sha256(scratch);
}

}  // namespace fattest
