// Conversion of on-disk text to UTF-8, the engine's one text representation.
//
// Names come from hostile media, so conversion never fails and never cuts a
// name short: every unit that cannot be converted (an unpaired surrogate, a
// surrogate in UCS-2, a trailing odd byte) becomes U+FFFD and conversion goes
// on with the next unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class TextEncoding {
  UTF16LE,
  UCS2LE,
  UTF16BE,
  Latin1,
};

// Converts `bytes` bytes at `data`; stops at nothing (a zero unit converts to
// a NUL character). Callers that want C-string semantics cut the input first.
std::string ToUtf8(const void* data, size_t bytes, TextEncoding from);

// Converts UTF-16LE units up to `maxUnits` or the first zero unit.
std::string Utf16LEToUtf8(const char16_t* units, size_t maxUnits);

// Whether a name unit is one of the printable characters no file name of the
// FAT and NTFS families may hold: " * / : < > ? \ |
// (Inline: scanners ask for every unit of every name they read.)
inline bool IsForbiddenNameUnit(uint16_t unit) {
  // Bits 0-31 stand for units 0x20-0x3F: " * / : < > ?
  constexpr uint32_t kForbiddenFrom0x20 = 0xD4008404u;
  if (unit >= 0x20 && unit < 0x40) return ((kForbiddenFrom0x20 >> (unit - 0x20)) & 1u) != 0;
  return unit == '\\' || unit == '|';
}

// Whether `text` is well-formed UTF-8 (no overlongs, surrogates or values above
// U+10FFFF).
bool IsValidUtf8(const char* text, size_t bytes);
