// A destination that runs full: in a child with a mount namespace of its
// own, a small tmpfs whose room a filler file takes refuses writes past a
// point (ENOSPC) until the sink removes the filler; the same chunk is then
// written again at its own offset. A destination that takes no file this
// large (EFBIG: a file-size limit, RLIMIT_FSIZE with SIGXFSZ ignored, as
// FAT32 refuses 4 GiB) fails that copy at once, without waiting for room.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using namespace copyouttest;

TEST(FullDestination, ASinkThatGivesUpOnDevFullEndsInAFailure) {
  SampleFile file(false);
  devicetest::CMemoryDevice device(file.disk, 512, static_cast<int64_t>(file.disk.size() / 512));
  RecoveryPtr recovery = MakeRecovery(&device, 2, 8);
  ASSERT_TRUE(Prepare(recovery.get(), file.node.get()));
  RecordingSink sink;
  sink.onContinued = [](int call) { return call <= 2 ? 1 : 0; };
  EXPECT_EQ(recovery->RecoverTo("/dev/full", &sink, 0), 0u);
  EXPECT_EQ(ShortWrites(sink), (std::vector<uint64_t>{0, 0}));
  EXPECT_TRUE(result::IsFailure(sink.Records().back().error));
}

// A tmpfs of 16 MiB mounted on `dir` in a mount namespace of this process
// only, with all but `room` bytes taken by `dir`/filler; false when this
// machine lets no process have one.
bool SmallDestination(const fs::path& dir, uint64_t room) {
  if (unshare(CLONE_NEWNS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount("clipmender-full", dir.c_str(), "tmpfs", 0, "size=16m") != 0) return false;
  std::ofstream filler(dir / "filler", std::ios::binary);
  const std::string block(4096, 'f');  // tmpfs counts pages
  for (uint64_t left = (16 << 20) - room; left >= block.size(); left -= block.size()) {
    filler.write(block.data(), block.size());
  }
  return static_cast<bool>(filler);
}

TEST(FullDestination, TheSameChunkIsWrittenAgainOnceThereIsRoomAndTheFileIsIdentical) {
  const struct {
    const char* name;
    bool compressed, sink;
    uint64_t room;
    uint64_t at;  // where the short write is reported
  } cases[] = {
      {"plain", false, true, 5 << 20, 4 << 20},
      {"plain without a sink", false, false, 2 << 20, 0},
      // Its sparse units take no room: the room runs out further on.
      {"compressed, the room ends inside a raw unit after the sparse ones", true, true, 800 << 10, 1 << 20},
      {"compressed without a sink", true, false, 800 << 10, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    const fs::path out = dir / "copy";
    SampleFile file(c.compressed);
    devicetest::CMemoryDevice device(file.disk, 512, static_cast<int64_t>(file.disk.size() / 512));
    const pid_t pid = fork();
    if (pid == 0) {
      if (!SmallDestination(dir.path(), c.room)) _exit(77);
      RecoveryPtr recovery = MakeRecovery(&device, c.compressed ? 3 : 2, 8);
      if (!Prepare(recovery.get(), file.node.get())) _exit(1);
      RecordingSink sink;
      sink.onContinued = [&](int) {
        // The user makes room after the out-of-space pane came up.
        if (!ShortWrites(sink).empty()) fs::remove(dir / "filler");
        return 1;
      };
      const ResultCode code = recovery->RecoverTo(out.c_str(), c.sink ? &sink : nullptr, 0);
      if (!c.sink) _exit(result::Error(code) == result::kErrShortWrite ? 0 : 2);
      const auto shortWrites = ShortWrites(sink);
      if (code != 0 || shortWrites.empty() || shortWrites != std::vector<uint64_t>(shortWrites.size(), c.at)) _exit(3);
      _exit(testsupport::ReadFile(out) == file.expected ? 0 : 4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    REQUIRE_OR_SKIP(WEXITSTATUS(status) != 77, "no mount namespace with a tmpfs of its own here");
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1 no reader, 2 not 0xD03, 3 short write not reported at its chunk, 4 differs";
  }
}

// A file past the destination's file-size limit fails with its own error at
// once: the sink never hears of a full destination, and a smaller file
// copies whole in the same place right after.
TEST(FullDestination, AFileTooLargeForTheDestinationFailsAloneAndNothingWaits) {
  for (const bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "compressed" : "plain");
    testsupport::TempDir dir;
    SampleFile file(compressed);
    devicetest::CMemoryDevice device(file.disk, 512, static_cast<int64_t>(file.disk.size() / 512));
    const pid_t pid = fork();
    if (pid == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlim_t limit = file.expected.size() - 1;
      rlimit lowered{limit, RLIM_INFINITY};
      if (setrlimit(RLIMIT_FSIZE, &lowered) != 0) _exit(90);
      RecoveryPtr recovery = MakeRecovery(&device, compressed ? 3 : 2, 8);
      if (!Prepare(recovery.get(), file.node.get())) _exit(1);
      RecordingSink sink;
      int waits = 0;
      sink.onContinued = [&](int) {
        waits += !ShortWrites(sink).empty();
        return 1;
      };
      const ResultCode code = recovery->RecoverTo((dir / "large").c_str(), &sink, 0);
      if (!result::IsFailure(code) || result::Error(code) != result::kErrTooLarge) _exit(2);
      if (waits != 0 || !ShortWrites(sink).empty()) _exit(3);
      // The first `limit` bytes of it fit (a compressed file is copied whole
      // or not at all).
      if (compressed) _exit(0);
      if (!Prepare(recovery.get(), file.node.get())) _exit(1);
      if (recovery->RecoverTo((dir / "part").c_str(), &sink, static_cast<int>(limit)) != 0) _exit(4);
      const Bytes part = testsupport::ReadFile(dir / "part");
      _exit(part == Bytes(file.expected.begin(), file.expected.begin() + long(limit)) ? 0 : 5);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2 not too large, 3 waited for room, 4/5 the smaller copy failed or differs";
  }
}

}  // namespace
