// Speed of the NTFS quick scan against The Sleuth Kit's `fls -r -d` on the
// same volume: 100,000 files in 100 folders, a tenth of them deleted (made
// once by make-bench-volume.sh into the folder given as the first argument,
// or $TMPDIR, or /tmp, and kept there for later runs).
//
// Everything is read from the page cache (one warm-up run of each first);
// each figure is the best of three runs. Printed: MFT records walked per
// second by the searcher alone (its nodes taken and dropped by a builder
// that does nothing else), by the searcher feeding the real tree builder,
// and by fls, with the ratios to fls.
#include <cstdio>
#include <filesystem>

#include "BenchArgs.h"
#include "QuickScanBench.h"
#include "ntfs/NTFSQuickSearch.h"
#include "support/KeepingTreeBuilder.h"

namespace {

using bench::BestOfThree;
using bench::QuietSink;

namespace fs = std::filesystem;

}  // namespace

int main(int argc, char** argv) {
  const fs::path image = bench::PrepareVolume(bench::ImageFolder(bench::ParseCommandLine(argc, argv, "[FOLDER]")),
                                              "clipmender-ntfs-bench-100k.img", CLIPMENDER_NTFS_BENCH_SCRIPT,
                                              "root, /dev/fuse, mkntfs, ntfs-3g");
  if (image.empty()) return 1;

  const bench::VolumeDevice device = bench::OpenVolume(image);
  if (device == nullptr) return 1;
  QuietSink sink;

  int64_t records = 0, nodes = 0;
  const double alone = BestOfThree([&] {
    testsupport::KeepingTreeBuilder builder;
    CNTFSQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    if (searcher.QuickSearchFiles(device.get(), &sink) != 0) std::fprintf(stderr, "scan failed\n");
    records = searcher.GetCounters().recordSlots;
    nodes = searcher.GetCounters().nodesMade;
  });

  uint64_t shown = 0;
  const double withTree = bench::QuickScanWithTree<CNTFSQuickSearch>(device.get(), &shown);
  const double peer = bench::FlsSeconds("-r -d", image);

  std::printf("MFT records walked: %lld, nodes made: %lld, nodes shown by the tree builder: %llu\n",
              static_cast<long long>(records), static_cast<long long>(nodes), static_cast<unsigned long long>(shown));
  std::printf("quick scan, searcher alone:     %8.3f s  %12.0f records/s\n", alone, records / alone);
  std::printf("quick scan with the tree:       %8.3f s  %12.0f records/s\n", withTree, records / withTree);
  std::printf("fls -r -d (deleted files only): %8.3f s  %12.0f records/s\n", peer, records / peer);
  std::printf("ratio to fls -r -d (higher is faster): searcher alone %.2f, with the tree %.2f\n", peer / alone,
              peer / withTree);
  device->Close();
  return 0;
}
