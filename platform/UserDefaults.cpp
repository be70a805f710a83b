#include "platform/UserDefaults.h"

#include <QSettings>

#include "base/Utility.h"

namespace platform {

UserDefaults& UserDefaults::Standard() {
  // Never destroyed: workers may still read settings while the process exits.
  static UserDefaults* standard =
      new UserDefaults(QString::fromUtf8(GetAppWorkPath()) + QLatin1Char('/') + QLatin1String(kFileName));
  return *standard;
}

UserDefaults::UserDefaults(const QString& filePath)
    : path_(filePath), settings_(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {}

UserDefaults::~UserDefaults() = default;

QVariant UserDefaults::Value(const QString& key, const QVariant& fallback) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_->value(key, fallback);
}

bool UserDefaults::Contains(const QString& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_->contains(key);
}

void UserDefaults::SetValue(const QString& key, const QVariant& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_->setValue(key, value);
}

void UserDefaults::Remove(const QString& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_->remove(key);
}

bool UserDefaults::Synchronize() {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_->sync();
  return settings_->status() == QSettings::NoError;
}

QStringList UserDefaults::PreferredLanguages() const {
  QStringList languages = Value(QLatin1String(kPreferredLanguagesKey)).toStringList();
  languages.removeAll(QString());
  return languages;
}

void UserDefaults::SetPreferredLanguages(const QStringList& languages) {
  SetValue(QLatin1String(kPreferredLanguagesKey), languages);
}

}  // namespace platform
