#include "ui/windows/KVScanEndSaveWindowController.h"

#include <QDir>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QUrl>

#include "app/KVLinkUrl.h"
#include "platform/Localized.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/RFOverlayScrollView.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVUrlOpener.h"

namespace {

constexpr int kMargin = 24;
const char* const kShareKeys[3] = {"FaceBookURL", "Twitter", "GoogleURL"};

void OpenShareLink(int index) { KVUrlOpener::Open(KVLinkUrl::WebUrl(QString::fromLatin1(kShareKeys[index]))); }

}  // namespace

KVPathLink::KVPathLink(const QRect& frame, QWidget* parent, std::function<void()> clicked)
    : KitElidedLabel(frame, parent), clicked_(std::move(clicked)) {
  QFont font = KitStyle::Font(12);
  font.setUnderline(true);
  setFont(font);
  setTextColor(KitColors::kGlow);
  setElideMode(Qt::ElideMiddle);
  setCursor(Qt::PointingHandCursor);
}

void KVPathLink::setPath(const QString& path) {
  setText(path);
  // Tool tips guess at markup: the path is escaped inside a rich text.
  setToolTip(path.isEmpty() ? QString() : QStringLiteral("<qt>") + path.toHtmlEscaped() + QStringLiteral("</qt>"));
}

void KVPathLink::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && clicked_) {
    clicked_();
    return;
  }
  KitElidedLabel::mouseReleaseEvent(event);
}

KVScanEndSaveWindowController::KVScanEndSaveWindowController(QObject* parent) : QObject(parent) {
  aWindow = new KVSmallWindow(QSize(kWidth, kHeight), 13);
  windowDidLoad();
}

KVScanEndSaveWindowController::~KVScanEndSaveWindowController() {
  // Gone from the screen at once; deleted once any event of its own is over.
  if (!aWindow) return;
  aWindow->hide();
  aWindow->deleteLater();
}

KVSmallWindow* KVScanEndSaveWindowController::window() const { return aWindow; }

TCImageButton* KVScanEndSaveWindowController::MakeOkButton(QWidget* content, int width, int height,
                                                           std::function<void()> action) {
  const QRect frame(width - kMargin - 100, height - 16 - 28, 100, 28);
  auto* button = new TCImageButton(frame, content);
  button->setImageStem(QStringLiteral("pop_button"));
  button->setTextWithName(platform::Localized("PAGE_FOUR_RECOVERY_STOP_BUTTON"), QRect(QPoint(0, 0), frame.size()));
  QObject::connect(button, &QAbstractButton::clicked, content, std::move(action));
  return button;
}

void KVScanEndSaveWindowController::OpenFolder(const QString& path) {
  if (!path.isEmpty()) KVUrlOpener::Open(QUrl::fromLocalFile(path));
}

void KVScanEndSaveWindowController::windowDidLoad() {
  QWidget* content = aWindow->contentView();
  recoveryEndTitle = KVSmallWindow::Label(content, platform::Localized("PAGE_FOUR_RECOVER_END_TITLE"), 15, Qt::white);
  recoveryEndTitle->setGeometry(kMargin, 18, kWidth - 2 * kMargin, 22);
  recoveryEndNode =
      KVSmallWindow::Label(content, platform::Localized("PAGE_FOUR_RECOVER_END_NODE"), 12, KitColors::kHeaderText);
  recoveryEndNode->setGeometry(kMargin, 48, kWidth - 2 * kMargin, 18);
  savePathLabel = new KVPathLink(QRect(kMargin, 70, kWidth - 2 * kMargin, 20), content, [this] { jumpToSavePath(); });
  savePathLabel->setPath(savePathStr_);
  failedFilesNote =
      KVSmallWindow::Label(content, QString(), 11, KitColors::kHeaderText, Qt::AlignLeft | Qt::AlignTop, true);
  failedFilesNote->setGeometry(kMargin, 94, kWidth - 2 * kMargin, 30);
  failedFilesNote->hide();
  // Plain text the user can select and copy, never edit; long paths scroll
  // rather than wrap, one file a line.
  failedFilesList = new QPlainTextEdit(content);
  failedFilesList->setReadOnly(true);
  failedFilesList->setLineWrapMode(QPlainTextEdit::NoWrap);
  failedFilesList->setFont(KitStyle::Font(11));
  failedFilesList->setGeometry(kMargin, 142, kWidth - 2 * kMargin, kListGrowth - 24);
  // The kit's scrollers over its edges, as every list of the windows has.
  new RFOverlayScrollView(failedFilesList);
  failedFilesList->hide();
  using Action = void (KVScanEndSaveWindowController::*)();
  constexpr Action kShareActions[3] = {&KVScanEndSaveWindowController::facebookButtonAction,
                                       &KVScanEndSaveWindowController::twitterButtonAction,
                                       &KVScanEndSaveWindowController::googleAddButtonAction};
  for (int i = 0; i < 3; ++i) {
    auto* share = new TCImageButton(QRect(kMargin + i * 34, kHeight - 16 - 26, 24, 24), content);
    share->setImageFromFileNormalName(QStringLiteral("share_%1").arg(i + 1), QStringLiteral("share_%1").arg(i + 1),
                                      QStringLiteral("share_%1").arg(i + 1), QStringLiteral("share_%1").arg(i + 1));
    share->setCursor(Qt::PointingHandCursor);
    // A build without the address offers no link.
    share->setVisible(!KVLinkUrl::WebUrl(QString::fromLatin1(kShareKeys[i])).isEmpty());
    QObject::connect(share, &QAbstractButton::clicked, this, [this, action = kShareActions[i]] { (this->*action)(); });
    shareButtons[i] = share;
  }
  okButton = MakeOkButton(content, kWidth, kHeight, [this] { okButtonAction(); });
  okButton->setButtonEnabled(true);
}

void KVScanEndSaveWindowController::setSavePathStr(const QString& path) {
  savePathStr_ = path;
  if (savePathLabel != nullptr) savePathLabel->setPath(path);
}

void KVScanEndSaveWindowController::setFailedFiles(uint64_t failed, uint64_t tooLarge, const QStringList& paths) {
  const auto count = [](uint64_t n) { return QVariant::fromValue(static_cast<qlonglong>(n)); };
  QString note;
  if (failed != 0) note = platform::LocalizedFormat("PAGE_FOUR_RECOVER_FAILED_NODE", {count(failed)});
  if (tooLarge != 0)
    note += QLatin1Char(' ') + platform::LocalizedFormat("PAGE_FOUR_RECOVER_TOO_LARGE_NODE", {count(tooLarge)});
  QStringList lines;
  const QString base = QDir::cleanPath(savePathStr_);
  for (const QString& path : paths) {
    const QString clean = QDir::cleanPath(path);
    // Below the destination the link shows: from it, which is shorter.
    lines << (!base.isEmpty() && clean.startsWith(base + u'/') ? QDir(base).relativeFilePath(clean) : clean);
  }
  if (!lines.isEmpty() && failed > static_cast<uint64_t>(lines.size())) {
    lines << platform::LocalizedFormat("PAGE_FOUR_RECOVER_FAILED_MORE",
                                       {count(failed - static_cast<uint64_t>(lines.size()))});
  }
  if (!lines.isEmpty()) note += QLatin1Char(' ') + platform::Localized("PAGE_FOUR_RECOVER_FAILED_LIST");
  failedFilesNote->setText(note);
  failedFilesNote->setToolTip(note);
  failedFilesNote->setVisible(!note.isEmpty());
  failedFilesList->setPlainText(lines.join(u'\n'));
  failedFilesList->setVisible(!lines.isEmpty());
  if (lines.isEmpty() || grown_) return;
  // Room for the list: the note takes three lines, what sat at the bottom
  // goes down by the list's height.
  grown_ = true;
  failedFilesNote->setGeometry(kMargin, 94, kWidth - 2 * kMargin, 44);
  aWindow->setFixedSize(aWindow->width(), aWindow->height() + kListGrowth);
  for (QWidget* below : {static_cast<QWidget*>(okButton), static_cast<QWidget*>(shareButtons[0]),
                         static_cast<QWidget*>(shareButtons[1]), static_cast<QWidget*>(shareButtons[2])})
    below->move(below->x(), below->y() + kListGrowth);
}

void KVScanEndSaveWindowController::runModal(std::function<void()> closed) {
  aWindow->setClosedHandler(std::move(closed));
  aWindow->showApplicationModal();
}

void KVScanEndSaveWindowController::jumpToSavePath() { OpenFolder(savePathStr_); }

void KVScanEndSaveWindowController::facebookButtonAction() { OpenShareLink(0); }
void KVScanEndSaveWindowController::twitterButtonAction() { OpenShareLink(1); }
void KVScanEndSaveWindowController::googleAddButtonAction() { OpenShareLink(2); }

void KVScanEndSaveWindowController::okButtonAction() {
  if (aWindow) aWindow->close();
}
