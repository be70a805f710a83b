// A destination that runs full: a child with a lowered file-size limit
// (RLIMIT_FSIZE, SIGXFSZ ignored) refuses writes past a point until the sink
// raises the limit; the same chunk is then written again at its own offset.
#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(FullDestination, TheSameChunkIsWrittenAgainOnceThereIsRoomAndTheFileIsIdentical) {
  const struct {
    const char* name;
    bool compressed, sink;
    rlim_t limit;
    uint64_t at;  // where the short write is reported
  } cases[] = {
      {"plain", false, true, 5 << 20, 4 << 20},
      {"plain without a sink", false, false, 2 << 20, 0},
      {"compressed, the limit inside the first raw unit after the sparse ones", true, true, 800 << 10, 768 << 10},
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
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{c.limit, RLIM_INFINITY};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(90);
      RecoveryPtr recovery = MakeRecovery(&device, c.compressed ? 3 : 2, 8);
      if (!Prepare(recovery.get(), file.node.get())) _exit(1);
      RecordingSink sink;
      sink.onContinued = [&](int) {
        // The user makes room after the out-of-space pane came up.
        rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        if (!ShortWrites(sink).empty()) setrlimit(RLIMIT_FSIZE, &unlimited);
        return 1;
      };
      const ResultCode code = recovery->RecoverTo(out.c_str(), c.sink ? &sink : nullptr, 0);
      if (!c.sink) _exit(result::Error(code) == 0xD03 ? 0 : 2);
      const auto shortWrites = ShortWrites(sink);
      if (code != 0 || shortWrites.empty() || shortWrites != std::vector<uint64_t>(shortWrites.size(), c.at)) _exit(3);
      _exit(testsupport::ReadFile(out) == file.expected ? 0 : 4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1 no reader, 2 not 0xD03, 3 short write not reported at its chunk, 4 differs";
  }
}

}  // namespace
