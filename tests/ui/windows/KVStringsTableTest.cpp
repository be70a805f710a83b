// The string tables against the sources: every key the application core and
// the windows name has an English text, every format takes as many values as
// its callers give it, and translations keep English's conversions.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include "KVWindowsTestSupport.h"
#include "platform/StringsTable.h"

namespace {

QHash<QString, QString> Table(const QString& language) {
  QFile file(windowtest::SourceDir() + QStringLiteral("/resources/strings/%1/Localizable.strings").arg(language));
  QHash<QString, QString> table;
  QString error;
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << qPrintable(file.fileName());
  EXPECT_TRUE(platform::StringsTable::Load(file.readAll(), &table, &error)) << qPrintable(error);
  return table;
}

// The conversions of a format as FormatText reads them ("%%" is none).
QStringList Conversions(const QString& text) {
  static const QRegularExpression conversion(
      QStringLiteral(R"(%%|%(?:\d+\$)?[-0+ #]*\d*(?:\.\d+)?(?:hh|h|ll|l|q|z|j|L|t)?[@sdiuxXofFeEgGc])"));
  QStringList out;
  for (auto it = conversion.globalMatch(text); it.hasNext();) {
    const QString match = it.next().captured();
    if (match != QLatin1String("%%")) out << match;
  }
  return out;
}

struct Source {
  QString path;
  QString text;
};

// Every source of the application core and the user interface (programs
// included, tests not).
QList<Source> Sources() {
  QList<Source> sources;
  for (const char* folder : {"app", "ui"}) {
    QDirIterator it(windowtest::SourceDir() + QLatin1Char('/') + QLatin1String(folder),
                    {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      QFile file(it.next());
      if (file.open(QIODevice::ReadOnly)) sources.push_back({file.fileName(), QString::fromUtf8(file.readAll())});
    }
  }
  return sources;
}

// How many values a braced list holds: commas at its own level, outside
// strings, plus one ("{}" holds none). `at` is just past the "{".
int ValuesInBraces(const QString& text, qsizetype at, bool* closed) {
  int depth = 0, commas = 0;
  bool any = false;
  for (qsizetype i = at; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'"') {
      for (++i; i < text.size() && text[i] != u'"'; ++i) {
        if (text[i] == u'\\') ++i;
      }
      any = true;
      continue;
    }
    if (c == u'(' || c == u'{' || c == u'[') ++depth;
    if (c == u')' || c == u']') --depth;
    if (c == u'}') {
      if (depth-- == 0) {
        *closed = true;
        return any ? commas + 1 : 0;
      }
    }
    if (c == u',' && depth == 0) ++commas;
    if (!c.isSpace()) any = true;
  }
  *closed = false;
  return -1;
}

// Environment variable names look like keys; they appear next to the calls
// that read or set them.
bool IsEnvironmentLine(const QString& text, qsizetype at) {
  const qsizetype start = text.lastIndexOf(u'\n', at) + 1;
  const qsizetype end = text.indexOf(u'\n', at);
  const QString line = text.mid(start, end < 0 ? -1 : end - start);
  return line.contains(QLatin1String("env"), Qt::CaseInsensitive) || line.contains(QLatin1String("_UID\""));
}

TEST(StringsTable, EveryKeyTheSourcesNameHasAnEnglishText) {
  windowtest::Start();
  const QHash<QString, QString> english = Table(QStringLiteral("en"));
  ASSERT_GT(english.size(), 80);
  static const QRegularExpression keyShaped(QStringLiteral(R"re("([A-Z][A-Z0-9]*(?:_[A-Z0-9]+)+)")re"));
  // Anything handed to a localising call is a key, whatever its shape.
  static const QRegularExpression handed(
      QStringLiteral(R"re(\bLocalized(?:String|Format)?\(\s*(?:QStringLiteral\(|QLatin1String\()?"([^"]+)")re"));
  int keys = 0;
  for (const Source& source : Sources()) {
    for (const QRegularExpression* pattern : {&keyShaped, &handed}) {
      for (auto it = pattern->globalMatch(source.text); it.hasNext();) {
        const auto match = it.next();
        const QString key = match.captured(1);
        if (pattern == &keyShaped && IsEnvironmentLine(source.text, match.capturedStart())) continue;
        ++keys;
        // A stem names the four texts of a question.
        const bool stem = english.contains(key + QLatin1String("_TITLE")) &&
                          english.contains(key + QLatin1String("_NODE")) &&
                          english.contains(key + QLatin1String("_YES_BUTTON"));
        EXPECT_TRUE(english.contains(key) || stem) << qPrintable(key) << " in " << qPrintable(source.path);
      }
    }
  }
  EXPECT_GT(keys, 30);
}

TEST(StringsTable, FormatsTakeAsManyValuesAsTheirCallersGive) {
  windowtest::Start();
  const QHash<QString, QString> english = Table(QStringLiteral("en"));
  static const QRegularExpression format(QStringLiteral(R"re(\bLocalizedFormat\(\s*"([^"]+)"\s*,\s*\{)re"));
  static const QRegularExpression plain(QStringLiteral(R"re(\bLocalized\(\s*"([^"]+)"\s*\))re"));
  int calls = 0;
  for (const Source& source : Sources()) {
    for (auto it = format.globalMatch(source.text); it.hasNext();) {
      const auto match = it.next();
      bool closed = false;
      const int values = ValuesInBraces(source.text, match.capturedEnd(), &closed);
      ASSERT_TRUE(closed) << qPrintable(source.path);
      ++calls;
      EXPECT_EQ(Conversions(english.value(match.captured(1))).size(), values)
          << qPrintable(match.captured(1)) << " in " << qPrintable(source.path);
    }
    for (auto it = plain.globalMatch(source.text); it.hasNext();) {
      const QString key = it.next().captured(1);
      ++calls;
      EXPECT_TRUE(Conversions(english.value(key)).isEmpty())
          << qPrintable(key) << " is a format but is shown as it stands in " << qPrintable(source.path);
    }
  }
  EXPECT_GT(calls, 20);
}

// A type row's name tells its category, so the six names must differ.
TEST(StringsTable, TheCategoryNamesDiffer) {
  windowtest::Start();
  const QHash<QString, QString> english = Table(QStringLiteral("en"));
  QSet<QString> categories;
  for (const char* key : {"PAGE_TWO_PICTURE_TITLE", "PAGE_TWO_MUSIC_TITLE", "PAGE_TWO_MOVIE_TITLE",
                          "PAGE_TWO_ARCHIVE_TITLE", "PAGE_TWO_DOCUMENT_TITLE", "PAGE_TWO_OTHER_TITLE"})
    categories << english.value(QString::fromLatin1(key));
  EXPECT_EQ(categories.size(), 6);
}

}  // namespace
