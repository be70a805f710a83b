// The go-on question for the carver and the analysers' sizing loops: one
// process-wide holder of the scan's progress sink.
#pragma once

class IProgress;

class CNotifyCenter {
 public:
  static CNotifyCenter& Instance();
  void SetProgress(IProgress* progress) { m_progress = progress; }
  void Reset() { m_progress = nullptr; }
  IProgress* GetProgress() const { return m_progress; }
  // True with no sink held; otherwise the sink's Continued().
  bool isContinue();

 private:
  IProgress* m_progress = nullptr;
};
