// A destination file system that really runs out of space: a small tmpfs
// (mounted as root). The copy reports the short write, waits until the sink
// has made room, then writes the same chunk again; the finished file is
// identical to the source.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "DataRecovery.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using copyouttest::FakeSearcher;
using copyouttest::MakePartition;
using copyouttest::RecordingSink;
using copyouttest::RunNode;
using testsupport::RunCommand;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

class Tmpfs {
 public:
  Tmpfs(const fs::path& where, const std::string& size) : where_(where) {
    fs::create_directories(where_);
    mounted_ = RunCommand("mount -t tmpfs -o size=" + size + " tmpfs " + ShellQuote(where_.string())).exitCode == 0;
  }
  ~Tmpfs() {
    if (mounted_) RunCommand("umount " + ShellQuote(where_.string()));
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

TEST(SmallTmpfs, TheCopyPausesUntilThereIsRoomAndFinishesIdentical) {
  REQUIRE_OR_SKIP(testsupport::IsRoot(), "mounting a tmpfs needs root");
  testsupport::TempDir dir;
  Tmpfs tmpfs(dir / "mnt", "8m");
  ASSERT_TRUE(tmpfs.mounted());
  const fs::path filler = dir / "mnt" / "filler";
  RunCommandOrFail("head -c 5242880 /dev/zero > " + ShellQuote(filler.string()));

  // A 6 MiB file on a memory device: two chunks, the first of which does
  // not fit in the 3 MiB left.
  std::vector<uint8_t> bytes(8 * 1024 * 1024);
  std::mt19937 gen(3);
  for (auto& b : bytes) b = static_cast<uint8_t>(gen());
  devicetest::CMemoryDevice device(bytes, 512, static_cast<int64_t>(bytes.size() / 512));
  FakeSearcher searcher;
  searcher.records.push_back(MakePartition(0, 2, 8, 0, 0, bytes.size() / 512));
  IDataRecovery* recovery = CreateDataRecoveryObj();
  ASSERT_EQ(recovery->Initialize(&searcher, &device), 0u);
  const uint64_t size = 6 * 1024 * 1024 + 5;
  RunNode node("f", size, {DataRun{0, static_cast<int64_t>(size / 4096 + 1)}});
  IFileReader* clone = recovery->SetRecoverNode(&node);
  ASSERT_NE(clone, nullptr);
  clone->Release();

  RecordingSink sink;
  sink.onContinued = [&] {
    const size_t full = sink.RecordsWithError(0xD03).size();
    if (full > 0 && fs::exists(filler)) fs::remove(filler);
    return full < 20 ? 1 : 0;  // a copy that never fits must not hang the test
  };
  const fs::path out = dir / "mnt" / "copy";
  ASSERT_EQ(recovery->RecoverTo(out.c_str(), &sink, 0), 0u);
  const auto full = sink.RecordsWithError(0xD03);
  ASSERT_FALSE(full.empty()) << "the tmpfs never ran full";
  EXPECT_EQ(full.size(), 1u) << "room was made after the first report";
  EXPECT_EQ(full.front().current, 0u);
  const std::vector<uint8_t> copy = testsupport::ReadFile(out);
  ASSERT_EQ(copy.size(), size);
  EXPECT_EQ(0, std::memcmp(copy.data(), bytes.data(), size));
  recovery->Release();
}

}  // namespace
