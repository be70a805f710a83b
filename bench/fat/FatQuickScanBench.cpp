// Speed of the FAT32 quick scan against The Sleuth Kit's `fls -r -p` on the
// same volume: 100,000 files in 100 folders, a tenth of them deleted (made
// once by make-bench-volume.sh into the folder given as the first argument,
// or $TMPDIR, or /tmp, and kept there for later runs).
//
// Everything is read from the page cache (one warm-up run of each first);
// each figure is the best of three runs. Printed: entries per second by the
// searcher alone (its nodes taken and dropped), by the searcher feeding the
// real tree builder, and by fls, with the ratios to fls.
#include <cstdio>
#include <filesystem>

#include "BenchArgs.h"
#include "DeviceData.h"
#include "QuickScanBench.h"
#include "fat/FATQuickSearcher.h"
#include "support/KeepingTreeBuilder.h"

namespace {

using bench::BestOfThree;
using bench::QuietSink;

namespace fs = std::filesystem;

}  // namespace

int main(int argc, char** argv) {
  const bench::CommandLine line = bench::ParseCommandLine(argc, argv, "[FOLDER]");
  const fs::path image = bench::PrepareVolume(bench::ImageFolder(line), "clipmender-fat-bench-100k.img",
                                              CLIPMENDER_FAT_BENCH_SCRIPT, "mkfs.fat and mtools");
  if (image.empty()) return 1;
  const bench::VolumeDevice device = bench::OpenVolume(image);
  if (device == nullptr) return 1;
  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->fileSystemType = FILE_SYSTEM_TYPE_FAT32;
  info->sectorSize = 512;
  info->totalSectors = static_cast<int64_t>(fs::file_size(image) / 512);
  device->SetPrivateData(CreateVolumeDeviceData(info));
  QuietSink sink;

  size_t nodes = 0;
  const double alone = BestOfThree([&] {
    testsupport::KeepingTreeBuilder builder;
    CFATQuickSearcher searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    const ResultCode code = searcher.QuickSearchFiles(device.get(), &sink);
    if (code != 0) std::fprintf(stderr, "scan failed: 0x%016llx\n", static_cast<unsigned long long>(code));
    nodes = builder.nodes.size();
  });

  uint64_t shown = 0;
  const double withTree = bench::QuickScanWithTree<CFATQuickSearcher>(device.get(), &shown);
  const double peer = bench::FlsSeconds("-r -p", image);

  const double n = static_cast<double>(nodes);
  std::printf("entries found: %zu, nodes shown by the tree builder: %llu\n", nodes,
              static_cast<unsigned long long>(shown));
  std::printf("quick scan, searcher alone: %8.3f s  %12.0f entries/s\n", alone, n / alone);
  std::printf("quick scan with the tree:   %8.3f s  %12.0f entries/s\n", withTree, n / withTree);
  std::printf("fls -r -p:                  %8.3f s  %12.0f entries/s\n", peer, n / peer);
  std::printf("ratio to fls -r -p (higher is faster): searcher alone %.2f, with the tree %.2f\n", peer / alone,
              peer / withTree);
  device->Close();
  return 0;
}
