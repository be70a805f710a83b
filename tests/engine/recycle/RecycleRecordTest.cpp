// What the recycle-bin images (RecycleRows.cpp) do not hold: records laid out
// byte by byte with the damage and odd text a record can carry.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "recycle/CRecycleNameRestorer.h"

namespace {

// Version 1: three 8-byte fields, then a 520-byte path field. Version 2: the
// same fields, the path's length in characters, then the path.
std::vector<uint8_t> Record(int version, const std::u16string& path) {
  std::vector<uint8_t> out(24, 0);
  out[0] = static_cast<uint8_t>(version);
  if (version == 2) {
    const uint32_t n = static_cast<uint32_t>(path.size() + 1);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
  }
  for (char16_t c : path) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.resize(version == 1 ? 24 + 520 : out.size() + 2, 0);
  return out;
}

std::string Name(const std::vector<uint8_t>& record) {
  return CRecycleNameRestorer::FormerName(record.data(), record.size());
}

TEST(RecycleRecord, GivesTheLastComponentOfADrivePath) {
  // U+5C0F ends in the byte 0x5C: not a backslash.
  EXPECT_EQ(Name(Record(2, u"C:\\a\\\u5C0F\u5C0F.txt")), "\u5C0F\u5C0F.txt");
  // Junk after the path's terminator in a version-1 field is not read.
  std::vector<uint8_t> junk = Record(1, u"C:\\a\\b.txt");
  junk[24 + 2 * 11] = 0x00;
  junk[24 + 2 * 11 + 1] = 0xD8;  // a lone surrogate
  EXPECT_EQ(Name(junk), "b.txt");
}

TEST(RecycleRecord, KeepsTheGeneratedNameForUnusablePaths) {
  EXPECT_EQ(Name(Record(2, u"C:\\Users\\a\\.")), "");
  EXPECT_EQ(Name(Record(2, u"C:\\Users\\a\\")), "");
  EXPECT_EQ(Name(Record(2, u"C:\\Users\\a\\x/y")), "");
  EXPECT_EQ(Name(Record(2, u"C:\\Users\\a\\\xD800x")), "");  // broken UTF-16
  EXPECT_EQ(Name(Record(2, u"C:holiday.jpg")), "");
  // Only the record's own bytes count: the path lies past its size.
  const std::vector<uint8_t> whole = Record(2, u"C:\\a\\b.txt");
  EXPECT_EQ(CRecycleNameRestorer::FormerName(whole.data(), 30), "");
  EXPECT_EQ(CRecycleNameRestorer::FormerName(nullptr, 0), "");
}

TEST(RecycleRecord, CutsALongNameAtTheLookedAtBytes) {
  const std::u16string name(300, u'n');
  const std::string got = Name(Record(1, u"C:\\d\\" + name));
  EXPECT_EQ(got, std::string((CRecycleNameRestorer::kPathLimit - 24 - 10) / 2, 'n'));
}

}  // namespace
