// The NTFS compressed-data reader: the LZNT1 decoder on units that ntfs-3g
// wrote (corpus/, made by make_corpus.sh, with the files as written in
// units/), the cutting of runs into 16-cluster units, and the reader's modes
// on memory devices whose bytes are known.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <list>
#include <random>
#include <vector>

#include "copyout/CCompressFileReader.h"
#include "copyout/Lznt1.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using copyouttest::MakePartition;
using copyouttest::RecordingSink;
using copyouttest::RunNode;
using devicetest::CMemoryDevice;

constexpr size_t kUnit = 65536;
constexpr size_t kCluster = 4096;

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 gen(seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

fs::path Here() { return testsupport::SourceDir() / "tests/engine/copyout"; }

std::vector<uint8_t> Corpus(const std::string& name) { return testsupport::ReadFile(Here() / "corpus" / name); }
std::vector<uint8_t> Original(const std::string& name) {
  return testsupport::ReadFile(Here() / "units" / (name + ".orig"));
}

class RealUnits : public ::testing::TestWithParam<std::string> {};

TEST_P(RealUnits, DecodeToTheFileNtfs3gWasGiven) {
  const std::vector<uint8_t> unit = Corpus(GetParam());
  const std::vector<uint8_t> original = Original(GetParam());
  ASSERT_FALSE(unit.empty());
  ASSERT_LE(original.size(), kUnit);
  std::vector<uint8_t> out(kUnit, 0);
  const size_t end = lznt1::DecompressUnit(unit.data(), unit.size(), out.data(), out.size());
  EXPECT_EQ(end, original.size());
  EXPECT_EQ(0, std::memcmp(out.data(), original.data(), original.size()));
}

INSTANTIATE_TEST_SUITE_P(Ntfs3g, RealUnits, ::testing::Values("text", "stored", "mixed"));

TEST(Lznt1, AStoredChunkOfSizeField0xFFFCopies4096Bytes) {
  std::vector<uint8_t> chunk = RandomBytes(4098, 2);
  chunk[0] = 0xFF, chunk[1] = 0x3F;
  std::vector<uint8_t> out(4096);
  ASSERT_EQ(lznt1::DecompressBlock(chunk.data(), chunk.size(), out.data(), out.size()), 4096u);
  EXPECT_EQ(0, std::memcmp(out.data(), chunk.data() + 2, 4096));
}

// A compressed chunk of `literals` literal bytes 0, 1, 2, ... followed by
// one back-reference token.
std::vector<uint8_t> ChunkWithToken(size_t literals, uint16_t token) {
  std::vector<uint8_t> chunk = {0, 0};  // the header, set below
  // Items in groups of eight behind a flag byte; bit i set marks item i of
  // the group as a token.
  size_t flagAt = 0;
  for (size_t item = 0; item <= literals; ++item) {
    if (item % 8 == 0) {
      flagAt = chunk.size();
      chunk.push_back(0);
    }
    if (item < literals) {
      chunk.push_back(static_cast<uint8_t>(item));
    } else {
      chunk[flagAt] = static_cast<uint8_t>(chunk[flagAt] | (1u << (item % 8)));
      chunk.push_back(static_cast<uint8_t>(token));
      chunk.push_back(static_cast<uint8_t>(token >> 8));
    }
  }
  const uint16_t header = static_cast<uint16_t>(0xB000 | (chunk.size() - 3));
  chunk[0] = static_cast<uint8_t>(header);
  chunk[1] = static_cast<uint8_t>(header >> 8);
  return chunk;
}

TEST(Lznt1, AtPosition17ATokenHas5DisplacementBitsAnd11LengthBits) {
  // Displacement 17 (back to byte 0), length 3: (16 << 11) | 0.
  const auto chunk = ChunkWithToken(17, 16 << 11);
  std::vector<uint8_t> out(4096);
  ASSERT_EQ(lznt1::DecompressBlock(chunk.data(), chunk.size(), out.data(), out.size()), 20u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 17, out.begin() + 20), std::vector<uint8_t>({0, 1, 2}));
}

TEST(Lznt1, AtPosition5ATokenHas4DisplacementBitsAnd12LengthBits) {
  // Displacement 5, length 7 (overlapping: the five bytes repeat).
  const auto chunk = ChunkWithToken(5, (4 << 12) | 4);
  std::vector<uint8_t> out(4096);
  ASSERT_EQ(lznt1::DecompressBlock(chunk.data(), chunk.size(), out.data(), out.size()), 12u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 12),
            std::vector<uint8_t>({0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1}));
}

TEST(Lznt1, CorruptChunksStayInsideTheirInputAndOutput) {
  // A header that claims 4098 bytes where 10 are given, a token reaching
  // before the chunk, a run length past 4096.
  std::vector<uint8_t> chunk = {0xFF, 0xBF, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g'};
  std::vector<uint8_t> out(4096, 0x77);
  EXPECT_EQ(lznt1::DecompressBlock(chunk.data(), chunk.size(), out.data(), 4096), 7u);
  const auto before = ChunkWithToken(0, 0x0FFF);  // at position 0: nothing to copy from
  EXPECT_EQ(lznt1::DecompressBlock(before.data(), before.size(), out.data(), 4096), 4096u);
  EXPECT_EQ(out[0], 0);
  std::vector<uint8_t> small(5);
  EXPECT_EQ(lznt1::DecompressBlock(before.data(), before.size(), small.data(), small.size()), 5u);
  EXPECT_EQ(lznt1::DecompressBlock(chunk.data(), chunk.size(), small.data(), 0), 0u);
}

TEST(Lznt1, AShortChunkStillStandsFor4096BytesOfTheUnit) {
  // Two chunks: the first decodes to 3 bytes, the second's bytes belong at
  // 4096 on, with zeros between.
  // A compressed chunk of three literals (6 bytes), a stored chunk of three
  // bytes (5 bytes), the end marker.
  const std::vector<uint8_t> unit = {0x03, 0xB0, 0x00, 'x', 'y', 'z', 0x02, 0x30, 'A', 'B', 'C', 0, 0};
  std::vector<uint8_t> out(kUnit, 0);
  EXPECT_EQ(lznt1::DecompressUnit(unit.data(), unit.size(), out.data(), out.size()), 4099u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 3), "xyz");
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 3, out.begin() + 4096), std::vector<uint8_t>(4093, 0));
  EXPECT_EQ(std::string(out.begin() + 4096, out.begin() + 4099), "ABC");
}

// A memory device of 4 MiB random bytes (512-byte sectors, data area at 0)
// and an NTFS record of 8 sectors per cluster.
class Compressed : public ::testing::Test {
 protected:
  Compressed() : bytes_(RandomBytes(4 * 1024 * 1024, 21)) {}
  void Place(size_t cluster, const std::vector<uint8_t>& data) {
    std::memcpy(bytes_.data() + cluster * kCluster, data.data(), data.size());
  }
  std::vector<uint8_t> Clusters(size_t cluster, size_t size) const {
    return std::vector<uint8_t>(bytes_.begin() + static_cast<long>(cluster * kCluster),
                                bytes_.begin() + static_cast<long>(cluster * kCluster + size));
  }
  // Opens a reader on a device made of the bytes as they are now.
  std::unique_ptr<CCompressFileReader> Open(uint64_t size, const std::vector<DataRun>& runs, uint32_t spc = 8) {
    device_ = std::make_unique<CMemoryDevice>(bytes_, 512, static_cast<int64_t>(bytes_.size() / 512));
    node_ = std::make_unique<RunNode>("c", size, runs);
    partition_ = MakePartition(0, 3, spc, 0, 0, bytes_.size() / 512);
    auto reader = std::make_unique<CCompressFileReader>();
    if (reader->Open(device_.get(), node_.get(), partition_.get()) == 0) return nullptr;
    return reader;
  }
  static std::vector<uint8_t> ReadAll(IFileReader& reader, size_t size) {
    std::vector<uint8_t> out(size);
    EXPECT_EQ(reader.ReadData(0, reinterpret_cast<char*>(out.data()), static_cast<unsigned>(size)), size);
    return out;
  }

  std::vector<uint8_t> bytes_;
  std::unique_ptr<CMemoryDevice> device_;
  std::unique_ptr<RunNode> node_;
  std::unique_ptr<CSearchedPartitionInfo> partition_;
};

std::vector<std::vector<uint32_t>> Pieces(CCompressFileReader& reader) {
  std::list<tagCompressDataRun> pieces;
  reader.ReGroupCompressDataRunList(pieces, 1000);
  std::vector<std::vector<uint32_t>> out;
  for (const auto& p : pieces) out.push_back({static_cast<uint32_t>(p.s64LCN), p.length, p.eType});
  return out;
}

TEST_F(Compressed, RunsAreCutIntoUnitsOf16ClustersAndKindedByTheirEnd) {
  const uint32_t sparse = static_cast<uint32_t>(-1);
  auto rawThenSparse = Open(131072, {DataRun{100, 16}, DataRun{-1, 16}});
  EXPECT_EQ(Pieces(*rawThenSparse),
            (std::vector<std::vector<uint32_t>>{{100, 16, NONECOMPRESSED_UNIT}, {sparse, 16, SPARSE_UNIT}}));
  auto compressed = Open(40000, {DataRun{200, 5}, DataRun{-1, 11}});
  EXPECT_EQ(Pieces(*compressed),
            (std::vector<std::vector<uint32_t>>{{200, 5, COMPRESSED_UNIT}, {sparse, 11, COMPRESSED_UNIT}}));
  auto longRun = Open(20 * 4096, {DataRun{300, 20}});
  EXPECT_EQ(Pieces(*longRun),
            (std::vector<std::vector<uint32_t>>{{300, 16, NONECOMPRESSED_UNIT}, {316, 4, NONECOMPRESSED_UNIT}}));
  auto acrossRuns = Open(2 * kUnit, {DataRun{10, 3}, DataRun{50, 2}, DataRun{-1, 11}, DataRun{70, 16}});
  EXPECT_EQ(Pieces(*acrossRuns), (std::vector<std::vector<uint32_t>>{{10, 3, COMPRESSED_UNIT},
                                                                     {50, 2, COMPRESSED_UNIT},
                                                                     {sparse, 11, COMPRESSED_UNIT},
                                                                     {70, 16, NONECOMPRESSED_UNIT}}));
}

TEST_F(Compressed, ARawUnitThenASparseUnitReadAsTheClustersThenZeros) {
  auto reader = Open(131072, {DataRun{100, 16}, DataRun{-1, 16}});
  ASSERT_NE(reader, nullptr);
  const auto out = ReadAll(*reader, 131072);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + kUnit), Clusters(100, kUnit));
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + kUnit, out.end()), std::vector<uint8_t>(kUnit, 0));
}

TEST_F(Compressed, ARealCompressedUnitIsDecodedAndTheFileStopsAtItsSize) {
  const auto unit = Corpus("text");
  const auto original = Original("text");
  Place(200, unit);
  bytes_[200 * kCluster + unit.size()] = 0;  // the end marker after the chunks
  bytes_[200 * kCluster + unit.size() + 1] = 0;
  auto reader = Open(original.size(), {DataRun{200, 5}, DataRun{-1, 11}});
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(ReadAll(*reader, original.size()), original);
  EXPECT_EQ(reader->ReadData(static_cast<long long>(original.size()), reinterpret_cast<char*>(bytes_.data()), 1), 0u);
}

TEST_F(Compressed, AUnitWhoseChunksEndEarlyIsPaddedSoLaterUnitsKeepTheirPlace) {
  // Unit 0: one chunk of 3 bytes; unit 1: raw.
  Place(30, {0x03, 0xB0, 0x00, 'x', 'y', 'z', 0, 0});
  auto reader = Open(2 * kUnit, {DataRun{30, 1}, DataRun{-1, 15}, DataRun{60, 16}});
  ASSERT_NE(reader, nullptr);
  const auto out = ReadAll(*reader, 2 * kUnit);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 3), "xyz");
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 3, out.begin() + kUnit), std::vector<uint8_t>(kUnit - 3, 0));
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + kUnit, out.end()), Clusters(60, kUnit));
}

TEST_F(Compressed, DamagedRunShapesReadAsZerosWhereTheyHaveNoData) {
  // Sparse before data in a complete unit: raw, the sparse part zeros.
  auto sparseFirst = Open(kUnit, {DataRun{-1, 4}, DataRun{50, 12}});
  ASSERT_NE(sparseFirst, nullptr);
  auto out = ReadAll(*sparseFirst, kUnit);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4 * kCluster), std::vector<uint8_t>(4 * kCluster, 0));
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 4 * kCluster, out.end()), Clusters(50, 12 * kCluster));
  // Cluster 0 is the boot sector, never file data.
  auto atZero = Open(kUnit, {DataRun{0, 16}});
  out = ReadAll(*atZero, kUnit);
  EXPECT_EQ(out, std::vector<uint8_t>(kUnit, 0));
  auto compressedAtZero = Open(kUnit, {DataRun{0, 2}, DataRun{-1, 14}});
  out = ReadAll(*compressedAtZero, kUnit);
  EXPECT_EQ(out, std::vector<uint8_t>(kUnit, 0));
  // Runs that end before the file: zeros after them.
  auto shortRuns = Open(3 * kUnit, {DataRun{80, 16}});
  out = ReadAll(*shortRuns, 3 * kUnit);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + kUnit, out.end()), std::vector<uint8_t>(2 * kUnit, 0));
}

TEST_F(Compressed, ClustersAbove4KiBAreRefused) {
  EXPECT_EQ(Open(kUnit, {DataRun{10, 16}}, 16), nullptr);
  EXPECT_NE(Open(kUnit, {DataRun{10, 16}}, 1), nullptr);
}

TEST_F(Compressed, ReadDataDecodesOnlyTheUnitsItNeeds) {
  auto reader = Open(20 * kUnit, {DataRun{10, 20 * 16}});
  ASSERT_NE(reader, nullptr);
  const int before = device_->reads();
  std::vector<char> buffer(100);
  ASSERT_EQ(reader->ReadData(5 * kUnit + 512, buffer.data(), 100), 100u);
  EXPECT_LE(device_->reads() - before, 1);
  EXPECT_EQ(0, std::memcmp(buffer.data(), Clusters(10 + 5 * 16, kUnit).data() + 512, 100));
}

TEST_F(Compressed, MemoryModeFillsEachBufferFromItsFirstByte) {
  auto reader = Open(3 * kUnit + 10, {DataRun{10, 48}, DataRun{90, 1}, DataRun{-1, 15}});
  ASSERT_NE(reader, nullptr);
  std::vector<char> first(kUnit + 5, 1);
  std::vector<char> second(kUnit + 5, 2);
  ASSERT_TRUE(reader->Recovery(first.data(), static_cast<int>(first.size()), nullptr));
  ASSERT_TRUE(reader->Recovery(second.data(), static_cast<int>(second.size()), nullptr));
  EXPECT_EQ(first, second);
  EXPECT_EQ(0, std::memcmp(first.data(), Clusters(10, first.size()).data(), first.size()));
  EXPECT_FALSE(reader->Recovery(static_cast<char*>(nullptr), 10, nullptr));
  // A memory buffer already full takes nothing more; a null list is refused.
  RunNode other("o", kUnit, {DataRun{200, 16}});
  EXPECT_TRUE(reader->DeCompressFile(other.GetDataRunList(), kUnit));
  EXPECT_EQ(0, std::memcmp(second.data(), Clusters(10, second.size()).data(), second.size()));
  EXPECT_FALSE(reader->DeCompressFile(nullptr, kUnit));
}

TEST_F(Compressed, DeCompressFileOutsideAnyModeHasNowhereToWrite) {
  auto reader = Open(kUnit, {DataRun{10, 16}});
  ASSERT_NE(reader, nullptr);
  RunNode other("o", kUnit, {DataRun{200, 16}});
  EXPECT_FALSE(reader->DeCompressFile(other.GetDataRunList(), kUnit));
}

TEST_F(Compressed, FileModeAsksToGoOnBeforeEveryUnitAndReportsAfterIt) {
  testsupport::TempDir dir;
  auto reader = Open(5 * kUnit, {DataRun{10, 80}});
  ASSERT_NE(reader, nullptr);
  RecordingSink sink;
  bool fallback = true;
  ASSERT_EQ(reader->RecoverToFile((dir / "all").c_str(), &sink, fallback), 0u);
  EXPECT_FALSE(fallback);
  EXPECT_EQ(sink.continuedCalls, 5);
  const auto records = sink.Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records.back().current, 5 * kUnit);
  EXPECT_EQ(records.back().status, PROGRESS_STATUS_RUNNING);
  EXPECT_EQ(testsupport::ReadFile(dir / "all"), Clusters(10, 5 * kUnit));

  RecordingSink stopper;
  stopper.onContinued = [&] { return stopper.continuedCalls <= 2 ? 1 : 0; };
  ASSERT_EQ(reader->RecoverToFile((dir / "stopped").c_str(), &stopper, fallback), 0u);
  EXPECT_EQ(fs::file_size(dir / "stopped"), 2 * kUnit);
}

TEST_F(Compressed, AResidentListInFileModeAsksForThePlainPathAndWritesNothing) {
  device_ = std::make_unique<CMemoryDevice>(bytes_, 512, 8192);
  RunNode node("r", 700, {DataRun{5000, 1}}, 1);
  auto partition = MakePartition(0, 3, 8, 0, 0, 8192);
  CCompressFileReader reader;
  ASSERT_NE(reader.Open(device_.get(), &node, partition.get()), 0);
  testsupport::TempDir dir;
  bool fallback = false;
  EXPECT_TRUE(reader.Recovery((dir / "r").c_str(), nullptr, fallback));
  EXPECT_TRUE(fallback);
  EXPECT_EQ(fs::file_size(dir / "r"), 0u);
}

TEST_F(Compressed, AClonesReadsMatchItsSources) {
  auto reader = Open(2 * kUnit, {DataRun{30, 2}, DataRun{-1, 14}, DataRun{60, 16}});
  Place(30, Corpus("mixed"));
  IFileReader* clone = reader->Clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(ReadAll(*clone, 2 * kUnit), ReadAll(*reader, 2 * kUnit));
  clone->Release();
}

}  // namespace
