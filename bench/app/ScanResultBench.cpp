// The cost of saving and loading a scan result against a plain read of the
// same file: a synthetic tree of folders and fragmented files is written as
// the save writes it, then read back three ways: a plain read of the file's
// bytes, the records decoded into nodes that are merely kept, and the whole
// replay into the real tree builder as a load runs it.
//
// Then what a load adds by holding every loaded file against its volume as
// the volume is now: real results (the NTFS volumes of bench/ntfs, 100,000
// small files in 100 folders, and 1,000,000 in 1,000, a tenth of them
// deleted, made by make-bench-volume.sh into the folder given as the first
// argument, or $TMPDIR, or /tmp, and kept there), quick scanned, written as
// the save writes them, replayed on the image into the real tree builder
// and judged as a load judges them (a large volume's files on several
// threads, JudgeThreadsFor), with the count of files marked, which must be
// the one a single thread gives. Both from the page cache, best of three.
// Then the carved files of a complete scan of the same volume held against
// it (LoadedCarvedJudge): one of 64 KiB for every tenth file, spread evenly
// over the volume, with the count of them found taken (lying where the
// volume gives clusters now that no file of the result held).
//
//   bench_scanresult [FOLDER]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "AllocationJudge.h"
#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "DataRunList.h"
#include "QuickScanBench.h"
#include "app/KVRestoreScanSink.h"
#include "app/LoadedCarvedJudge.h"
#include "app/LoadedVolumeJudge.h"
#include "app/RestoreFileNode.h"
#include "app/ScanResultRecords.h"
#include "engine/node/TestNode.h"
#include "ntfs/NTFSAllocationJudge.h"
#include "ntfs/NTFSQuickSearch.h"
#include "support/KeepingTreeBuilder.h"
#include "tree/CDirectoryTreeBuilder.h"
#include "tree/CFilesystemNode.h"

namespace {

namespace fs = std::filesystem;
namespace srr = SaveRestoreResult;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Writes one NTFS tree as the save writes it: the root, `partition` and the
// nodes `next` hands out (null when there are no more).
void WriteTree(const std::string& path, const CSearchedPartitionInfo& partition,
               const std::function<IFileNode*()>& next) {
  CRSData archive(RSModeWrite);
  archive.StartRS(path.c_str(), 1);
  FILEHEADER header;
  header.status = FileStatusNormal;
  archive.WriteFileHeader(header);
  archive.OpenFrame(srr::_frFileSystemNode);
  std::vector<uint8_t> bytes;
  srr::RecordBytes out(bytes);
  out.U64(1);
  out.U32(srr::kSectionTag);
  CFilesystemNode root(SEARCHER_TYPE_NTFS, "bench(NTFS)", "bench", 5);
  srr::EncodeSystemRecord(&root, bytes);
  out.U32(1);
  srr::EncodePartitionEntry(partition, bytes);
  srr::WriteRecord(&archive, bytes);
  for (IFileNode* node = next(); node != nullptr; node = next()) {
    bytes.clear();
    out.U32(srr::kFileEntryTag);
    srr::EncodeFileRecord(node, bytes);
    srr::WriteRecord(&archive, bytes);
  }
  bytes.clear();
  out.U32(srr::kEndMarker);
  srr::WriteRecord(&archive, bytes);
  archive.CloseFrame();
  archive.EndRS();
}

// Writes `count` nodes, a tenth of them folders, each file with three runs.
void WriteResult(const std::string& path, size_t count) {
  CSearchedPartitionInfo partition(512);
  partition.SetSectorsperCluster(8);
  const size_t folders = count / 10;
  size_t i = 0;
  std::unique_ptr<TestNode> node;
  WriteTree(path, partition, [&]() -> IFileNode* {
    if (i >= count) return nullptr;
    const bool folder = i < folders;
    node = std::make_unique<TestNode>(folder ? "folder " + std::to_string(i) : "photo " + std::to_string(i) + ".jpg",
                                      folder, 70000);
    node->SetCurrentNodeID(static_cast<int64_t>(100 + i));
    node->SetParentNodeID(i == 0 ? 5 : 100 + static_cast<int64_t>(i % (folders == 0 ? 1 : folders) / 2));
    if (!folder) {
      auto* runs = new CDataRunList();
      for (int64_t r = 0; r < 3; ++r) {
        const DataRun run{static_cast<int64_t>(i) * 64 + r * 20, 4};
        runs->AddDataRun(&run);
      }
      node->SetDataRunList(runs);
    }
    ++i;
    return node.get();
  });
}

double PlainRead(const std::string& path) {
  const auto start = Clock::now();
  const int fd = open(path.c_str(), O_RDONLY);
  std::vector<char> buffer(1 << 20);
  while (read(fd, buffer.data(), buffer.size()) > 0) {
  }
  close(fd);
  return Seconds(start);
}

// The replay of the result into `builder`, on `device` (may be null) as a
// whole disk; answers the seconds it took.
double Replay(const std::string& path, IDirecotryTreeBuilder* builder, IStorageDevice* device = nullptr) {
  const auto start = Clock::now();
  CRSData archive(RSModeRead);
  archive.StartRS(path.c_str(), 0);
  bench::QuietSink progress;
  srr::KVRestoreScanSink sink(
      &archive,
      [](IStorageDevice*) {
        return srr::KVRestoreScanSink::DeviceView{true, true, ""};
      },
      nullptr);
  sink.SetDirecotryTreeBuilder(builder, &progress, device);
  if (sink.IsDamaged()) std::printf("damaged: %s\n", sink.GetDamage().c_str());
  return Seconds(start);
}

// The quick scan of `device` written as the save writes one tree; answers
// how many files it holds.
size_t WriteScannedResult(IStorageDevice* device, const std::string& path) {
  testsupport::KeepingTreeBuilder kept;
  bench::QuietSink sink;
  CNTFSQuickSearch searcher;
  searcher.SetDirecotryTreeBuilder(&kept);
  searcher.QuickSearchFiles(device, &sink);
  CSearchedPartitionInfo* partition = nullptr;
  searcher.GetSearchedPartitionInfo(&partition, 1);
  std::unique_ptr<CSearchedPartitionInfo> owned(partition);
  if (partition == nullptr) return 0;
  size_t at = 0, files = 0;
  WriteTree(path, *partition, [&]() -> IFileNode* {
    if (at >= kept.nodes.size()) return nullptr;
    IFileNode* node = kept.nodes[at++];
    if (node->IsDirectory() == 0) ++files;
    return node;
  });
  return files;
}

// What the real tree builder shows of a replay: the loaded files.
class KeepingTree : public IDrirectoryTree {
 public:
  int ShowNodes(IFileNode** nodes, unsigned count, int) override {
    for (unsigned i = 0; i < count; ++i) {
      auto* file = dynamic_cast<srr::RestoreFileNode*>(nodes[i]);
      if (file != nullptr && file->IsDirectory() == 0) files.push_back(file);
    }
    return 0;
  }
  int ShowFilesystemNode(IFilesystemNode* node) override {
    root = node;
    return 0;
  }
  std::vector<srr::RestoreFileNode*> files;
  IFilesystemNode* root = nullptr;
};

// A carved file: its runs in 512-byte units from the device's start.
class CarvedNode : public TestNode, public IJudgedPartitionNode {
 public:
  CarvedNode(const CSearchedPartitionInfo& raw, uint64_t size) : TestNode("carved.jpg", false, size), m_raw(raw) {}
  const CSearchedPartitionInfo* GetJudgedPartition() const override { return &m_raw; }

 private:
  const CSearchedPartitionInfo& m_raw;
};

// One carved file of 64 KiB for every tenth of `files`, spread evenly over
// `device`; with the seconds it takes to hold them all against the volume,
// and how many of them are found taken.
void JudgeCarved(const std::vector<srr::RestoreFileNode*>& files, IFilesystemNode* root, IStorageDevice* device,
                 double& seconds, size_t& carved, size_t& taken) {
  CSearchedPartitionInfo raw(512);
  raw.SetSectorsperCluster(1);
  raw.SetFirstDataSector(0);
  raw.SetStartSector(0);
  constexpr int64_t kUnits = 128;  // 64 KiB
  const auto count = static_cast<int64_t>(files.size() / 10);
  const int64_t units = device->GetTotalSectors() * device->GetSectorSize() / 512;
  std::vector<std::unique_ptr<CarvedNode>> nodes;
  for (int64_t i = 0; i < count && units > kUnits; ++i) {
    auto node = std::make_unique<CarvedNode>(raw, kUnits * 512);
    auto* list = new CDataRunList();
    const DataRun run{i * ((units - kUnits) / count), kUnits};
    list->AddDataRun(&run);
    node->SetDataRunList(list);
    nodes.push_back(std::move(node));
  }
  carved = nodes.size();
  const auto start = Clock::now();
  std::unique_ptr<IAllocationJudge> volume;
  srr::LoadedCarvedJudge judge(device, {{root, SEARCHER_TYPE_NTFS, device}},
                               [&](const CSearchedPartitionInfo* partition, _tagSearcherType) {
                                 if (volume == nullptr) volume = CreateNTFSAllocationJudge(device, *partition);
                                 return volume.get();
                               });
  taken = 0;
  for (const auto& node : nodes) taken += judge.IsTaken(*node) ? 1 : 0;
  seconds = Seconds(start);
}

// The replay of the result on `device` into the real tree builder, as a load
// runs it; the builder keeps the nodes until it is released.
CDirectoryTreeBuilder* ReplayOn(const std::string& path, IStorageDevice* device, KeepingTree& tree) {
  tree.files.clear();
  // The builder keeps the filter for as long as it lives.
  static bench::PassAll filter;
  auto* builder = new CDirectoryTreeBuilder(true);
  builder->SetPause([] {});
  builder->Initialize("bench", &tree, &filter);
  Replay(path, builder, device);
  return builder;
}

void JudgedLoads(const fs::path& folder, const std::string& path) {
  std::printf("\n%9s %9s %9s %9s %8s %7s %22s %8s %9s %7s\n", "volume", "files", "replay s", "judge s", "threads",
              "marked", "load with judging (x)", "carved", "carved s", "taken");
  const struct {
    const char* name;
    const char* folders;
  } volumes[] = {{"clipmender-ntfs-bench-100k.img", "100"}, {"clipmender-ntfs-bench-1m.img", "1000"}};
  for (const auto& volume : volumes) {
    const fs::path image =
        bench::PrepareVolume(folder, volume.name, CLIPMENDER_NTFS_BENCH_SCRIPT, "root, /dev/fuse, mkntfs, ntfs-3g",
                             std::string(volume.folders) + " 1000 8G");
    if (image.empty()) return;
    bench::VolumeDevice device = bench::OpenVolume(image);
    if (device == nullptr) return;
    const size_t files = WriteScannedResult(device.get(), path);
    KeepingTree tree;
    CDirectoryTreeBuilder* builder = nullptr;
    const double replay = bench::BestOfThree([&] {
      if (builder != nullptr) builder->Release();
      builder = ReplayOn(path, device.get(), tree);
    });
    uint64_t marked = 0;
    const double judge = bench::BestOfThree([&] {
      srr::LoadedVolumeJudge judging;
      marked = judging.JudgeAll(tree.files, device.get(), SEARCHER_TYPE_NTFS);
    });
    // The same verdicts from one thread, on nodes the load has not marked.
    uint64_t alone = 0;
    {
      std::unique_ptr<IAllocationJudge> single;
      for (srr::RestoreFileNode* file : tree.files) {
        if (single == nullptr && file->GetJudgedPartition() != nullptr) {
          single = CreateNTFSAllocationJudge(device.get(), *file->GetJudgedPartition());
        }
        if (single != nullptr && !file->IsContentUnsure() && !file->IsSizeDamaged() && single->IsTaken(*file)) ++alone;
      }
    }
    double carvedSeconds = 0;
    size_t carved = 0, taken = 0;
    JudgeCarved(tree.files, tree.root, device.get(), carvedSeconds, carved, taken);
    builder->Release();
    if (alone != marked) std::printf("one thread marks %llu files\n", static_cast<unsigned long long>(alone));
    std::printf("%9s %9zu %9.3f %9.3f %8u %7llu %22.2f %8zu %9.3f %7zu\n", volume.folders, files, replay, judge,
                JudgeThreadsFor(tree.files.size()), static_cast<unsigned long long>(marked), (replay + judge) / replay,
                carved, carvedSeconds, taken);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bench::CommandLine line = bench::ParseCommandLine(argc, argv, "[FOLDER]");
  const std::string path = (std::filesystem::temp_directory_path() / "scanresult-bench.rsf").string();
  std::printf("%9s %7s %8s %8s %18s %18s\n", "nodes", "MiB", "write s", "read s", "decode s (x read)",
              "replay s (x read)");
  for (const size_t count : {100'000u, 1'000'000u}) {
    auto start = Clock::now();
    WriteResult(path, count);
    const double write = Seconds(start);
    const double mib = static_cast<double>(std::filesystem::file_size(path)) / (1 << 20);
    PlainRead(path);  // the file in the page cache for all three
    const double plain = PlainRead(path);
    testsupport::KeepingTreeBuilder keeping;
    const double decode = Replay(path, &keeping);
    keeping.Drop();
    bench::CountingTree shown;
    bench::PassAll filter;
    auto* builder = new CDirectoryTreeBuilder(true);
    builder->SetPause([] {});
    builder->Initialize("bench", &shown, &filter);
    const double replay = Replay(path, builder);
    builder->Release();
    std::printf("%9zu %7.1f %8.2f %8.3f %9.2f (%6.1f) %9.2f (%6.1f)\n", count, mib, write, plain, decode,
                decode / plain, replay, replay / plain);
  }
  JudgedLoads(bench::ImageFolder(line), path);
  std::filesystem::remove(path);
  return 0;
}
