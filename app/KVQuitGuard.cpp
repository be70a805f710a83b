#include "app/KVQuitGuard.h"

#include "app/KVUIController.h"

KVQuitGuard::Operation KVQuitGuard::Running() {
  if (KVUIController::IsScanRunning()) return KVUIController::IsSaveOrRestoreRunning(0) ? kLoad : kScan;
  if (KVUIController::IsRecoveryRunning()) return kRecovery;
  if (KVUIController::IsSaveOrRestoreRunning(1)) return kSave;
  return kNone;
}

bool KVQuitGuard::IsOperationPaused() {
  switch (Running()) {
    case kScan:
    case kLoad:
      return KVUIController::IsPause();
    case kRecovery:
      return KVUIController::IsRecoveryPaused();
    default:
      return false;
  }
}

void KVQuitGuard::PauseOrResumeOperation() {
  switch (Running()) {
    case kScan:
    case kLoad:
      KVUIController::PauseOrResumeScan();
      break;
    case kRecovery:
      KVUIController::PauseOrResumeRecovery();
      break;
    default:
      break;
  }
}

QString KVQuitGuard::QuestionStem(Operation operation) {
  switch (operation) {
    case kLoad:
      return QStringLiteral("QUIT_LOAD_STOP");
    case kRecovery:
      return QStringLiteral("PAGE_FOUR_RECOVERY_STOP");
    case kSave:
      return QStringLiteral("QUIT_SAVE_STOP");
    default:
      return QStringLiteral("PAGE_FOUR_SCAN_STOP");
  }
}

void KVQuitGuard::Install(KVAppDelegate::Hooks& hooks, Ask ask) {
  hooks.isOperationRunning = IsOperationRunning;
  hooks.isOperationPaused = IsOperationPaused;
  hooks.pauseOrResumeOperation = PauseOrResumeOperation;
  hooks.askToQuit = [ask = std::move(ask)](std::function<void(bool)> answer) {
    if (ask) ask(QuestionStem(Running()), std::move(answer));
  };
}
