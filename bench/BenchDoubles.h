// Stand-ins for the application's side of a scan, shared by the benchmarks:
// a tree that only counts what it is shown, a filter that lets every node
// through and a progress sink that never stops the scan (the tree builder that
// only keeps the nodes is the tests' KeepingTreeBuilder); and the timing and
// shell-quoting the benchmarks share.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "DirectoryTree.h"
#include "FileNode.h"
#include "Progress.h"
#include "RecoveryFilter.h"

namespace bench {

class CountingTree : public IDrirectoryTree {
 public:
  int ShowNodes(IFileNode**, unsigned count, int) override {
    shown += count;
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode*) override { return 0; }
  uint64_t shown = 0;
};

class PassAll : public IRecoveryFilter {
 public:
  int ShowNormalFiles() const override { return 1; }
  void SetScanType(_SCAN_TYPE) override {}
  int IsFileNodeValid(IFileNode* node) override { return node != nullptr ? 1 : 0; }
  void SetFilterTypes(uint32_t) override {}
  _FILTER_TYPE GetNodeFileType(IFileNode*) override { return FILTER_TYPE_OTHER; }
  void Release() override {}
};

class QuietSink : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO*) override { return 0; }
  int Continued() override { return 1; }
  int shouldBuild() override { return 1; }
};

// The shortest of three runs of `run` (seconds; negative for a failed run),
// or -1 when one failed.
template <class Run>
double Best(Run run) {
  double best = -1;
  for (int i = 0; i < 3; ++i) {
    const double s = run();
    if (s < 0) return -1;
    if (best < 0 || s < best) best = s;
  }
  return best;
}

// Seconds of the best of three runs, after one warm-up run (the page cache).
inline double BestOfThree(const std::function<void()>& run) {
  run();
  double best = 1e300;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

// `text` in single quotes for the shell.
inline std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The benchmark volume `name` in `dir` (bench::ImageFolder), made by `script` (with `args` after the image's path) on
// first use, which says how long the making took; empty (and said why) when
// it cannot be made (`needs` names what the script needs) or fls is missing.
inline std::filesystem::path PrepareVolume(const std::filesystem::path& dir, const char* name, const char* script,
                                           const char* needs, const std::string& args = {}) {
  const std::filesystem::path image = dir / name;
  std::printf("volume: %s (made on first use, takes a few minutes)\n", image.c_str());
  std::fflush(stdout);
  const bool made = std::filesystem::exists(image);
  const auto start = std::chrono::steady_clock::now();
  if (std::system(("bash " + Quote(script) + " " + Quote(image.string()) + " " + args).c_str()) != 0) {
    std::fprintf(stderr, "cannot make the benchmark volume (needs %s)\n", needs);
    return {};
  }
  if (!made) {
    std::printf("  made in %.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  if (std::system("command -v fls >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "fls (The Sleuth Kit) is not installed\n");
    return {};
  }
  return image;
}

}  // namespace bench
