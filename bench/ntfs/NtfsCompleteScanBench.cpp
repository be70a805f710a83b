// Throughput of the complete scan of a whole disk with the NTFS searcher
// alone, against `cat image > /dev/null`, both from the page cache. The image
// is the quick-scan benchmark's 1 GiB volume (100,000 files in 100 folders,
// made once by make-bench-volume.sh into the folder given as the first
// argument, or $TMPDIR, or /tmp, and kept there for later runs), so that the
// searcher meets a master file table of 100,000 records and thousands of
// index pages besides the sectors it only tests and passes by.
//
// For scale, the same pass with a searcher that only copies each block out of
// the caching device, as every searcher must. One warm-up run of each first;
// each figure is the best of three runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "CompleteScanBench.h"
#include "FileSystemSearchController.h"
#include "SearchedPartitionInfo.h"
#include "device/DiskDevice.h"
#include "scan/CRecoveryController.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

namespace fs = std::filesystem;
using bench::CatSeconds;

double ScanSeconds(IStorageDevice* device, int* found, bool copyOnly = false) {
  return bench::CompleteScanSeconds(device, SEARCHER_TYPE_NTFS, CreateNTFSSearcher, found, copyOnly);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path image =
      bench::PrepareVolume(bench::ImageFolder(bench::ParseCommandLine(argc, argv, "[FOLDER]")),
                           "clipmender-ntfs-bench-100k.img", CLIPMENDER_NTFS_BENCH_SCRIPT, "root, ntfs-3g and FUSE");
  if (image.empty()) return 1;
  std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
  if (device == nullptr || device->Open() != 1) {
    std::printf("could not open %s\n", image.c_str());
    return 1;
  }
  const double gib = static_cast<double>(device->GetTotalSectors()) * device->GetSectorSize() / (1u << 30);
  int found = 0;
  CatSeconds(image);
  ScanSeconds(device.get(), &found);
  const double cat = bench::Best([&] { return CatSeconds(image); });
  const double scan = bench::Best([&] { return ScanSeconds(device.get(), &found); });
  int none = 0;
  const double copy = bench::Best([&] { return ScanSeconds(device.get(), &none, true); });
  if (cat <= 0 || scan <= 0 || copy <= 0) {
    std::printf("a run failed\n");
    return 1;
  }
  std::printf("image                              %s (%.2f GiB)\n", image.c_str(), gib);
  std::printf("cat image > /dev/null              %7.2f GiB/s\n", gib / cat);
  std::printf("complete scan, NTFS searcher alone %7.2f GiB/s  ratio to cat %.2f  (%d partitions found)\n", gib / scan,
              cat / scan, found);
  std::printf("complete scan, searcher only copies %6.2f GiB/s  ratio to cat %.2f\n", gib / copy, cat / copy);
  return 0;
}
