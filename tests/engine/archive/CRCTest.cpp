#include "archive/CRC.h"

#include <gtest/gtest.h>

#include "ArchiveTestSupport.h"

namespace {

using namespace archivetest;

TEST(Crc16, PublishedCheckValues) {
  EXPECT_EQ(CCRC::RunCRC16("123456789", 9, CCRC::kPolynomial16), 0xFEE8);  // CRC-16/UMTS
  EXPECT_EQ(CCRC::RunCRC16("123456789", 9, 0x1021), 0x31C3);               // same shape, XMODEM polynomial
  EXPECT_EQ(CCRC::RunCRC16(nullptr, 9, CCRC::kPolynomial16), 0);
}

TEST(Crc16, MatchesCrcmodOnRandomBuffers) {
  testsupport::TempDir dir;
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::vector<Bytes> inputs = {all, Bytes(132, 0xFF)};
  for (size_t size : {1, 2, 31, 132, 1000, 65537}) inputs.push_back(Pattern(size, static_cast<uint32_t>(size)));
  for (const auto& data : inputs) {
    testsupport::WriteFile(dir / "in", data.data(), data.size());
    EXPECT_EQ(CCRC::RunCRC16(data.data(), data.size(), CCRC::kPolynomial16), std::stoul(Tool("crc " + Q(dir / "in"))));
    EXPECT_EQ(CCRC::RunCRC16(data.data(), data.size(), 0x1021), std::stoul(Tool("crc " + Q(dir / "in") + " 0x11021")));
  }
}

}  // namespace
