// The update window against a web server on 127.0.0.1: the up-to-date pane,
// the new version with its notes numbered from the top, the no-network pane
// without a server or with an unusable list; and the wizard after a window
// the start-up check opened, however it closes.
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

#include "KVWindowsTestSupport.h"
#include "QtTestSupport.h"
#include "UiTestSupport.h"
#include "app/KVLinkUrl.h"
#include "ui/widgets/TCWindowButton.h"
#include "ui/windows/KVCheckUpdateWindowController.h"
#include "ui/windows/KVSmallWindow.h"

namespace {

using windowtest::LinkTable;

QByteArray RemoteList(const QByteArray& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
}

// The pane the window shows; the four must never show together.
QWidget* ShownPane(const KVCheckUpdateWindowController& c) {
  QWidget* shown = nullptr;
  for (QWidget* pane : {c.checkProgressView, c.noNetworkView, c.noUpdateView, c.haveUpdateView}) {
    if (!pane->isVisible()) continue;
    EXPECT_EQ(shown, nullptr) << "two panes at once";
    shown = pane;
  }
  return shown;
}

// The note fields from top to bottom.
QList<QLabel*> Notes(const KVCheckUpdateWindowController& c) {
  QList<QLabel*> notes = c.showVersionScrollView->findChildren<QLabel*>();
  std::sort(notes.begin(), notes.end(), [](QLabel* a, QLabel* b) { return a->y() < b->y(); });
  return notes;
}

class UpdateWindow : public ::testing::Test {
 protected:
  // Points "IniURL" at `path` of the test server (VersionCheck 5 here) and
  // opens the window; answers once it has left the checking pane.
  std::unique_ptr<KVCheckUpdateWindowController> Open(const QUrl& url) {
    windowtest::UseLinkTable(LinkTable(5, {{QStringLiteral("IniURL"), url.toString()},
                                           {QStringLiteral("UpdateURL"), QStringLiteral("https://get.example/new")}}));
    auto controller = std::make_unique<KVCheckUpdateWindowController>();
    controller->window()->show();
    EXPECT_EQ(ShownPane(*controller), controller->checkProgressView);
    qttest::PumpUntil([&] { return !controller->checkProgressView->isVisible(); }, 30);
    return controller;
  }
  const bool started_ = (windowtest::Start(), true);  // the QApplication before the server
  qttest::HttpServer server_;
};

TEST_F(UpdateWindow, TheSameVersionIsUpToDate) {
  server_.Answer("/same", "200 OK", RemoteList("<key>VersionCheck</key><integer>5</integer>"));
  auto c = Open(server_.Url(QStringLiteral("/same")));
  EXPECT_EQ(ShownPane(*c), c->noUpdateView);
  uitest::SaveArtifact(uitest::Grab(c->window()), QStringLiteral("windows-update-up-to-date"));
}

TEST_F(UpdateWindow, ANewerVersionShowsItsNotesNumberedFromTheTop) {
  server_.Answer("/new", "200 OK",
                 RemoteList("<key>VersionCheck</key><integer>6</integer><key>Version</key><string>2.0</string>"
                            "<key>2</key><string>Second: a note long enough to need two lines in the narrow field "
                            "of the update window, and then some more words.</string>"
                            "<key>1</key><string>First</string><key>3</key><string>&lt;b&gt;not bold&lt;/b&gt;"
                            "</string>"));
  windowtest::OpenedLinks links;
  auto c = Open(server_.Url(QStringLiteral("/new")));
  ASSERT_EQ(ShownPane(*c), c->haveUpdateView);
  EXPECT_EQ(c->versionLabel->text(), QStringLiteral("Version 2.0:"));
  const QList<QLabel*> notes = Notes(*c);
  ASSERT_EQ(notes.size(), 3);
  EXPECT_EQ(notes[0]->text(), QStringLiteral("1:First"));
  EXPECT_TRUE(notes[1]->text().startsWith(QStringLiteral("2:Second")));
  EXPECT_EQ(notes[2]->text(), QStringLiteral("3:<b>not bold</b>"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(notes[i]->textFormat(), Qt::PlainText);
    EXPECT_GE(notes[i]->height(), 25);
    if (i > 0) {
      EXPECT_GE(notes[i]->y(), notes[i - 1]->y() + notes[i - 1]->height());
    }
  }
  EXPECT_GT(notes[1]->height(), notes[0]->height());  // the long note wraps
  EXPECT_EQ(c->changeValueScrollView->verticalScrollBar()->value(), 0);
  uitest::SaveArtifact(uitest::Grab(c->window()), QStringLiteral("windows-update-new-version"));
  ASSERT_TRUE(c->updateLink->isVisible());
  QTest::mouseClick(c->updateLink, Qt::LeftButton);
  EXPECT_EQ(links.urls(), QList<QUrl>({QUrl(QStringLiteral("https://get.example/new"))}));
}

// A list with gaps and entries that are not notes: the notes there are
// shown in order, numbered again, the rest left out.
TEST_F(UpdateWindow, AListWithMissingNotesShowsTheOthers) {
  server_.Answer("/gaps", "200 OK",
                 RemoteList("<key>VersionCheck</key><string>7</string><key>1</key><string>one</string>"
                            "<key>4</key><integer>4</integer><key>5</key><string>five</string>"));
  auto c = Open(server_.Url(QStringLiteral("/gaps")));
  ASSERT_EQ(ShownPane(*c), c->haveUpdateView);
  const QList<QLabel*> notes = Notes(*c);
  ASSERT_EQ(notes.size(), 2);
  EXPECT_EQ(notes[1]->text(), QStringLiteral("2:five"));
}

TEST(UpdateNotes, OrderFilterAndLimits) {
  QVariantMap remote{{QStringLiteral("VersionCheck"), 3}, {QStringLiteral("Version"), QStringLiteral("x")}};
  for (int i = 1; i <= 120; ++i) remote.insert(QString::number(i), QStringLiteral("note %1").arg(i));
  for (const char* odd : {"0", "01", "-1", "+2", " 3", "1e2", "9999999"})
    remote.insert(QString::fromLatin1(odd), "odd");
  remote.insert(QStringLiteral("2"), QStringLiteral("   "));
  remote.insert(QStringLiteral("3"), QString(5000, u'y'));
  const QStringList notes = KVCheckUpdateWindowController::ReleaseNotes(remote);
  ASSERT_EQ(notes.size(), KVCheckUpdateWindowController::kMaxNotes);
  EXPECT_EQ(notes[0], QStringLiteral("note 1"));
  EXPECT_EQ(notes[1].size(), KVCheckUpdateWindowController::kMaxNoteLength + 1);  // "3", cut, with an ellipsis
  EXPECT_EQ(notes[8], QStringLiteral("note 10"));                                 // by number, not by text
  EXPECT_FALSE(notes.contains(QStringLiteral("odd")));
}

TEST_F(UpdateWindow, NoServerOrAnUnusableListIsNoNetwork) {
  QTcpServer closed;
  ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
  const QUrl nobody(QStringLiteral("http://127.0.0.1:%1/list").arg(closed.serverPort()));
  closed.close();
  server_.Answer("/junk", "200 OK", "not a property list");
  for (const QUrl& url : {nobody, server_.Url(QStringLiteral("/missing")), server_.Url(QStringLiteral("/junk"))}) {
    SCOPED_TRACE(url.toString().toStdString());
    auto c = Open(url);
    EXPECT_EQ(ShownPane(*c), c->noNetworkView);
    if (url == nobody) {
      uitest::SaveArtifact(uitest::Grab(c->window()), QStringLiteral("windows-update-no-network"));
    }
  }
}

class Root : public KVCheckUpdateWindowControllerDelegate {
 public:
  void runRootWindow() override { ++calls; }
  int calls = 0;
};

// Opened by the start-up check (a delegate set), the window hands over to the
// wizard whether its close button, Escape or the window manager closed it;
// opened from the menu (no delegate), it does not.
TEST_F(UpdateWindow, EveryCloseOfTheStartUpWindowGoesOnToTheWizard) {
  server_.Answer("/same", "200 OK", RemoteList("<key>VersionCheck</key><integer>5</integer>"));
  for (int way = 0; way < 4; ++way) {
    SCOPED_TRACE(way);
    Root root;
    auto c = Open(server_.Url(QStringLiteral("/same")));
    if (way < 3) c->setDelegate(&root);
    KVSmallWindow* window = c->window();
    if (way == 0 || way == 3) {
      QTest::mouseClick(window->windowButton(static_cast<int>(TCWindowButton::Kind::Close)), Qt::LeftButton);
    } else if (way == 1) {
      QTest::keyClick(window, Qt::Key_Escape);
    } else {
      window->close();
    }
    QTRY_VERIFY(!window->isVisible());
    qttest::PumpPending();
    EXPECT_EQ(root.calls, way < 3 ? 1 : 0);
  }
}

// A check whose answer arrives after the window closed shows nothing.
TEST_F(UpdateWindow, ALateAnswerAfterTheCloseIsDropped) {
  server_.Raw("/slow", "");  // never answers; the fetch is abandoned with the window
  windowtest::UseLinkTable(LinkTable(5, {{QStringLiteral("IniURL"), server_.Url(QStringLiteral("/slow")).toString()}}));
  Root root;
  auto c = std::make_unique<KVCheckUpdateWindowController>();
  c->setDelegate(&root);
  c->window()->show();
  c->closeWindow();
  QTRY_VERIFY(!c->window()->isVisible());
  EXPECT_EQ(root.calls, 1);
  c.reset();
  qttest::PumpPending();
}

}  // namespace
