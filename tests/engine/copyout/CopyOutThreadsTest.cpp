// Readers handed to other threads (previews) read while the copy-out object
// copies on its own thread: clones share nothing that a read changes, and
// the object's calls wait for one another.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "DataRecovery.h"
#include "copyout/CCompressFileReader.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

using copyouttest::FakeSearcher;
using copyouttest::MakePartition;
using copyouttest::RunNode;

class CompressedNode : public RunNode {
 public:
  using RunNode::RunNode;
  int IsCompressed() const override { return 1; }
  IFileReader* CreateCompressFileReader(void*) override { return new CCompressFileReader(); }
};

// 16 MiB of random bytes in an image file, read through the disk device
// (positional reads, safe on many threads at once).
struct Disk {
  Disk() : bytes(16 * 1024 * 1024) {
    std::mt19937 gen(11);
    for (auto& b : bytes) b = static_cast<uint8_t>(gen());
    testsupport::WriteFile(dir / "disk.img", bytes.data(), bytes.size());
    device = devicetest::OpenDisk((dir / "disk.img").string());
  }
  std::vector<uint8_t> bytes;
  testsupport::TempDir dir;
  devicetest::DevicePtr device;
};

void ReadEverywhere(IFileReader* reader, const std::vector<uint8_t>& expected, std::atomic<int>& bad) {
  std::vector<char> buffer(300000);
  for (size_t at = 0; at < expected.size(); at += buffer.size()) {
    const size_t want = std::min(buffer.size(), expected.size() - at);
    if (reader->ReadData(static_cast<long long>(at), buffer.data(), static_cast<unsigned>(buffer.size())) != want ||
        std::memcmp(buffer.data(), expected.data() + at, want) != 0) {
      ++bad;
    }
  }
}

void CopyWhileOthersRead(int fsType, RunNode& node, const std::vector<uint8_t>& expected, IStorageDevice* device) {
  FakeSearcher searcher;
  searcher.records.push_back(MakePartition(0, fsType, 8, 0, 0, device->GetTotalSectors()));
  IDataRecovery* recovery = CreateDataRecoveryObj();
  ASSERT_EQ(recovery->Initialize(&searcher, device), 0u);
  IFileReader* clone = recovery->SetRecoverNode(&node);
  ASSERT_NE(clone, nullptr);

  testsupport::TempDir dir;
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  std::vector<IFileReader*> clones;
  for (int i = 0; i < 4; ++i) clones.push_back(clone->Clone());
  for (IFileReader* c : clones) readers.emplace_back([&, c] { ReadEverywhere(c, expected, bad); });
  std::thread preview([&] {
    std::vector<char> out(0x10000);
    for (int i = 0; i < 5; ++i) recovery->ReadSmallJPG(out.data(), static_cast<unsigned>(out.size()));
  });
  ASSERT_EQ(recovery->RecoverTo((dir / "copy").c_str(), nullptr, 0), 0u);
  for (auto& t : readers) t.join();
  preview.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(testsupport::ReadFile(dir / "copy"), expected);
  for (IFileReader* c : clones) c->Release();
  clone->Release();
  recovery->Release();
}

TEST(Threads, PlainClonesReadWhileTheFileIsCopied) {
  Disk disk;
  devicetest::ImageGuard guard(disk.dir / "disk.img");
  const size_t size = 9 * 1024 * 1024 + 100;
  // Two runs, the second before the first on the device.
  RunNode node("f", size, {DataRun{2000, 1200}, DataRun{100, 1200}});
  std::vector<uint8_t> expected(disk.bytes.begin() + 2000 * 4096, disk.bytes.begin() + 3200 * 4096);
  expected.insert(expected.end(), disk.bytes.begin() + 100 * 4096, disk.bytes.begin() + 1300 * 4096);
  expected.resize(size);
  CopyWhileOthersRead(2, node, expected, disk.device.get());
}

TEST(Threads, CompressedClonesReadWhileTheFileIsCopied) {
  Disk disk;
  devicetest::ImageGuard guard(disk.dir / "disk.img");
  // Raw units and sparse units, 40 of them.
  const size_t unit = 65536;
  CompressedNode node("c", 40 * unit - 7, {DataRun{64, 20 * 16}, DataRun{-1, 5 * 16}, DataRun{1000, 15 * 16}});
  std::vector<uint8_t> expected(disk.bytes.begin() + 64 * 4096, disk.bytes.begin() + (64 + 320) * 4096);
  expected.resize(expected.size() + 5 * unit, 0);
  expected.insert(expected.end(), disk.bytes.begin() + 1000 * 4096, disk.bytes.begin() + (1000 + 240) * 4096);
  expected.resize(40 * unit - 7);
  CopyWhileOthersRead(3, node, expected, disk.device.get());
}

}  // namespace
