// The plain file reader over data runs on a memory device whose bytes are
// known (4 KiB clusters from sector 2048): where runs lead, sparse and hostile
// runs, the ends of files and runs, and the resident-data hook.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "FileReader.h"
#include "copyout/CFileReader.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using namespace copyouttest;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

class Reader : public ::testing::Test {
 protected:
  Reader() : bytes_(RandomBytes(4 << 20, 9)), device_(bytes_, 512, 8192) {}
  // The first `size` bytes a file with these runs holds (sparse runs: zeros).
  Bytes FileBytes(const std::vector<DataRun>& runs, size_t size) const {
    Bytes out;
    for (const DataRun& run : runs) {
      for (int64_t c = 0; c < run.length && out.size() < size; ++c) {
        const auto at = bytes_.begin() + (2048 * 512 + std::max<int64_t>(run.start + c, 0) * 4096);
        if (run.start < 0) {
          out.resize(out.size() + 4096, 0);
        } else {
          out.insert(out.end(), at, at + 4096);
        }
      }
    }
    out.resize(std::min(out.size(), size));
    return out;
  }
  bool Open(CFileReader& reader, CFileNode& node) { return reader.Open(&device_, &node, partition_.get()) != 0; }

  Bytes bytes_;
  devicetest::CMemoryDevice device_;
  std::unique_ptr<CSearchedPartitionInfo> partition_ = MakePartition(0, 2, 8, 2048, 0, 8192);
};

TEST_F(Reader, ReadsFollowTheRunsAndStopAtTheirEnds) {
  const struct {
    uint64_t size;
    std::vector<DataRun> runs;
    long long offset;
    unsigned length, got;
  } cases[] = {
      {1000, {{10, 1}}, 0, 4 << 20, 1000},
      {20480, {{100, 3}, {50, 2}}, 0, 20480, 20480},
      {20480, {{100, 3}, {50, 2}}, 3 * 4096 + 512, 1024, 1024},
      {12288, {{20, 1}, {-1, 1}, {21, 1}}, 0, 12288, 12288},  // a sparse run reads as zeros
      {5000, {{10, 2}}, 4608, 512, 392},                      // cut at the file's end, not the sector's
      {5000, {{10, 2}}, 1 << 30, 512, 0},
      {5000, {{10, 2}}, -512, 512, 0},
      {10000, {{10, 1}}, 0, 10000, 4096},  // runs that end early deliver what they hold
      {8192, {{kMax / 2, 4}}, 0, 8192, 0},  // hostile runs: no overflow, no stray read
      {8192, {{5000, 4}}, 0, 8192, 0},
      {8192, {{10, kMax}}, 0, 8192, 8192},
      {4096, {{30, 0}, {31, -3}, {10, 1}}, 0, 4096, 4096},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " from " << c.offset);
    RunNode node("f", c.size, c.runs);
    CFileReader reader;
    ASSERT_TRUE(Open(reader, node));
    std::vector<char> buffer(c.length, 0x55);
    ASSERT_EQ(reader.ReadData(c.offset, buffer.data(), c.length), c.got);
    if (c.got > 0) {
      const Bytes file = FileBytes(c.runs, c.offset + c.got);
      EXPECT_EQ(0, std::memcmp(buffer.data(), file.data() + c.offset, c.got));
    }
  }
  RunNode node("f", 8192, {{10, 2}});
  CFileReader reader;
  ASSERT_TRUE(Open(reader, node));
  device_.FailReads(1);
  std::vector<char> buffer(8192);
  EXPECT_EQ(reader.ReadData(0, buffer.data(), 8192), 0u) << "a failing device read fails the whole read";
}

// A resident-data hook serving a stream from memory.
struct FakeNtfs {
  static inline Bytes stream;
  static inline CFileNode* ntfsNode = nullptr;
  static inline uint64_t lastSector = 0;
  static uint32_t Copy(int64_t* length, uint8_t* buffer, uint32_t capacity) {
    if (stream.size() > capacity) return 0;
    std::memcpy(buffer, stream.data(), stream.size());
    *length = static_cast<int64_t>(stream.size());
    return static_cast<uint32_t>(stream.size());
  }
};
const ResidentDataReader kFakeNtfs = {
    [](CFileNode* node) { return node == FakeNtfs::ntfsNode; },
    [](CFileNode&, IStorageDevice&, int64_t* length, uint8_t* buffer, uint32_t capacity) {
      FakeNtfs::lastSector = 0;
      return FakeNtfs::Copy(length, buffer, capacity);
    },
    [](uint64_t sector, IStorageDevice&, int64_t* length, uint8_t* buffer, uint32_t capacity) {
      FakeNtfs::lastSector = sector;
      return FakeNtfs::Copy(length, buffer, capacity);
    }};

TEST_F(Reader, ResidentStreamsComeThroughTheHookFromTheOffsetAsked) {
  FakeNtfs::stream = RandomBytes(700, 3);
  SetResidentDataReader(&kFakeNtfs);
  // An NTFS node; a restored node names its record's sector in its first run.
  RunNode live("small.txt", 700, {{0, 0}}, 1), restored("restored.txt", 700, {{123456, 1}}, 1);
  FakeNtfs::ntfsNode = &live;
  for (RunNode* node : {&live, &restored}) {
    CFileReader reader;
    ASSERT_TRUE(Open(reader, *node));
    std::vector<char> buffer(4 << 20);
    ASSERT_EQ(reader.ReadData(0, buffer.data(), 4 << 20), 700u);
    EXPECT_EQ(0, std::memcmp(buffer.data(), FakeNtfs::stream.data(), 700));
    ASSERT_EQ(reader.ReadData(512, buffer.data(), 300), 188u);  // what is left from the offset
    EXPECT_EQ(0, std::memcmp(buffer.data(), FakeNtfs::stream.data() + 512, 188));
    EXPECT_EQ(FakeNtfs::lastSector, node == &live ? 0u : 123456u);
    EXPECT_EQ(reader.ReadData(700, buffer.data(), 100), 0u);
  }
  SetResidentDataReader(nullptr);
  CFileReader reader;
  ASSERT_TRUE(Open(reader, live));
  char buffer[100];
  EXPECT_EQ(reader.ReadData(0, buffer, 100), 0u) << "without a hook nothing is delivered";
}

}  // namespace
