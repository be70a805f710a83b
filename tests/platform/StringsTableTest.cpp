#include "platform/StringsTable.h"
#include "platform/TextFormat.h"

#include <gtest/gtest.h>

#include <QHash>
#include <QString>

#include <cstdio>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using platform::StringsTable;
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
    "\"F\" = \"%s %n %@ %%\"; \"F\" = \"%s %n %@ %%!\";\n"
    "\"MULTI\" = \"first line\n"
    "second line\";\n"
    "// a last comment without a newline";

const Table kExpected{
    {"MENU_ABOUT_NAME", QString::fromUtf8("\xC3\x80 propos de %@")},
    {"QUOTED", "She said \"hi\" \\ then left"},
    {"LINES", "one\ntwo\tthree\r"},
    {"UNICODE", QString::fromUtf8("\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80")},
    {"OCTAL", QString::fromUtf8("AB\xC3\x83")},
    {"DIRECT", QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80")},
    {"BARE_KEY", "bare"},
    {"KEY_ONLY", "KEY_ONLY"},
    {"F", "%s %n %@ %%!"},
    {"MULTI", "first line\nsecond line"},
};

// The same table in every encoding a translator's editor may save, made by iconv.
TEST(StringsTable, LoadsInEveryEncodingIconvMakes) {
  REQUIRE_TOOL("iconv");
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "table.utf8", std::string(kTableUtf8));
  const struct {
    const char* encoding;  // iconv's UTF-16 writes a byte-order mark; the LE/BE names do not
    const char* bom;
  } cases[] = {{"UTF-8", ""},    {"UTF-8", "\xEF\xBB\xBF"}, {"UTF-16", ""},          {"UTF-16LE", ""},
               {"UTF-16BE", ""}, {"UTF-16LE", "\xFF\xFE"},  {"UTF-16BE", "\xFE\xFF"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.encoding) + (*c.bom != 0 ? " with BOM" : ""));
    testsupport::RunCommandOrFail(std::string("iconv -f UTF-8 -t ") + c.encoding + " < " +
                                  testsupport::ShellQuote((dir / "table.utf8").string()) + " > " +
                                  testsupport::ShellQuote((dir / "table.out").string()));
    const std::vector<uint8_t> bytes = testsupport::ReadFile(dir / "table.out");
    Table table;
    QString error;
    ASSERT_TRUE(StringsTable::Load(QByteArray(c.bom) + QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                                  static_cast<qsizetype>(bytes.size())),
                                   &table, &error))
        << error.toStdString();
    EXPECT_EQ(table, kExpected);
  }
}

TEST(StringsTable, BrokenTablesAreRefusedWholeWithTheirLine) {
  const struct {
    QByteArray data;
    const char* error;
  } cases[] = {
      {"\"a\" = \"\xC3\x28\";", ""},                    // bad UTF-8
      {QByteArray("\xFF\xFE\x22\x00\x61", 5), ""},      // odd UTF-16
      {QByteArray("\xFF\xFE\x00\xD8\x22\x00", 6), ""},  // lone surrogate
      {QByteArray("\"a\" = \"b\0c\";", 12), ""},
      {QByteArray(StringsTable::kMaxBytes + 1, ' '), "large"},
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
      {"\n\n\"a\"\n=", "line 4: unexpected end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data.left(40).toStdString());
    Table table{{"kept", "yes"}};
    QString error;
    EXPECT_FALSE(StringsTable::Load(c.data, &table, &error));
    EXPECT_TRUE(error.contains(QString::fromUtf8(c.error))) << error.toStdString();
    EXPECT_EQ(table, (Table{{"kept", "yes"}}));
  }
  for (const char* empty : {"", "  \n\t ", "/**/ // x\n"}) {
    Table table{{"old", "x"}};
    EXPECT_TRUE(StringsTable::Load(empty, &table)) << empty;
    EXPECT_TRUE(table.isEmpty()) << empty;
  }
}

// Translated texts are data: formatted by our own reader of the format, never by printf.
TEST(TextFormat, NumbersMatchTheCLibraryAndValuesComeOnlyFromTheArguments) {
  auto fmt = [](const char* format, const QVariantList& args) {
    return platform::FormatText(QString::fromUtf8(format), args).toStdString();
  };
  auto printf = [](const char* format, auto value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, value);
    return std::string(buffer);
  };
  for (double v : {999.0, 1.0, 1.5, -3.14159, 1234.5678}) {
    for (const char* f : {"%.0f byte", "%0.2f KB", "%08.3f", "%e", "%g"}) EXPECT_EQ(fmt(f, {v}), printf(f, v)) << f;
  }
  for (int v : {7, -42, 255}) {
    for (const char* f : {"%04d", "%+d", "%5d|", "%-5d|", "%.3d", "% i"}) EXPECT_EQ(fmt(f, {v}), printf(f, v)) << f;
  }
  for (const char* f : {"%x", "%#X", "%o"}) EXPECT_EQ(fmt(f, {255}), printf(f, 255)) << f;
  EXPECT_EQ(fmt("%lld|%lu", {qlonglong(-9000000000LL), qulonglong(4000000000ULL)}), "-9000000000|4000000000");
  const struct {
    const char* format;
    QVariantList args;
    const char* expected;
  } cases[] = {
      {"%@_%s", {QStringLiteral("Disk"), QStringLiteral("05-31-2013")}, "Disk_05-31-2013"},
      {"%2$@ before %1$@", {QStringLiteral("one"), QStringLiteral("two")}, "two before one"},
      {"%02d-%02d-%04d", {5, 31, 2013}, "05-31-2013"},
      {"100%% done", {}, "100% done"},
      {"%@ and %@", {QStringLiteral("one")}, "one and "},
      {"%s%s%s%s%s%n%p", {}, "%n%p"},
      {"%9$@", {QStringLiteral("x")}, ""},
      {"trailing %-0", {}, "trailing %-0"},
      {"\xC3\x80 propos de %@ \xE2\x80\xA6",
       {QString::fromUtf8("\xE6\x97\xA5")},
       "\xC3\x80 propos de \xE6\x97\xA5 \xE2\x80\xA6"},
      {"%c%c",
       {QStringLiteral("\u00e9"), 65},
       "\xC3\xA9"
       "A"},
  };
  for (const auto& c : cases) EXPECT_EQ(fmt(c.format, c.args), c.expected) << c.format;
  // A huge width or precision is capped instead of allocating gigabytes.
  EXPECT_EQ(platform::FormatText(QStringLiteral("%999999999d"), {1}).size(), 256);
  EXPECT_EQ(platform::FormatText(QStringLiteral("%.999999999f"), {1.0}).size(), 66);
}

}  // namespace
