// The NTFS quick scan at the scale of a real disk, against The Sleuth Kit's
// `fls -r -p` on the same image: a volume of 1,000,000 files in 1,000 folders
// with a tenth of them deleted, beside one of 10,000 files in 10 folders on an
// image of the same size (both made once by make-bench-volume.sh into the
// folder given as the first argument, or $TMPDIR, or /tmp, and kept there).
//
// Every run is a process of its own, so that its peak memory is its own: ours
// a child that opens the image, scans it with the real tree builder (without
// the pause before the first batch) and lets everything go; the peer's the
// command itself. Everything is read from the page cache (one warm-up run of
// each first); each figure is the best of three runs.
//
// Printed per volume: the scan with the tree (searcher start to the end of the
// tree's last batch), the whole process (start-up and teardown included),
// peak memory (VmHWM) and bytes per found file. What each found file costs
// above a fixed base is given two ways: the large volume's peak over what the
// process held before its scan, per file found (an upper bound: the scan's
// own buffers count too), and the growth from the small volume's peak to the
// large one's, per file found in between (the small volume's peak, which
// holds the volume's whole $LogFile while it is read, as the base).
//
//   bench_ntfs_scale [DIR]
//   bench_ntfs_scale --once IMAGE    one scan in this process, for profilers
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchArgs.h"
#include "QuickScanBench.h"
#include "ntfs/NTFSQuickSearch.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

using bench::CountingTree;
using bench::PassAll;
using bench::QuietSink;

namespace fs = std::filesystem;

struct Run {
  double scan = 0;   // seconds, searcher and tree builder
  double whole = 0;  // seconds, the whole process
  long peakKB = 0;   // the process's peak resident set
  long baseKB = 0;   // its peak before the scan began
  uint64_t shown = 0;
  bool ok = false;
};

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// VmHWM of this process, in KiB.
long PeakKB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// The child's part: one quick scan of `image` with the tree builder.
Run ScanInChild(const fs::path& image) {
  Run run;
  const bench::VolumeDevice device = bench::OpenVolume(image);
  if (device == nullptr) return run;
  QuietSink sink;
  PassAll filter;
  CountingTree tree;
  run.baseKB = PeakKB();
  const auto start = std::chrono::steady_clock::now();
  auto* builder = new CDirectoryTreeBuilder(false);
  builder->SetPause([] {});
  builder->Initialize("bench", &tree, &filter);
  auto* searcher = new CNTFSQuickSearch();
  searcher->SetDirecotryTreeBuilder(builder);
  run.ok = searcher->QuickSearchFiles(device.get(), &sink) == 0;
  run.scan = Since(start);
  run.peakKB = PeakKB();
  run.shown = tree.shown;
  builder->Release();
  delete searcher;
  device->Close();
  return run;
}

// One of our runs in a process of its own.
Run OurRun(const fs::path& image) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    // The builder's own reports go nowhere.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(1);
    const Run run = ScanInChild(image);
    const bool written = write(pipeEnds[1], &run, sizeof run) == static_cast<ssize_t>(sizeof run);
    _exit(written ? 0 : 1);
  }
  close(pipeEnds[1]);
  Run run;
  if (child < 0 || read(pipeEnds[0], &run, sizeof run) != static_cast<ssize_t>(sizeof run)) run.ok = false;
  close(pipeEnds[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  run.whole = Since(start);
  run.ok = run.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// One run of `fls -r -p image` with its output thrown away.
Run PeerRun(const fs::path& image) {
  Run run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0) _exit(127);
    execlp("fls", "fls", "-r", "-p", image.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) return run;
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  run.whole = run.scan = Since(start);
  run.peakKB = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// After a warm-up run, the best of three: the shortest time and the lowest
// peak (a run's peak only grows with what else the machine does).
template <class Measure>
Run BestOfThreeRuns(Measure measure) {
  Run best = measure();
  if (!best.ok) return best;
  best = Run{};
  for (int i = 0; i < 3; ++i) {
    const Run run = measure();
    if (!run.ok) return run;
    if (i == 0) {
      best = run;
      continue;
    }
    best.scan = std::min(best.scan, run.scan);
    best.whole = std::min(best.whole, run.whole);
    best.peakKB = std::min(best.peakKB, run.peakKB);
    best.baseKB = std::min(best.baseKB, run.baseKB);
  }
  return best;
}

struct Volume {
  const char* name;
  const char* folders;
  const char* files;
  Run ours;
  Run peer;
};

}  // namespace

int main(int argc, char** argv) {
  // --once IMAGE: one scan in this process (for profilers).
  const bench::CommandLine line = bench::ParseCommandLine(argc, argv, "[FOLDER] | --once IMAGE", {{"--once", true}});
  if (line.Has("--once")) {
    const Run run = ScanInChild(line.Value("--once"));
    std::printf("%s: %llu nodes shown, scan %.3f s, peak %ld KiB (%ld before the scan)\n", run.ok ? "done" : "failed",
                static_cast<unsigned long long>(run.shown), run.scan, run.peakKB, run.baseKB);
    return run.ok ? 0 : 1;
  }
  Volume volumes[] = {{"clipmender-ntfs-bench-10k.img", "10", "1000", {}, {}},
                      {"clipmender-ntfs-bench-1m.img", "1000", "1000", {}, {}}};
  for (Volume& volume : volumes) {
    const fs::path image = bench::PrepareVolume(bench::ImageFolder(line), volume.name, CLIPMENDER_NTFS_BENCH_SCRIPT,
                                                "root, /dev/fuse, mkntfs, ntfs-3g",
                                                std::string(volume.folders) + " " + volume.files + " 8G");
    if (image.empty()) return 1;
    volume.ours = BestOfThreeRuns([&] { return OurRun(image); });
    volume.peer = BestOfThreeRuns([&] { return PeerRun(image); });
    if (!volume.ours.ok || !volume.peer.ok) {
      std::fprintf(stderr, "a run on %s failed\n", image.c_str());
      return 1;
    }
  }

  const Volume& small = volumes[0];
  const Volume& large = volumes[1];
  const double mb = 1024.0 * 1024.0;
  for (const Volume& v : volumes) {
    std::printf("\n%s: %llu nodes shown (files and folders)\n", v.name, static_cast<unsigned long long>(v.ours.shown));
    std::printf("                          %12s %12s %10s\n", "quick scan", "fls -r -p", "ratio");
    std::printf("  scan with the tree, s   %12.3f %12.3f %10.2f\n", v.ours.scan, v.peer.whole,
                v.peer.whole / v.ours.scan);
    std::printf("  whole process, s        %12.3f %12.3f %10.2f\n", v.ours.whole, v.peer.whole,
                v.peer.whole / v.ours.whole);
    std::printf("  peak memory, MiB        %12.1f %12.1f %10.2f\n", v.ours.peakKB * 1024 / mb,
                v.peer.peakKB * 1024 / mb, static_cast<double>(v.ours.peakKB) / v.peer.peakKB);
    std::printf("  bytes per found file    %12.0f %12.0f\n", v.ours.peakKB * 1024.0 / v.ours.shown,
                v.peer.peakKB * 1024.0 / v.ours.shown);
    std::printf("  before the scan, MiB    %12.1f\n", v.ours.baseKB * 1024 / mb);
  }
  const double files = static_cast<double>(large.ours.shown) - static_cast<double>(small.ours.shown);
  const double perFile = (large.ours.peakKB - small.ours.peakKB) * 1024.0 / files;
  const double peerPerFile = (large.peer.peakKB - small.peer.peakKB) * 1024.0 / files;
  const double overStart = (large.ours.peakKB - large.ours.baseKB) * 1024.0 / static_cast<double>(large.ours.shown);
  std::printf("\nbytes per found file above a fixed base, %s:\n", large.name);
  std::printf("  over the process before its scan (%.1f MiB)   %6.0f\n", large.ours.baseKB * 1024 / mb, overStart);
  std::printf("  over the %s peak (%.1f MiB; fls %.1f MiB)   %6.0f   fls %.0f\n", small.name,
              small.ours.peakKB * 1024 / mb, small.peer.peakKB * 1024 / mb, perFile, peerPerFile);
  std::printf("quick scan with the tree is %.2f times as fast as fls -r -p (whole process %.2f)\n",
              large.peer.whole / large.ours.scan, large.peer.whole / large.ours.whole);
  return 0;
}
