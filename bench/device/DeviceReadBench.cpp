// Reads of a healthy image through the disk device beside plain pread, from
// the page cache: what reading around damage costs a medium that has none.
// A 512 MiB image of random bytes is made once (in the folder given, else
// $TMPDIR or /tmp) and kept. Each figure is the best of three passes over the
// whole image, after one more; printed in MB/s, with the ratio to pread of the same pieces.
//
//   pieces of 4 MiB   (the complete scan's blocks, read by its cache's thread)
//   pieces of 1 MiB   (copy-out's chunks)
//   pieces of 4 KiB   (records and folders read one at a time)
//   the complete scan's cache, block by block through its reader thread
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "device/DiskDevice.h"
#include "scan/CStorageDeviceWithCache.h"

namespace {

namespace fs = std::filesystem;
constexpr int64_t kImageBytes = int64_t{512} << 20;

fs::path MakeImage(const fs::path& folder) {
  const fs::path image = folder / "clipmender-device-read-bench.img";
  if (fs::exists(image) && static_cast<int64_t>(fs::file_size(image)) == kImageBytes) return image;
  std::FILE* out = std::fopen(image.c_str(), "wb");
  if (out == nullptr) return {};
  std::mt19937_64 random(89);
  std::vector<uint64_t> piece(1 << 17);
  for (int64_t done = 0; done < kImageBytes; done += static_cast<int64_t>(piece.size() * 8)) {
    for (auto& word : piece) word = random();
    std::fwrite(piece.data(), 8, piece.size(), out);
  }
  std::fclose(out);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = bench::ImageFolder(bench::ParseCommandLine(argc, argv, "[FOLDER]"));
  const fs::path image = MakeImage(folder);
  if (image.empty()) return 1;
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  CDiskDevice device(image.c_str());
  if (fd < 0 || device.Open() != 1) return 1;
  std::vector<uint8_t> buffer(4 << 20);
  // Warm the page cache.
  for (int64_t at = 0; at < kImageBytes; at += 4 << 20) (void)::pread(fd, buffer.data(), 4 << 20, at);

  const double mb = static_cast<double>(kImageBytes) / 1e6;
  for (const int64_t piece : {int64_t{4} << 20, int64_t{1} << 20, int64_t{4096}}) {
    const double plain = bench::BestOfThree([&] {
      for (int64_t at = 0; at < kImageBytes; at += piece) {
        if (::pread(fd, buffer.data(), static_cast<size_t>(piece), at) != piece) std::fprintf(stderr, "short\n");
      }
    });
    const double ours = bench::BestOfThree([&] {
      for (int64_t at = 0; at < kImageBytes; at += piece) {
        if (device.ReadSector(buffer.data(), at / 512, piece / 512) == 0) std::fprintf(stderr, "failed\n");
      }
    });
    std::printf("pieces of %7lld bytes: pread %8.0f MB/s, device %8.0f MB/s, ratio %.3f\n",
                static_cast<long long>(piece), mb / plain, mb / ours, plain / ours);
  }
  const double plain = bench::BestOfThree([&] {
    for (int64_t at = 0; at < kImageBytes; at += 4 << 20) (void)::pread(fd, buffer.data(), 4 << 20, at);
  });
  const double cached = bench::BestOfThree([&] {
    CStorageDeviceWithCache cache(&device);
    cache.SetBlockSize(8192);
    cache.BeginCache();
    for (int64_t block = 0; block < kImageBytes / (4 << 20); ++block) {
      if (cache.SetCurCacheBlock(block) == 0) std::fprintf(stderr, "block failed\n");
    }
    cache.EndCache();
  });
  std::printf("complete scan's cache, 4 MiB blocks: pread %8.0f MB/s, cache %8.0f MB/s, ratio %.3f\n", mb / plain,
              mb / cached, plain / cached);
  ::close(fd);
  return 0;
}
