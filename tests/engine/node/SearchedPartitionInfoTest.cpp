#include "SearchedPartitionInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "PrivateData.h"
#include "support/TestSupport.h"

namespace {

std::string Oracle() {
  return "python3 " +
         testsupport::ShellQuote((testsupport::SourceDir() / "tests/engine/node/partition_record.py").string());
}

std::string Hex(const uint8_t* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::vector<uint8_t> Unhex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

uint64_t Bits(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return bits;
}

class FakePrivateData : public IPrivateData {
 public:
  void Release() override {}
};

TEST(SearchedPartitionInfo, StartsWithTheDocumentedDefaults) {
  CSearchedPartitionInfo info(4096);
  EXPECT_EQ(info.GetType(), 4);
  EXPECT_EQ(info.GetPrivateData(), nullptr);
  EXPECT_EQ(info.GetPartitionIndex(), 0xFFFF);
  EXPECT_EQ(info.GetFileSystemType(), FILE_SYSTEM_TYPE_UNKNOWN);
  EXPECT_EQ(info.GetSectorsperCluster(), 0u);
  EXPECT_EQ(info.GetFirstDataSector(), 0);
  EXPECT_EQ(info.GetStartSector(), 0);
  EXPECT_EQ(info.GetMatchedCount(), 0);
  EXPECT_EQ(info.GetSectorSize(), 4096u);
  EXPECT_EQ(info.GetTotalSectors(), 0u);
  EXPECT_EQ(info.GetReliabilityScore(), 1u);
  EXPECT_EQ(info.GetOrderWeight(), 0.0);
}

TEST(SearchedPartitionInfo, SectorSizeMustBeAMultipleOf512) {
  EXPECT_EQ(CSearchedPartitionInfo(0).GetSectorSize(), 512u);
  EXPECT_EQ(CSearchedPartitionInfo(1000).GetSectorSize(), 512u);
  EXPECT_EQ(CSearchedPartitionInfo(256).GetSectorSize(), 512u);
  EXPECT_EQ(CSearchedPartitionInfo(1024).GetSectorSize(), 1024u);
  EXPECT_EQ(CSearchedPartitionInfo(4096).GetSectorSize(), 4096u);
  CSearchedPartitionInfo info(512);
  info.SetSectorSize(2048);
  EXPECT_EQ(info.GetSectorSize(), 2048u);
  info.SetSectorSize(513);
  EXPECT_EQ(info.GetSectorSize(), 512u);
}

TEST(SearchedPartitionInfo, WrittenRecordEqualsStructPack) {
  FakePrivateData priv;
  CSearchedPartitionInfo info(4096);
  info.SetPrivateData(&priv);  // a pointer: never stored
  info.SetPartitionIndex(3);
  info.SetFileSystemType(FILE_SYSTEM_TYPE_EXFAT);
  info.SetSectorsperCluster(64);
  info.SetFirstDataSector(-123456789012LL);
  info.SetStartSector(2048);
  info.SetReservedWord(-5);
  info.SetMatchedCount(77);
  info.SetTotalSectors(0xFEDCBA9876543210ULL);
  info.SetReliabilityScore(0x8000000000000001ULL);
  info.SetOrderWeight(-2.75);
  uint8_t record[CSearchedPartitionInfo::kRecordSize];
  std::memset(record, 0xAA, sizeof record);
  info.WriteRecord(record);

  std::ostringstream args;
  args << " pack 3 7 64 -123456789012 2048 -5 77 4096 0 " << 0xFEDCBA9876543210ULL << " " << 0x8000000000000001ULL
       << " " << Bits(-2.75) << " 0 0";
  const std::string expected = testsupport::RunCommandOrFail(Oracle() + args.str());
  EXPECT_EQ(Hex(record, sizeof record) + "\n", expected);
}

TEST(SearchedPartitionInfo, RecordsPackedByStructReadBackFieldByField) {
  const std::string out = testsupport::RunCommandOrFail(Oracle() + " random 20240611 200");
  std::istringstream lines(out);
  std::string hex;
  int count = 0;
  while (lines >> hex) {
    SCOPED_TRACE(hex);
    uint64_t index, fstype, spc, sector, res68, total, score, weightBits, res96, res100;
    int64_t first, start, res48, matched;
    lines >> index >> fstype >> spc >> first >> start >> res48 >> matched >> sector >> res68 >> total >> score >>
        weightBits >> res96 >> res100;
    const std::vector<uint8_t> bytes = Unhex(hex);
    ASSERT_EQ(bytes.size(), CSearchedPartitionInfo::kRecordSize);

    FakePrivateData priv;
    CSearchedPartitionInfo info(512);
    info.SetPrivateData(&priv);
    info.ReadRecord(bytes.data());
    EXPECT_EQ(info.GetPrivateData(), nullptr);  // whatever bytes 8-15 hold
    EXPECT_EQ(info.GetPartitionIndex(), index);
    EXPECT_EQ(static_cast<uint64_t>(info.GetFileSystemType()), fstype);
    EXPECT_EQ(info.GetSectorsperCluster(), spc);
    EXPECT_EQ(info.GetFirstDataSector(), first);
    EXPECT_EQ(info.GetStartSector(), start);
    EXPECT_EQ(info.GetReservedWord(), res48);
    EXPECT_EQ(info.GetMatchedCount(), matched);
    EXPECT_EQ(info.GetSectorSize(), sector);
    EXPECT_EQ(info.GetTotalSectors(), total);
    EXPECT_EQ(info.GetReliabilityScore(), score);
    EXPECT_EQ(Bits(info.GetOrderWeight()), weightBits);

    // Written again, the record is the same but for the header, the private
    // data and the padding, which are zero.
    std::vector<uint8_t> expected = bytes;
    for (size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 18, 19, 28, 29, 30, 31}) expected[i] = 0;
    uint8_t again[CSearchedPartitionInfo::kRecordSize];
    info.WriteRecord(again);
    EXPECT_EQ(Hex(again, sizeof again), Hex(expected.data(), expected.size()));
    ++count;
  }
  EXPECT_EQ(count, 200);
}

TEST(SearchedPartitionInfo, StoredSectorSizeObeysTheConstructorRule) {
  CSearchedPartitionInfo written(512);
  uint8_t record[CSearchedPartitionInfo::kRecordSize];
  written.WriteRecord(record);
  for (uint32_t bad : {0u, 1u, 511u, 1000u}) {
    record[64] = static_cast<uint8_t>(bad);
    record[65] = static_cast<uint8_t>(bad >> 8);
    CSearchedPartitionInfo info(4096);
    info.ReadRecord(record);
    EXPECT_EQ(info.GetSectorSize(), 512u) << bad;
  }
}

TEST(SearchedPartitionInfo, CopiesCarryEveryFieldIntoAPlainRecord) {
  // A scanner's kind: copy-out copies it into a plain record.
  class NtfsKind : public CSearchedPartitionInfo {
   public:
    NtfsKind() : CSearchedPartitionInfo(4096) {}
    int GetType() const override { return 0; }
  };
  FakePrivateData priv;
  NtfsKind found;
  found.SetPrivateData(&priv);
  found.SetPartitionIndex(2);
  found.SetFirstDataSector(63);
  found.SetOrderWeight(0.9);
  CSearchedPartitionInfo copy(found);
  EXPECT_EQ(copy.GetType(), 4);
  EXPECT_EQ(copy.GetPrivateData(), &priv);
  EXPECT_EQ(copy.GetPartitionIndex(), 2);
  EXPECT_EQ(copy.GetFirstDataSector(), 63);
  EXPECT_EQ(copy.GetSectorSize(), 4096u);
  EXPECT_EQ(copy.GetOrderWeight(), 0.9);
  CSearchedPartitionInfo assigned(512);
  assigned = found;
  EXPECT_EQ(assigned.GetType(), 4);
  EXPECT_EQ(assigned.GetPartitionIndex(), 2);
  EXPECT_EQ(assigned.GetSectorSize(), 4096u);
}

}  // namespace
