// NTFS mapping pairs ("data runs") decoded from hand-made bytes: signed
// relative offsets, sparse runs, every field width, and hostile headers and
// values. Real runs are the conformance rows', through copy-out byte for byte.
#include "ntfs/NTFSDataRunList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Runs = CNTFSDataRunList::Runs;
using Bytes = std::vector<uint8_t>;

bool Valid(const Bytes& bytes) { return CNTFSDataRunList::IsValid(bytes.data(), static_cast<int>(bytes.size())); }

Runs Decode(const Bytes& bytes) {
  Runs runs;
  EXPECT_TRUE(CNTFSDataRunList::FormDataRunList(bytes.data(), static_cast<int>(bytes.size()), runs));
  return runs;
}

void Pair(Bytes& out, uint64_t length, int lengthSize, int64_t offset, int offsetSize) {
  out.push_back(static_cast<uint8_t>(offsetSize << 4 | lengthSize));
  for (int i = 0; i < lengthSize; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
  for (int i = 0; i < offsetSize; ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(offset) >> (8 * i)));
}

TEST(NTFSDataRunListDecoding, OffsetsAreSignedAndRelativeAndSparseRunsKeepTheReference) {
  Bytes wide;
  Pair(wide, 1, 1, int64_t{1} << 31, 5);
  Pair(wide, 1, 1, (int64_t{1} << 40) - (int64_t{1} << 31), 6);
  Pair(wide, 1, 1, -(int64_t{1} << 39), 5);
  wide.push_back(0);
  struct Case {
    Bytes bytes;
    Runs runs;
  };
  const Case cases[] = {
      {{0x00, 0xAA}, {}},
      {{0x21, 0x10, 0x00, 0x01, 0x00}, {{256, 0, 16}}},
      {{0x41, 0x04, 0x00, 0x00, 0x90, 0x00, 0x31, 0x02, 0x00, 0x00, 0x80, 0x31, 0x01, 0xFF, 0xFF, 0x7F, 0x00},
       {{0x900000, 0, 4}, {0x900000 - 8388608, 4, 2}, {0x900000 - 8388608 + 8388607, 6, 1}}},
      {{0x11, 0x04, 0x40, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00}, {{64, 0, 4}, {-1, 4, 8}, {80, 12, 2}}},
      {wide, {{int64_t{1} << 31, 0, 1}, {int64_t{1} << 40, 1, 1}, {(int64_t{1} << 40) - (int64_t{1} << 39), 2, 1}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.bytes), c.runs) << testing::PrintToString(c.bytes);

  for (int lengthSize = 1; lengthSize <= 8; ++lengthSize) {
    for (int offsetSize = 1; offsetSize <= 8; ++offsetSize) {
      SCOPED_TRACE(testing::Message() << "length " << lengthSize << " offset " << offsetSize);
      const uint64_t length = lengthSize == 8 ? 0x7FFFFFFFFFFFFFFFULL >> 1 : (uint64_t{1} << (8 * lengthSize)) - 1;
      const int64_t offset =
          static_cast<int64_t>((offsetSize == 8 ? 0x3FFFFFFFFFFFFFFFULL : (uint64_t{1} << (8 * offsetSize - 1)) - 1));
      Bytes bytes;
      Pair(bytes, length, lengthSize, offset, offsetSize);
      bytes.push_back(0);
      EXPECT_EQ(Decode(bytes), (Runs{{offset, 0, static_cast<int64_t>(length)}}));
    }
  }
}

TEST(NTFSDataRunListDecoding, HostileHeadersAndValuesAreRefused) {
  Bytes vcnOverflow;
  Pair(vcnOverflow, 0x7FFFFFFFFFFFFFFFULL, 8, 1, 1);
  Pair(vcnOverflow, 1, 1, 1, 1);
  vcnOverflow.push_back(0);
  Bytes lcnOverflow;
  Pair(lcnOverflow, 1, 1, 0x7FFFFFFFFFFFFFFFLL, 8);
  Pair(lcnOverflow, 1, 1, 1, 1);
  lcnOverflow.push_back(0);
  const Bytes refused[] = {
      {0x21, 0x10, 0x00, 0x01},                       // no room for the terminator
      {0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00},  // 9-byte offset
      {0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x01, 0x00},  // 9-byte length
      {0x10, 0x05, 0x00},                             // no length field
      {0x11, 0x00, 0x05, 0x00},                       // zero-length run
      {0x11, 0x01, 0xFB, 0x00},                       // starts at cluster -5
      {0x18, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00},        // negative length
      vcnOverflow,
      lcnOverflow,
  };
  for (const Bytes& bytes : refused) EXPECT_FALSE(Valid(bytes)) << testing::PrintToString(bytes);
  const Bytes good = {0x21, 0x10, 0x00, 0x01, 0x01, 0x08, 0x00, 0xEE};
  EXPECT_FALSE(CNTFSDataRunList::IsValid(good.data(), 0));
  EXPECT_FALSE(CNTFSDataRunList::IsValid(nullptr, 5));
  EXPECT_EQ(CNTFSDataRunList::GetDataRunsByteCount(good.data(), 8), 7);
  EXPECT_EQ(CNTFSDataRunList::GetTotalClusters(good.data(), 8), 24);
  EXPECT_EQ(CNTFSDataRunList::GetTotalClusters(good.data(), 5), -1);
}

TEST(NTFSDataRunListTest, ExtentsJoinByStartVCNAndLookupsSkipHoles) {
  CNTFSDataRunList list;
  const Bytes second = {0x11, 0x02, 0x50, 0x00};
  const Bytes first = {0x11, 0x04, 0x40, 0x01, 0x08, 0x00};
  ASSERT_TRUE(list.AddDataRunsfromBuffer(second.data(), 4, 12));
  ASSERT_TRUE(list.AddDataRunsfromBuffer(first.data(), 6, 0));
  EXPECT_FALSE(list.AddDataRunsfromBuffer(first.data(), 3, 0));
  list.Sort();
  EXPECT_EQ(list.GetRuns(), (Runs{{64, 0, 4}, {-1, 4, 8}, {80, 12, 2}}));
  struct Lookup {
    int64_t vcn, lcn;
  };
  for (const Lookup& l :
       {Lookup{0, 64}, Lookup{3, 67}, Lookup{4, -1}, Lookup{11, -1}, Lookup{12, 80}, Lookup{14, -1}}) {
    EXPECT_EQ(list.GetLCN(l.vcn), l.lcn) << l.vcn;
  }
  EXPECT_EQ(list.GetVCN(81), 13);
  EXPECT_EQ(list.GetVCN(0), -1);  // not inside the sparse run's made-up range
  EXPECT_EQ(list.GetVCN(-1), -1);
  // Runs of the same VCN keep the order they came in.
  CNTFSDataRunList same;
  same.AddDataRun(CDataRun{5, 10, 1});
  same.AddDataRun(CDataRun{7, 0, 1});
  same.AddDataRun(CDataRun{6, 10, 1});
  same.Sort();
  EXPECT_EQ(same.GetRuns(), (Runs{{7, 0, 1}, {5, 10, 1}, {6, 10, 1}}));
}

}  // namespace
