// The image registry and the art compiled into it.
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/widgets/KitImages.h"

namespace {

int g_messages = 0;
void CountMessages(QtMsgType, const QMessageLogContext&, const QString&) { ++g_messages; }

TEST(KitImagesTest, UnknownAndBlankNamesGiveNullImagesSilently) {
  uitest::App();
  g_messages = 0;
  const QtMessageHandler previous = qInstallMessageHandler(CountMessages);
  for (const char* name : {"", " ", "no_such_image", "../images/logo", "checkbox_yes/..", "start"}) {
    EXPECT_TRUE(KitImages::Named(QString::fromLatin1(name)).isNull()) << name;
    EXPECT_FALSE(KitImages::Exists(QString::fromLatin1(name))) << name;
  }
  qInstallMessageHandler(previous);
  EXPECT_EQ(g_messages, 0);
}

TEST(KitImagesTest, NamesMayCarryAnExtensionAndImagesKeepTheirDrawnSize) {
  uitest::App();
  EXPECT_EQ(KitImages::Named(QStringLiteral("usb.png")).deviceIndependentSize(), QSizeF(16, 16));
  EXPECT_FALSE(KitImages::Named(QStringLiteral("loading.gif")).isNull());
  EXPECT_EQ(KitImages::Named(QStringLiteral("warning_b")).deviceIndependentSize(), QSizeF(64, 64));
  // An image made at run time hides the compiled-in one until removed.
  KitImages::Insert(QStringLiteral("logo"), uitest::Solid(QSize(3, 3), Qt::red));
  EXPECT_EQ(KitImages::Named(QStringLiteral("logo")).size(), QSize(3, 3));
  KitImages::Remove(QStringLiteral("logo"));
  EXPECT_EQ(KitImages::Named(QStringLiteral("logo")).deviceIndependentSize(), QSizeF(64, 64));
}

// Every drawing loads, and every stem has its four states.
TEST(KitImagesTest, EveryImageLoadsAndStemsAreComplete) {
  uitest::App();
  const QStringList names = KitImages::AllNames();
  ASSERT_GT(names.size(), 100);
  for (const QString& name : names) {
    const QImage image = KitImages::Named(name).toImage();
    ASSERT_FALSE(image.isNull()) << qPrintable(name);
    bool drawn = false;  // a blank drawing is as bad as a missing one
    for (int y = 0; y < image.height() && !drawn; ++y) {
      for (int x = 0; x < image.width() && !drawn; ++x) drawn = qAlpha(image.pixel(x, y)) != 0;
    }
    EXPECT_TRUE(drawn) << qPrintable(name);
    // Only button stems have a disabled look ("search_normal" is a single).
    for (const char* state : {"_normal", "_press", "_hover"}) {
      if (!name.endsWith(QLatin1String("_disable"))) continue;
      const QString sibling = name.chopped(8) + QLatin1String(state);
      EXPECT_TRUE(KitImages::Exists(sibling)) << qPrintable(sibling);
    }
  }
}

// Every literal image name the user interface's sources hand to the registry
// (directly, as a button's four names, or as a stem) exists.
TEST(KitImagesTest, EveryImageTheSourcesNameExists) {
  uitest::App();
  const QString root = qEnvironmentVariable("CLIPMENDER_SOURCE_DIR") + QStringLiteral("/ui");
  const QString literal =
      QStringLiteral(R"re((?:QStringLiteral\(|QLatin1String\(|QString::fromLatin1\()?"([^"]*)"\)?)re");
  const QRegularExpression single(QStringLiteral(R"(\b(Named|Exists|setImageStem|StemNames)\(\s*)") + literal);
  const QRegularExpression four(QStringLiteral(R"(\bsetImageFromFileNormalName\(\s*)") + literal +
                                QStringLiteral(R"(\s*,\s*)") + literal + QStringLiteral(R"(\s*,\s*)") + literal +
                                QStringLiteral(R"(\s*,\s*)") + literal);
  QSet<QString> names;
  QDirIterator it(root, {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFile file(it.next());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    for (auto m = single.globalMatch(text); m.hasNext();) {
      const auto match = m.next();
      if (match.captured(1) == QLatin1String("setImageStem") || match.captured(1) == QLatin1String("StemNames")) {
        const KitImages::Stem stem = KitImages::StemNames(match.captured(2));
        names << stem.normal << stem.press << stem.hover << stem.disable;
      } else {
        names << match.captured(2);
      }
    }
    for (auto m = four.globalMatch(text); m.hasNext();) {
      const auto match = m.next();
      for (int i = 1; i <= 4; ++i) names << match.captured(i);
    }
  }
  ASSERT_FALSE(names.isEmpty()) << "no image names found under " << qPrintable(root);
  for (const QString& name : names) {
    if (name.trimmed().isEmpty()) continue;  // the deliberate "no image"
    EXPECT_TRUE(KitImages::Exists(name)) << qPrintable(name);
  }
}

// The images the windows' layouts name, which the windows will ask for.
TEST(KitImagesTest, TheWindowsImagesAreDrawn) {
  uitest::App();
  const char* stems[] = {
      "import",          "start",      "icon_graphics", "icon_audio",     "icon_video", "icon_archive",
      "icon_document",   "icon_other", "back",          "continue",       "home",       "deepscan",
      "pause",           "play",       "stop",          "botton_recover", "export",     "window_close",
      "window_minimise", "window_zoom"};
  for (const char* stem : stems) {
    EXPECT_TRUE(KitImages::Exists(KitImages::StemNames(QString::fromLatin1(stem)).normal)) << stem;
  }
  const char* singles[] = {"pop_header_bg",
                           "warning_b",
                           "checkbox_no",
                           "checkbox_yes",
                           "checkbox_election",
                           "search_normal",
                           "loading.png",
                           "loading.gif",
                           "logo",
                           "view_bg_normal",
                           "view_bg_press",
                           "deletered",
                           "progress_bar_bg",
                           "schedule_bg",
                           "text_bg",
                           "bg_tab",
                           "bg_150",
                           "BackgroundDust",
                           "list_focus",
                           "list_no_hover",
                           "preview_focus",
                           "preview_no_hover",
                           "mirror_image",
                           "usb.png",
                           "select",
                           "NSAscendingSortIndicator",
                           "NSDescendingSortIndicator",
                           "del_normal",
                           "del_press"};
  for (const char* name : singles) EXPECT_TRUE(KitImages::Exists(QString::fromLatin1(name))) << name;
  for (int i = 0; i <= 10; ++i) EXPECT_TRUE(KitImages::Exists(QStringLiteral("%1IconImage").arg(i))) << i;
}

}  // namespace
