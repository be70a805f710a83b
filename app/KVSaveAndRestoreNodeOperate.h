// The operation that saves the current scan result (ScanResultSaveRestore.h):
// its progress sink, status and poller. A load runs as the scan operation
// instead, so that it fills the scan's indexes.
#pragma once

#include "app/KVUIOperation.h"

class KVSaveAndRestoreNodeOperate : public KVUIOperation {
 public:
  // The save operation of the process.
  static KVSaveAndRestoreNodeOperate& instance();

  KVSaveAndRestoreNodeOperate() = default;
  ~KVSaveAndRestoreNodeOperate() override;

  // Keeps a copy of the record and flags news. The operation ends when its
  // worker returns (the closing report is its last act), not at the report.
  int UpdateProgress(_PROGRESS_INFO* info) override;
  // A save cannot be paused: it goes on while paused. Stopped (the
  // application quits), it ends at its next record and leaves no file: what
  // it leaves must be a whole file or none.
  int Continued() override;

 protected:
  // A new save starts from no progress: the last save's finished record
  // must not pass for its end.
  void RunRequested() override;
};
