#include "app/KVPublicUtilities.h"

#include <QVariantMap>

#include <cstdio>

#include "EngineTypes.h"
#include "platform/NetworkFetch.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"

namespace {

// The probe only needs to see data arrive; a page larger than this still
// proves the network works but is not worth downloading.
constexpr qint64 kProbeMaxBytes = 8 << 20;

QString FormatSize(const char* format, double value) {
  // Shown as a single-precision value, like every size text of the
  // application.
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<double>(static_cast<float>(value)));
  return QString::fromLatin1(text);
}

// A key the user's settings override and the shipped property list
// provides by default.
QVariant SettingOrShipped(const char* key) {
  const QString name = QString::fromLatin1(key);
  platform::UserDefaults& defaults = platform::UserDefaults::Standard();
  if (defaults.Contains(name)) return defaults.Value(name);
  QVariant list;
  if (!platform::Resources::ReadPropertyList(QStringLiteral("LocalVersionMessage"), &list)) return QVariant();
  return list.toMap().value(name);
}

void StoreSetting(const char* key, const QVariant& value) {
  platform::UserDefaults& defaults = platform::UserDefaults::Standard();
  defaults.SetValue(QString::fromLatin1(key), value);
  defaults.Synchronize();
}

}  // namespace

QString KVPublicUtilities::longlongDiskSize(long long bytes) {
  const double v = static_cast<double>(bytes);
  if (v < 1000.0) return FormatSize("%.0f byte", v);
  if (v < 1e6) return FormatSize("%0.2f KB", v / 1000.0);
  if (v < 1e9) return FormatSize("%0.2f MB", v / 1e6);
  if (v < 1e12) return FormatSize("%0.2f GB", v / 1e9);
  return FormatSize("%0.2f TB", v / 1e12);
}

QString KVPublicUtilities::longlongConvertVolSpace(long long bytes) { return longlongDiskSize(bytes); }

QString KVPublicUtilities::fileSystemTypeForInt(int type, int dmg) {
  if (dmg != 0) return QStringLiteral("Disk Image");
  if (type < FILE_SYSTEM_TYPE_FAT12 || type > FILE_SYSTEM_TYPE_UNKNOWN) return QStringLiteral("Disk");
  return QString::fromLatin1(FileSystemTypeName(type));
}

QVariant KVPublicUtilities::isFristTime() { return SettingOrShipped(platform::UserDefaults::kFirstTimeKey); }

void KVPublicUtilities::writeFristTime() { StoreSetting(platform::UserDefaults::kFirstTimeKey, QStringLiteral("NO")); }

QVariant KVPublicUtilities::getUpDataTimeStr() { return SettingOrShipped(platform::UserDefaults::kUpdateStampKey); }

void KVPublicUtilities::writeUpDataTimeStr(const QString& stamp) {
  StoreSetting(platform::UserDefaults::kUpdateStampKey, stamp);
}

QUrl KVPublicUtilities::NetworkProbeUrl() { return QUrl(QStringLiteral("https://www.debian.org/")); }

void KVPublicUtilities::isCanBeUseNetWork(std::function<void(bool)> done, const QUrl& url, int timeoutMs) {
  platform::FetchUrl(url, timeoutMs, kProbeMaxBytes, [done = std::move(done)](const platform::FetchResult& result) {
    if (done) done(result.ok && !result.data.isEmpty());
  });
}
