// The cost of saving and loading a scan result against a plain read of the
// same file: a synthetic tree of folders and fragmented files is written as
// the save writes it, then read back three ways: a plain read of the file's
// bytes, the records decoded into nodes that are merely kept, and the whole
// replay into the real tree builder as a load runs it.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "BenchArgs.h"
#include "BenchDoubles.h"
#include "DataRunList.h"
#include "app/KVRestoreScanSink.h"
#include "app/ScanResultRecords.h"
#include "engine/node/TestNode.h"
#include "support/KeepingTreeBuilder.h"
#include "tree/CDirectoryTreeBuilder.h"
#include "tree/CFilesystemNode.h"

namespace {

namespace srr = SaveRestoreResult;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Writes `count` nodes, a tenth of them folders, each file with three runs.
void WriteResult(const std::string& path, size_t count) {
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
  CSearchedPartitionInfo partition(512);
  partition.SetSectorsperCluster(8);
  out.U32(1);
  srr::EncodePartitionEntry(partition, bytes);
  srr::WriteRecord(&archive, bytes);
  const size_t folders = count / 10;
  for (size_t i = 0; i < count; ++i) {
    const bool folder = i < folders;
    TestNode node(folder ? "folder " + std::to_string(i) : "photo " + std::to_string(i) + ".jpg", folder, 70000);
    node.SetCurrentNodeID(static_cast<int64_t>(100 + i));
    node.SetParentNodeID(i == 0 ? 5 : 100 + static_cast<int64_t>(i % (folders == 0 ? 1 : folders) / 2));
    if (!folder) {
      auto* runs = new CDataRunList();
      for (int64_t r = 0; r < 3; ++r) {
        const DataRun run{static_cast<int64_t>(i) * 64 + r * 20, 4};
        runs->AddDataRun(&run);
      }
      node.SetDataRunList(runs);
    }
    bytes.clear();
    out.U32(srr::kFileEntryTag);
    srr::EncodeFileRecord(&node, bytes);
    srr::WriteRecord(&archive, bytes);
  }
  bytes.clear();
  out.U32(srr::kEndMarker);
  srr::WriteRecord(&archive, bytes);
  archive.CloseFrame();
  archive.EndRS();
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

double Replay(const std::string& path, IDirecotryTreeBuilder* builder) {
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
  sink.SetDirecotryTreeBuilder(builder, &progress, nullptr);
  if (sink.IsDamaged()) std::printf("damaged: %s\n", sink.GetDamage().c_str());
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing to choose: everything it measures is made in memory or in $TMPDIR.
  bench::ParseCommandLine(argc, argv, "", {}, 0);
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
  std::filesystem::remove(path);
  return 0;
}
