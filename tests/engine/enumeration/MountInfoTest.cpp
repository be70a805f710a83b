// The mount-table parser: the kernel's line shape and escapes, and agreement
// with findmnt on this machine's own table.
#include "enumeration/MountInfo.h"

#include <gtest/gtest.h>

#include "engine/enumeration/EnumTestSupport.h"
#include "support/TestSupport.h"

namespace {

TEST(MountInfoLine, ReadsEveryFieldOfTheKernelsExample) {
  MountEntry e;
  ASSERT_TRUE(ParseMountInfoLine("36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue", e));
  EXPECT_EQ(e.mountId, 36);
  EXPECT_EQ(e.parentId, 35);
  EXPECT_EQ(e.major, 98u);
  EXPECT_EQ(e.minor, 0u);
  EXPECT_EQ(e.root, "/mnt1");
  EXPECT_EQ(e.mountPoint, "/mnt2");
  EXPECT_EQ(e.options, "rw,noatime");
  EXPECT_EQ(e.optionalFields, std::vector<std::string>{"master:1"});
  EXPECT_EQ(e.fsType, "ext3");
  EXPECT_EQ(e.source, "/dev/root");
  EXPECT_EQ(e.superOptions, "rw,errors=continue");
}

TEST(MountInfoLine, TakesAnyNumberOfOptionalFields) {
  MountEntry e;
  ASSERT_TRUE(ParseMountInfoLine("27 1 254:0 / / rw,relatime - ext4 /dev/vda rw,discard", e));
  EXPECT_TRUE(e.optionalFields.empty());
  ASSERT_TRUE(
      ParseMountInfoLine("40 27 259:3 / /home rw shared:5 master:2 propagate_from:1 - xfs /dev/nvme0n1p3 rw", e));
  EXPECT_EQ(e.optionalFields.size(), 3u);
  EXPECT_EQ(e.major, 259u);
  EXPECT_EQ(e.minor, 3u);
  EXPECT_EQ(e.source, "/dev/nvme0n1p3");
}

TEST(MountInfoLine, UndoesTheKernelsOctalEscapes) {
  MountEntry e;
  ASSERT_TRUE(
      ParseMountInfoLine("50 27 8:17 / /media/user/My\\040Stick\\011tab\\012nl\\134bs rw - vfat /dev/sdb1 rw", e));
  EXPECT_EQ(e.mountPoint, "/media/user/My Stick\ttab\nnl\\bs");
  EXPECT_EQ(UnescapeMountField("a\\101b"), "aAb");
  // A backslash that starts no escape stays, and so do escapes cut short.
  EXPECT_EQ(UnescapeMountField("a\\b"), "a\\b");
  EXPECT_EQ(UnescapeMountField("end\\04"), "end\\04");
  EXPECT_EQ(UnescapeMountField("\\477"), "\\477");  // beyond one byte
  EXPECT_EQ(UnescapeMountField("\\"), "\\");
}

TEST(MountInfoLine, RefusesLinesOfAnotherShape) {
  MountEntry e;
  EXPECT_FALSE(ParseMountInfoLine("", e));
  EXPECT_FALSE(ParseMountInfoLine("36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 ext3 /dev/root rw", e));  // no "-"
  EXPECT_FALSE(ParseMountInfoLine("36 35 98:0 /mnt1 /mnt2 rw - ext3 /dev/root", e));                    // a field short
  EXPECT_FALSE(ParseMountInfoLine("36 35 98:0 /mnt1 /mnt2 rw - ext3 /dev/root rw extra", e));
  EXPECT_FALSE(ParseMountInfoLine("x 35 98:0 / /m rw - ext3 /dev/root rw", e));
  EXPECT_FALSE(ParseMountInfoLine("36 35 980 / /m rw - ext3 /dev/root rw", e));
  EXPECT_FALSE(ParseMountInfoLine("36 35 98:x / /m rw - ext3 /dev/root rw", e));
  EXPECT_FALSE(ParseMountInfoLine("36 35 98:99999999999 / /m rw - ext3 /dev/root rw", e));
  EXPECT_FALSE(ParseMountInfoLine("36 35 98:0  /m rw - ext3 /dev/root rw", e));  // empty root
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
  REQUIRE_TOOL("python3");
  enumtest::ExpectMountInfoAgreesWithFindmnt();
}

}  // namespace
