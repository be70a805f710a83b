#include "raw/NotifyCenter.h"

#include "Progress.h"

CNotifyCenter& CNotifyCenter::Instance() {
  static CNotifyCenter center;
  return center;
}

bool CNotifyCenter::isContinue() { return m_progress == nullptr || m_progress->Continued() != 0; }
