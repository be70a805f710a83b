#include "app/KVSaveAndRestoreNodeOperate.h"

#include <cstdio>

KVSaveAndRestoreNodeOperate& KVSaveAndRestoreNodeOperate::instance() {
  static KVSaveAndRestoreNodeOperate operation;
  return operation;
}

KVSaveAndRestoreNodeOperate::~KVSaveAndRestoreNodeOperate() {
  // The worker writes through this object until it returns; stopped, it
  // takes its unfinished file with it.
  if (IsWorkerRunning() || IsPollerRunning()) {
    StopOperation(1);
    WaitForThreads(std::chrono::milliseconds(5000));
  }
}

int KVSaveAndRestoreNodeOperate::UpdateProgress(_PROGRESS_INFO* info) {
  if (info == nullptr) return 0;
  SetProgressInfo(*info);
  if (info->status == PROGRESS_STATUS_FINISHED) std::printf("=====Scan Progress finished!=====\n");
  SetNeedUIUpdate(1);
  return 0;
}

int KVSaveAndRestoreNodeOperate::Continued() {
  // A run superseded by a queued one ends too.
  return GetStatus() == KVOperationStopping || IsRunEnding() ? 0 : 1;
}

void KVSaveAndRestoreNodeOperate::RunRequested() { SetProgressInfo(_PROGRESS_INFO{}); }
