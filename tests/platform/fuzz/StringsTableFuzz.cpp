// Feeds arbitrary bytes to the string-table reader.
#include <cstddef>
#include <cstdint>

#include <QHash>
#include <QString>

#include "platform/StringsTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QHash<QString, QString> table;
  QString error;
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  if (platform::StringsTable::Load(bytes, &table, &error)) {
    // Every entry must be a whole string without NUL or lone surrogates.
    for (auto it = table.begin(); it != table.end(); ++it) {
      if (it.value().contains(QChar(0))) __builtin_trap();
    }
  }
  return 0;
}
