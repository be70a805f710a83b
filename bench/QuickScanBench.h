// What the quick-scan benchmarks share: the benchmark volume opened as a
// volume device, the timed quick scan feeding the real tree builder, and the
// timed run of the peer, fls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchDoubles.h"
#include "StorageDevice.h"
#include "device/DiskDevice.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace bench {

using VolumeDevice = std::unique_ptr<IStorageDevice, void (*)(IStorageDevice*)>;

// `image` opened as a volume device; null (and said why) when it cannot be.
inline VolumeDevice OpenVolume(const std::filesystem::path& image) {
  VolumeDevice device(CreateVolumeDevice(image.c_str()), [](IStorageDevice* d) { d->Release(); });
  if (device == nullptr || device->Open() == 0) {
    std::fprintf(stderr, "cannot open %s\n", image.c_str());
    device.reset();
  }
  return device;
}

// Seconds of the best of three quick scans of `device` by a `Searcher`
// feeding the real tree builder; `shown` gets how many nodes the tree was
// shown.
template <class Searcher>
double QuickScanWithTree(IStorageDevice* device, uint64_t* shown) {
  PassAll filter;
  QuietSink sink;
  return BestOfThree([&] {
    CountingTree tree;
    CDirectoryTreeBuilder builder(false);
    builder.SetPause([] {});
    builder.Initialize("bench", &tree, &filter);
    Searcher searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.QuickSearchFiles(device, &sink);
    *shown = tree.shown;
  });
}

// Seconds of the best of three runs of `fls OPTIONS image`, its output
// thrown away.
inline double FlsSeconds(const std::string& options, const std::filesystem::path& image) {
  const std::string fls = "fls " + options + " " + Quote(image.string()) + " >/dev/null";
  return BestOfThree([&] {
    if (std::system(fls.c_str()) != 0) std::fprintf(stderr, "fls failed\n");
  });
}

}  // namespace bench
