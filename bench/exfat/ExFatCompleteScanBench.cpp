// Throughput and peak memory of the complete scan of a whole disk with the
// exFAT searcher alone, against `cat image > /dev/null`, both from the page
// cache. The image is a 1 GiB exFAT volume with 20,000 files in 2,000 folders
// (made once by make-bench-volume.sh through exfat-fuse into the folder given
// as the first argument, or $TMPDIR, or /tmp, and kept there), so that the
// searcher meets thousands of folder clusters besides the sectors it only
// tests and passes by, then walks the volume it found.
//
// For scale, the same pass with a searcher that only copies each block out of
// the caching device. One warm-up run of each first; each figure is the best
// of three runs. Peak memory is the process's high-water mark after the scans
// (the copying pass alone first, for the base).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

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

double PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double ScanSeconds(IStorageDevice* device, int* found, bool copyOnly = false) {
  return bench::CompleteScanSeconds(device, SEARCHER_TYPE_EXFAT, CreateEXFatSearcher, found, copyOnly);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path image = bench::PrepareVolume(argc, argv, "clipmender-exfat-bench-20k.img", CLIPMENDER_EXFAT_BENCH_SCRIPT, "root, exfat-fuse and exfatprogs");
  if (image.empty()) return 1;
  std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
  if (device == nullptr || device->Open() != 1) {
    std::printf("could not open %s\n", image.c_str());
    return 1;
  }
  const double gib = static_cast<double>(device->GetTotalSectors()) * device->GetSectorSize() / (1u << 30);
  int found = 0;
  int none = 0;
  CatSeconds(image);
  const double copy = bench::Best([&] { return ScanSeconds(device.get(), &none, true); });
  const double copyPeak = PeakMiB();
  ScanSeconds(device.get(), &found);
  const double cat = bench::Best([&] { return CatSeconds(image); });
  const double scan = bench::Best([&] { return ScanSeconds(device.get(), &found); });
  if (cat <= 0 || scan <= 0 || copy <= 0) {
    std::printf("a run failed\n");
    return 1;
  }
  std::printf("image                              %s (%.2f GiB)\n", image.c_str(), gib);
  std::printf("cat image > /dev/null              %7.2f GiB/s\n", gib / cat);
  std::printf("complete scan, exFAT searcher alone %7.2f GiB/s  ratio to cat %.2f  (%d partitions found)\n", gib / scan,
              cat / scan, found);
  std::printf("peak memory after the scans         %7.1f MiB (after the copying pass alone %.1f MiB)\n",
              PeakMiB(), copyPeak);
  std::printf("complete scan, searcher only copies %6.2f GiB/s  ratio to cat %.2f\n", gib / copy, cat / copy);
  return 0;
}
