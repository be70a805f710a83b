// The small windows' frame, the About window, the deep-scan bubble, the
// questions from string stems, the application menu and link opening.
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "KVWindowsTestSupport.h"
#include "QtTestSupport.h"
#include "UiTestSupport.h"
#include "app/KVAppDelegate.h"
#include "app/KVLinkUrl.h"
#include "platform/Localized.h"
#include "platform/Resources.h"
#include "platform/StringsTable.h"
#include "platform/UserDefaults.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KitModal.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/TCWindowButton.h"
#include "ui/windows/KVAboutWindowController.h"
#include "ui/windows/KVAlert.h"
#include "ui/windows/KVDeepScanViewController.h"
#include "ui/windows/KVMainMenu.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVUrlOpener.h"

namespace {

using windowtest::LinkTable;
using windowtest::UseLinkTable;

void ClickClose(TCImageWindow* window) {
  QTest::mouseClick(window->windowButton(static_cast<int>(TCWindowButton::Kind::Close)), Qt::LeftButton);
}

// The bar: the header image across it, the centred name on it; the window
// closes through its fade, once, and ends its modal run.
TEST(SmallWindow, TheBarTheFadeAndTheModalRun) {
  UseLinkTable(LinkTable(1, {}));
  KVSmallWindow window(QSize(300, 120), 13);
  EXPECT_EQ(window.size(), QSize(300, 142));
  EXPECT_EQ(window.titleLabel()->text(), QStringLiteral("Clipmender"));
  EXPECT_EQ(window.titleLabel()->geometry(), QRect(0, 3, 300, 17));
  // "pop_header_bg" runs from light grey at the top to a darker grey.
  const QColor top = uitest::ColorAt(&window, 290, 1), low = uitest::ColorAt(&window, 290, 19);
  EXPECT_TRUE(uitest::Near(top, QColor(0xdf, 0xe2, 0xe8), 8)) << qPrintable(top.name());
  EXPECT_TRUE(uitest::Near(low, QColor(0xc3, 0xc7, 0xd0), 8)) << qPrintable(low.name());
  EXPECT_TRUE(uitest::Near(uitest::ColorAt(&window, 150, 80), KitColors::kTitleBar));

  int closed = 0;
  window.setClosedHandler([&] { ++closed; });
  // Run modally; the close button ends the run through the fade.
  QTimer::singleShot(0, &window, [&] {
    EXPECT_EQ(KitModal::Depth(), 1);
    ClickClose(&window);
  });
  window.runModal();
  EXPECT_EQ(KitModal::Depth(), 0);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(closed, 1);

  // Escape closes too; a rewired close button calls its action instead.
  window.fadeIn();
  QTest::keyClick(&window, Qt::Key_Escape);
  QTRY_COMPARE(closed, 2);
  int rewired = 0;
  window.setCloseButtonAction([&] { ++rewired; });
  window.fadeIn();
  ClickClose(&window);
  QApplication::processEvents();
  EXPECT_EQ(rewired, 1);
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(closed, 2);
}

// The About window opens the English address when the language has none,
// and offers no link when there is no address at all.
TEST(AboutWindow, TheLinkOpensTheAboutPage) {
  UseLinkTable(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>en</key><dict><key>AboutURL</key><string>https://about.example/clipmender</string>
</dict><key>de</key><dict><key>HelpURL</key><string>https://help.example/de</string></dict></dict></plist>
)");
  platform::UserDefaults::Standard().SetPreferredLanguages({QStringLiteral("de")});
  windowtest::OpenedLinks links;
  {
    KVAboutWindowController about;
    KVSmallWindow* window = about.window();
    window->show();
    EXPECT_EQ(window->titleLabel()->text(), platform::Localized("WINDOW_TOP_TITLE"));
    EXPECT_EQ(about.nameLabel->text(), QStringLiteral("Clipmender"));
    EXPECT_TRUE(about.versionLabel->text().startsWith(QStringLiteral("Version ")));
    ASSERT_TRUE(about.aboutlink->isVisible());
    uitest::SaveArtifact(uitest::Grab(window), QStringLiteral("windows-about"));
    QTest::mouseClick(about.aboutlink, Qt::LeftButton);
    EXPECT_EQ(links.urls(), QList<QUrl>({QUrl(QStringLiteral("https://about.example/clipmender"))}));
    ClickClose(window);
    QTRY_VERIFY(!window->isVisible());
  }
  platform::UserDefaults::Standard().SetPreferredLanguages({});
  UseLinkTable(LinkTable(1, {{QStringLiteral("AboutURL"), QStringLiteral("javascript:alert(1)")}}));
  if (!KVLinkUrl::BuiltInUrl(QStringLiteral("AboutURL")).isEmpty()) GTEST_SKIP() << "this build names a web page";
  KVAboutWindowController bare;
  bare.window()->show();
  EXPECT_FALSE(bare.aboutlink->isVisible());
  bare.linkButtonAction();
  EXPECT_EQ(links.urls().size(), 1);
}

class HidingDelegate : public KVDeepScanViewControllerDelegate {
 public:
  void popupViewHidden() override { ++hidden; }
  int hidden = 0;
};

TEST(DeepScanPopover, TheTextAndTheCloseButton) {
  UseLinkTable(LinkTable(1, {}));
  KVDeepScanViewController popover;
  EXPECT_EQ(popover.deepScanNodeLabel->text(), platform::Localized("PAGE_FOUR_DEEPSCAN_NODE"));
  EXPECT_NE(popover.deepScanNodeLabel->text(), QStringLiteral("PAGE_FOUR_DEEPSCAN_NODE"));
  popover.view()->show();
  // Without a delegate the close button does nothing.
  QTest::mouseClick(popover.closeButton, Qt::LeftButton);
  HidingDelegate delegate;
  popover.setDelegate(&delegate);
  QTest::mouseClick(popover.closeButton, Qt::LeftButton);
  EXPECT_EQ(delegate.hidden, 1);
  uitest::SaveArtifact(uitest::Grab(popover.view()), QStringLiteral("windows-deepscan-popover"));
}

// A question asked inside one of our windows is a sheet on it; without one
// it comes in a window of its own, whose close answers "no".
TEST(Alert, SheetOnAWindowOrAWindowOfItsOwn) {
  UseLinkTable(LinkTable(1, {}));
  TCImageWindow window;
  window.show();
  int answer = -1;
  KitSheet* sheet = KVAlert::Begin(&window, QStringLiteral("PAGE_FOUR_SCAN_STOP"), [&](int code) { answer = code; });
  EXPECT_EQ(sheet->window(), &window);
  QTest::mouseClick(sheet->panel()->findChild<QPushButton*>(QStringLiteral("yesButton")), Qt::LeftButton);
  EXPECT_EQ(answer, 1);
  window.hide();

  for (const bool byClose : {false, true}) {
    answer = -1;
    sheet = KVAlert::Begin(nullptr, QStringLiteral("PAGE_FOUR_SCAN_STOP"), [&](int code) { answer = code; });
    QPointer<QWidget> own = sheet->window();
    ASSERT_NE(own, nullptr);
    EXPECT_NE(dynamic_cast<KVSmallWindow*>(own.data()), nullptr);
    EXPECT_TRUE(own->isVisible());
    EXPECT_EQ(own->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(sheet->panel()->findChild<QPushButton*>(QStringLiteral("yesButton"))->text(),
              platform::Localized("PAGE_FOUR_SCAN_STOP_YES_BUTTON"));
    if (byClose) {
      ClickClose(static_cast<TCImageWindow*>(own.data()));
    } else {
      QTest::mouseClick(sheet->panel()->findChild<QPushButton*>(QStringLiteral("noButton")), Qt::LeftButton);
    }
    QTRY_VERIFY(own.isNull());  // closed and gone
    EXPECT_EQ(answer, 0);
  }
}

// In every shipped language, no question shows a button's text or a line of
// its texts cut: each stem's sheet, on a window and in a window of its own,
// and the three-button question about saving onto the scanned disk.
TEST(Alert, ButtonsAndTextsShowWholeInEveryLanguage) {
  UseLinkTable(LinkTable(1, {}));
  TCImageWindow window;
  window.resize(1000, 640);
  window.show();
  const QString strings = windowtest::SourceDir() + QStringLiteral("/resources/strings");
  const QStringList languages = QDir(strings).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  ASSERT_FALSE(languages.isEmpty());
  for (const QString& language : languages) {
    platform::UserDefaults::Standard().SetPreferredLanguages({language});
    platform::Resources::ReloadStrings();
    ASSERT_EQ(platform::Resources::Localization(), language);
    QFile file(strings + QLatin1Char('/') + language + QStringLiteral("/Localizable.strings"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QHash<QString, QString> table;
    ASSERT_TRUE(platform::StringsTable::Load(file.readAll(), &table, nullptr));
    int asked = 0;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
      if (!it.key().endsWith(QLatin1String("_YES_BUTTON"))) continue;
      const QString stem = it.key().chopped(int(qstrlen("_YES_BUTTON")));
      const bool withNo = table.contains(stem + QLatin1String("_NO_BUTTON"));
      // On a window, and in a window of its own: every line of its texts
      // shows too.
      for (TCImageWindow* host : {&window, static_cast<TCImageWindow*>(nullptr)}) {
        KitSheet* sheet = KVAlert::Begin(
            host, stem, [](int) {}, withNo);
        EXPECT_EQ(windowtest::CutButtons(sheet->panel()).join(u'|'), QString()) << qPrintable(language + ": " + stem);
        EXPECT_TRUE(windowtest::CutTexts(sheet->panel()).isEmpty()) << qPrintable(language + ": " + stem);
        sheet->end(0);
      }
      ++asked;
    }
    EXPECT_GT(asked, 5) << qPrintable(language);
    KitSheet* sheet = KVAlert::BeginWithTexts(
        nullptr, platform::Localized("SAVE_SAME_DISK_WARNING"), platform::Localized("SAVE_SAME_DISK_PROMPT"),
        platform::Localized("CHANG_DESTINATION"), platform::Localized("PAGE_FOUR_SCAN_STOP_NO_BUTTON"), [](int) {},
        platform::Localized("PAGE_FOUR_SCAN_STOP_YES_BUTTON"));
    EXPECT_EQ(sheet->panel()->findChildren<QPushButton*>().size(), 3);
    EXPECT_EQ(windowtest::CutButtons(sheet->panel()).join(u'|'), QString()) << qPrintable(language);
    EXPECT_TRUE(windowtest::CutTexts(sheet->panel()).isEmpty()) << qPrintable(language);
    sheet->end(0);
    qttest::PumpPending();
  }
  platform::UserDefaults::Standard().SetPreferredLanguages({});
  platform::Resources::ReloadStrings();
}

// The menu's titles come from the table; its items reach the delegate.
TEST(MainMenu, TitlesAndActions) {
  UseLinkTable(LinkTable(1, {{QStringLiteral("HelpURL"), QStringLiteral("https://help.example/")}}));
  windowtest::OpenedLinks links;
  int about = 0, closed = 0;
  KVAppDelegate::Hooks hooks;
  hooks.showAboutWindow = [&] { ++about; };
  hooks.openUrl = [](const QUrl& url) { KVUrlOpener::Open(url); };
  hooks.closeApp = [&] { ++closed; };
  KVAppDelegate delegate(hooks);
  TCImageWindow window;
  KVMainMenu menu(&delegate, &window);
  window.show();
  EXPECT_EQ(menu.menuBar()->parentWidget(), static_cast<QWidget*>(window.titleBarView()));
  EXPECT_EQ(menu.application->title(), QStringLiteral("Clipmender"));
  EXPECT_EQ(menu.aWindow->title(), platform::Localized("MENU_WINDOW"));
  EXPECT_EQ(menu.help->title(), platform::Localized("MENU_HELP"));
  EXPECT_EQ(menu.about->text(), QStringLiteral("About Clipmender"));
  EXPECT_EQ(menu.exit->text(), platform::Localized("MENU_EXIT"));
  menu.about->trigger();
  EXPECT_EQ(about, 1);
  if (KVLinkUrl::BuiltInUrl(QStringLiteral("IniURL")).isEmpty()) {
    EXPECT_FALSE(menu.checkUpdate->isEnabled());
  }
  ASSERT_TRUE(menu.onlineHelp->isEnabled());
  menu.supportCenter->trigger();
  EXPECT_EQ(links.urls(), QList<QUrl>({QUrl(QStringLiteral("https://help.example/"))}));
  // Nothing runs: Quit ends the application at once.
  menu.exit->trigger();
  EXPECT_EQ(closed, 1);
  uitest::SaveArtifact(uitest::Grab(&window), QStringLiteral("windows-main-menu"));
}

TEST(UrlOpener, OnlyWebAddressesAndFilesAndAsTheInvokingUser) {
  windowtest::Start();
  windowtest::OpenedLinks links;
  for (const char* refused : {"", "javascript:alert(1)", "https://", "ftp://example.com/x", "mailto:a@example.com"})
    EXPECT_FALSE(KVUrlOpener::Open(QUrl(QString::fromLatin1(refused)))) << refused;
  EXPECT_TRUE(KVUrlOpener::Open(QUrl(QStringLiteral("https://example.com/a b"))));
  EXPECT_TRUE(KVUrlOpener::Open(QUrl::fromLocalFile(QStringLiteral("/tmp"))));
  EXPECT_EQ(links.urls().size(), 2);

  // Root acting for "nobody" (65534 on Debian) opens as that user.
  const QUrl url(QStringLiteral("https://example.com/?q=a&b"));
  QProcessEnvironment environment;
  environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":3"));
  environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/root/bus"));
  KVUrlOpener::Command command;
  ASSERT_TRUE(KVUrlOpener::CommandForUser(url, 0, 65534, environment, &command));
  EXPECT_EQ(command.program, QStringLiteral("runuser"));
  EXPECT_EQ(command.arguments, QStringList({QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
                                            QStringLiteral("xdg-open"), url.toString(QUrl::FullyEncoded)}));
  EXPECT_EQ(command.environment.value(QStringLiteral("DISPLAY")), QStringLiteral(":3"));
  EXPECT_NE(command.environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")),
            QStringLiteral("unix:path=/root/bus"));
  // Not root, acting for root, or for nobody known: the desktop's own way.
  EXPECT_FALSE(KVUrlOpener::CommandForUser(url, 1000, 65534, environment, &command));
  EXPECT_FALSE(KVUrlOpener::CommandForUser(url, 0, 0, environment, &command));
  EXPECT_FALSE(KVUrlOpener::CommandForUser(url, 0, -1, environment, &command));
  EXPECT_FALSE(KVUrlOpener::CommandForUser(url, 0, 4000000000, environment, &command));
}

}  // namespace
