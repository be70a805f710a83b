// The two ways the application takes its words from the string tables: a
// text as it stands, and a text used as a format for values. Callers name
// the key as a literal and pass the values as a braced list, so a test can
// read every key and count the values each caller gives its format.
#pragma once

#include <QString>
#include <QVariantList>

namespace platform {

// The interface language's text for `key` (Resources::LocalizedString).
QString Localized(const char* key);

// That text used as a format for `args` (FormatText: %@, %d, %lld, %.0f...).
QString LocalizedFormat(const char* key, const QVariantList& args);

}  // namespace platform
