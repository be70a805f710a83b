// The machine's enumerator outlives everything that reads its devices: a
// process that exits while a worker still reads a disk must not release the
// disk under the worker.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "StorageDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "enumeration/EnumDeviceEx.h"
#include "support/TestSupport.h"

namespace {

std::atomic<bool> g_exiting{false};
std::atomic<bool> g_readFailed{false};
std::atomic<int> g_readsWhileExiting{0};

// Registered before the enumerator is made, so it runs after anything the
// exit tears down: the worker must still read the disk then.
void WaitForReadsWhileExiting() {
  g_exiting = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (g_readsWhileExiting < 20 && !g_readFailed && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  _exit(g_readFailed ? 3 : g_readsWhileExiting >= 20 ? 0 : 4);
}

TEST(EnumeratorLifetime, AWorkerStillReadsItsDiskWhileTheProcessExits) {
  REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
  // A disk every machine has: a loop device over a small image.
  testsupport::TempDir dir;
  devicetest::MakeSparseImage(dir / "disk.img", 4 << 20);
  devicetest::LoopDevice loop(dir / "disk.img");
  ASSERT_TRUE(loop.attached());
  const auto [status, output] = testsupport::RunInChild([] {
    std::atexit(WaitForReadsWhileExiting);
    IEnumDeviceEx* enumerator = CreateEnumDeviceEx();
    int count = 0;
    if (enumerator->Init() != 0 || enumerator->EnumDiskDevice(nullptr, count) != 0 || count < 1) _exit(77);
    std::vector<IStorageDevice*> disks(size_t(count), nullptr);
    if (enumerator->EnumDiskDevice(disks.data(), count) != 0) _exit(77);
    IStorageDevice* disk = disks[0];
    std::thread([disk] {
      std::vector<char> sector(disk->GetSectorSize());
      for (;;) {
        if (disk->ReadSector(sector.data(), 0, 1) == 0) g_readFailed = true;
        if (g_exiting) ++g_readsWhileExiting;
      }
    }).detach();
    std::exit(0);  // as the application quits during a scan
    return 0;
  });
  REQUIRE_OR_SKIP(!(WIFEXITED(status) && WEXITSTATUS(status) == 77), "no readable disk");
  ASSERT_TRUE(WIFEXITED(status)) << "died by signal " << WTERMSIG(status) << "\n" << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: a read failed, 4: the worker stopped reading\n" << output;
}

}  // namespace
