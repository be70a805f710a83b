#include "ui/windows/KVCheckUpdateWindowController.h"

#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>
#include <climits>
#include <map>

#include "app/KVAppDelegate.h"
#include "app/KVLinkUrl.h"
#include "base/CatchExeception.h"
#include "platform/Localized.h"
#include "platform/NetworkFetch.h"
#include "platform/Resources.h"
#include "platform/TextFormat.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVUrlOpener.h"

namespace {

const QColor kNoteText(175, 186, 219);
constexpr int kNoteLeft = 10;
constexpr int kNoteWidth = 370;
constexpr int kNoteMinHeight = 25;
constexpr int kNoteGap = 5;

QFont NoteFont() { return KitStyle::Font(11); }

QWidget* Pane(QWidget* parent) {
  auto* pane = new QWidget(parent);
  pane->setGeometry(0, 0, KVCheckUpdateWindowController::kWidth, KVCheckUpdateWindowController::kHeight);
  return pane;
}

QLabel* Picture(QWidget* parent, const char* name, const QRect& frame) {
  auto* picture = new QLabel(parent);
  picture->setPixmap(KitImages::Named(QString::fromLatin1(name)));
  picture->setScaledContents(true);
  picture->setGeometry(frame);
  return picture;
}

// "12" -> 12; anything that is not a plain positive decimal number -> 0.
int NoteNumber(const QString& key) {
  if (key.isEmpty() || key.size() > 6 || key.startsWith(u'0')) return 0;
  for (QChar c : key) {
    if (c < u'0' || c > u'9') return 0;
  }
  return key.toInt();
}

}  // namespace

KVCheckUpdateWindowController::KVCheckUpdateWindowController() {
  aWindow = new KVSmallWindow(QSize(kWidth, kHeight), 13);
  windowDidLoad();
}

KVCheckUpdateWindowController::~KVCheckUpdateWindowController() {
  // The window may still be handling the click that led here.
  if (aWindow) aWindow->deleteLater();
}

void KVCheckUpdateWindowController::windowDidLoad() {
  QWidget* content = aWindow->contentView();
  const QColor text = KitColors::kHeaderText;

  checkProgressView = Pane(content);
  KVSmallWindow::Label(checkProgressView, platform::Localized("UPDATE_CHECKING"), 13, text, Qt::AlignCenter)
      ->setGeometry(20, 100, 380, 24);
  progressBar = new QProgressBar(checkProgressView);
  progressBar->setRange(0, 0);  // busy until the list arrives
  progressBar->setTextVisible(false);
  progressBar->setGeometry(90, 140, 240, 14);

  noNetworkView = Pane(content);
  Picture(noNetworkView, "warning_b", QRect(186, 50, 48, 48));
  KVSmallWindow::Label(noNetworkView, platform::Localized("UPDATE_NO_NETWORK"), 13, text, Qt::AlignCenter, true)
      ->setGeometry(30, 112, 360, 80);

  noUpdateView = Pane(content);
  Picture(noUpdateView, "logo", QRect(178, 44, 64, 64));
  KVSmallWindow::Label(noUpdateView, platform::Localized("UPDATE_NO_UPDATE"), 13, text, Qt::AlignCenter, true)
      ->setGeometry(30, 120, 360, 60);

  haveUpdateView = Pane(content);
  QLabel* title = KVSmallWindow::Label(haveUpdateView, platform::Localized("UPDATE_HAVE_UPDATE"), 15, Qt::white);
  title->setGeometry(20, 12, 380, 24);
  versionLabel = KVSmallWindow::Label(haveUpdateView, QString(), 13, text);
  versionLabel->setGeometry(20, 40, 380, 20);
  changeValueScrollView = new QScrollArea(haveUpdateView);
  changeValueScrollView->setGeometry(10, 66, 400, 180);
  changeValueScrollView->setFrameShape(QFrame::NoFrame);
  changeValueScrollView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  changeValueScrollView->viewport()->setAutoFillBackground(false);
  updateLink =
      new KVLinkLabel(platform::Localized("UPDATE_DOWNLOAD_LINK"), haveUpdateView, [this] { updateClickHereAction(); });
  updateLink->setAlignment(Qt::AlignCenter);
  updateLink->setGeometry(20, 254, 380, 22);

  aWindow->setCloseButtonAction([this] { closeWindow(); });
  aWindow->setClosedHandler([this] {
    ++generation_;  // an answer still on its way has nobody to show it to
    // Whatever closed it, a window the start-up check opened hands over to
    // the wizard.
    if (delegate_ != nullptr) delegate_->runRootWindow();
  });
  getVersionChange();
}

void KVCheckUpdateWindowController::showOnly(QWidget* pane) {
  for (QWidget* each : {checkProgressView, noNetworkView, noUpdateView, haveUpdateView}) each->setVisible(each == pane);
}

void KVCheckUpdateWindowController::getVersionChange() {
  showOnly(checkProgressView);
  const int generation = ++generation_;
  const QUrl url = KVLinkUrl::WebUrl(QStringLiteral("IniURL"));
  if (url.isEmpty()) {
    CatchExeception::WriteLog("update check: no address for the remote version list (IniURL)\n");
    showNoNetwork();
    return;
  }
  // The list arriving is what proves the network works: no separate probe.
  QPointer<KVCheckUpdateWindowController> self = this;
  platform::FetchPropertyList(
      url, kFetchTimeoutMs,
      [self, generation](const QVariant& remote, const QString& error) {
        if (!self || generation != self->generation_) return;
        if (!remote.isValid())
          CatchExeception::WriteLog("update check: the remote version list is unusable: %s\n",
                                    error.toUtf8().constData());
        self->whatIsNewVersionDiff(remote);
      },
      this);  // a window that goes away takes its check with it
}

void KVCheckUpdateWindowController::showNoNetwork() { showOnly(noNetworkView); }

void KVCheckUpdateWindowController::whatIsNewVersionDiff(const QVariant& remote) {
  // A list that never came, or came unreadable, says nothing about the
  // version: claiming "up to date" then would be wrong.
  if (remote.typeId() != QMetaType::QVariantMap) {
    showNoNetwork();
    return;
  }
  QVariant local;
  platform::Resources::ReadPropertyList(QStringLiteral("LocalVersionMessage"), &local);
  if (KVAppDelegate::VersionCheck(remote) <= KVAppDelegate::VersionCheck(local)) {
    showOnly(noUpdateView);
    return;
  }
  const QVariantMap list = remote.toMap();
  // A name, not a text: a list that sends more is cut short.
  QString version = list.value(QStringLiteral("Version")).toString().simplified();
  if (version.size() > kMaxVersionLength) version = version.left(kMaxVersionLength) + QChar(0x2026);
  versionLabel->setText(platform::FormatText(QStringLiteral("Version %@:"), {version}));

  // The notes stacked from the top, each at least kNoteMinHeight high.
  delete showVersionScrollView;
  showVersionScrollView = new QWidget;
  showVersionScrollView->setAutoFillBackground(false);
  const QStringList notes = ReleaseNotes(list);
  int y = 0;
  for (int i = 0; i < notes.size(); ++i) {
    const QString shown = platform::FormatText(QStringLiteral("%d:%@"), {i + 1, notes[i]});
    QLabel* field = KVSmallWindow::Label(showVersionScrollView, shown, NoteFont().pixelSize(), kNoteText,
                                         Qt::AlignLeft | Qt::AlignTop, true);
    field->setObjectName(QStringLiteral("note%1").arg(i + 1));
    // Tool tips read markup; the note is shown as the text it is.
    field->setToolTip(QStringLiteral("<qt>") + notes[i].toHtmlEscaped().replace(u'\n', QStringLiteral("<br>")) +
                      QStringLiteral("</qt>"));
    const int height = std::max(kNoteMinHeight, heightForStringDrawing(shown, NoteFont(), kNoteWidth));
    field->setGeometry(kNoteLeft, y, kNoteWidth, height);
    y += height + kNoteGap;
  }
  showVersionScrollView->resize(kNoteLeft + kNoteWidth, std::max(y, 1));
  changeValueScrollView->setWidget(showVersionScrollView);
  changeValueScrollView->verticalScrollBar()->setValue(0);
  updateLink->setVisible(!KVLinkUrl::WebUrl(QStringLiteral("UpdateURL")).isEmpty());
  showOnly(haveUpdateView);
}

QStringList KVCheckUpdateWindowController::ReleaseNotes(const QVariantMap& remote) {
  std::map<int, QString> numbered;
  for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
    const int number = NoteNumber(it.key());
    if (number <= 0 || it.value().typeId() != QMetaType::QString) continue;
    const QString note = it.value().toString().trimmed();
    if (!note.isEmpty()) numbered.emplace(number, note);
  }
  QStringList notes;
  for (const auto& [number, note] : numbered) {
    if (notes.size() == kMaxNotes) break;
    if (note.size() <= kMaxNoteLength) {
      notes << note;
      continue;
    }
    const qsizetype cut = note.at(kMaxNoteLength - 1).isHighSurrogate() ? kMaxNoteLength - 1 : kMaxNoteLength;
    notes << note.left(cut) + QChar(0x2026);
  }
  return notes;
}

int KVCheckUpdateWindowController::heightForStringDrawing(const QString& text, const QFont& font, int width) {
  const QFontMetrics metrics(font);
  return metrics.boundingRect(QRect(0, 0, width, INT_MAX / 2), Qt::TextWordWrap, text).height();
}

void KVCheckUpdateWindowController::updateClickHereAction() {
  KVUrlOpener::Open(KVLinkUrl::WebUrl(QStringLiteral("UpdateURL")));
}

void KVCheckUpdateWindowController::closeWindow() {
  if (aWindow) aWindow->close();  // fades out, ends the modal run, then the closed handler
}
