// What holding deleted files against the $Bitmap costs on a large volume: an
// empty 2 TiB NTFS volume of 4 KiB clusters (a 64 MiB bitmap; made once by
// make-bitmap-volume.sh into the folder given as the first argument, or
// $TMPDIR, or /tmp).
//
// Printed, each time the best of three runs from the page cache: the quick
// scan of the volume (which loads and checks the bitmap); the load alone;
// 100,000 look-ups of 16 clusters at places spread over the volume (as
// deleted files lie), with the pieces read and the bytes held after them;
// a look-up of every cluster in ranges of 1M clusters; and beside them The
// Sleuth Kit's `icat IMAGE 6`, which reads the whole bitmap.
#include <cstdio>
#include <filesystem>
#include <random>

#include "BenchArgs.h"
#include "QuickScanBench.h"
#include "ntfs/NTFSClusterBitmap.h"
#include "ntfs/NTFSQuickSearch.h"
#include "support/HeapInUse.h"
#include "support/KeepingTreeBuilder.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const fs::path image = bench::PrepareVolume(bench::ImageFolder(bench::ParseCommandLine(argc, argv, "[FOLDER]")),
                                              "clipmender-ntfs-bitmap-2t.img", CLIPMENDER_NTFS_BITMAP_SCRIPT, "mkntfs");
  if (image.empty()) return 1;
  const bench::VolumeDevice device = bench::OpenVolume(image);
  if (device == nullptr) return 1;
  bench::QuietSink sink;

  CNTFSDataRunList mftRuns;
  bool believed = false;
  const double scan = bench::BestOfThree([&] {
    testsupport::KeepingTreeBuilder builder;
    CNTFSQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    if (searcher.QuickSearchFiles(device.get(), &sink) != 0) std::fprintf(stderr, "scan failed\n");
    believed = searcher.HasClusterBitmap();
    mftRuns = searcher.GetMFTDataRunList();
  });
  const uint64_t clusters = (uint64_t{2} << 40) / 4096 - 1;  // mkntfs keeps the last sector for the backup boot sector
  const uint32_t spc = 4096 / device->GetSectorSize();

  std::unique_ptr<CNTFSClusterBitmap> bitmap;
  const int64_t heapBefore = testsupport::HeapInUse();
  const double load =
      bench::BestOfThree([&] { bitmap = CNTFSClusterBitmap::Load(*device, 0, spc, 1024, mftRuns, clusters); });
  if (bitmap == nullptr) {
    std::fprintf(stderr, "the bitmap was not believed\n");
    return 1;
  }
  size_t pieces = 0, held = 0;
  int64_t heap = 0;
  int inUse = 0;
  const double spread = bench::BestOfThree([&] {
    bitmap = CNTFSClusterBitmap::Load(*device, 0, spc, 1024, mftRuns, clusters);
    std::mt19937_64 rng(20261207);
    inUse = 0;
    for (int i = 0; i < 100000; ++i) {
      inUse += bitmap->AnyInUse(static_cast<int64_t>(rng() % (clusters - 16)), 16) == 1;
    }
    pieces = bitmap->GetPiecesRead();
    held = bitmap->GetBytesHeld();
    heap = testsupport::HeapInUse() - heapBefore;
  });
  const double whole = bench::BestOfThree([&] {
    bitmap = CNTFSClusterBitmap::Load(*device, 0, spc, 1024, mftRuns, clusters);
    constexpr int64_t kRange = 1 << 20;
    for (int64_t at = 0; at < static_cast<int64_t>(clusters); at += kRange) {
      bitmap->AnyInUse(at, std::min<int64_t>(kRange, static_cast<int64_t>(clusters) - at));
    }
  });
  const double icat = bench::BestOfThree([&] {
    if (std::system(("icat " + bench::Quote(image.string()) + " 6 >/dev/null").c_str()) != 0) {
      std::fprintf(stderr, "icat failed\n");
    }
  });

  std::printf("bitmap: %llu bytes for %llu clusters; believed by the quick scan: %s\n",
              static_cast<unsigned long long>(bitmap->GetStreamBytes()), static_cast<unsigned long long>(clusters),
              believed ? "yes" : "no");
  std::printf("quick scan of the volume (bitmap loaded):     %8.3f s\n", scan);
  std::printf("bitmap load and check alone:                  %8.3f s\n", load);
  std::printf(
      "100,000 spread look-ups of 16 clusters:       %8.3f s  (%d in use), %zu pieces read, %zu bytes held, "
      "heap grown %lld bytes\n",
      spread, inUse, pieces, held, static_cast<long long>(heap));
  std::printf("every cluster, in ranges of 1M clusters:      %8.3f s\n", whole);
  std::printf("icat IMAGE 6 (the whole bitmap, The Sleuth Kit): %8.3f s\n", icat);
  device->Close();
  return 0;
}
