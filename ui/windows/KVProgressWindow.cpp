#include "ui/windows/KVProgressWindow.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include "app/KVPublicUtilities.h"
#include "app/ScanResultSaveRestore.h"
#include "platform/Localized.h"
#include "platform/NotificationCenter.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitStyle.h"
#include "ui/windows/KVAlert.h"
#include "ui/windows/KVSmallWindow.h"
#include "ui/windows/KVWizardServices.h"

namespace {

const QString kFinish = QStringLiteral("QueryProgressFinish");

void Say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

}  // namespace

KVProgressWindow::KVProgressWindow(ProgressSource progress, QObject* parent)
    : QObject(parent), progress_(std::move(progress)) {
  if (!progress_) progress_ = KVWizardServices::Default().getSaveorRestoreProgress;
}

QString KVProgressWindow::DamageText(uint64_t leftOut, uint64_t cut, uint64_t unreadBytes) {
  const auto count = [](uint64_t n) { return QVariant::fromValue(static_cast<qlonglong>(n)); };
  if (unreadBytes == 0) return platform::LocalizedFormat("LOAD_RSF_DAMAGED", {count(leftOut), count(cut)});
  return platform::LocalizedFormat(
      "LOAD_RSF_DAMAGED_END",
      {KVPublicUtilities::longlongConvertVolSpace(static_cast<long long>(unreadBytes)), count(leftOut), count(cut)});
}

KVProgressWindow::~KVProgressWindow() {
  stopObserving();
  if (aWindow) aWindow->deleteLater();
}

double KVProgressWindow::Percent(uint64_t total, uint64_t current) {
  const double percent = static_cast<double>(current) * 100.0 / static_cast<double>(total == 0 ? 1 : total);
  return std::clamp(percent, 0.0, 100.0);
}

double KVProgressWindow::progressValue() const { return progress != nullptr ? progress->progressValue() : 0; }

KVSmallWindow* KVProgressWindow::window() {
  if (!aWindow) windowDidLoad();
  return aWindow;
}

void KVProgressWindow::windowDidLoad() {
  aWindow = new KVSmallWindow(QSize(kWidth, kHeight), 13);
  QWidget* content = aWindow->contentView();
  title = KVSmallWindow::Label(content, platform::Localized(bSave_ ? "SAVE_SCAN_RESULT" : "LOAD_SCAN_RESULT"), 15,
                               Qt::white);
  title->setGeometry(24, 16, kWidth - 48, 22);
  Description = KVSmallWindow::Label(content, platform::Localized(bSave_ ? "SAVE_RESULT_WAIT" : "LOAD_RESULT_WAIT"), 12,
                                     KitColors::kHeaderText, Qt::AlignLeft | Qt::AlignTop, true);
  Description->setGeometry(24, 44, kWidth - 48, 34);
  progress = new KVProgressView(QRect(24, 90, kWidth - 48, 12), content);
  progress->changeProgressValue(0);
  bSucess_ = false;
  bFinish_ = false;

  auto& center = platform::NotificationCenter::DefaultCenter();
  center.AddObserver(strPostName_, this, [this](const platform::Notification&) { changeProgressValue(); });
  center.AddObserver(kFinish, this, [this](const platform::Notification&) { ProgressFinish(); });
  aWindow->setCloseButtonAction([this] { closeWindow(); });
  // Every close waits for the operation's end.
  new KVCloseGate(
      aWindow, [this] { return bFinish_ || !aWindow->isVisible(); }, [this] { closeWindow(); });
  aWindow->setClosedHandler([this] { closed(); });
}

void KVProgressWindow::runModal() { window()->runModal(); }

void KVProgressWindow::stopObserving() { platform::NotificationCenter::DefaultCenter().RemoveObserver(this); }

void KVProgressWindow::changeProgressValue() {
  if (bFinish_ || progress == nullptr) return;
  uint64_t total = 0, current = 0, error = 0;
  progress_(&total, &current, &error, bSave_ ? 1 : 0);
  const double percent = Percent(total, current);
  if (percent > progress->progressValue()) progress->changeProgressValue(static_cast<float>(percent));
}

void KVProgressWindow::ProgressFinish() {
  if (bFinish_) return;
  uint64_t total = 0, current = 0, error = 0;
  progress_(&total, &current, &error, bSave_ ? 1 : 0);
  Say("---------------Progress finish----------------");
  bFinish_ = true;
  // A load that found its file damaged shows what it could read, and says
  // so.
  uint64_t leftOut = 0, cut = 0, unread = 0;
  if (!bSave_ && error != 0) {
    const DamageSource damage = damage_ ? damage_ : KVWizardServices::Default().getLoadDamage;
    if (damage && damage(&leftOut, &cut, &unread)) damageText_ = DamageText(leftOut, cut, unread);
  }
  if (!bSave_ && error == SaveRestoreResult::kLoadOtherVolume) failureKey_ = "LOAD_RSF_OTHER_VOLUME";
  // A load the user gave up on counts as failed, however it ended.
  bSucess_ = (error == 0 || !damageText_.isEmpty()) && !(closeAsked_ && !bSave_);
  if (bSucess_ && progress != nullptr) progress->changeProgressValue(100);
  if (timer_ == nullptr) {
    timer_ = new QTimer(this);
    timer_->setInterval(kFinishDelayMs);
    QObject::connect(timer_, &QTimer::timeout, this, [this] { onTimer(); });
  }
  timer_->start();
}

void KVProgressWindow::onTimer() {
  if (!bFinish_ || ending_) return;
  Say("----------call onTimer begin-------------");
  ending_ = true;
  timer_->stop();
  stopObserving();
  // The user who gave up a load knows; everyone else is told.
  if (bSucess_ && !damageText_.isEmpty()) {
    KVAlert::BeginWithTexts(nullptr, QString(), damageText_,
                            platform::Localized("PAGE_FOUR_RECOVERY_NO_COMPETENCE_YES_BUTTON"), QString(),
                            [self = QPointer<KVProgressWindow>(this)](int) {
                              if (self) self->endWindow();
                            });
  } else if (!bSucess_ && !(closeAsked_ && !bSave_)) {
    KVAlert::BeginWithTexts(nullptr, QString(), platform::Localized(failureKey_),
                            platform::Localized("PAGE_FOUR_RECOVERY_NO_COMPETENCE_YES_BUTTON"), QString(),
                            [self = QPointer<KVProgressWindow>(this)](int) {
                              if (self) self->endWindow();
                            });
  } else {
    endWindow();
  }
  Say("----------call onTimer finish-------------");
}

void KVProgressWindow::endWindow() {
  if (aWindow) aWindow->close();
}

void KVProgressWindow::closed() {
  stopObserving();
  Say("----------close ProgressWindow-------------");
  if (!bSave_ && bSucess_ && !posted_) {
    posted_ = true;
    // Out of sight before anyone shows the results.
    if (aWindow) aWindow->hide();
    platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("ShowDetailWindow"));
  }
}

void KVProgressWindow::closeWindow() {
  if (bFinish_) {
    // Ended already: the timer's end comes now instead of later.
    if (!ending_) onTimer();
    return;
  }
  if (closeAsked_) return;
  closeAsked_ = true;
  if (!bSave_ && stop_) stop_();
}
