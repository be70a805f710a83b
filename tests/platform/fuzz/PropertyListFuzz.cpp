// Feeds arbitrary bytes to the property-list reader (XML and binary).
#include <cstddef>
#include <cstdint>

#include <QByteArray>
#include <QVariant>

#include "platform/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QVariant value;
  QString error;
  platform::PropertyList::FromData(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)),
                                   &value, &error);
  return 0;
}
