// NTFS-compressed files written by ntfs-3g (mounted with compression, into a
// folder marked compressed) and read back from the image through the runs
// that ntfsinfo reports: text, random, all-zero and mixed content must come
// out identical to what was written. Needs root and /dev/fuse.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

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
using testsupport::RunCommand;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;
using testsupport::TempDir;

class CompressedNode : public RunNode {
 public:
  using RunNode::RunNode;
  int IsCompressed() const override { return 1; }
  IFileReader* CreateCompressFileReader(void*) override { return new CCompressFileReader(); }
};

// What ntfsinfo says of a file's unnamed data attribute.
struct NtfsData {
  uint64_t size = 0;
  bool compressed = false;
  std::vector<DataRun> runs;
};

NtfsData ReadNtfsData(const fs::path& image, const std::string& path) {
  const std::string info = RunCommandOrFail("ntfsinfo -v -F " + ShellQuote(path) + " " + ShellQuote(image.string()));
  NtfsData data;
  const size_t at = info.find("Dumping attribute $DATA");
  EXPECT_NE(at, std::string::npos) << info;
  if (at == std::string::npos) return data;
  const std::string dump = info.substr(at);
  std::smatch m;
  if (std::regex_search(dump, m, std::regex(R"(Data size:\s+(\d+))"))) data.size = std::stoull(m[1].str());
  if (std::regex_search(dump, m, std::regex(R"(Attribute flags:\s+0x([0-9a-fA-F]+))")))
    data.compressed = (std::stoul(m[1].str(), nullptr, 16) & 0x0001) != 0;
  const std::regex row(R"(\n\s+0x([0-9a-fA-F]+)\s+(0x[0-9a-fA-F]+|<HOLE>)\s+0x([0-9a-fA-F]+))");
  for (auto it = std::sregex_iterator(dump.begin(), dump.end(), row); it != std::sregex_iterator(); ++it) {
    const std::string lcn = (*it)[2].str();
    const int64_t length = std::stoll((*it)[3].str(), nullptr, 16);
    data.runs.push_back(DataRun{lcn == "<HOLE>" ? -1 : std::stoll(lcn, nullptr, 16), length});
  }
  return data;
}

uint64_t NtfsField(const fs::path& image, const std::string& name) {
  const std::string info = RunCommandOrFail("ntfsinfo -m " + ShellQuote(image.string()));
  std::smatch m;
  EXPECT_TRUE(std::regex_search(info, m, std::regex(name + R"(:\s+(\d+))"))) << info;
  return m.empty() ? 0 : std::stoull(m[1].str());
}

class NtfsCompressed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testsupport::HaveFuse()) return;
    for (const char* tool : {"mkntfs", "ntfs-3g", "ntfsinfo", "setfattr"})
      if (!testsupport::HaveTool(tool)) return;
    dir_ = new TempDir();
    const fs::path src = dir_->path() / "src";
    fs::create_directory(src);
    // Text, noise, zeros and a mix of all three in blocks of odd sizes that
    // straddle units and the 4 MiB copy chunks.
    RunCommandOrFail(
        "python3 - " + ShellQuote(src.string()) +
        " <<'PY'\n"
        "import random, sys\n"
        "d = sys.argv[1]\n"
        "r = random.Random(5)\n"
        "text = ''.join('line %06d: %s\\n' % (i, ' '.join(r.choice(['alpha','beta','gamma','delta','epsilon'])"
        " for _ in range(6))) for i in range(60000)).encode()\n"
        "open(d + '/text.txt', 'wb').write(text[:2500000])\n"
        "open(d + '/random.bin', 'wb').write(r.randbytes(1048576 + 123))\n"
        "open(d + '/zeros.bin', 'wb').write(bytes(300000))\n"
        "parts = []\n"
        "size = 0\n"
        "i = 0\n"
        "while size < 5 * 1048576 + 77:\n"
        "    n = 10000 + (i * 37777) % 150000\n"
        "    kind = i % 3\n"
        "    part = text[size % 2000000:size % 2000000 + n] if kind == 0 else r.randbytes(n) if kind == 1 else "
        "bytes(n)\n"
        "    parts.append(part); size += len(part); i += 1\n"
        "open(d + '/mixed.bin', 'wb').write(b''.join(parts)[:5 * 1048576 + 77])\n"
        "PY");
    image_ = new fs::path(dir_->path() / "ntfs.img");
    RunCommandOrFail("truncate -s 96M " + ShellQuote(image_->string()));
    RunCommandOrFail("mkntfs -F -Q " + ShellQuote(image_->string()) + " >/dev/null 2>&1");
    const fs::path mnt = dir_->path() / "mnt";
    fs::create_directory(mnt);
    RunCommandOrFail("ntfs-3g -o compression " + ShellQuote(image_->string()) + " " + ShellQuote(mnt.string()));
    const bool ok =
        RunCommand("mkdir " + ShellQuote((mnt / "c").string()) +
                   " && setfattr -h -v 0x00000800 -n system.ntfs_attrib_be " + ShellQuote((mnt / "c").string()) +
                   " && cp " + ShellQuote(src.string()) + "/* " + ShellQuote((mnt / "c").string()) + "/")
            .exitCode == 0;
    RunCommand("umount " + ShellQuote(mnt.string()));
    if (!ok) ADD_FAILURE() << "could not write through ntfs-3g";
  }
  static void TearDownTestSuite() {
    delete image_;
    image_ = nullptr;
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveFuse(), "needs root and /dev/fuse");
    for (const char* tool : {"mkntfs", "ntfs-3g", "ntfsinfo", "setfattr"}) REQUIRE_TOOL(tool);
    ASSERT_NE(image_, nullptr);
  }

  // Copy-out over the image with one NTFS record of the image's geometry.
  IDataRecovery* MakeRecovery(IStorageDevice* device) {
    const uint64_t cluster = NtfsField(*image_, "Cluster Size");
    const uint64_t sector = NtfsField(*image_, "Sector Size");
    FakeSearcher searcher;
    searcher.records.push_back(MakePartition(0, 3, static_cast<uint32_t>(cluster / sector), 0, 0,
                                             fs::file_size(*image_) / sector, 1.0, static_cast<uint32_t>(sector)));
    IDataRecovery* recovery = CreateDataRecoveryObj();
    EXPECT_EQ(recovery->Initialize(&searcher, device), 0u);
    return recovery;
  }

  static fs::path Source(const std::string& name) { return dir_->path() / "src" / name; }

  static TempDir* dir_;
  static fs::path* image_;
};
TempDir* NtfsCompressed::dir_ = nullptr;
fs::path* NtfsCompressed::image_ = nullptr;

class NtfsCompressedFile : public NtfsCompressed, public ::testing::WithParamInterface<std::string> {};

TEST_P(NtfsCompressedFile, CopiesOutIdenticalToWhatWasWritten) {
  const std::string name = GetParam();
  const NtfsData data = ReadNtfsData(*image_, "/c/" + name);
  ASSERT_EQ(data.size, fs::file_size(Source(name)));
  ASSERT_TRUE(data.compressed) << "ntfs-3g did not compress " << name;
  ASSERT_FALSE(data.runs.empty());
  devicetest::ImageGuard guard(*image_);
  devicetest::DevicePtr device = devicetest::OpenDisk(image_->string());
  ASSERT_NE(device, nullptr);
  IDataRecovery* recovery = MakeRecovery(device.get());
  CompressedNode node(name, data.size, data.runs);
  IFileReader* clone = recovery->SetRecoverNode(&node);
  ASSERT_NE(clone, nullptr);
  EXPECT_TRUE(static_cast<CDataRecovery*>(recovery)->IsNTFSCompressed());

  TempDir out;
  RecordingSink sink;
  ASSERT_EQ(recovery->RecoverTo((out / name).c_str(), &sink, 0), 0u);
  EXPECT_TRUE(copyouttest::SameFile(Source(name), out / name)) << name << " differs from what ntfs-3g was given";
  EXPECT_EQ(sink.Records().back().current, data.size);

  // The clone reads the same bytes in pieces that do not line up with units.
  const std::vector<uint8_t> original = testsupport::ReadFile(Source(name));
  const size_t piece = 3 * 65536 + 512;
  std::vector<char> buffer(piece);
  for (size_t at = 0; at < original.size(); at += piece) {
    const size_t want = std::min(piece, original.size() - at);
    ASSERT_EQ(clone->ReadData(static_cast<long long>(at), buffer.data(), static_cast<unsigned>(piece)), want);
    ASSERT_EQ(0, std::memcmp(buffer.data(), original.data() + at, want)) << name << " at " << at;
  }
  clone->Release();
  recovery->Release();
}

INSTANTIATE_TEST_SUITE_P(Content, NtfsCompressedFile,
                         ::testing::Values("text.txt", "random.bin", "zeros.bin", "mixed.bin"),
                         [](const auto& info) { return info.param.substr(0, info.param.find('.')); });

TEST_F(NtfsCompressed, TheRunsHoldCompressedSparseAndRawUnits) {
  // The test above only proves something if ntfs-3g used every unit kind.
  const NtfsData mixed = ReadNtfsData(*image_, "/c/mixed.bin");
  bool sparse = false;
  for (const DataRun& run : mixed.runs) sparse |= run.start < 0;
  EXPECT_TRUE(sparse);
  const NtfsData zeros = ReadNtfsData(*image_, "/c/zeros.bin");
  for (const DataRun& run : zeros.runs) EXPECT_LT(run.start, 0) << "zeros were stored";
  const NtfsData text = ReadNtfsData(*image_, "/c/text.txt");
  int64_t stored = 0;
  for (const DataRun& run : text.runs)
    if (run.start >= 0) stored += run.length;
  EXPECT_LT(stored * 4096, static_cast<int64_t>(text.size / 2)) << "text was not compressed";
}

}  // namespace
