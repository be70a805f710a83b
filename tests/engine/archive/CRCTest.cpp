#include "archive/CRC.h"

#include <gtest/gtest.h>

#include <string>

#include "ArchiveTestSupport.h"

namespace {

using archivetest::Pattern;
using archivetest::Quote;
using archivetest::Tool;
using testsupport::RunCommandOrFail;
using testsupport::TempDir;

// The python3-crcmod result for a file's bytes.
uint16_t OracleCrc(const TempDir& dir, const std::vector<uint8_t>& data, const char* poly = "0x18005") {
  const auto path = dir / "crc-input";
  testsupport::WriteFile(path, data.data(), data.size());
  return static_cast<uint16_t>(std::stoul(RunCommandOrFail(Tool() + " crc " + Quote(path) + " " + poly)));
}

TEST(Crc16, PublishedCheckValue) {
  const std::string check = "123456789";
  EXPECT_EQ(CCRC::RunCRC16(check.data(), check.size(), CCRC::kPolynomial16), 0xFEE8);
  // The polynomial is a real parameter: the same bytes under 0x1021 (also
  // initial 0, unreflected) give the published 0x31C3.
  EXPECT_EQ(CCRC::RunCRC16(check.data(), check.size(), 0x1021), 0x31C3);
}

TEST(Crc16, EmptyAndNullInputsGiveZero) {
  EXPECT_EQ(CCRC::RunCRC16("", 0, CCRC::kPolynomial16), 0);
  EXPECT_EQ(CCRC::RunCRC16(nullptr, 10, CCRC::kPolynomial16), 0);
}

TEST(Crc16, MatchesCrcmodOnRandomBuffers) {
  TempDir dir;
  const size_t sizes[] = {1, 2, 3, 31, 132, 133, 1000, 4096, 65537};
  uint32_t seed = 1;
  for (size_t size : sizes) {
    const auto data = Pattern(size, seed++);
    EXPECT_EQ(CCRC::RunCRC16(data.data(), data.size(), CCRC::kPolynomial16), OracleCrc(dir, data)) << size;
  }
  const auto data = Pattern(777, 99);
  EXPECT_EQ(CCRC::RunCRC16(data.data(), data.size(), 0x1021), OracleCrc(dir, data, "0x11021"));
}

TEST(Crc16, EverySingleByteValueAgreesWithCrcmod) {
  TempDir dir;
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(CCRC::RunCRC16(all.data(), all.size(), CCRC::kPolynomial16), OracleCrc(dir, all));
  const std::vector<uint8_t> ones(132, 0xFF);
  EXPECT_EQ(CCRC::RunCRC16(ones.data(), ones.size(), CCRC::kPolynomial16), OracleCrc(dir, ones));
}

}  // namespace
