#include "platform/TextFormat.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Fmt(const char* format, const QVariantList& args) {
  return platform::FormatText(QString::fromUtf8(format), args).toStdString();
}

template <typename T>
std::string Printf(const char* format, T value) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

TEST(TextFormat, NumbersMatchTheCLibrary) {
  for (double v : {999.0, 1.0, 1.5, -3.14159, 1234.5678}) {
    for (const char* f : {"%.0f byte", "%0.2f KB", "%08.3f", "%e", "%g"}) EXPECT_EQ(Fmt(f, {v}), Printf(f, v)) << f;
  }
  for (int v : {7, -42, 42, 255}) {
    for (const char* f : {"%04d", "%d", "%+d", "%5d|", "%-5d|", "%.3d", "% i"}) EXPECT_EQ(Fmt(f, {v}), Printf(f, v)) << f;
  }
  for (int v : {7, 255}) {
    for (const char* f : {"%x", "%#X", "%o"}) EXPECT_EQ(Fmt(f, {v}), Printf(f, v)) << f;
  }
  EXPECT_EQ(Fmt("%lld", {qlonglong(-9000000000LL)}), Printf("%lld", -9000000000LL));
  EXPECT_EQ(Fmt("%lu", {qulonglong(4000000000ULL)}), Printf("%lu", 4000000000UL));
}

TEST(TextFormat, ValuesComeOnlyFromTheArguments) {
  const struct {
    const char* format;
    QVariantList args;
    const char* expected;
  } cases[] = {
      {"About %@", {QStringLiteral("Clipmender")}, "About Clipmender"},
      {"%@_%s", {QStringLiteral("Disk"), QStringLiteral("05-31-2013")}, "Disk_05-31-2013"},
      {"%2$@ before %1$@", {QStringLiteral("one"), QStringLiteral("two")}, "two before one"},
      {"%02d-%02d-%04d", {5, 31, 2013}, "05-31-2013"},
      {"100%% done", {}, "100% done"},
      {"%@ and %@", {QStringLiteral("one")}, "one and "},
      {"%s%s%s%s%s%n%p", {}, "%n%p"},
      {"%9$@", {QStringLiteral("x")}, ""},
      {"trailing %-0", {}, "trailing %-0"},
      {"\xC3\x80 propos de %@ \xE2\x80\xA6", {QString::fromUtf8("\xE6\x97\xA5")}, "\xC3\x80 propos de \xE6\x97\xA5 \xE2\x80\xA6"},
      {"%c%c", {QStringLiteral("\u00e9"), 65}, "\xC3\xA9" "A"},
  };
  for (const auto& c : cases) EXPECT_EQ(Fmt(c.format, c.args), c.expected) << c.format;
  // A huge width or precision is capped instead of allocating gigabytes.
  EXPECT_EQ(platform::FormatText(QStringLiteral("%999999999d"), {1}).size(), 256);
  EXPECT_EQ(platform::FormatText(QStringLiteral("%.999999999f"), {1.0}).size(), 66);
}

}  // namespace
