// A destination that runs full: the short write is reported through the
// progress record (error 0xD03, position unchanged), the copy waits in
// Continued() and then writes the same chunk again at its own offset, so the
// finished file is identical to the source. /dev/full refuses every write; a
// lowered file-size limit in a child process (RLIMIT_FSIZE, SIGXFSZ ignored)
// refuses writes past a point until the sink raises it again.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DataRecovery.h"
#include "copyout/CCompressFileReader.h"
#include "copyout/CDataRecovery.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using copyouttest::FakeSearcher;
using copyouttest::MakePartition;
using copyouttest::RecordingSink;
using copyouttest::RunNode;
using devicetest::CMemoryDevice;
using testsupport::TempDir;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint32_t kCluster = 4096;

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 gen(seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

// A 9 MiB + 333 file in two runs on a memory device: its second half lies
// before its first on the device, so only a correct mapping gives it back.
struct Source {
  Source() {
    file = RandomBytes(9 * kMiB + 333, 5);
    const uint64_t clusters = (file.size() + kCluster - 1) / kCluster;
    const uint64_t firstRun = 1200;
    disk.assign((clusters + 64) * kCluster, 0);
    // Run 1: clusters [40, 40 + 1200) hold file clusters [0, 1200); run 2:
    // clusters [1300, ...) hold the rest.
    for (uint64_t c = 0; c < clusters; ++c) {
      const uint64_t at = c < firstRun ? 40 + c : 1300 + (c - firstRun);
      const size_t n = std::min<size_t>(kCluster, file.size() - c * kCluster);
      if ((at + 1) * kCluster > disk.size()) disk.resize((at + 1) * kCluster);
      std::memcpy(disk.data() + at * kCluster, file.data() + c * kCluster, n);
    }
    runs = {DataRun{40, static_cast<int64_t>(firstRun)}, DataRun{1300, static_cast<int64_t>(clusters - firstRun)}};
    device = std::make_unique<CMemoryDevice>(disk, 512, static_cast<int64_t>(disk.size() / 512));
  }
  std::vector<uint8_t> file;
  std::vector<uint8_t> disk;
  std::vector<DataRun> runs;
  std::unique_ptr<CMemoryDevice> device;
};

IDataRecovery* MakeRecovery(IStorageDevice* device, int fsType = 2) {
  FakeSearcher searcher;
  searcher.records.push_back(MakePartition(0, fsType, kCluster / 512, 0, 0, device->GetTotalSectors()));
  IDataRecovery* recovery = CreateDataRecoveryObj();
  EXPECT_EQ(recovery->Initialize(&searcher, device), 0u);
  return recovery;
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(DevFull, EveryChunkReportsTheShortWriteAndStoppingEndsTheCopy) {
  ASSERT_TRUE(fs::exists("/dev/full"));
  Source source;
  IDataRecovery* recovery = MakeRecovery(source.device.get());
  RunNode node("f", source.file.size(), source.runs);
  IFileReader* clone = recovery->SetRecoverNode(&node);
  ASSERT_NE(clone, nullptr);
  clone->Release();

  RecordingSink sink;
  int asked = 0;
  // Go on twice (the first chunk, one retry), then stop.
  sink.onContinued = [&] { return ++asked <= 2 ? 1 : 0; };
  EXPECT_EQ(recovery->RecoverTo("/dev/full", &sink, 0), 0u);
  const auto full = sink.RecordsWithError(0xD03);
  ASSERT_EQ(full.size(), 2u);
  for (const _PROGRESS_INFO& r : full) {
    EXPECT_EQ(r.current, 0u) << "the position must stay on the chunk that did not fit";
    EXPECT_EQ(r.total, source.file.size());
    EXPECT_EQ(result::Module(r.error), result::kModuleCopyOut);
    EXPECT_TRUE(result::IsFailure(r.error));
  }
  // Without a sink nobody can make room: the copy answers the code itself.
  const ResultCode code = recovery->RecoverTo("/dev/full", nullptr, 0);
  EXPECT_EQ(result::Error(code), 0xD03u);
  EXPECT_EQ(result::Module(code), result::kModuleCopyOut);
  recovery->Release();
}

// Runs `body` in a child whose file-size limit is `limit` bytes (SIGXFSZ
// ignored, so writes past it fail with EFBIG) and answers its exit status.
template <class Body>
int InLimitedChild(rlim_t limit, Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit r{limit, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &r) != 0) _exit(90);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void RaiseFileSizeLimit() {
  rlimit r{RLIM_INFINITY, RLIM_INFINITY};
  setrlimit(RLIMIT_FSIZE, &r);
}

TEST(FileSizeLimit, TheSameChunkIsWrittenAgainOnceThereIsRoomAndTheFileIsIdentical) {
  TempDir dir;
  const fs::path out = dir / "copy.bin";
  Source source;
  const int status = InLimitedChild(5 * kMiB, [&]() -> int {
    IDataRecovery* recovery = MakeRecovery(source.device.get());
    RunNode node("f", source.file.size(), source.runs);
    IFileReader* clone = recovery->SetRecoverNode(&node);
    if (clone == nullptr) return 1;
    clone->Release();
    RecordingSink sink;
    bool raised = false;
    sink.onContinued = [&] {
      // The user makes room after the out-of-space pane came up.
      if (!raised && !sink.RecordsWithError(0xD03).empty()) {
        RaiseFileSizeLimit();
        raised = true;
      }
      return 1;
    };
    if (recovery->RecoverTo(out.c_str(), &sink, 0) != 0) return 2;
    const auto full = sink.RecordsWithError(0xD03);
    if (full.empty()) return 3;
    // The second 4 MiB chunk crossed the limit: reported at its own start.
    for (const _PROGRESS_INFO& r : full) {
      if (r.current != 4 * kMiB) return 4;
    }
    const auto last = sink.Records().back();
    if (last.current != source.file.size() || last.error != 0) return 5;
    recovery->Release();
    return ReadAll(out) == source.file ? 0 : 6;
  });
  EXPECT_EQ(status, 0) << "1 no reader, 2 failed, 3 no short write seen, 4 position moved, 5 unfinished, 6 differs";
}

TEST(FileSizeLimit, WithoutASinkTheCopyAnswersTheShortWrite) {
  TempDir dir;
  const fs::path out = dir / "copy.bin";
  Source source;
  const int status = InLimitedChild(2 * kMiB, [&]() -> int {
    IDataRecovery* recovery = MakeRecovery(source.device.get());
    RunNode node("f", source.file.size(), source.runs);
    IFileReader* clone = recovery->SetRecoverNode(&node);
    if (clone == nullptr) return 1;
    clone->Release();
    const ResultCode code = recovery->RecoverTo(out.c_str(), nullptr, 0);
    recovery->Release();
    return result::Error(code) == 0xD03 ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

// An NTFS-compressed file of raw and sparse units, written in file mode.
class CompressedNode : public RunNode {
 public:
  using RunNode::RunNode;
  int IsCompressed() const override { return 1; }
};

TEST(FileSizeLimit, FileModeOfTheCompressedReaderPausesAndRetriesToo) {
  TempDir dir;
  const fs::path out = dir / "compressed.bin";
  // Eight raw units, four sparse, eight raw: 20 units of 64 KiB.
  const std::vector<uint8_t> data = RandomBytes(16 * 64 * 1024, 8);
  std::vector<uint8_t> disk(2 * kMiB + 64 * 1024 * 20, 0);
  std::memcpy(disk.data() + 10 * kCluster, data.data(), 8 * 64 * 1024);
  std::memcpy(disk.data() + 300 * kCluster, data.data() + 8 * 64 * 1024, 8 * 64 * 1024);
  CMemoryDevice device(disk, 512, static_cast<int64_t>(disk.size() / 512));
  std::vector<uint8_t> expected;
  expected.insert(expected.end(), data.begin(), data.begin() + 8 * 64 * 1024);
  expected.resize(expected.size() + 4 * 64 * 1024, 0);
  expected.insert(expected.end(), data.begin() + 8 * 64 * 1024, data.end());
  expected.resize(expected.size() - 1000);  // the file ends inside its last unit

  // The limit falls inside the first raw unit after the sparse ones (768 KiB on).
  const int status = InLimitedChild(800 * 1024, [&]() -> int {
    IDataRecovery* recovery = MakeRecovery(&device, 3);
    CompressedNode node("c", expected.size(), {DataRun{10, 128}, DataRun{-1, 64}, DataRun{300, 128}});
    node.makeReader = [] { return new CCompressFileReader(); };
    IFileReader* clone = recovery->SetRecoverNode(&node);
    if (clone == nullptr) return 1;
    clone->Release();
    RecordingSink sink;
    sink.onContinued = [&] {
      if (!sink.RecordsWithError(0xD03).empty()) RaiseFileSizeLimit();
      return 1;
    };
    if (recovery->RecoverTo(out.c_str(), &sink, 0) != 0) return 2;
    const auto full = sink.RecordsWithError(0xD03);
    if (full.empty() || full.front().current != 768 * 1024) return 3;
    recovery->Release();
    return ReadAll(out) == expected ? 0 : 4;
  });
  EXPECT_EQ(status, 0) << "1 no reader, 2 failed, 3 short write not reported at its unit, 4 differs";
}

}  // namespace
