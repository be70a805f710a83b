// Mapping-pair decoding: the format's published cases, field widths of 1 to
// 8 bytes, and hostile lists that must be refused without reading past them.
#include "ntfs/NTFSDataRunList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Runs = CNTFSDataRunList::Runs;
using Bytes = std::vector<uint8_t>;

Runs Decode(const Bytes& bytes) {
  Runs runs;
  EXPECT_TRUE(CNTFSDataRunList::FormDataRunList(bytes.data(), static_cast<int>(bytes.size()), runs));
  return runs;
}

bool Valid(const Bytes& bytes) { return CNTFSDataRunList::IsValid(bytes.data(), static_cast<int>(bytes.size())); }

// Appends one mapping pair with fields of the given widths.
void Pair(Bytes& out, uint64_t length, int lengthSize, int64_t offset, int offsetSize) {
  out.push_back(static_cast<uint8_t>(offsetSize << 4 | lengthSize));
  for (int i = 0; i < lengthSize; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
  for (int i = 0; i < offsetSize; ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(offset) >> (8 * i)));
}

TEST(NTFSDataRunListDecoding, OneRunOfSixteenClustersAtCluster256) {
  const Runs runs = Decode({0x21, 0x10, 0x00, 0x01, 0x00});
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (CDataRun{256, 0, 16}));
}

TEST(NTFSDataRunListDecoding, OffsetsAreSignedAndRelativeToThePreviousRun) {
  // 0x00900000 (4 bytes, positive), then 0x800000 (3 bytes) = -8388608, then 0x7FFFFF = +8388607.
  const Runs runs = Decode({0x41, 0x04, 0x00, 0x00, 0x90, 0x00,  //
                            0x31, 0x02, 0x00, 0x00, 0x80,        //
                            0x31, 0x01, 0xFF, 0xFF, 0x7F, 0x00});
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0], (CDataRun{0x900000, 0, 4}));
  EXPECT_EQ(runs[1], (CDataRun{0x900000 - 8388608, 4, 2}));
  EXPECT_EQ(runs[2], (CDataRun{0x900000 - 8388608 + 8388607, 6, 1}));
}

TEST(NTFSDataRunListDecoding, ARunWithoutOffsetIsSparseAndKeepsTheReference) {
  const Runs runs = Decode({0x11, 0x04, 0x40,  // 4 clusters at 64
                            0x01, 0x08,        // 8 sparse clusters
                            0x11, 0x02, 0x10,  // 2 clusters at 64 + 16
                            0x00});
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0], (CDataRun{64, 0, 4}));
  EXPECT_EQ(runs[1], (CDataRun{-1, 4, 8}));
  EXPECT_TRUE(runs[1].IsSparse());
  EXPECT_EQ(runs[2], (CDataRun{80, 12, 2}));
}

TEST(NTFSDataRunListDecoding, FieldsOfEveryWidthFromOneToEightBytes) {
  for (int lengthSize = 1; lengthSize <= 8; ++lengthSize) {
    for (int offsetSize = 1; offsetSize <= 8; ++offsetSize) {
      SCOPED_TRACE(testing::Message() << "length " << lengthSize << " offset " << offsetSize);
      // The largest positive values that fit the widths.
      const uint64_t length = lengthSize == 8 ? 0x7FFFFFFFFFFFFFFFULL >> 1 : (uint64_t{1} << (8 * lengthSize)) - 1;
      const int64_t offset = static_cast<int64_t>((offsetSize == 8 ? 0x3FFFFFFFFFFFFFFFULL
                                                                   : (uint64_t{1} << (8 * offsetSize - 1)) - 1));
      Bytes bytes;
      Pair(bytes, length, lengthSize, offset, offsetSize);
      bytes.push_back(0);
      const Runs runs = Decode(bytes);
      ASSERT_EQ(runs.size(), 1u);
      EXPECT_EQ(runs[0].LCN, offset);
      EXPECT_EQ(runs[0].Length, static_cast<int64_t>(length));
    }
  }
}

TEST(NTFSDataRunListDecoding, DeltasOfTwoToTheThirtyOneAndMore) {
  Bytes bytes;
  Pair(bytes, 1, 1, int64_t{1} << 31, 5);
  Pair(bytes, 1, 1, (int64_t{1} << 40) - (int64_t{1} << 31), 6);
  Pair(bytes, 1, 1, -(int64_t{1} << 39), 5);
  bytes.push_back(0);
  const Runs runs = Decode(bytes);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].LCN, int64_t{1} << 31);
  EXPECT_EQ(runs[1].LCN, int64_t{1} << 40);
  EXPECT_EQ(runs[2].LCN, (int64_t{1} << 40) - (int64_t{1} << 39));
}

TEST(NTFSDataRunListTest, AFirstByteOfZeroIsAnEmptyList) {
  EXPECT_TRUE(Valid({0x00}));
  EXPECT_TRUE(Decode({0x00, 0xAA}).empty());
  EXPECT_EQ(CNTFSDataRunList::GetTotalClusters(Bytes{0}.data(), 1), 0);
}

TEST(NTFSDataRunListTest, RunsWithoutRoomForTheTerminatorFail) {
  EXPECT_FALSE(Valid({0x21, 0x10, 0x00, 0x01}));
  EXPECT_TRUE(Valid({0x21, 0x10, 0x00, 0x01, 0x00}));
  // The terminator must be inside the given length, even when the bytes follow.
  const Bytes bytes = {0x21, 0x10, 0x00, 0x01, 0x00};
  EXPECT_FALSE(CNTFSDataRunList::IsValid(bytes.data(), 4));
  EXPECT_FALSE(CNTFSDataRunList::IsValid(bytes.data(), 0));
  EXPECT_FALSE(CNTFSDataRunList::IsValid(nullptr, 5));
}

TEST(NTFSDataRunListTest, HostileHeadersAndValuesAreRefused) {
  EXPECT_FALSE(Valid({0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}));  // 9-byte offset
  EXPECT_FALSE(Valid({0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x01, 0x00}));  // 9-byte length
  EXPECT_FALSE(Valid({0x10, 0x05, 0x00}));                             // no length field
  EXPECT_FALSE(Valid({0x11, 0x00, 0x05, 0x00}));                       // zero-length run
  EXPECT_FALSE(Valid({0x11, 0x01, 0xFB, 0x00}));                       // starts at cluster -5
  // A length above 2^63 cannot be a cluster count.
  EXPECT_FALSE(Valid({0x18, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}));
  // Two runs whose VCNs add past 2^63.
  Bytes vcnOverflow;
  Pair(vcnOverflow, 0x7FFFFFFFFFFFFFFFULL, 8, 1, 1);
  Pair(vcnOverflow, 1, 1, 1, 1);
  vcnOverflow.push_back(0);
  EXPECT_FALSE(Valid(vcnOverflow));
  // An LCN that passes 2^63 - 1.
  Bytes lcnOverflow;
  Pair(lcnOverflow, 1, 1, 0x7FFFFFFFFFFFFFFFLL, 8);
  Pair(lcnOverflow, 1, 1, 1, 1);
  lcnOverflow.push_back(0);
  EXPECT_FALSE(Valid(lcnOverflow));
}

TEST(NTFSDataRunListTest, ByteCountAndTotals) {
  const Bytes bytes = {0x21, 0x10, 0x00, 0x01, 0x01, 0x08, 0x00, 0xEE};
  EXPECT_EQ(CNTFSDataRunList::GetDataRunsByteCount(bytes.data(), 8), 7);
  EXPECT_EQ(CNTFSDataRunList::GetTotalClusters(bytes.data(), 8), 24);
  EXPECT_EQ(CNTFSDataRunList::GetTotalClusters(bytes.data(), 5), -1);
}

TEST(NTFSDataRunListTest, StartVCNShiftsRunsOfLaterExtents) {
  CNTFSDataRunList list;
  const Bytes second = {0x11, 0x05, 0x20, 0x00};
  const Bytes first = {0x11, 0x0A, 0x10, 0x00};
  ASSERT_TRUE(list.AddDataRunsfromBuffer(second.data(), 4, 10));
  ASSERT_TRUE(list.AddDataRunsfromBuffer(first.data(), 4, 0));
  EXPECT_FALSE(list.AddDataRunsfromBuffer(first.data(), 3, 0));
  EXPECT_EQ(list.GetCount(), 2u);
  list.Sort();
  EXPECT_EQ(list.GetRuns()[0], (CDataRun{0x10, 0, 10}));
  EXPECT_EQ(list.GetRuns()[1], (CDataRun{0x20, 10, 5}));
  EXPECT_EQ(list.GetTotalClusters(), 15);
}

TEST(NTFSDataRunListTest, LookupsBetweenVCNAndLCN) {
  CNTFSDataRunList list;
  const Bytes bytes = {0x11, 0x04, 0x40, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00};
  ASSERT_TRUE(list.InitFromBuffer(bytes.data(), static_cast<int>(bytes.size())));
  EXPECT_EQ(list.GetLCN(0), 64);
  EXPECT_EQ(list.GetLCN(3), 67);
  // Clusters of a sparse run have no place on the volume.
  EXPECT_EQ(list.GetLCN(4), -1);
  EXPECT_EQ(list.GetLCN(11), -1);
  EXPECT_EQ(list.GetLCN(12), 80);
  EXPECT_EQ(list.GetLCN(14), -1);
  EXPECT_EQ(list.GetVCN(81), 13);
  EXPECT_EQ(list.GetVCN(0), -1);  // not inside the sparse run's made-up range
  EXPECT_EQ(list.GetVCN(-1), -1);
  EXPECT_TRUE(list.IsLCNContained(66));
  EXPECT_FALSE(list.IsLCNContained(79));
  CNTFSDataRunList empty;
  EXPECT_EQ(empty.GetLCN(0), -1);
  EXPECT_EQ(empty.GetVCN(0), -1);
}

TEST(NTFSDataRunListTest, EqualityCopiesAndClearing) {
  const Bytes bytes = {0x11, 0x04, 0x40, 0x01, 0x08, 0x00};
  CNTFSDataRunList a, b;
  ASSERT_TRUE(a.InitFromBuffer(bytes.data(), 6));
  ASSERT_TRUE(b.InitFromBuffer(bytes.data(), 6));
  EXPECT_TRUE(a.IsEqual(b));
  b.AddDataRun(CDataRun{1, 12, 1});
  EXPECT_FALSE(a.IsEqual(b));
  Runs copy;
  b.GetDataRunList(copy);
  EXPECT_EQ(copy.size(), 3u);
  b.ClearDataRunList();
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_FALSE(b.InitFromBuffer(bytes.data(), 2));
  EXPECT_TRUE(b.IsEmpty());
}

TEST(NTFSDataRunListTest, SortIsStableByVCN) {
  CNTFSDataRunList list;
  list.AddDataRun(CDataRun{5, 10, 1});
  list.AddDataRun(CDataRun{7, 0, 1});
  list.AddDataRun(CDataRun{6, 10, 1});
  list.Sort();
  EXPECT_EQ(list.GetRuns()[0].LCN, 7);
  EXPECT_EQ(list.GetRuns()[1].LCN, 5);
  EXPECT_EQ(list.GetRuns()[2].LCN, 6);
}

}  // namespace
