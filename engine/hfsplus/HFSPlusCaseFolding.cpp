// The HFS+ case-folding table, built once from the Unicode character data
// (ICU) the way the published HFS+ format note defines it: the simple
// lower-case mapping of Unicode 2.0, for characters that have no canonical
// decomposition (names are stored decomposed, so those never occur), within
// the blocks the note's table covers; a handful of format characters are
// ignorable (fold to 0), and U+0000 folds to U+FFFF so that it sorts last.
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <cstdint>

#include "hfsplus/CHFSPlusBTree.h"

namespace {

bool AssignedByUnicode2(UChar32 c) {
  UVersionInfo age;
  u_charAge(c, age);
  if (age[0] == 0 && age[1] == 0) return false;  // unassigned
  return age[0] < 2 || (age[0] == 2 && age[1] == 0);
}

bool Ignorable(uint16_t c) {
  return (c >= 0x200C && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x206A && c <= 0x206F) || c == 0xFEFF;
}

// High bytes whose sub-tables the note's table carries; everything else is
// unchanged.
bool FoldedBlock(uint16_t c) {
  switch (c >> 8) {
    case 0x00:
    case 0x01:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x10:
    case 0x20:
    case 0x21:
    case 0xFE:
    case 0xFF:
      return true;
    default:
      return false;
  }
}

struct FoldTable {
  std::array<uint16_t, 0x10000> map{};

  FoldTable() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    for (uint32_t c = 0; c < 0x10000; ++c) map[c] = static_cast<uint16_t>(c);
    map[0] = 0xFFFF;
    for (uint32_t c = 1; c < 0x10000; ++c) {
      const auto unit = static_cast<uint16_t>(c);
      if (Ignorable(unit)) {
        map[c] = 0;
        continue;
      }
      if (!FoldedBlock(unit) || (c >= 0xD800 && c <= 0xDFFF)) continue;
      if (!AssignedByUnicode2(static_cast<UChar32>(c))) continue;
      icu::UnicodeString decomposition;
      if (U_SUCCESS(status) && nfd->getDecomposition(static_cast<UChar32>(c), decomposition)) continue;
      UChar32 lower = u_tolower(static_cast<UChar32>(c));
      // Georgian capitals folded to the Mkhedruli letters in Unicode 2.0.
      if (c >= 0x10A0 && c <= 0x10C5) lower = static_cast<UChar32>(c + 0x30);
      if (lower == static_cast<UChar32>(c) || lower > 0xFFFF || !AssignedByUnicode2(lower)) continue;
      map[c] = static_cast<uint16_t>(lower);
    }
  }
};

const FoldTable& Table() {
  static const FoldTable table;
  return table;
}

}  // namespace

uint16_t HFSPlusFoldCase(uint16_t unit) { return Table().map[unit]; }
