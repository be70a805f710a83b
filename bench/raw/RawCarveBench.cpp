// Throughput of a complete scan with the RAW searcher alone against PhotoRec
// (every file type) on the same image: 1 GiB of random bytes with pictures
// laid in (bench/raw/make-bench-image.sh; its path is the first argument,
// else it is made in $TMPDIR or /tmp). Both run from the page cache; each
// figure is the best of two runs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchDoubles.h"
#include "FileTypeManager.h"
#include "device/DiskDevice.h"
#include "scan/CRecoveryController.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double RawScanSeconds(IStorageDevice* device, uint64_t* shown) {
  CPartitionRecoveryController* controller = new CPartitionRecoveryController();
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = [](bool restoring) -> IDirecotryTreeBuilder* {
    auto* builder = new CDirectoryTreeBuilder(restoring);
    builder->SetPause([] {});
    return builder;
  };
  parts.makeCompleteSearcher = [](_tagSearcherType type) -> ICompleteFileSystemSearchController* {
    return type == SEARCHER_TYPE_RAW ? CreateRAWSearcher() : nullptr;
  };
  parts.flushFileBuffers = [] {};
  controller->SetParts(parts);
  bench::PassAll filter;
  bench::CountingTree tree;
  bench::QuietSink sink;
  controller->Initialize(&filter);
  const auto start = Clock::now();
  const ResultCode code = controller->StartDataRecovery(device, &sink, &tree);
  const double seconds = Seconds(start);
  *shown = tree.shown;
  controller->Release();
  return code == 0 ? seconds : -1;
}

double PhotoRecSeconds(const fs::path& image, const fs::path& out) {
  std::error_code ignored;
  fs::remove_all(out, ignored);
  // PhotoRec writes its log into the folder it runs in.
  const std::string command = "cd '" + out.parent_path().string() + "' && photorec /log /d '" + out.string() +
                              "' /cmd '" + image.string() +
                              "' partition_none,options,keep_corrupted_file_no,fileopt,everything,enable,"
                              "wholespace,search > /dev/null 2>&1";
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  const double seconds = Seconds(start);
  for (const auto& entry : fs::directory_iterator(out.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(out.filename().string(), 0) == 0 || name == "photorec.log") fs::remove_all(entry.path(), ignored);
  }
  return status == 0 ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path folder = fs::absolute(tmp != nullptr && *tmp != '\0' ? fs::path(tmp) : fs::path("/tmp"));
  fs::path image = fs::absolute(argc > 1 ? fs::path(argv[1]) : folder / "raw-bench.img");
  if (!fs::exists(image)) {
    const std::string make = std::string("bash '") + CLIPMENDER_RAW_BENCH_SCRIPT + "' '" + folder.string() + "'";
    if (std::system(make.c_str()) != 0) {
      std::printf("could not make the image\n");
      return 1;
    }
  }
  std::system(("cat '" + image.string() + "' > /dev/null").c_str());  // into the page cache
  strPics = "jpg;png;bmp;gif;ico;cur;psd;psp";
  std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
  if (device == nullptr || device->Open() != 1) {
    std::printf("could not open %s\n", image.c_str());
    return 1;
  }
  const double gib = static_cast<double>(fs::file_size(image)) / (1u << 30);
  uint64_t shown = 0;
  double ours = -1, peer = -1;
  for (int i = 0; i < 2; ++i) {
    const double s = RawScanSeconds(device.get(), &shown);
    if (s > 0 && (ours < 0 || s < ours)) ours = s;
    const double p = PhotoRecSeconds(image, folder / "raw-bench-photorec");
    if (p > 0 && (peer < 0 || p < peer)) peer = p;
  }
  if (ours <= 0 || peer <= 0) {
    std::printf("a run failed (ours %.2f s, PhotoRec %.2f s)\n", ours, peer);
    return 1;
  }
  std::printf("RAW complete scan  %7.3f GiB/s  (%.2f s, %llu nodes shown)\n", gib / ours, ours,
              static_cast<unsigned long long>(shown));
  std::printf("PhotoRec           %7.3f GiB/s  (%.2f s)\n", gib / peer, peer);
  std::printf("throughput ratio (ours / PhotoRec) %.2f\n", peer / ours);
  return 0;
}
