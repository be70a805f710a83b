// Throughput of the complete scan's block pass with searchers that do no
// work of their own, against `cat image > /dev/null`, both from the page
// cache. The image is 2 GiB of data without holes (made once, in the folder
// given as the first argument or $TMPDIR or /tmp, and removed at the end).
//
// Three passes are timed: searchers that only take each block, one that
// also copies the whole block out of the caching device, and the pass that
// the searchers would see without read-ahead (every block read on demand).
// Each figure is the best of three runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "CompleteScanBench.h"
#include "DirectoryTree.h"
#include "Progress.h"
#include "RecoveryFilter.h"
#include "device/DiskDevice.h"
#include "scan/CRecoveryController.h"
#include "scan/CStorageDeviceWithCache.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

using bench::CountingTree;
using bench::PassAll;
using bench::QuietSink;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kImageBytes = 2ull << 30;

// Takes each block; with `copy` set, also reads all of it through the device.
class IdleSearcher : public ICompleteFileSystemSearchController {
 public:
  explicit IdleSearcher(bool copy) : copy_(copy) {}
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
  int GetSearchedPartitionInfo(CSearchedPartitionInfo**, int) override { return 0; }
  void SetDevice(IStorageDevice* device) override { device_ = device; }
  void SetBlockSize(int sectors) override {
    buffer_.resize(static_cast<size_t>(sectors) * (device_ != nullptr ? device_->GetSectorSize() : 512));
  }
  void PreparetoSearch() override {}
  ResultCode AnalyzeBlock(int64_t first, int64_t count) override {
    if (copy_ && device_->ReadSector(buffer_.data(), first, count) == 0) ++failures;
    return 0;
  }
  int failures = 0;

 private:
  bool copy_;
  IStorageDevice* device_ = nullptr;
  std::vector<uint8_t> buffer_;
};

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool MakeImage(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::vector<uint64_t> chunk((4u << 20) / sizeof(uint64_t));
  uint64_t state = 0x9E3779B97F4A7C15ull;
  bool ok = true;
  for (uint64_t written = 0; written < kImageBytes && ok; written += chunk.size() * sizeof(uint64_t)) {
    for (uint64_t& word : chunk) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    const auto* bytes = reinterpret_cast<const char*>(chunk.data());
    size_t left = chunk.size() * sizeof(uint64_t);
    while (left > 0) {
      const ssize_t n = ::write(fd, bytes, left);
      if (n <= 0) {
        ok = false;
        break;
      }
      bytes += n;
      left -= static_cast<size_t>(n);
    }
  }
  ok = ::close(fd) == 0 && ok;
  return ok;
}

double CatSeconds(const fs::path& image) {
  const std::string command = "cat '" + image.string() + "' > /dev/null";
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return Seconds(start);
}

double PassSeconds(IStorageDevice* device, bool copy, int* failures) {
  CPartitionRecoveryController* controller = new CPartitionRecoveryController();
  std::vector<IdleSearcher*> made;
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = bench::MakeTreeBuilder;
  parts.makeCompleteSearcher = [&](_tagSearcherType type) -> ICompleteFileSystemSearchController* {
    made.push_back(new IdleSearcher(copy && type == SEARCHER_TYPE_NTFS));
    return made.back();
  };
  parts.flushFileBuffers = [] {};
  controller->SetParts(parts);
  PassAll filter;
  CountingTree tree;
  QuietSink sink;
  controller->Initialize(&filter);
  const auto start = Clock::now();
  const ResultCode code = controller->StartDataRecovery(device, &sink, &tree);
  const double seconds = Seconds(start);
  for (IdleSearcher* searcher : made) *failures += searcher->failures;
  controller->Release();
  return code == 0 ? seconds : -1;
}

// The same blocks read when asked for, without the reader thread.
double OnDemandSeconds(IStorageDevice* device) {
  CStorageDeviceWithCache cache(device);
  cache.SetBlockSize(static_cast<uint32_t>(CCompleteRecoveryController::BlockSectors(device->GetSectorSize())));
  const int64_t blocks = (device->GetTotalSectors() + cache.GetBlockSize() - 1) / cache.GetBlockSize();
  const auto start = Clock::now();
  for (int64_t block = 0; block < blocks; ++block) {
    if (cache.SetCurCacheBlock(block) == 0) return -1;
  }
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = bench::ImageFolder(bench::ParseCommandLine(argc, argv, "[FOLDER]"));
  const fs::path image = folder / ("clipmender-scanpass-" + std::to_string(::getpid()) + ".img");
  std::printf("making a 2 GiB image without holes: %s\n", image.c_str());
  if (!MakeImage(image)) {
    std::printf("could not write the image\n");
    std::error_code ignored;
    fs::remove(image, ignored);
    return 1;
  }
  ::sync();
  CatSeconds(image);  // into the page cache

  std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
  int status = 0;
  if (device == nullptr || device->Open() != 1) {
    std::printf("could not open the image\n");
    status = 1;
  } else {
    const double gib = static_cast<double>(kImageBytes) / (1u << 30);
    int failures = 0;
    const double cat = bench::Best([&] { return CatSeconds(image); });
    const double idle = bench::Best([&] { return PassSeconds(device.get(), false, &failures); });
    const double copying = bench::Best([&] { return PassSeconds(device.get(), true, &failures); });
    const double onDemand = bench::Best([&] { return OnDemandSeconds(device.get()); });
    if (cat <= 0 || idle <= 0 || copying <= 0 || onDemand <= 0 || failures != 0) {
      std::printf("a run failed\n");
      status = 1;
    } else {
      std::printf("cat image > /dev/null           %7.2f GiB/s\n", gib / cat);
      std::printf("block pass, idle searchers      %7.2f GiB/s  ratio to cat %.2f\n", gib / idle, cat / idle);
      std::printf("block pass, one copies blocks   %7.2f GiB/s  ratio to cat %.2f\n", gib / copying, cat / copying);
      std::printf("blocks read on demand (no read-ahead) %7.2f GiB/s  ratio to cat %.2f\n", gib / onDemand,
                  cat / onDemand);
    }
  }
  device.reset();
  std::error_code ignored;
  fs::remove(image, ignored);
  return status;
}
