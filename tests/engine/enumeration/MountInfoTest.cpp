// The mount-table parser: every field of this machine's own table as findmnt
// reads it (optional fields included), and hand-made lines for malformed
// escapes and shapes no kernel writes.
#include "enumeration/MountInfo.h"

#include <gtest/gtest.h>

#include "engine/enumeration/EnumTestSupport.h"

namespace {

TEST(MountInfoLine, UndoesTheKernelsOctalEscapesOnly) {
  // A backslash that starts no escape stays, and so do escapes cut short or
  // beyond one byte (real blanks and backslashes: EnumerationLoopTest).
  for (const auto& [in, out] :
       {std::pair{"a\\101b", "aAb"}, {"a\\b", "a\\b"}, {"end\\04", "end\\04"}, {"\\477", "\\477"}, {"\\", "\\"}}) {
    EXPECT_EQ(UnescapeMountField(in), out);
  }
}

TEST(MountInfoLine, RefusesLinesOfAnotherShape) {
  MountEntry e;
  for (const char* line :
       {"",
        "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 ext3 /dev/root rw",  // no "-"
        "36 35 98:0 /mnt1 /mnt2 rw - ext3 /dev/root",                    // a field short
        "36 35 98:0 /mnt1 /mnt2 rw - ext3 /dev/root rw extra", "x 35 98:0 / /m rw - ext3 /dev/root rw",
        "36 35 980 / /m rw - ext3 /dev/root rw", "36 35 98:x / /m rw - ext3 /dev/root rw",
        "36 35 98:99999999999 / /m rw - ext3 /dev/root rw", "36 35 98:0  /m rw - ext3 /dev/root rw"}) {  // empty root
    EXPECT_FALSE(ParseMountInfoLine(line, e)) << line;
  }
}

TEST(MountInfoTable, PassesOverBadLinesAndFindsWholeFileSystemMountsFirst) {
  const auto table = ParseMountInfo(
      "60 27 8:1 /sub /bind rw - ext4 /dev/sda1 rw\n"
      "garbage line\n"
      "61 27 8:1 / /data rw - ext4 /dev/sda1 rw\r\n"
      "62 27 8:2 /x /only-bind rw - ext4 /dev/sda2 rw");
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(FindMountPoint(table, 8, 1), "/data");
  EXPECT_EQ(FindMountPoint(table, 8, 2), "/only-bind");
  EXPECT_EQ(FindMountPoint(table, 8, 3), "");
}

TEST(MountInfoTable, AgreesWithFindmntOnThisMachine) {
  REQUIRE_TOOL("findmnt");
  enumtest::ExpectMountInfoAgreesWithFindmnt();
}

}  // namespace
