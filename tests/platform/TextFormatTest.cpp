#include "platform/TextFormat.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using platform::FormatText;

std::string Fmt(const char* format, const QVariantList& args) {
  return FormatText(QString::fromUtf8(format), args).toStdString();
}

// What the C library prints for the same format and value.
template <typename T>
std::string Printf(const char* format, T value) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

TEST(TextFormat, ObjectsAndStringsAreInserted) {
  EXPECT_EQ(Fmt("About %@", {QStringLiteral("Clipmender")}), "About Clipmender");
  EXPECT_EQ(Fmt("%@_%s", {QStringLiteral("Disk"), QStringLiteral("05-31-2013 at 23_59_58")}),
            "Disk_05-31-2013 at 23_59_58");
  EXPECT_EQ(Fmt("%2$@ before %1$@", {QStringLiteral("one"), QStringLiteral("two")}), "two before one");
  EXPECT_EQ(Fmt("100%% done", {}), "100% done");
}

TEST(TextFormat, NumbersMatchTheCLibrary) {
  EXPECT_EQ(Fmt("%.0f byte", {999.0}), Printf("%.0f byte", 999.0));
  EXPECT_EQ(Fmt("%0.2f KB", {1.0}), Printf("%0.2f KB", 1.0));
  EXPECT_EQ(Fmt("%0.2f MB", {1.5}), Printf("%0.2f MB", 1.5));
  EXPECT_EQ(Fmt("%04d", {7}), Printf("%04d", 7));
  EXPECT_EQ(Fmt("%02d-%02d-%04d", {5, 31, 2013}), "05-31-2013");
  EXPECT_EQ(Fmt("%d", {-42}), Printf("%d", -42));
  EXPECT_EQ(Fmt("%+d", {42}), Printf("%+d", 42));
  EXPECT_EQ(Fmt("%5d|%-5d|", {42, 42}), "   42|42   |");
  EXPECT_EQ(Fmt("%lld", {qlonglong(-9000000000LL)}), Printf("%lld", -9000000000LL));
  EXPECT_EQ(Fmt("%lu", {qulonglong(4000000000ULL)}), Printf("%lu", 4000000000UL));
  EXPECT_EQ(Fmt("%x %X %#x %o", {255, 255, 255, 8}), "ff FF 0xff 10");
  EXPECT_EQ(Fmt("%08.3f", {-3.14159}), Printf("%08.3f", -3.14159));
  EXPECT_EQ(Fmt("%.3d", {7}), Printf("%.3d", 7));
}

TEST(TextFormat, MissingValuesAndUnknownConversionsAreHarmless) {
  EXPECT_EQ(Fmt("%@ and %@", {QStringLiteral("one")}), "one and ");
  EXPECT_EQ(Fmt("%s%s%s%s%s%n%p", {}), "%n%p");
  EXPECT_EQ(Fmt("%9$@", {QStringLiteral("x")}), "");
  EXPECT_EQ(Fmt("trailing %", {}), "trailing %");
  EXPECT_EQ(Fmt("trailing %-0", {}), "trailing %-0");
  // A huge width is capped instead of allocating gigabytes.
  EXPECT_EQ(FormatText(QStringLiteral("%999999999d"), {1}).size(), 256);
  EXPECT_EQ(FormatText(QStringLiteral("%.999999999f"), {1.0}).size(), 66);
}

TEST(TextFormat, NonAsciiFormatsAndValuesSurvive) {
  EXPECT_EQ(Fmt("\xC3\x80 propos de %@ \xE2\x80\xA6", {QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC")}),
            "\xC3\x80 propos de \xE6\x97\xA5\xE6\x9C\xAC \xE2\x80\xA6");
  EXPECT_EQ(Fmt("%c%c", {QStringLiteral("\u00e9"), 65}),
            "\xC3\xA9"
            "A");
}

}  // namespace
