#include "base/LogBudget.h"

#include <cstring>

#include "base/CatchExeception.h"

CLogBudget::~CLogBudget() { Flush(); }

void CLogBudget::Log(const char* operation, int line) {
  if (operation == nullptr) operation = "";
  for (Kind& kind : m_kinds) {
    if (kind.line != line || std::strcmp(kind.operation, operation) != 0) continue;
    if (++kind.seen <= kLinesPerKind) CatchExeception::WriteLog("%s %d\r\n", operation, line);
    return;
  }
  m_kinds.push_back(Kind{operation, line, 1});
  CatchExeception::WriteLog("%s %d\r\n", operation, line);
}

void CLogBudget::Flush() {
  for (const Kind& kind : m_kinds) {
    if (kind.seen > kLinesPerKind) {
      CatchExeception::WriteLog("%s %d: %u more\r\n", kind.operation, kind.line, kind.seen - kLinesPerKind);
    }
  }
  m_kinds.clear();
}
