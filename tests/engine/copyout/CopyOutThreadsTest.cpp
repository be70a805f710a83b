// Readers handed to other threads (previews) read while the copy-out object
// copies on its own thread: clones share nothing that a read changes, the
// object's calls wait for one another, and the disk device's positional reads
// from many threads each get their own bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using namespace copyouttest;

TEST(Threads, ClonesReadWhileTheFileIsCopied) {
  for (const bool compressed : {false, true}) {
    SCOPED_TRACE(compressed);
    SampleFile file(compressed);
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "disk.img", file.disk.data(), file.disk.size());
    devicetest::ImageGuard guard(dir / "disk.img");
    devicetest::DevicePtr device = devicetest::OpenDisk((dir / "disk.img").string());  // positional reads
    RecoveryPtr recovery = MakeRecovery(device.get(), compressed ? 3 : 2, 8);
    IFileReader* clone = recovery->SetRecoverNode(file.node.get());
    ASSERT_NE(clone, nullptr);
    std::atomic<int> bad{0};
    std::vector<IFileReader*> clones;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      IFileReader* reader = clones.emplace_back(clone->Clone());
      threads.emplace_back([&, reader] {
        std::vector<char> buffer(300000);
        for (size_t at = 0; at < file.expected.size(); at += buffer.size()) {
          const size_t want = std::min(buffer.size(), file.expected.size() - at);
          bad += reader->ReadData(static_cast<long long>(at), buffer.data(), static_cast<unsigned>(buffer.size())) !=
                     want ||
                 std::memcmp(buffer.data(), file.expected.data() + at, want) != 0;
        }
      });
    }
    threads.emplace_back([&] {
      std::vector<char> out(0x10000);
      for (int i = 0; i < 5; ++i) recovery->ReadSmallJPG(out.data(), static_cast<unsigned>(out.size()));
    });
    EXPECT_EQ(recovery->RecoverTo((dir / "copy").c_str(), nullptr, 0), 0u);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(testsupport::ReadFile(dir / "copy"), file.expected);
    for (IFileReader* c : clones) c->Release();
    clone->Release();
  }
}

}  // namespace
