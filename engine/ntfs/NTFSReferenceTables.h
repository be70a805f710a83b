// The contents every freshly formatted NTFS volume carries in two of its
// metafiles, for recognising their sectors anywhere on a disk:
//
// - $AttrDef: the attribute-definition table of NTFS 3.x, 15 definitions of
//   160 bytes each from $STANDARD_INFORMATION to $LOGGED_UTILITY_STREAM,
//   zero to 2,560 bytes;
// - $UpCase: the 65,536 upper-case mappings (UTF-16LE) that the formatter of
//   this platform (mkntfs) writes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ntfs_reference {

inline constexpr size_t kAttrDefBytes = 2560;
inline constexpr size_t kUpCaseBytes = 131072;

// kAttrDefBytes bytes.
const uint8_t* AttrDefContents();
// kUpCaseBytes bytes, UP_CASE_FILE_CONTENTS_DEFINE.
const uint8_t* UpCaseContents();

}  // namespace ntfs_reference
