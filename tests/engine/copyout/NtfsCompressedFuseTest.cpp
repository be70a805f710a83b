// NTFS-compressed files written by ntfs-3g (mounted with compression, into a
// folder marked compressed) and read back from the image through the runs
// that ntfsinfo reports: text, random, all-zero and mixed content must come
// out identical to what was written. Needs root and /dev/fuse.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "copyout/CDataRecovery.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using namespace copyouttest;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

uint64_t Match(const std::string& text, const std::string& pattern, int base = 10) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? std::stoull(m[1].str(), nullptr, base) : 0;
}

TEST(NtfsCompressed, FilesCopyOutIdenticalToWhatNtfs3gWasGiven) {
  REQUIRE_OR_SKIP(testsupport::HaveFuse(), "needs root and /dev/fuse");
  for (const char* tool : {"mkntfs", "ntfs-3g", "ntfsinfo", "setfattr"}) REQUIRE_TOOL(tool);
  testsupport::TempDir dir;
  const fs::path src = dir / "src", mnt = dir / "mnt", image = dir / "ntfs.img", out = dir / "out";
  fs::create_directories(src);
  fs::create_directories(mnt);
  // Text, noise, zeros and a mix of the three in pieces of odd sizes that
  // straddle units and the 4 MiB copy chunks.
  RunCommandOrFail("python3 - " + ShellQuote(src.string()) + R"( <<'PY'
import random, sys
d, r = sys.argv[1], random.Random(5)
words = ['alpha', 'beta', 'gamma', 'delta', 'epsilon']
text = ''.join('line %06d: %s\n' % (i, ' '.join(r.choice(words) for _ in range(6))) for i in range(60000)).encode()
open(d + '/text.txt', 'wb').write(text[:2500000])
open(d + '/random.bin', 'wb').write(r.randbytes(1048576 + 123))
open(d + '/zeros.bin', 'wb').write(bytes(300000))
parts, size, i = [], 0, 0
while size < 5 * 1048576 + 77:
    n = 10000 + (i * 37777) % 150000
    parts.append([text[size % 2000000:size % 2000000 + n], r.randbytes(n), bytes(n)][i % 3])
    size, i = size + len(parts[-1]), i + 1
open(d + '/mixed.bin', 'wb').write(b''.join(parts)[:5 * 1048576 + 77])
PY)");
  RunCommandOrFail("truncate -s 96M " + ShellQuote(image.string()) + " && mkntfs -F -Q " + ShellQuote(image.string()) +
                   " >/dev/null 2>&1 && ntfs-3g -o compression " + ShellQuote(image.string()) + " " +
                   ShellQuote(mnt.string()));
  const auto copied = testsupport::RunCommand("mkdir " + ShellQuote((mnt / "c").string()) +
                                              " && setfattr -h -v 0x00000800 -n system.ntfs_attrib_be " +
                                              ShellQuote((mnt / "c").string()) + " && cp " + ShellQuote(src.string()) +
                                              "/* " + ShellQuote((mnt / "c").string()));
  testsupport::RunCommand("umount " + ShellQuote(mnt.string()));
  ASSERT_EQ(copied.exitCode, 0) << "could not write through ntfs-3g";

  const std::string info = RunCommandOrFail("ntfsinfo -m " + ShellQuote(image.string()));
  const uint64_t cluster = Match(info, R"(Cluster Size:\s+(\d+))"), sector = Match(info, R"(Sector Size:\s+(\d+))");
  devicetest::ImageGuard guard(image);
  devicetest::DevicePtr device = devicetest::OpenDisk(image.string());
  RecoveryPtr recovery =
      MakeRecovery(device.get(), 3, static_cast<uint32_t>(cluster / sector), 0, 0, static_cast<uint32_t>(sector));
  for (const std::string name : {"text.txt", "random.bin", "zeros.bin", "mixed.bin"}) {
    SCOPED_TRACE(name);
    // The unnamed data attribute as ntfsinfo dumps it: size, flags, run list.
    const std::string dump = RunCommandOrFail("ntfsinfo -v -F /c/" + name + " " + ShellQuote(image.string()));
    const std::string data = dump.substr(std::min(dump.find("Dumping attribute $DATA"), dump.size()));
    const uint64_t size = Match(data, R"(Data size:\s+(\d+))");
    ASSERT_EQ(size, fs::file_size(src / name));
    ASSERT_TRUE(Match(data, R"(Attribute flags:\s+0x([0-9a-fA-F]+))", 16) & 1) << "not compressed";
    std::vector<DataRun> runs;
    int64_t stored = 0, sparse = 0;
    const std::regex row(R"(\n\s+0x[0-9a-fA-F]+\s+(0x[0-9a-fA-F]+|<HOLE>)\s+0x([0-9a-fA-F]+))");
    for (auto it = std::sregex_iterator(data.begin(), data.end(), row); it != std::sregex_iterator(); ++it) {
      const bool hole = (*it)[1].str() == "<HOLE>";
      runs.push_back(
          DataRun{hole ? -1 : std::stoll((*it)[1].str(), nullptr, 16), std::stoll((*it)[2].str(), nullptr, 16)});
      (hole ? sparse : stored) += runs.back().length;
    }
    // The copy proves something only if ntfs-3g used every unit kind.
    EXPECT_TRUE(name != "text.txt" || stored * static_cast<int64_t>(cluster) < static_cast<int64_t>(size / 2));
    EXPECT_TRUE(name != "zeros.bin" || stored == 0);
    EXPECT_TRUE(name != "mixed.bin" || (sparse > 0 && stored > 0));
    auto node = NtfsCompressedNode(size, runs);
    IFileReader* clone = recovery->SetRecoverNode(node.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_TRUE(static_cast<CDataRecovery*>(recovery.get())->IsNTFSCompressed());
    RecordingSink sink;
    ASSERT_EQ(recovery->RecoverTo(out.c_str(), &sink, 0), 0u);
    EXPECT_TRUE(SameFile(src / name, out)) << "differs from what ntfs-3g was given";
    EXPECT_EQ(sink.Records().back().current, size);
    // The clone reads the same bytes in pieces that do not line up with units.
    const Bytes original = testsupport::ReadFile(src / name);
    std::vector<char> buffer(3 * 65536 + 512);
    for (size_t at = 0; at < original.size(); at += buffer.size()) {
      const size_t want = std::min(buffer.size(), original.size() - at);
      ASSERT_EQ(clone->ReadData(static_cast<long long>(at), buffer.data(), static_cast<unsigned>(buffer.size())), want);
      ASSERT_EQ(0, std::memcmp(buffer.data(), original.data() + at, want)) << "at " << at;
    }
    clone->Release();
  }
}

}  // namespace
