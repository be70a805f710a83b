// A destination file system that really runs out of space: a small tmpfs
// (mounted as root). The copy reports the short write, waits until the sink
// has made room, then writes the same chunk again; the finished file is
// identical to the source.
#include <gtest/gtest.h>

#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using namespace copyouttest;
using testsupport::ShellQuote;

TEST(SmallTmpfs, TheCopyPausesUntilThereIsRoomAndFinishesIdentical) {
  REQUIRE_OR_SKIP(testsupport::IsRoot(), "mounting a tmpfs needs root");
  testsupport::TempDir dir;
  const fs::path mnt = dir / "mnt", filler = mnt / "filler", out = mnt / "copy";
  fs::create_directories(mnt);
  ASSERT_EQ(testsupport::RunCommand("mount -t tmpfs -o size=16m tmpfs " + ShellQuote(mnt.string())).exitCode, 0);
  struct Unmount {
    std::string where;
    ~Unmount() { testsupport::RunCommand("umount " + where); }
  } unmount{ShellQuote(mnt.string())};
  // 3 MiB are left: the first 4 MiB chunk does not fit.
  testsupport::RunCommandOrFail("head -c 13631488 /dev/zero > " + ShellQuote(filler.string()));
  SampleFile file(false);
  devicetest::CMemoryDevice device(file.disk, 512, static_cast<int64_t>(file.disk.size() / 512));
  RecoveryPtr recovery = MakeRecovery(&device, 2, 8);
  ASSERT_TRUE(Prepare(recovery.get(), file.node.get()));
  RecordingSink sink;
  sink.onContinued = [&] {
    const size_t full = sink.ShortWrites().size();
    if (full > 0) fs::remove(filler);
    return full < 20 ? 1 : 0;  // a copy that never fits must not hang the test
  };
  ASSERT_EQ(recovery->RecoverTo(out.c_str(), &sink, 0), 0u);
  EXPECT_EQ(sink.ShortWrites(), std::vector<uint64_t>{0}) << "room was made after the first report";
  EXPECT_EQ(testsupport::ReadFile(out), file.expected);
}

}  // namespace
