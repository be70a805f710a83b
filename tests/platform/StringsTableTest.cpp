#include "platform/StringsTable.h"

#include <gtest/gtest.h>

#include <QHash>
#include <QString>

#include <vector>

#include "support/TestSupport.h"

namespace {

using platform::StringsTable;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;
using testsupport::TempDir;

using Table = QHash<QString, QString>;

// A table as a translator writes it: comments of both kinds, escapes,
// characters outside the Basic Multilingual Plane, a bare word key and a key
// without a value.
const char kTableUtf8[] =
    "/* Menu texts.\n"
    "   Several lines of comment. */\n"
    "\"MENU_ABOUT_NAME\" = \"\xC3\x80 propos de %@\";  // trailing comment\n"
    "\"QUOTED\" = \"She said \\\"hi\\\" \\\\ then left\";\n"
    "\"LINES\"=\"one\\ntwo\\tthree\\r\";\n"
    "\"UNICODE\" = \"\\U00e9t\\u00E9 \\U65e5\\U672c \\UD83D\\UDE00\";\n"
    "\"OCTAL\" = \"\\101\\102\\303\";\n"
    "\"DIRECT\" = \"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80\";\n"
    "BARE_KEY = \"bare\";\n"
    "\"KEY_ONLY\";\n"
    "\"MULTI\" = \"first line\n"
    "second line\";\n"
    "// a last comment without a newline";

void ExpectSampleTable(const Table& table) {
  EXPECT_EQ(table.size(), 9);
  EXPECT_EQ(table.value("MENU_ABOUT_NAME"), QString::fromUtf8("\xC3\x80 propos de %@"));
  EXPECT_EQ(table.value("QUOTED"), QStringLiteral("She said \"hi\" \\ then left"));
  EXPECT_EQ(table.value("LINES"), QStringLiteral("one\ntwo\tthree\r"));
  EXPECT_EQ(table.value("UNICODE"), QString::fromUtf8("\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"));
  EXPECT_EQ(table.value("OCTAL"), QString::fromUtf8("AB\xC3\x83"));
  EXPECT_EQ(table.value("DIRECT"), QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80"));
  EXPECT_EQ(table.value("BARE_KEY"), QStringLiteral("bare"));
  EXPECT_EQ(table.value("KEY_ONLY"), QStringLiteral("KEY_ONLY"));
  EXPECT_EQ(table.value("MULTI"), QStringLiteral("first line\nsecond line"));
}

QByteArray Encode(const TempDir& dir, const std::string& encoding, bool bom) {
  testsupport::WriteFile(dir / "table.utf8", std::string(kTableUtf8));
  // iconv's "UTF-16" writes a byte-order mark; the LE/BE names do not.
  RunCommandOrFail("iconv -f UTF-8 -t " + encoding + " < " + ShellQuote((dir / "table.utf8").string()) + " > " +
                   ShellQuote((dir / "table.out").string()));
  std::vector<uint8_t> bytes = testsupport::ReadFile(dir / "table.out");
  QByteArray data(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
  if (bom && encoding == "UTF-16LE") data.prepend("\xFF\xFE", 2);
  if (bom && encoding == "UTF-16BE") data.prepend("\xFE\xFF", 2);
  return data;
}

TEST(StringsTableEncodings, Utf16WithByteOrderMarkLoads) {
  REQUIRE_TOOL("iconv");
  TempDir dir;
  for (const char* encoding : {"UTF-16LE", "UTF-16BE"}) {
    Table table;
    QString error;
    ASSERT_TRUE(StringsTable::Load(Encode(dir, encoding, true), &table, &error)) << encoding << error.toStdString();
    ExpectSampleTable(table);
  }
}

TEST(StringsTableEncodings, Utf16WithoutByteOrderMarkLoads) {
  REQUIRE_TOOL("iconv");
  TempDir dir;
  for (const char* encoding : {"UTF-16LE", "UTF-16BE"}) {
    Table table;
    QString error;
    ASSERT_TRUE(StringsTable::Load(Encode(dir, encoding, false), &table, &error)) << encoding << error.toStdString();
    ExpectSampleTable(table);
  }
}

TEST(StringsTableEncodings, Utf8WithAndWithoutByteOrderMarkLoads) {
  Table table;
  QString error;
  ASSERT_TRUE(StringsTable::Load(QByteArray(kTableUtf8), &table, &error)) << error.toStdString();
  ExpectSampleTable(table);
  table.clear();
  ASSERT_TRUE(StringsTable::Load(QByteArray("\xEF\xBB\xBF") + kTableUtf8, &table, &error)) << error.toStdString();
  ExpectSampleTable(table);
}

TEST(StringsTableEncodings, BrokenEncodingsAreRefused) {
  Table table{{"kept", "yes"}};
  QString error;
  EXPECT_FALSE(StringsTable::Load(QByteArray("\"a\" = \"\xC3\x28\";"), &table, &error));        // bad UTF-8
  EXPECT_FALSE(StringsTable::Load(QByteArray("\xFF\xFE\x22\x00\x61", 5), &table, &error));      // odd UTF-16
  EXPECT_FALSE(StringsTable::Load(QByteArray("\xFF\xFE\x00\xD8\x22\x00", 6), &table, &error));  // lone surrogate
  EXPECT_FALSE(StringsTable::Load(QByteArray("\"a\" = \"b\0c\";", 12), &table, &error));        // NUL
  EXPECT_EQ(table.value("kept"), "yes");
}

struct Bad {
  const char* text;
  const char* error;
};

TEST(StringsTableSyntax, MalformedTablesAreRefusedWithTheirLine) {
  const Bad cases[] = {
      {"\"a\" = \"b\"", "line 1: expected ';'"},
      {"\"a\" = \"b\";\n\"c\" = \"d", "line 2: string is not closed"},
      {"\"a\" = ;", "line 1: expected a quoted string"},
      {"/* open comment\n\n\"a\" = \"b\";", "comment is not closed"},
      {"\"a\" = \"\\q\";", "line 1: unknown escape \\q"},
      {"\"a\" = \"\\U\";", "line 1: \\U needs hex digits"},
      {"\"a\" = \"\\0\";", "NUL character"},
      {"\"a\" = \"\\U0000\";", "NUL character"},
      {"\"a\" = \"\\777\";", "octal escape above"},
      {"\"a\" = \"\\UD800\";", "unpaired surrogate"},
      {"\"a\" = \"b\" = \"c\";", "expected ';'"},
      {"\n\n\"a\"\n=", "line 4: unexpected end"},
      {"= \"b\";", "line 1: expected a quoted string"},
  };
  for (const Bad& bad : cases) {
    Table table{{"kept", "yes"}};
    QString error;
    EXPECT_FALSE(StringsTable::Parse(QString::fromUtf8(bad.text), &table, &error)) << bad.text;
    EXPECT_TRUE(error.contains(QString::fromUtf8(bad.error))) << bad.text << " -> " << error.toStdString();
    EXPECT_EQ(table.size(), 1);
  }
}

TEST(StringsTableSyntax, EmptyAndCommentOnlyTablesAreEmpty) {
  for (const char* text : {"", "  \n\t ", "/* nothing */", "// nothing", "/**/ // x\n"}) {
    Table table{{"old", "x"}};
    QString error;
    EXPECT_TRUE(StringsTable::Parse(QString::fromUtf8(text), &table, &error)) << text << error.toStdString();
    EXPECT_TRUE(table.isEmpty()) << text;
  }
}

TEST(StringsTableSyntax, LaterEntriesReplaceEarlierOnes) {
  Table table;
  ASSERT_TRUE(StringsTable::Parse(QStringLiteral("\"a\" = \"1\"; \"a\" = \"2\";"), &table));
  EXPECT_EQ(table.value("a"), "2");
}

TEST(StringsTableSyntax, PercentSignsAndFormatsAreKeptAsText) {
  Table table;
  ASSERT_TRUE(StringsTable::Parse(QStringLiteral("\"f\" = \"%s %n %@ %%\";"), &table));
  EXPECT_EQ(table.value("f"), "%s %n %@ %%");
}

TEST(StringsTableSyntax, OversizedTablesAreRefused) {
  Table table;
  QString error;
  EXPECT_FALSE(StringsTable::Load(QByteArray(StringsTable::kMaxBytes + 1, ' '), &table, &error));
  EXPECT_TRUE(error.contains("large"));
}

}  // namespace
