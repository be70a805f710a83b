// Throughput of the complete scan with the HFS+ searcher alone, against
// `cat image > /dev/null`, both from the page cache: on the largest HFS+
// sample (a 64 MiB volume of 779 files, whose catalog leaves the searcher
// analyses and whose volume it opens and walks), and on a 1 GiB disk of
// random bytes holding that volume at sector 2048 (mostly sectors the
// searcher only tests and passes by). Both are made once by
// make-bench-disk.sh into the folder given as the first argument, or
// $TMPDIR, or /tmp.
//
// For scale, the same pass with a searcher that only copies each block out
// of the caching device. One warm-up run of each first; each figure is the
// best of three runs. Peak memory is the process's high-water mark.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <sys/resource.h>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "CompleteScanBench.h"
#include "FileSystemSearchController.h"
#include "device/DiskDevice.h"

namespace {

namespace fs = std::filesystem;

double PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double ScanSeconds(IStorageDevice* device, int* found, bool copyOnly = false) {
  return bench::CompleteScanSeconds(device, SEARCHER_TYPE_HFSPLUS, CreateHFSPlusSearcher, found, copyOnly);
}

bool Measure(const fs::path& image) {
  std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
  if (device == nullptr || device->Open() != 1) {
    std::printf("could not open %s\n", image.c_str());
    return false;
  }
  const double gib = static_cast<double>(device->GetTotalSectors()) * device->GetSectorSize() / (1u << 30);
  int found = 0;
  int none = 0;
  bench::CatSeconds(image);
  const double copy = bench::Best([&] { return ScanSeconds(device.get(), &none, true); });
  ScanSeconds(device.get(), &found);
  const double cat = bench::Best([&] { return bench::CatSeconds(image); });
  const double scan = bench::Best([&] { return ScanSeconds(device.get(), &found); });
  if (cat <= 0 || scan <= 0 || copy <= 0) {
    std::printf("a run failed\n");
    return false;
  }
  std::printf("image                                %s (%.3f GiB)\n", image.c_str(), gib);
  std::printf("cat image > /dev/null                %7.2f GiB/s\n", gib / cat);
  std::printf("complete scan, HFS+ searcher alone   %7.2f GiB/s  ratio to cat %.2f  (%d volumes reported)\n",
              gib / scan, cat / scan, found);
  std::printf("complete scan, searcher only copies  %7.2f GiB/s  ratio to cat %.2f\n", gib / copy, cat / copy);
  std::printf("peak memory so far                   %7.1f MiB\n", PeakMiB());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = bench::ImageFolder(bench::ParseCommandLine(argc, argv, "[FOLDER]"));
  std::printf("images in %s (made on first use)\n", dir.c_str());
  if (std::system(
          ("bash " + bench::Quote(CLIPMENDER_HFSPLUS_BENCH_SCRIPT) + " " + bench::Quote(dir.string())).c_str()) != 0) {
    std::fprintf(stderr, "cannot make the benchmark images (needs the shared HFS+ samples)\n");
    return 1;
  }
  return Measure(dir / "lx-hfsplus.img") && Measure(dir / "lx-hfsplus-1g.img") ? 0 : 1;
}
