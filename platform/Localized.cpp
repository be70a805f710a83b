#include "platform/Localized.h"

#include "platform/Resources.h"
#include "platform/TextFormat.h"

namespace platform {

QString Localized(const char* key) { return Resources::LocalizedString(QString::fromLatin1(key)); }

QString LocalizedFormat(const char* key, const QVariantList& args) { return FormatText(Localized(key), args); }

}  // namespace platform
