// The user's settings: the preferred-language list and the few keys the
// application rewrites (the folder for saved scan results, the first-run mark,
// the last update check). They live in "UserDefaults.ini" in the working folder
// (GetAppWorkPath), never among the installed resources, which are read-only
// and shared by every user.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <mutex>

class QSettings;

namespace platform {

class UserDefaults {
 public:
  static constexpr const char* kFileName = "UserDefaults.ini";
  static constexpr const char* kPreferredLanguagesKey = "PreferredLanguages";
  static constexpr const char* kSavePathKey = "SavePath";
  static constexpr const char* kFirstTimeKey = "FristTime";
  static constexpr const char* kUpdateStampKey = "upDataTimeStr";

  // The process's settings, in the working folder. Made on first use.
  static UserDefaults& Standard();

  // Settings kept in the given file (tests, tools).
  explicit UserDefaults(const QString& filePath);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // Every call may come from any thread.
  QVariant Value(const QString& key, const QVariant& fallback = {}) const;
  bool Contains(const QString& key) const;
  void SetValue(const QString& key, const QVariant& value);
  void Remove(const QString& key);
  // Writes pending changes to the file; false when it cannot be written.
  bool Synchronize();

  // The preferred interface languages, most preferred first; empty when the
  // user never chose (the system's languages apply then).
  QStringList PreferredLanguages() const;
  void SetPreferredLanguages(const QStringList& languages);

  QString FilePath() const { return path_; }

 private:
  QString path_;
  mutable std::mutex mutex_;
  std::unique_ptr<QSettings> settings_;
};

}  // namespace platform
