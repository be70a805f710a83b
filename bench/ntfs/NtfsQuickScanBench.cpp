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
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchDoubles.h"
#include "DirecotryTreeBuilder.h"
#include "DirectoryTree.h"
#include "FileNode.h"
#include "Progress.h"
#include "RecoveryFilter.h"
#include "device/DiskDevice.h"
#include "ntfs/NTFSQuickSearch.h"
#include "support/KeepingTreeBuilder.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

using bench::CountingTree;
using bench::PassAll;
using bench::QuietSink;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(const std::function<void()>& run) {
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double BestOfThree(const std::function<void()>& run) {
  run();  // warm-up: the page cache
  double best = 1e300;
  for (int i = 0; i < 3; ++i) best = std::min(best, Seconds(run));
  return best;
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::path(tmp != nullptr && *tmp ? tmp : "/tmp");
  const fs::path image = dir / "clipmender-ntfs-bench-100k.img";
  std::printf("volume: %s (made on first use, takes a few minutes)\n", image.c_str());
  const int made = std::system(("bash " + Quote(CLIPMENDER_NTFS_BENCH_SCRIPT) + " " + Quote(image.string())).c_str());
  if (made != 0) {
    std::fprintf(stderr, "cannot make the benchmark volume (needs root, /dev/fuse, mkntfs, ntfs-3g)\n");
    return 1;
  }
  if (std::system("command -v fls >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "fls (The Sleuth Kit) is not installed\n");
    return 1;
  }

  std::unique_ptr<IStorageDevice, void (*)(IStorageDevice*)> device(CreateVolumeDevice(image.c_str()),
                                                                    [](IStorageDevice* d) { d->Release(); });
  if (device == nullptr || device->Open() == 0) {
    std::fprintf(stderr, "cannot open %s\n", image.c_str());
    return 1;
  }
  QuietSink sink;

  int64_t records = 0, nodes = 0;
  const double alone = BestOfThree([&] {
    testsupport::KeepingTreeBuilder builder(false);
    CNTFSQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    if (searcher.QuickSearchFiles(device.get(), &sink) != 0) std::fprintf(stderr, "scan failed\n");
    records = searcher.GetCounters().recordSlots;
    nodes = searcher.GetCounters().nodesMade;
  });

  uint64_t shown = 0;
  PassAll filter;
  const double withTree = BestOfThree([&] {
    CountingTree tree;
    CDirectoryTreeBuilder builder(false);
    builder.SetPause([] {});
    builder.Initialize("bench", &tree, &filter);
    CNTFSQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.QuickSearchFiles(device.get(), &sink);
    shown = tree.shown;
  });

  const std::string fls = "fls -r -d " + Quote(image.string()) + " >/dev/null";
  const double peer = BestOfThree([&] {
    if (std::system(fls.c_str()) != 0) std::fprintf(stderr, "fls failed\n");
  });

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
