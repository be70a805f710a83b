// A complete scan with the RAW searcher alone against PhotoRec (every file
// type) on the same image: 1 GiB of random bytes with 100 JPEGs laid in at
// random sector offsets (bench/raw/make-bench-image.sh, in the folder given
// as the first argument, else $TMPDIR or /tmp). Throughput of each from the
// page cache (best of three after a warm-up), and how many of the pictures
// each gives back byte for byte (foremost's count beside them).
// --sector-size N: ours reads the image as a device of N-byte sectors (4096:
// a disk of 512-byte-sector volumes behind an enclosure that shows larger
// sectors; the pictures still lie at 512-byte offsets).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "CompleteScanBench.h"
#include "DataRunList.h"
#include "FileNode.h"
#include "FileTypeManager.h"
#include "device/DiskDevice.h"
#include "device/SectorSizeDevice.h"
#include "scan/CRecoveryController.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace {

namespace fs = std::filesystem;

// The carved files shown: start byte and size, and the names of those that
// start where no picture was laid (random bytes taken for a file).
class CarvedTree : public IDrirectoryTree {
 public:
  int ShowNodes(IFileNode** nodes, unsigned count, int) override {
    for (unsigned i = 0; i < count; ++i) {
      auto* file = dynamic_cast<CFileNode*>(nodes[i]);
      if (file == nullptr || file->IsDirectory() || file->GetDataRunList() == nullptr) continue;
      if (const DataRun* run = file->GetDataRunList()->GetFirst()) {
        const uint64_t start = static_cast<uint64_t>(run->start) * 512;
        carved.emplace(start, file->GetFileSize());
        names[start] = file->GetFileName();
      }
    }
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode*) override { return 0; }
  std::multimap<uint64_t, uint64_t> carved;
  std::map<uint64_t, std::string> names;
};

struct Picture {
  uint64_t offset, length;
  std::string sha256;
};

// Seconds of one complete scan, its carved files in `tree`.
double RawScan(IStorageDevice* device, CarvedTree& tree) {
  CPartitionRecoveryController* controller = new CPartitionRecoveryController();
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = bench::MakeTreeBuilder;
  parts.makeCompleteSearcher = [](_tagSearcherType type) -> ICompleteFileSystemSearchController* {
    return type == SEARCHER_TYPE_RAW ? CreateRAWSearcher() : nullptr;
  };
  parts.flushFileBuffers = [] {};
  controller->SetParts(parts);
  bench::PassAll filter;
  bench::QuietSink sink;
  controller->Initialize(&filter);
  tree.carved.clear();
  tree.names.clear();
  const auto start = std::chrono::steady_clock::now();
  const ResultCode code = controller->StartDataRecovery(device, &sink, &tree);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  controller->Release();
  return code == 0 ? seconds : -1;
}

// The SHA-256 of every file below `dir`.
std::multiset<std::string> HashAll(const fs::path& dir) {
  std::multiset<std::string> out;
  const std::string command = "find " + bench::Quote(dir.string()) + " -type f -print0 | xargs -0 -r sha256sum";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::strlen(line) > 64) out.insert(std::string(line, 64));
  }
  pclose(pipe);
  return out;
}

int Identical(const std::vector<Picture>& pictures, const std::multiset<std::string>& hashes) {
  int n = 0;
  for (const Picture& p : pictures) n += hashes.count(p.sha256) > 0 ? 1 : 0;
  return n;
}

// Seconds of one PhotoRec run writing into `out` (emptied first and after,
// unless `keep`).
double PhotoRec(const fs::path& image, const fs::path& out, bool keep = false) {
  std::error_code ignored;
  auto clear = [&] {
    for (const auto& entry : fs::directory_iterator(out.parent_path())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(out.filename().string(), 0) == 0 || name == "photorec.log") fs::remove_all(entry.path(), ignored);
    }
  };
  clear();
  // PhotoRec writes its log into the folder it runs in.
  const std::string command = "cd " + bench::Quote(out.parent_path().string()) + " && photorec /log /d " +
                              bench::Quote(out.string()) + " /cmd " + bench::Quote(image.string()) +
                              " partition_none,options,keep_corrupted_file_no,fileopt,everything,enable,"
                              "wholespace,search > /dev/null 2>&1";
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!keep) clear();
  return status == 0 ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::CommandLine line =
      bench::ParseCommandLine(argc, argv, "[--sector-size N] [FOLDER]", {{"--sector-size", true}});
  const uint32_t sectorSize = static_cast<uint32_t>(std::max(0, std::atoi(line.Value("--sector-size", "0").c_str())));
  const fs::path folder = fs::absolute(bench::ImageFolder(line));
  const fs::path image = folder / "raw-jpeg-bench.img";
  if (std::system(
          ("bash " + bench::Quote(CLIPMENDER_RAW_BENCH_SCRIPT) + " " + bench::Quote(folder.string()) + " > /dev/null")
              .c_str()) != 0) {
    std::printf("could not make the image\n");
    return 1;
  }
  std::vector<Picture> pictures;
  std::ifstream tsv(image.string() + ".tsv");
  for (std::string line; std::getline(tsv, line);) {
    std::istringstream fields(line);
    Picture p;
    fields >> p.offset >> p.length >> p.sha256;
    pictures.push_back(p);
  }
  std::system(("cat " + bench::Quote(image.string()) + " > /dev/null").c_str());  // into the page cache
  strPics = "jpg;png;bmp;gif;ico;cur;psd;psp";
  std::unique_ptr<IStorageDevice> device(CreateDiskDevice(image.c_str()));
  if (device == nullptr || device->Open() != 1) {
    std::printf("could not open %s\n", image.c_str());
    return 1;
  }
  const double gib = static_cast<double>(fs::file_size(image)) / (1u << 30);
  // Carved runs count 512-byte units on either device.
  std::unique_ptr<CSectorSizeDevice> view;
  if (sectorSize != 0 && sectorSize != device->GetSectorSize())
    view.reset(new CSectorSizeDevice(device.get(), sectorSize));
  IStorageDevice* scanned = view != nullptr ? static_cast<IStorageDevice*>(view.get()) : device.get();
  std::printf("ours reads sectors of %u bytes\n", scanned->GetSectorSize());

  CarvedTree tree;
  const double ours = bench::Best([&] { return RawScan(scanned, tree); });
  int oursIdentical = 0;
  for (const Picture& p : pictures) {
    const auto range = tree.carved.equal_range(p.offset);
    for (auto it = range.first; it != range.second; ++it) oursIdentical += it->second == p.length ? 1 : 0;
  }
  const fs::path peerOut = folder / "raw-bench-photorec";
  PhotoRec(image, peerOut);  // warm-up
  const double peer = bench::Best([&] { return PhotoRec(image, peerOut); });
  PhotoRec(image, peerOut, true);
  std::error_code ignored;
  std::multiset<std::string> peerHashes;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().rfind(peerOut.filename().string(), 0) == 0) {
      const auto h = HashAll(entry.path());
      peerHashes.insert(h.begin(), h.end());
    }
  }
  PhotoRec(image, peerOut);  // clears its output
  const fs::path foremostOut = folder / "raw-bench-foremost";
  fs::remove_all(foremostOut, ignored);
  std::system(("foremost -Q -t jpg -o " + bench::Quote(foremostOut.string()) + " -i " + bench::Quote(image.string()) +
               " > /dev/null 2>&1")
                  .c_str());
  const int foremost = Identical(pictures, HashAll(foremostOut));
  fs::remove_all(foremostOut, ignored);
  if (ours <= 0 || peer <= 0) {
    std::printf("a run failed (ours %.2f s, PhotoRec %.2f s)\n", ours, peer);
    return 1;
  }
  std::printf("RAW complete scan  %7.3f GiB/s  (%.2f s, %zu files, %d of %zu pictures identical)\n", gib / ours, ours,
              tree.carved.size(), oursIdentical, pictures.size());
  std::printf("PhotoRec           %7.3f GiB/s  (%.2f s, %d of %zu pictures identical)\n", gib / peer, peer,
              Identical(pictures, peerHashes), pictures.size());
  std::printf("foremost (jpg)                               (%d of %zu pictures identical)\n", foremost,
              pictures.size());
  std::printf("throughput ratio (ours / PhotoRec) %.2f\n", peer / ours);
  std::set<uint64_t> laid;
  for (const Picture& p : pictures) laid.insert(p.offset);
  uint64_t otherBytes = 0;
  int others = 0;
  for (const auto& [start, size] : tree.carved) {
    if (laid.count(start) != 0) continue;
    ++others;
    otherBytes += size;
    std::printf("  not laid in: %s at %llu, %llu bytes\n", tree.names[start].c_str(),
                static_cast<unsigned long long>(start), static_cast<unsigned long long>(size));
  }
  std::printf("files where no picture was laid: %d (%.1f MB)\n", others, otherBytes / 1e6);
  return 0;
}
