// The check value of the archive header.
#pragma once

#include <cstddef>
#include <cstdint>

class CCRC {
 public:
  // The only polynomial the archive uses (x^16 + x^15 + x^2 + 1).
  static constexpr uint16_t kPolynomial16 = 0x8005;

  // CRC-16 over `length` bytes, most significant bit first: initial value 0,
  // no reflection of input or output, no final XOR. With kPolynomial16 these
  // are the CRC-16/UMTS parameters ("123456789" gives 0xFEE8). A null
  // `data` counts as no bytes.
  static uint16_t RunCRC16(const void* data, size_t length, uint16_t polynomial);
};
