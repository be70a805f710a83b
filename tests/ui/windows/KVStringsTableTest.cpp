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
  // The formats of the windows still to come take what their callers will give.
  const struct {
    const char* key;
    int values;
  } formats[] = {{"PAGE_FOUR_REMAININGTIME", 1}, {"PAGE_FOUR_FILESFOUND", 1},          {"PAGE_FOUR_ALL_FILES_SIZE", 2},
                 {"PAGE_FOUR_SELECT_FILES", 2},  {"PAGE_FOUR_RECOVER_NOTEND_NODE", 1}, {"MENU_ABOUT_NAME", 1}};
  for (const auto& f : formats)
    EXPECT_EQ(Conversions(english.value(QString::fromLatin1(f.key))).size(), f.values) << f.key;
}

// The keys the windows' layouts name, built or still to be built, and the
// stems of their questions.
TEST(StringsTable, EveryTextTheWindowsNameIsThere) {
  windowtest::Start();
  const QHash<QString, QString> english = Table(QStringLiteral("en"));
  const char* keys[] = {"WINDOW_TOP_TITLE",
                        "PAGE_TWO_IMPORT_BUTTON_TIP",
                        "PAGE_TWO_MIDLLE_STRING",
                        "PAGE_TWO_ALLTYPES",
                        "PAGE_THREE_MIDLLE_STRING",
                        "PAGE_THREE_TABLEVIEW_DRIVES",
                        "PAGE_THREE_TABLEVIEW_SIZE",
                        "PAGE_THREE_TABLEVIEW_FILESYSTEM",
                        "SAVE_SCAN_RESULT",
                        "SAVE_RESULT_WAIT",
                        "LOAD_SCAN_RESULT",
                        "LOAD_RESULT_WAIT",
                        "READ_RSF_FAILED",
                        "PAGE_FOUR_DEEPSCAN_NODE",
                        "PAGE_FOUR_SELECT_TYPE_BUTTON_TYPE",
                        "PAGE_FOUR_SELECT_TYPE_BUTTON_PATH",
                        "PAGE_FOUR_SELECT_TYPE_BUTTON_CREATTIME",
                        "PAGE_FOUR_SELECT_TYPE_BUTTON_MODIFYTIME",
                        "PAGE_FOUR_BACKHOME_BUTTON",
                        "PAGE_FOUR_DEEPSCAN_BUTTON",
                        "PAGE_FOUR_RECOVERY_BUTTON",
                        "PAGE_FOUR_SAVE_BUTTON_TIP",
                        "SAVE_SAME_DISK_WARNING",
                        "SAVE_SAME_DISK_PROMPT",
                        "CHANG_DESTINATION",
                        "PAGE_FOUR_RECOVERY_NODE",
                        "PAGE_FOUR_RECOVERY_WINDOW_SAVE_BUTTON",
                        "PAGE_FOUR_NO_VALUE_NOTE",
                        "PAGE_FOUR_RECOVER_PROGRESS_TITLE",
                        "PAGE_FOUR_RECOVER_END_TITLE",
                        "PAGE_FOUR_RECOVER_END_NODE",
                        "PAGE_FOUR_RECOVERY_STOP_BUTTON",
                        "MENU_WINDOW",
                        "MENU_HELP",
                        "MENU_CHECK_UPDTE",
                        "MENU_HIDEN_SELF",
                        "MENU_HIDEN_OTHER",
                        "MENU_SHOW_ALL",
                        "MENU_EXIT",
                        "MENU_MAXIMIZE",
                        "MENU_MINIMIZE",
                        "MENU_ONLINE_HELP",
                        "MENU_SUPPORT_CENTER",
                        "USB Bus",
                        "USB 2.0 Bus"};
  for (const char* key : keys) EXPECT_FALSE(english.value(QString::fromLatin1(key)).isEmpty()) << key;
  for (const char* stem : {"PAGE_FOUR_SCAN_STOP", "PAGE_FOUR_SCAN_BACKHOME", "PAGE_FOUR_SAVE_SAME_PATH",
                           "PAGE_FOUR_RECOVERY_NO_SPACE", "PAGE_FOUR_RECOVERY_STOP"}) {
    for (const char* end : {"_TITLE", "_NODE", "_YES_BUTTON", "_NO_BUTTON"})
      EXPECT_TRUE(english.contains(QString::fromLatin1(stem) + QLatin1String(end))) << stem << end;
  }
  // The six category names tell a type row's category, so they must differ.
  QSet<QString> categories;
  for (const char* key : {"PAGE_TWO_PICTURE_TITLE", "PAGE_TWO_MUSIC_TITLE", "PAGE_TWO_MOVIE_TITLE",
                          "PAGE_TWO_ARCHIVE_TITLE", "PAGE_TWO_DOCUMENT_TITLE", "PAGE_TWO_OTHER_TITLE"})
    categories << english.value(QString::fromLatin1(key));
  EXPECT_EQ(categories.size(), 6);
}

TEST(StringsTable, TranslationsKeepTheConversionsOfEnglish) {
  windowtest::Start();
  const QHash<QString, QString> english = Table(QStringLiteral("en"));
  const QDir strings(windowtest::SourceDir() + QStringLiteral("/resources/strings"));
  for (const QString& language : strings.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QHash<QString, QString> table = Table(language);
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
      ASSERT_TRUE(english.contains(it.key())) << qPrintable(language) << ": " << qPrintable(it.key());
      QStringList ours = Conversions(it.value()), theirs = Conversions(english.value(it.key()));
      // Numbered conversions may come in another order.
      static const QRegularExpression position(QStringLiteral(R"(^%\d+\$)"));
      for (QStringList* list : {&ours, &theirs}) {
        for (QString& c : *list) c.replace(position, QStringLiteral("%"));
        list->sort();
      }
      EXPECT_EQ(ours, theirs) << qPrintable(language) << ": " << qPrintable(it.key());
    }
  }
}

}  // namespace
