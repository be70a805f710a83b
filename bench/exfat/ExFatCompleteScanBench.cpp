// Time and peak memory of the complete scan of a whole disk with the exFAT
// searcher alone, each as a multiple of `cat image > /dev/null`'s, both from
// the page cache. The image is a 1 GiB exFAT volume with 20,000 files in
// 2,000 folders (made once by make-bench-volume.sh through exfat-fuse into
// the folder given as the first argument, or $TMPDIR, or /tmp, and kept
// there), so that the searcher meets thousands of directory sectors besides
// the sectors it only tests and passes by, then settles the volume and
// builds its tree. With a second argument "noboot", the volume's boot
// regions are wiped in a copy first, so that it is placed from its root
// folder and up-case table instead; with "noroot", its root folder's first
// cluster as well, so that it is inferred from its folder tree. With
// "scale", the disk of tests/fixtures/exfat/make-exfat-scale.sh instead (made
// into a folder beside the volume): 208,888 folders whose last level is
// empty, then a small volume without its root, every boot region wiped; the
// lost-partition builder's steps of tree checks are shown beside what it was
// allowed, with the volumes placed.
//
// For scale, the same pass with a searcher that only copies each block out
// of the caching device. Every run is a process of its own, so that its peak
// resident memory is its own; one warm-up run of each first, then the best
// of three for the time and the largest peak.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "CompleteScanBench.h"
#include "FileSystemSearchController.h"
#include "device/DiskDevice.h"
#include "exfat/ExFatSearchController.h"

namespace {

namespace fs = std::filesystem;

struct Run {
  double seconds = -1;
  double peakMiB = 0;
  int found = 0;
};

// `work` in a child process: the time it reports and the child's peak.
Run InChild(const std::function<Run()>& work) {
  int pipeFds[2];
  std::fflush(stdout);
  if (pipe(pipeFds) != 0) return {};
  const pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) {
    close(pipeFds[0]);
    const Run run = work();
    const ssize_t written = write(pipeFds[1], &run, sizeof run);
    _exit(written == sizeof run ? 0 : 1);
  }
  close(pipeFds[1]);
  Run run;
  if (read(pipeFds[0], &run, sizeof run) != sizeof run) run = Run();
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return run;
}

Run Cat(const fs::path& image) {
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) {
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(1);
    execlp("cat", "cat", image.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Run run;
  run.seconds = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? bench::Since(start) : -1;
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return run;
}

Run Scan(const fs::path& image, bool copyOnly) {
  return InChild([&] {
    Run run;
    std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
    if (device == nullptr || device->Open() != 1) return run;
    run.seconds =
        bench::CompleteScanSeconds(device.get(), SEARCHER_TYPE_EXFAT, CreateEXFatSearcher, &run.found, copyOnly);
    return run;
  });
}

// Three runs after a warm-up: the best time, the largest peak.
Run Measure(const std::function<Run()>& once) {
  once();
  Run best;
  for (int i = 0; i < 3; ++i) {
    const Run run = once();
    if (run.seconds < 0) return Run();
    if (best.seconds < 0 || run.seconds < best.seconds) {
      best.seconds = run.seconds;
      best.found = run.found;
    }
    best.peakMiB = std::max(best.peakMiB, run.peakMiB);
  }
  return best;
}

// One pass of the exFAT searcher alone, in this process: what the builder
// spent and was allowed, and where it placed the volumes.
void ShowSteps(const fs::path& image) {
  std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
  if (device == nullptr || device->Open() != 1) return;
  bench::CountingTree tree;
  IDirecotryTreeBuilder* builder = bench::MakeTreeBuilder(false);
  bench::PassAll filter;
  builder->Initialize("bench", &tree, &filter);
  CExFatSearchController searcher;
  const int64_t block = 8192;
  searcher.SetDevice(device.get());
  searcher.SetBlockSize(static_cast<int>(block));
  searcher.SetDirecotryTreeBuilder(builder);
  searcher.PreparetoSearch();
  for (int64_t first = 0; first < device->GetTotalSectors(); first += block) {
    searcher.AnalyzeBlock(first, std::min<int64_t>(block, device->GetTotalSectors() - first));
  }
  searcher.EndBlockPass();
  searcher.EndSearch(1);
  const CPartitionBuilder::Steps& steps = searcher.GetBuilder().GetSteps();
  auto share = [](uint64_t spent, uint64_t allowed) { return allowed == 0 ? 0.0 : 100.0 * spent / allowed; };
  std::printf("folder entries found                %llu\n", static_cast<unsigned long long>(steps.folders));
  std::printf("tree-check steps: fitting           %llu of %llu (%.1f %%)\n",
              static_cast<unsigned long long>(steps.fitting), static_cast<unsigned long long>(steps.fittingAllowed),
              share(steps.fitting, steps.fittingAllowed));
  std::printf("                  other checks      %llu of %llu (%.1f %%)\n",
              static_cast<unsigned long long>(steps.checks), static_cast<unsigned long long>(steps.checksAllowed),
              share(steps.checks, steps.checksAllowed));
  std::printf("                  winnowing         %llu of %llu (%.1f %%)\n",
              static_cast<unsigned long long>(steps.winnowing), static_cast<unsigned long long>(steps.winnowingAllowed),
              share(steps.winnowing, steps.winnowingAllowed));
  for (const auto& volume : searcher.GetPartitions()) {
    std::printf("volume placed: heap at sector %lld, %u sectors a cluster\n",
                static_cast<long long>(volume->GetHeapFirstSector()), volume->GetSectorsPerCluster());
  }
  builder->Release();
}

}  // namespace

int main(int argc, char** argv) {
  const char* usage = "[FOLDER [noboot|noroot|scale]]";
  const bench::CommandLine line = bench::ParseCommandLine(argc, argv, usage, {}, 2);
  const std::string damage = line.Plain(1);
  if (!damage.empty() && damage != "noboot" && damage != "noroot" && damage != "scale") {
    std::fprintf(stderr, "unknown damage %s\n", damage.c_str());
    bench::PrintUsage(stderr, argv[0], usage);
    return 2;
  }
  fs::path image;
  if (damage == "scale") {
    const fs::path dir = bench::ImageFolder(line) / "clipmender-exfat-scale";
    if (std::system(
            ("bash " + bench::Quote(CLIPMENDER_EXFAT_SCALE_SCRIPT) + " " + bench::Quote(dir.string())).c_str()) != 0) {
      std::printf("could not make the disk in %s\n", dir.c_str());
      return 1;
    }
    image = dir / "scale.img";
  } else {
    image = bench::PrepareVolume(bench::ImageFolder(line), "clipmender-exfat-bench-20k.img",
                                 CLIPMENDER_EXFAT_BENCH_SCRIPT, "root, exfat-fuse and exfatprogs");
    if (image.empty()) return 1;
  }
  if (damage == "noboot" || damage == "noroot") {
    const fs::path copy = image.string() + "." + damage;
    const std::string quoted = bench::Quote(copy.string());
    std::string wipe = "dd if=/dev/zero of=" + quoted + " bs=512 count=24 conv=notrunc status=none";
    if (damage == "noroot") {
      // The root's first cluster, where the boot sector puts it.
      std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
      uint8_t boot[4096] = {};
      if (device == nullptr || device->Open() != 1 || device->ReadSector(boot, 0, 1) == 0) return 1;
      const uint64_t spc = uint64_t{1} << boot[109];
      const uint64_t heap = boot[88] | boot[89] << 8 | boot[90] << 16 | uint64_t{boot[91]} << 24;
      const uint64_t root = boot[96] | boot[97] << 8 | boot[98] << 16 | uint64_t{boot[99]} << 24;
      wipe += " && dd if=/dev/zero of=" + quoted + " bs=512 seek=" + std::to_string(heap + (root - 2) * spc) +
              " count=" + std::to_string(spc) + " conv=notrunc status=none";
    }
    if (std::system(("cp --sparse=always " + bench::Quote(image.string()) + " " + quoted + " && " + wipe).c_str()) !=
        0) {
      std::printf("could not make %s\n", copy.c_str());
      return 1;
    }
    image = copy;
  }
  const double gib = static_cast<double>(fs::file_size(image)) / (1u << 30);
  ShowSteps(image);
  const Run cat = Measure([&] { return Cat(image); });
  const Run copy = Measure([&] { return Scan(image, true); });
  const Run scan = Measure([&] { return Scan(image, false); });
  if (cat.seconds <= 0 || copy.seconds <= 0 || scan.seconds <= 0) {
    std::printf("a run failed\n");
    return 1;
  }
  std::printf("image                               %s (%.2f GiB%s)\n", image.c_str(), gib,
              damage.empty() ? "" : (", " + damage).c_str());
  std::printf("cat image > /dev/null               %6.3f s  %7.2f GiB/s  peak %7.1f MiB\n", cat.seconds,
              gib / cat.seconds, cat.peakMiB);
  std::printf("complete scan, exFAT searcher alone %6.3f s  %7.2f GiB/s  peak %7.1f MiB  (%d partitions found)\n",
              scan.seconds, gib / scan.seconds, scan.peakMiB, scan.found);
  std::printf("  as a multiple of cat's            time %.2f  peak %.1f\n", scan.seconds / cat.seconds,
              scan.peakMiB / cat.peakMiB);
  std::printf("complete scan, searcher only copies %6.3f s  %7.2f GiB/s  peak %7.1f MiB\n", copy.seconds,
              gib / copy.seconds, copy.peakMiB);
  std::printf("  as a multiple of cat's            time %.2f  peak %.1f\n", copy.seconds / cat.seconds,
              copy.peakMiB / cat.peakMiB);
  return 0;
}
