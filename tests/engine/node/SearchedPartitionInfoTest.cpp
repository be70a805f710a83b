// The 104-byte stored partition record against records packed by python's
// struct from the field table: read field by field, then written back.
#include "SearchedPartitionInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "PrivateData.h"
#include "support/TestSupport.h"

namespace {

struct : IPrivateData {
  void Release() override {}
} g_private;

TEST(SearchedPartitionInfo, RecordsPackedByStructReadAndWriteBack) {
  const auto script = testsupport::SourceDir() / "tests/engine/node/partition_record.py";
  std::istringstream lines(testsupport::RunCommandOrFail("python3 " + script.string() + " random 20240611 200"));
  int count = 0;
  for (std::string hex, fields; lines >> hex && std::getline(lines, fields); ++count) {
    SCOPED_TRACE(hex);
    ASSERT_EQ(hex.size(), 2 * CSearchedPartitionInfo::kRecordSize);
    uint8_t bytes[CSearchedPartitionInfo::kRecordSize], again[CSearchedPartitionInfo::kRecordSize];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), 0, 16));
    CSearchedPartitionInfo info(512);
    info.SetPrivateData(&g_private);
    info.ReadRecord(bytes);
    EXPECT_EQ(info.GetPrivateData(), nullptr);  // whatever bytes 8-15 hold
    uint64_t weight;
    const double orderWeight = info.GetOrderWeight();
    std::memcpy(&weight, &orderWeight, 8);
    std::ostringstream read;
    read << info.GetPartitionIndex() << " " << info.GetFileSystemType() << " " << info.GetSectorsperCluster() << " "
         << info.GetFirstDataSector() << " " << info.GetStartSector() << " " << info.GetReservedWord() << " "
         << info.GetMatchedCount() << " " << info.GetSectorSize() << " " << info.GetTotalSectors() << " "
         << info.GetReliabilityScore() << " " << weight << " ";
    std::istringstream in(fields);
    const std::vector<std::string> f{std::istream_iterator<std::string>(in), {}};
    ASSERT_EQ(f.size(), 14u);
    std::string expected;  // the reserved words 68, 96 and 100 have no reader; the write-back checks them
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11}) expected += f[i] + " ";
    EXPECT_EQ(read.str(), expected);
    // Written back: the same but for header, private data and padding.
    for (size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 18, 19, 28, 29, 30, 31}) bytes[i] = 0;
    info.WriteRecord(again);
    EXPECT_EQ(std::memcmp(bytes, again, sizeof bytes), 0);
  }
  EXPECT_EQ(count, 200);
}

// No reader may divide by a sector size of 0 or misalign sectors.
TEST(SearchedPartitionInfo, SectorSizeIsAMultipleOf512WhereverItComesFrom) {
  uint8_t record[CSearchedPartitionInfo::kRecordSize];
  CSearchedPartitionInfo(512).WriteRecord(record);
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 512},    {1, 512},     {256, 512},  {511, 512},
                                                 {1000, 512}, {1024, 1024}, {4096, 4096}};
  for (auto [size, sound] : cases) {
    CSearchedPartitionInfo made(size), set(4096), read(4096);
    set.SetSectorSize(size);
    std::memcpy(record + 64, &size, 4);  // little-endian host
    read.ReadRecord(record);
    EXPECT_EQ(made.GetSectorSize(), sound) << size;
    EXPECT_EQ(set.GetSectorSize(), sound) << size;
    EXPECT_EQ(read.GetSectorSize(), sound) << size;
  }
}

}  // namespace
