// Our complete scan (every searcher, as the application runs it) beside
// PhotoRec (every file type, whole space) and `cat image > /dev/null` on three
// 1 GiB images: the NTFS and exFAT benchmark volumes and random bytes with
// 300 pictures (bench/scan/make-deep-scan-images.sh, made once into the folder
// given as the first argument, else $TMPDIR or /tmp, and kept there).
//
// Each program runs as a process of its own, from the page cache, in turn
// (cat, ours, PhotoRec, cat, ours, ...) after one warm-up round; wall times
// are whole-process (start-up, the scan and teardown), the figures the median
// and the best of the rounds (5, or --rounds N), peaks the processes' peak
// resident sizes. PhotoRec writes what it finds (see --peer-out); its output is
// counted and removed after each run, outside its time.
//
// One more run of ours per image prints the listing (found files and a digest
// of their paths, kinds, states, sizes, times and first runs, to compare two
// builds) and the heap the scan holds once it has ended: in all, and above
// what its found files and their trees hold (what releasing the tree builder
// gives back).
//
// To pin everything to two cores: taskset -c 0,1 bench_deep_scan [FOLDER].
//
// Options: --rounds N; --ours PROGRAM, another build of this benchmark whose
// scans stand for ours (to compare two builds in one run); --peer-out DIR,
// where PhotoRec writes (default /dev/shm when writable, else the images'
// folder: writing thousands of small files to a disk would count against it).
// --sector-size N: our scans read the images as a device of N-byte sectors
// (4096: a disk of 512-byte-sector volumes in an enclosure that shows larger
// sectors). bench_deep_scan --scan IMAGE [--listing] [--sector-size N] is the
// child that scans once.
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "DataRunList.h"
#include "FileNode.h"
#include "FileTypeManager.h"
#include "RecoveryFilter.h"
#include "device/DiskDevice.h"
#include "device/SectorSizeDevice.h"
#include "scan/CRecoveryController.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

// Bytes malloc has handed out and not taken back, in every arena.
int64_t Live() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kImages[][2] = {
    {"NTFS 100k files", "clipmender-ntfs-bench-100k.img"},
    {"exFAT 20k files", "clipmender-exfat-bench-20k.img"},
    {"random + 300 pictures", "clipmender-pictures-bench.img"},
};

// ---- the child: one complete scan ------------------------------------------

int64_t g_builderFreed = 0;

// The real builder; its release tells how much its trees and nodes held.
class MeasuredBuilder final : public CDirectoryTreeBuilder {
 public:
  using CDirectoryTreeBuilder::CDirectoryTreeBuilder;
  void Release() override {
    const int64_t before = Live();
    CDirectoryTreeBuilder::Release();
    g_builderFreed += before - Live();
  }
};

// Keeps what it is shown, for the listing.
class KeepingTree : public IDrirectoryTree {
 public:
  int ShowNodes(IFileNode** nodes, unsigned count, int) override {
    if (keep) shown.insert(shown.end(), nodes, nodes + count);
    total += count;
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode*) override { return 0; }
  bool keep = false;
  uint64_t total = 0;
  std::vector<IFileNode*> shown;
};

uint64_t Fnv(uint64_t hash, const std::string& text) {
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
  return hash;
}

// Files and folders shown, and a digest of what the listing says of each.
std::pair<size_t, uint64_t> Listing(const std::vector<IFileNode*>& shown) {
  std::vector<std::string> lines;
  lines.reserve(shown.size());
  for (IFileNode* node : shown) {
    std::string path;
    for (IFileNode* at = node; at != nullptr; at = at->GetParent()) {
      const char* name = at->GetFileName();
      path = std::string(name != nullptr ? name : "") + "/" + path;
    }
    std::string line = std::to_string(node->IsDirectory()) + " " + std::to_string(node->IsDeleted()) + " " +
                       std::to_string(node->GetFileSize()) + " " + std::to_string(node->GetModificationTime()) + " ";
    if (auto* file = dynamic_cast<CFileNode*>(node)) {
      if (IDataRunList* runs = file->GetDataRunList()) {
        if (const DataRun* run = runs->GetFirst())
          line += std::to_string(run->start) + "+" + std::to_string(run->length);
      }
    }
    lines.push_back(line + " " + path);
  }
  std::sort(lines.begin(), lines.end());
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const std::string& line : lines) hash = Fnv(hash, line + "\n");
  return {lines.size(), hash};
}

// A searcher that times the one it stands for: its block pass and its end.
class TimedSearcher final : public ICompleteFileSystemSearchController {
 public:
  TimedSearcher(_tagSearcherType type, ICompleteFileSystemSearchController* inner) : type_(type), inner_(inner) {}
  ~TimedSearcher() override {
    std::printf("RESULT searcher %d %.6f %.6f\n", static_cast<int>(type_), pass_, end_);
    delete inner_;
  }
  void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { inner_->SetDirecotryTreeBuilder(builder); }
  int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override {
    return inner_->GetSearchedPartitionInfo(array, capacity);
  }
  void SetDevice(IStorageDevice* device) override { inner_->SetDevice(device); }
  void SetBlockSize(int sectors) override { inner_->SetBlockSize(sectors); }
  void PreparetoSearch() override { inner_->PreparetoSearch(); }
  void EndSearch(int build) override {
    const auto start = Clock::now();
    inner_->EndSearch(build);
    end_ += std::chrono::duration<double>(Clock::now() - start).count();
  }
  ResultCode AnalyzeBlock(int64_t firstSector, int64_t sectorCount) override {
    const auto start = Clock::now();
    const ResultCode code = inner_->AnalyzeBlock(firstSector, sectorCount);
    pass_ += std::chrono::duration<double>(Clock::now() - start).count();
    return code;
  }
  void SetIProgressSink(IProgress* progress) override { inner_->SetIProgressSink(progress); }
  void EndBlockPass() override { inner_->EndBlockPass(); }

 private:
  _tagSearcherType type_;
  ICompleteFileSystemSearchController* inner_;
  double pass_ = 0, end_ = 0;
};

int ScanOnce(const char* image, bool listing, uint32_t sectorSize) {
  strPics = "jpg;png;bmp;gif;ico;cur;psd;psp;tif";
  std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(image));
  if (disk == nullptr || disk->Open() != 1) {
    std::fprintf(stderr, "cannot open %s\n", image);
    return 1;
  }
  std::unique_ptr<IStorageDevice> view;
  if (sectorSize != 0 && sectorSize != disk->GetSectorSize()) view.reset(new CSectorSizeDevice(disk.get(), sectorSize));
  IStorageDevice* device = view != nullptr ? view.get() : disk.get();
  const int64_t before = Live();
  auto* controller = new CPartitionRecoveryController();
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = [](bool restoring) -> IDirecotryTreeBuilder* {
    auto* builder = new MeasuredBuilder(restoring);
    builder->SetPause([] {});
    return builder;
  };
  // The image was written and closed long before: no flush.
  parts.flushFileBuffers = [] {};
  if (listing) {
    parts.makeCompleteSearcher = [](_tagSearcherType type) -> ICompleteFileSystemSearchController* {
      ICompleteFileSystemSearchController* inner = RecoveryControllerParts::Defaults().makeCompleteSearcher(type);
      return inner != nullptr ? new TimedSearcher(type, inner) : nullptr;
    };
  }
  controller->SetParts(parts);
  IRecoveryFilter* filter = CreateFilter();
  filter->SetScanType(SCAN_TYPE_DEEP);
  filter->SetFilterTypes(kFilterAllTypes);
  controller->Initialize(filter);
  KeepingTree tree;
  tree.keep = listing;
  bench::QuietSink sink;
  const auto start = Clock::now();
  const ResultCode code = controller->StartDataRecovery(device, &sink, &tree);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const int64_t held = Live() - before;
  if (listing) {
    const auto [count, digest] = Listing(tree.shown);
    std::printf("RESULT listing %zu %016llx\n", count, static_cast<unsigned long long>(digest));
  }
  controller->Release();
  std::printf("RESULT scan %.6f %llu %lld %lld %lld\n", seconds, static_cast<unsigned long long>(tree.total),
              static_cast<long long>(held), static_cast<long long>(held - g_builderFreed),
              static_cast<long long>(Live() - before));
  return code == 0 ? 0 : 2;
}

// ---- the parent ---------------------------------------------------------------

struct Run {
  double seconds = -1;
  double peakMiB = 0;
  std::string out;
};

// Runs `argv` as a process of its own (in `dir` when given), its output in
// `out` when `capture`, else to /dev/null.
Run Spawn(const std::vector<std::string>& args, bool capture, const std::string& dir = {}) {
  Run run;
  int pipeFds[2] = {-1, -1};
  if (capture && pipe(pipeFds) != 0) return run;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(capture ? pipeFds[1] : devNull, 1);
    dup2(devNull, 2);
    if (capture) {
      close(pipeFds[0]);
      close(pipeFds[1]);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (capture) {
    close(pipeFds[1]);
    char chunk[4096];
    for (ssize_t n; (n = read(pipeFds[0], chunk, sizeof chunk)) > 0;) run.out.append(chunk, static_cast<size_t>(n));
    close(pipeFds[0]);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid) return run;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peakMiB = usage.ru_maxrss / 1024.0;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) run.seconds = seconds;
  return run;
}

// The fields after "RESULT `what`" in a child's output.
std::vector<std::string> Fields(const std::string& out, const std::string& what) {
  const std::string tag = "RESULT " + what + " ";
  const size_t at = out.find(tag);
  std::vector<std::string> fields;
  if (at == std::string::npos) return fields;
  const size_t end = out.find('\n', at);
  std::string rest = out.substr(at + tag.size(), end - at - tag.size());
  for (size_t p = 0; p < rest.size();) {
    const size_t q = rest.find(' ', p);
    fields.push_back(rest.substr(p, q == std::string::npos ? std::string::npos : q - p));
    if (q == std::string::npos) break;
    p = q + 1;
  }
  return fields;
}

size_t CountFiles(const fs::path& dir) {
  size_t n = 0;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(dir, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    n += it->is_regular_file(ignored) ? 1 : 0;
  }
  return n;
}

struct Figures {
  std::vector<double> seconds;
  double peakMiB = 0;
  double Median() const {
    std::vector<double> s = seconds;
    std::sort(s.begin(), s.end());
    return s.empty() ? -1 : s[s.size() / 2];
  }
  double Best() const { return seconds.empty() ? -1 : *std::min_element(seconds.begin(), seconds.end()); }
  bool Failed() const { return seconds.empty() || Best() <= 0; }
};

}  // namespace

int main(int argc, char** argv) {
  const bench::CommandLine line = bench::ParseCommandLine(
      argc, argv,
      "[--rounds N] [--ours PROGRAM] [--peer-out FOLDER] [--sector-size N] [FOLDER] | --scan IMAGE [--listing] "
      "[--sector-size N]",
      {{"--scan", true},
       {"--listing", false},
       {"--rounds", true},
       {"--ours", true},
       {"--peer-out", true},
       {"--sector-size", true}});
  const std::string sectorSize = std::to_string(std::max(0, std::atoi(line.Value("--sector-size", "0").c_str())));
  if (line.Has("--scan")) {
    return ScanOnce(line.Value("--scan").c_str(), line.Has("--listing"), static_cast<uint32_t>(std::stoul(sectorSize)));
  }
  const int rounds = std::max(1, std::atoi(line.Value("--rounds", "5").c_str()));
  const std::string self = fs::canonical(line.Value("--ours", "/proc/self/exe")).string();
  // PhotoRec's output goes to memory where it can, so that writing its
  // files to disk does not count against it.
  fs::path peerDir = line.Has("--peer-out")          ? fs::absolute(line.Value("--peer-out"))
                     : access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm")
                                                     : fs::path();
  const fs::path folder = fs::absolute(bench::ImageFolder(line));
  std::printf("images in %s (made on first use; the file-system volumes need root and FUSE)\n", folder.c_str());
  std::fflush(stdout);
  if (std::system(
          ("bash " + bench::Quote(CLIPMENDER_DEEP_SCAN_BENCH_SCRIPT) + " " + bench::Quote(folder.string())).c_str()) !=
      0) {
    std::fprintf(stderr, "cannot make the images\n");
    return 1;
  }
  if (std::system("command -v photorec > /dev/null 2>&1") != 0) {
    std::fprintf(stderr, "photorec (package testdisk) is not installed\n");
    return 1;
  }
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  const int cores = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : -1;
  std::printf("%d CPUs, %d rounds after a warm-up, each program in turn; MB = 10^6 bytes\n", cores, rounds);

  if (peerDir.empty()) peerDir = folder;
  std::printf("ours: %s, sectors of %s bytes (0: the image's own); PhotoRec writes into %s\n\n", self.c_str(),
              sectorSize.c_str(), peerDir.c_str());
  std::printf("%-22s %-9s %10s %10s %9s %11s\n", "image", "program", "MB/s med", "MB/s best", "peak MiB", "found");
  bool allFast = true;
  for (const auto& [label, name] : kImages) {
    const fs::path image = folder / name;
    const double mb = static_cast<double>(fs::file_size(image)) / 1e6;
    const fs::path peerOut = peerDir / "deep-scan-bench-photorec";
    std::error_code ignored;
    auto clearPeer = [&] {
      for (const auto& entry : fs::directory_iterator(peerDir, ignored)) {
        if (entry.path().filename().string().rfind(peerOut.filename().string(), 0) == 0) {
          fs::remove_all(entry.path(), ignored);
        }
      }
    };
    auto peerFiles = [&] {
      size_t n = 0;
      for (const auto& entry : fs::directory_iterator(peerDir, ignored)) {
        if (entry.path().filename().string().rfind(peerOut.filename().string(), 0) == 0) n += CountFiles(entry.path());
      }
      return n;
    };
    Figures cat, ours, peer;
    std::string oursFound, peerFound;
    clearPeer();
    for (int round = 0; round <= rounds; ++round) {
      const Run c = Spawn({"cat", image.string()}, false);
      const Run o = Spawn({self, "--scan", image.string(), "--sector-size", sectorSize}, true);
      const Run p = Spawn({"photorec", "/d", peerOut.string(), "/cmd", image.string(),
                           "partition_none,fileopt,everything,enable,wholespace,search"},
                          false, peerDir.string());
      peerFound = std::to_string(peerFiles());
      clearPeer();
      const std::vector<std::string> f = Fields(o.out, "scan");
      if (f.size() >= 2) oursFound = f[1];
      if (round == 0) continue;  // the warm-up
      cat.seconds.push_back(c.seconds);
      ours.seconds.push_back(o.seconds);
      peer.seconds.push_back(p.seconds);
      cat.peakMiB = std::max(cat.peakMiB, c.peakMiB);
      ours.peakMiB = std::max(ours.peakMiB, o.peakMiB);
      peer.peakMiB = std::max(peer.peakMiB, p.peakMiB);
    }
    const Run listing = Spawn({self, "--scan", image.string(), "--listing", "--sector-size", sectorSize}, true);
    const std::vector<std::string> l = Fields(listing.out, "listing");
    const std::vector<std::string> m = Fields(listing.out, "scan");
    if (cat.Failed() || ours.Failed() || peer.Failed() || l.size() < 2 || m.size() < 5) {
      std::printf("%-22s a run failed\n", label);
      allFast = false;
      continue;
    }
    auto row = [&](const char* program, const Figures& f, const std::string& found) {
      std::printf("%-22s %-9s %10.0f %10.0f %9.1f %11s\n", program == std::string("cat") ? label : "", program,
                  mb / f.Median(), mb / f.Best(), f.peakMiB, found.c_str());
    };
    row("cat", cat, "");
    row("ours", ours, oursFound + " shown");
    row("PhotoRec", peer, peerFound + " written");
    const double ratio = peer.Median() / ours.Median();
    allFast = allFast && ratio >= 1.5;
    std::printf("%-22s ours/PhotoRec %.2f (best %.2f), ours/cat %.2f; listing %s files, digest %s\n", "", ratio,
                peer.Best() / ours.Best(), cat.Median() / ours.Median(), l[0].c_str(), l[1].c_str());
    std::printf("%-22s heap after the scan: %.1f MB, %.1f MB above its found files and trees; %.1f MB after release\n",
                "", std::atof(m[2].c_str()) / 1e6, std::atof(m[3].c_str()) / 1e6, std::atof(m[4].c_str()) / 1e6);
    std::printf("%-22s seconds per searcher, block pass + end (one run of %.2f s):", "", std::atof(m[0].c_str()));
    for (size_t at = 0; (at = listing.out.find("RESULT searcher ", at)) != std::string::npos; ++at) {
      int type = 0;
      double pass = 0, end = 0;
      if (std::sscanf(listing.out.c_str() + at, "RESULT searcher %d %lf %lf", &type, &pass, &end) != 3) continue;
      const char* names[] = {"HFS+", "FAT", "exFAT", "RAW", "NTFS"};
      std::printf(" %s %.2f+%.2f", type >= 31 && type <= 35 ? names[type - 31] : "?", pass, end);
    }
    std::printf("\n\n");
    std::fflush(stdout);
  }
  std::printf("ours at least 1.5x PhotoRec on every image: %s\n", allFast ? "yes" : "no");
  return 0;
}
