#include "archive/CRC.h"

#include <array>

namespace {

std::array<uint16_t, 256> MakeTable(uint16_t polynomial) {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ polynomial) : static_cast<uint16_t>(crc << 1);
    }
    table[i] = crc;
  }
  return table;
}

}  // namespace

uint16_t CCRC::RunCRC16(const void* data, size_t length, uint16_t polynomial) {
  if (data == nullptr) return 0;
  // Rebuilt per call: the only caller hashes a 132-byte header, and a table
  // of our own needs no sharing between threads.
  const std::array<uint16_t, 256> table = MakeTable(polynomial);
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ bytes[i]) & 0xFF]);
  }
  return crc;
}
