// The plain file reader over data runs on memory devices whose bytes are
// known: run mapping, sparse runs, ends of files and runs, hostile runs, the
// resident-data hook and clones.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "FileReader.h"
#include "copyout/CFileReader.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using copyouttest::MakePartition;
using copyouttest::RunNode;
using devicetest::CMemoryDevice;

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 gen(seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

// A 4 MiB device of random bytes, 512-byte sectors, 8 sectors per cluster
// and the data area at sector 2048 (the layout of the tests' expectations).
class Reader : public ::testing::Test {
 protected:
  Reader() : bytes_(RandomBytes(4 * 1024 * 1024, 9)), device_(bytes_, 512, 8192) {}

  // The device bytes of cluster `cluster` on (counted from sector 2048).
  std::vector<uint8_t> Clusters(int64_t cluster, size_t size) const {
    const size_t at = 2048 * 512 + static_cast<size_t>(cluster) * 4096;
    return std::vector<uint8_t>(bytes_.begin() + static_cast<long>(at), bytes_.begin() + static_cast<long>(at + size));
  }
  bool Open(CFileReader& reader, RunNode& node) { return reader.Open(&device_, &node, partition_.get()) != 0; }

  std::vector<uint8_t> bytes_;
  CMemoryDevice device_;
  std::unique_ptr<CSearchedPartitionInfo> partition_ = MakePartition(0, 2, 8, 2048, 0, 8192);
};

TEST_F(Reader, AOneClusterFileReadsItsSizeFromItsCluster) {
  RunNode node("a", 1000, {DataRun{10, 1}});
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  std::vector<char> buffer(4194304);
  ASSERT_EQ(reader.ReadData(0, buffer.data(), 4194304), 1000u);
  EXPECT_EQ(0, std::memcmp(buffer.data(), Clusters(10, 1000).data(), 1000));  // sector 2128 on
  EXPECT_EQ(reader.GetDataSize(), 1000);
}

TEST_F(Reader, RunsAreReadInTheirOrder) {
  RunNode node("b", 20480, {DataRun{100, 3}, DataRun{50, 2}});
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  std::vector<char> buffer(20480);
  ASSERT_EQ(reader.ReadData(0, buffer.data(), 20480), 20480u);
  std::vector<uint8_t> expected = Clusters(100, 3 * 4096);
  const auto second = Clusters(50, 2 * 4096);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(0, std::memcmp(buffer.data(), expected.data(), expected.size()));
  // From inside the second run.
  ASSERT_EQ(reader.ReadData(4096 * 3 + 512, buffer.data(), 1024), 1024u);
  EXPECT_EQ(0, std::memcmp(buffer.data(), second.data() + 512, 1024));
}

TEST_F(Reader, SparseRunsReadAsZerosBetweenRealData) {
  RunNode node("s", 3 * 4096, {DataRun{20, 1}, DataRun{-1, 1}, DataRun{21, 1}});
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  std::vector<char> buffer(3 * 4096, 0x55);
  ASSERT_EQ(reader.ReadData(0, buffer.data(), 3 * 4096), 3u * 4096);
  EXPECT_EQ(0, std::memcmp(buffer.data(), Clusters(20, 4096).data(), 4096));
  EXPECT_EQ(std::vector<char>(buffer.begin() + 4096, buffer.begin() + 8192), std::vector<char>(4096, 0));
  EXPECT_EQ(0, std::memcmp(buffer.data() + 8192, Clusters(21, 4096).data(), 4096));
}

TEST_F(Reader, OffsetsAtOrPastTheEndAndBeforeTheStartGiveNothing) {
  RunNode node("e", 5000, {DataRun{10, 2}});
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  char buffer[512];
  EXPECT_EQ(reader.ReadData(5000, buffer, 512), 0u);
  EXPECT_EQ(reader.ReadData(1 << 30, buffer, 512), 0u);
  EXPECT_EQ(reader.ReadData(-512, buffer, 512), 0u);
  // The last partial sector is cut at the file's end, not the sector's.
  ASSERT_EQ(reader.ReadData(4608, buffer, 512), 392u);
  EXPECT_EQ(0, std::memcmp(buffer, Clusters(10, 5000).data() + 4608, 392));
}

TEST_F(Reader, RunsThatEndBeforeTheFileDeliverWhatTheyHold) {
  RunNode node("r", 10000, {DataRun{10, 1}});
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  std::vector<char> buffer(10000);
  EXPECT_EQ(reader.ReadData(0, buffer.data(), 10000), 4096u);
  EXPECT_EQ(reader.ReadData(8192, buffer.data(), 512), 0u);
}

TEST_F(Reader, HostileRunsFailTheReadWithoutOverflowOrStrayReads) {
  const int64_t huge = std::numeric_limits<int64_t>::max() / 2;
  for (const std::vector<DataRun>& runs :
       {std::vector<DataRun>{DataRun{huge, 4}}, std::vector<DataRun>{DataRun{5000, 4}},
        std::vector<DataRun>{DataRun{10, std::numeric_limits<int64_t>::max()}}}) {
    RunNode node("h", 8192, runs);
    CFileReader reader;
    ASSERT_TRUE(Open(reader, node));
    std::vector<char> buffer(8192);
    const unsigned got = reader.ReadData(0, buffer.data(), 8192);
    if (runs.front().start == 10) {
      EXPECT_EQ(got, 8192u);  // a huge length just reaches past the file
    } else {
      EXPECT_EQ(got, 0u);
    }
  }
  RunNode zeroLength("z", 4096, {DataRun{30, 0}, DataRun{31, -3}, DataRun{10, 1}});
  CFileReader reader;
  ASSERT_TRUE(Open(reader, zeroLength));
  std::vector<char> buffer(4096);
  ASSERT_EQ(reader.ReadData(0, buffer.data(), 4096), 4096u);
  EXPECT_EQ(0, std::memcmp(buffer.data(), Clusters(10, 4096).data(), 4096));
}

TEST_F(Reader, AFailingDeviceReadFailsTheWholeRead) {
  RunNode node("f", 8192, {DataRun{10, 2}});
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  device_.FailReads(1);
  std::vector<char> buffer(8192);
  EXPECT_EQ(reader.ReadData(0, buffer.data(), 8192), 0u);
}

TEST_F(Reader, OpenRefusesMissingPiecesEmptyFilesAndClusterlessPartitions) {
  RunNode node("o", 100, {DataRun{10, 1}});
  CFileReader reader;
  EXPECT_EQ(reader.Open(nullptr, &node, partition_.get()), 0);
  EXPECT_EQ(reader.Open(&device_, nullptr, partition_.get()), 0);
  EXPECT_EQ(reader.Open(&device_, &node, nullptr), 0);
  auto noClusters = MakePartition(0, 2, 0, 2048, 0, 8192);
  EXPECT_EQ(reader.Open(&device_, &node, noClusters.get()), 0);
  RunNode empty("e", 0, {DataRun{10, 1}});
  EXPECT_EQ(reader.Open(&device_, &empty, partition_.get()), 0);
  TestNode noRuns("n", false, 100);
  EXPECT_EQ(reader.Open(&device_, &noRuns, partition_.get()), 0);
  EXPECT_EQ(reader.GetDataSize(), 0);
  char buffer[512];
  EXPECT_EQ(reader.ReadData(0, buffer, 512), 0u);
}

TEST_F(Reader, ACloneReadsOnAfterItsSourceIsGoneAndNeitherMovesTheNodesRunCursor) {
  RunNode node("c", 8192, {DataRun{10, 1}, DataRun{40, 1}});
  auto* reader = new CFileReader();
  ASSERT_TRUE(Open(*reader, node));
  IDataRunList* list = node.GetDataRunList();
  list->GetFirst();
  IFileReader* clone = reader->Clone();
  reader->Release();
  std::vector<char> buffer(8192);
  ASSERT_EQ(clone->ReadData(0, buffer.data(), 8192), 8192u);
  EXPECT_EQ(0, std::memcmp(buffer.data() + 4096, Clusters(40, 4096).data(), 4096));
  EXPECT_EQ(list->IsDone(), 0) << "reading moved the node's run cursor";
  clone->Release();
}

// A resident-data hook that serves a stream from memory and remembers how
// it was called.
struct FakeNtfs {
  static std::vector<uint8_t> stream;
  static CFileNode* ntfsNode;
  static uint64_t lastSector;
  static uint32_t lastCapacity;
  static bool IsNtfs(CFileNode* node) { return node == ntfsNode; }
  static uint32_t Copy(int64_t* length, uint8_t* buffer, uint32_t capacity) {
    lastCapacity = capacity;
    if (stream.size() > capacity) return 0;
    std::memcpy(buffer, stream.data(), stream.size());
    *length = static_cast<int64_t>(stream.size());
    return static_cast<uint32_t>(stream.size());
  }
  static uint32_t FromNode(CFileNode&, IStorageDevice&, int64_t* length, uint8_t* buffer, uint32_t capacity) {
    lastSector = 0;
    return Copy(length, buffer, capacity);
  }
  static uint32_t FromSector(uint64_t sector, IStorageDevice&, int64_t* length, uint8_t* buffer, uint32_t capacity) {
    lastSector = sector;
    return Copy(length, buffer, capacity);
  }
};
std::vector<uint8_t> FakeNtfs::stream;
CFileNode* FakeNtfs::ntfsNode = nullptr;
uint64_t FakeNtfs::lastSector = 0;
uint32_t FakeNtfs::lastCapacity = 0;
const ResidentDataReader kFakeNtfs = {&FakeNtfs::IsNtfs, &FakeNtfs::FromNode, &FakeNtfs::FromSector};

class Resident : public Reader {
 protected:
  void SetUp() override {
    FakeNtfs::stream = RandomBytes(700, 3);
    SetResidentDataReader(&kFakeNtfs);
  }
  void TearDown() override {
    SetResidentDataReader(nullptr);
    FakeNtfs::ntfsNode = nullptr;
  }
};

TEST_F(Resident, AnNtfsNodesStreamComesThroughTheRegisteredReader) {
  RunNode node("small.txt", 700, {DataRun{0, 0}}, /*resident=*/1);
  FakeNtfs::ntfsNode = &node;
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  std::vector<char> buffer(4194304);
  ASSERT_EQ(reader.ReadData(0, buffer.data(), 4194304), 700u);
  EXPECT_EQ(0, std::memcmp(buffer.data(), FakeNtfs::stream.data(), 700));
  EXPECT_EQ(FakeNtfs::lastSector, 0u);
  EXPECT_GE(FakeNtfs::lastCapacity, 700u);
  EXPECT_EQ(reader.ReadData(4194304, buffer.data(), 4194304), 0u);
}

TEST_F(Resident, ARestoredNodeNamesItsRecordSectorInItsFirstRunAndReadsFromTheOffset) {
  RunNode node("restored.txt", 700, {DataRun{123456, 1}}, 1);
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  std::vector<char> buffer(100);
  // The stream's bytes from the offset, not from its start.
  ASSERT_EQ(reader.ReadData(512, buffer.data(), 100), 100u);
  EXPECT_EQ(FakeNtfs::lastSector, 123456u);
  EXPECT_EQ(0, std::memcmp(buffer.data(), FakeNtfs::stream.data() + 512, 100));
  // Past the stream's end only what is left of it.
  ASSERT_EQ(reader.ReadData(512, buffer.data(), 100), 100u);
  std::vector<char> tail(300);
  ASSERT_EQ(reader.ReadData(512, tail.data(), 300), 188u);
}

TEST_F(Resident, WithoutAReaderOrAStreamNothingIsDelivered) {
  RunNode node("small.txt", 700, {DataRun{0, 0}}, 1);
  FakeNtfs::ntfsNode = &node;
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  char buffer[1024];
  FakeNtfs::stream.assign(600, 1);  // shorter than the offset asked
  EXPECT_EQ(reader.ReadData(600, buffer, 100), 0u);
  SetResidentDataReader(nullptr);
  EXPECT_EQ(reader.ReadData(0, buffer, 1024), 0u);
}

}  // namespace
