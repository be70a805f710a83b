#include "app/KVLinkUrl.h"

#include <QVariantMap>

#include "app/KVLinkDefaults.h"
#include "platform/Resources.h"

namespace {

// The sub-dictionaries to try for a preferred language: as given ("pt_BR"),
// then its base language ("pt"), then English.
QStringList LanguageKeys() {
  QStringList keys;
  const QStringList preferred = platform::Resources::PreferredLanguages();
  if (!preferred.isEmpty()) {
    QString code = preferred.first();
    keys << code;
    code.replace(u'-', u'_');
    if (!keys.contains(code)) keys << code;
    const qsizetype cut = code.indexOf(u'_');
    if (cut > 0) keys << code.left(cut);
  }
  keys << QStringLiteral("en");
  return keys;
}

}  // namespace

QString KVLinkUrl::GetUrl(const QString& key) {
  QVariant list;
  if (platform::Resources::ReadPropertyList(QStringLiteral("LocalVersionMessage"), &list)) {
    const QVariantMap links = list.toMap();
    for (const QString& language : LanguageKeys()) {
      const QVariant value = links.value(language).toMap().value(key);
      if (value.typeId() == QMetaType::QString && !value.toString().trimmed().isEmpty())
        return value.toString().trimmed();
    }
  }
  return BuiltInUrl(key);
}

QUrl KVLinkUrl::WebUrl(const QString& key) {
  const QUrl url(GetUrl(key), QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
    return QUrl();
  return url;
}

QString KVLinkUrl::BuiltInUrl(const QString& key) {
  if (key == QLatin1String("IniURL")) return QString::fromUtf8(kBuiltInUpdateListUrl);
  if (key == QLatin1String("UpdateURL") || key == QLatin1String("AboutURL") || key == QLatin1String("HelpURL"))
    return QString::fromUtf8(kBuiltInWebsite);
  return QString();
}
