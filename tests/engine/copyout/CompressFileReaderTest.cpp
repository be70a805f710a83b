// The NTFS compressed-data reader: the LZNT1 decoder on units that ntfs-3g
// wrote (corpus/, made by make_corpus.sh, with the files as written in
// units/) and on damaged chunks, and the reader's units and modes on a memory
// device whose bytes are known.
#include <gtest/gtest.h>

#include <cstring>

#include "copyout/CCompressFileReader.h"
#include "copyout/Lznt1.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using namespace copyouttest;

constexpr size_t kUnit = 65536, kCluster = 4096;

Bytes Corpus(const std::string& name) {
  return testsupport::ReadFile(testsupport::SourceDir() / "tests/engine/copyout/corpus" / name);
}
Bytes Original(const std::string& name) {
  return testsupport::ReadFile(testsupport::SourceDir() / "tests/engine/copyout/units" / (name + ".orig"));
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(Lznt1, UnitsThatNtfs3gWroteDecodeToTheFilesItWasGiven) {
  for (const char* name : {"text", "stored", "mixed"}) {
    const Bytes unit = Corpus(name), original = Original(name);
    ASSERT_TRUE(!unit.empty() && original.size() <= kUnit) << name;
    Bytes out(kUnit, 0);
    EXPECT_EQ(lznt1::DecompressUnit(unit.data(), unit.size(), out.data(), out.size()), original.size()) << name;
    EXPECT_EQ(Bytes(out.begin(), out.begin() + original.size()), original) << name;
  }
}

TEST(Lznt1, DamagedChunksStayInsideTheirInputOutputAndPlace) {
  // A header that claims 4098 bytes where 10 are given; a token at position 0
  // that reaches before the chunk and past 4096 bytes.
  const Bytes longHeader = {0xFF, 0xBF, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g'},
              before = {0x02, 0xB0, 0x01, 0xFF, 0x0F};
  const struct {
    const Bytes& chunk;
    size_t capacity, produced;
    uint8_t first;
  } cases[] = {{longHeader, 4096, 7, 'a'}, {longHeader, 0, 0, 0x77}, {before, 4096, 4096, 0}, {before, 5, 5, 0}};
  for (const auto& c : cases) {
    Bytes out(4096, 0x77);
    EXPECT_EQ(lznt1::DecompressBlock(c.chunk.data(), c.chunk.size(), out.data(), c.capacity), c.produced);
    EXPECT_EQ(out[0], c.first);
  }
  // A chunk that decodes short still stands for 4096 bytes of its unit: a
  // compressed chunk of three literals, a stored chunk of three bytes, the end.
  const Bytes unit = {0x03, 0xB0, 0x00, 'x', 'y', 'z', 0x02, 0x30, 'A', 'B', 'C', 0, 0};
  Bytes out(kUnit, 0);
  EXPECT_EQ(lznt1::DecompressUnit(unit.data(), unit.size(), out.data(), out.size()), 4099u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4099), Cat({{'x', 'y', 'z'}, Bytes(4093, 0), {'A', 'B', 'C'}}));
}

// 4 MiB of random bytes (512-byte sectors, data area at 0) and NTFS records
// of 8 sectors per cluster.
class Compressed : public ::testing::Test {
 protected:
  Compressed() : bytes_(RandomBytes(4 << 20, 21)) {}
  Bytes Clusters(size_t cluster, size_t size) const {
    return Bytes(bytes_.begin() + cluster * kCluster, bytes_.begin() + cluster * kCluster + size);
  }
  std::unique_ptr<CCompressFileReader> Open(uint64_t size, const std::vector<DataRun>& runs, uint32_t spc = 8) {
    device_ = std::make_unique<devicetest::CMemoryDevice>(bytes_, 512, static_cast<int64_t>(bytes_.size() / 512));
    node_ = std::make_unique<RunNode>("c", size, runs);
    partition_ = MakePartition(0, 3, spc, 0, 0, bytes_.size() / 512);
    auto reader = std::make_unique<CCompressFileReader>();
    return reader->Open(device_.get(), node_.get(), partition_.get()) != 0 ? std::move(reader) : nullptr;
  }
  static Bytes ReadAll(IFileReader& reader, size_t size) {
    Bytes out(size);
    EXPECT_EQ(reader.ReadData(0, reinterpret_cast<char*>(out.data()), static_cast<unsigned>(size)), size);
    return out;
  }

  Bytes bytes_;
  std::unique_ptr<devicetest::CMemoryDevice> device_;
  std::unique_ptr<RunNode> node_;
  std::unique_ptr<CSearchedPartitionInfo> partition_;
};

TEST_F(Compressed, EachUnitIsReadRawDecodedPaddedOrAsZeros) {
  const Bytes text = Corpus("text");
  std::copy(text.begin(), text.end(), bytes_.begin() + 200 * kCluster);
  std::fill_n(bytes_.begin() + 200 * kCluster + text.size(), 2, 0);  // the end marker after the chunks
  const Bytes xyz = {0x03, 0xB0, 0x00, 'x', 'y', 'z', 0, 0};         // one chunk of three bytes
  std::copy(xyz.begin(), xyz.end(), bytes_.begin() + 30 * kCluster);
  const struct {
    const char* name;
    std::vector<DataRun> runs;
    Bytes expected;
  } cases[] = {
      {"raw, then sparse", {{100, 16}, {-1, 16}}, Cat({Clusters(100, kUnit), Bytes(kUnit, 0)})},
      {"compressed by ntfs-3g", {{200, 5}, {-1, 11}}, Original("text")},
      {"a short unit padded, then raw",
       {{30, 1}, {-1, 15}, {60, 16}},
       Cat({{'x', 'y', 'z'}, Bytes(kUnit - 3, 0), Clusters(60, kUnit)})},
      {"sparse before data", {{-1, 4}, {50, 12}}, Cat({Bytes(4 * kCluster, 0), Clusters(50, 12 * kCluster)})},
      {"raw at cluster 0, the boot sector", {{0, 16}}, Bytes(kUnit, 0)},
      {"compressed at cluster 0", {{0, 2}, {-1, 14}}, Bytes(kUnit, 0)},
      // 2^52 clusters of 4 KiB are 2^64 bytes: offsets that would wrap round
      // onto clusters 100 and 200.
      {"raw past any offset", {{(int64_t{1} << 52) + 100, 16}}, Bytes(kUnit, 0)},
      {"compressed past any offset", {{(int64_t{1} << 52) + 200, 5}, {-1, 11}}, Bytes(kUnit, 0)},
      {"runs that end before the file", {{80, 16}}, Cat({Clusters(80, kUnit), Bytes(2 * kUnit, 0)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto reader = Open(c.expected.size(), c.runs);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(ReadAll(*reader, c.expected.size()), c.expected);
    IFileReader* clone = reader->Clone();
    EXPECT_EQ(ReadAll(*clone, c.expected.size()), c.expected);
    clone->Release();
    char byte;
    EXPECT_EQ(reader->ReadData(static_cast<long long>(c.expected.size()), &byte, 1), 0u);
  }
  EXPECT_EQ(Open(kUnit, {{10, 16}}, 16), nullptr) << "clusters above 4 KiB";
}

TEST_F(Compressed, FileModeStopsBetweenUnitsAndLeavesResidentListsToThePlainPath) {
  testsupport::TempDir dir;
  auto reader = Open(5 * kUnit, {{10, 80}});
  ASSERT_NE(reader, nullptr);
  bool fallback = true;
  RecordingSink stopper;
  stopper.onContinued = [](int call) { return call <= 2 ? 1 : 0; };
  ASSERT_EQ(reader->RecoverToFile((dir / "stopped").c_str(), &stopper, fallback), 0u);
  EXPECT_FALSE(fallback);
  EXPECT_EQ(testsupport::ReadFile(dir / "stopped"), Clusters(10, 2 * kUnit));
  device_ = std::make_unique<devicetest::CMemoryDevice>(bytes_, 512, 8192);
  RunNode resident("r", 700, {{5000, 1}}, 1);
  CCompressFileReader residentReader;
  ASSERT_NE(residentReader.Open(device_.get(), &resident, partition_.get()), 0);
  EXPECT_TRUE(residentReader.Recovery((dir / "r").c_str(), nullptr, fallback) && fallback);
  EXPECT_EQ(fs::file_size(dir / "r"), 0u);
}

TEST_F(Compressed, MemoryModeFillsEachBufferFromItsFirstByte) {
  auto reader = Open(3 * kUnit + 10, {{10, 48}, {90, 1}, {-1, 15}});
  ASSERT_NE(reader, nullptr);
  std::vector<char> first(kUnit + 5, 1), second(kUnit + 5, 2);
  ASSERT_TRUE(reader->Recovery(first.data(), static_cast<int>(first.size()), nullptr));
  ASSERT_TRUE(reader->Recovery(second.data(), static_cast<int>(second.size()), nullptr));
  EXPECT_EQ(Bytes(second.begin(), second.end()), Clusters(10, second.size()));
  EXPECT_EQ(first, second);
  EXPECT_FALSE(reader->Recovery(static_cast<char*>(nullptr), 10, nullptr));
}

}  // namespace
