// Notifications on the main thread, and the texts the windows show for found
// files: times, display paths, file-system prefixes and the name match of the
// search.
#pragma once

#include <QLocale>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <ctime>
#include <functional>

#include "FileTime.h"

class IFileNode;

// Unix seconds of a _FILETIME: whole seconds since 1601 (rounded down) less
// the seconds between 1601 and 1970; negative before 1970.
int64_t convertWindowsTimeToUnixTime(_FILETIME fileTime);

class KVUIPublic {
 public:
  // What every notification posted here carries as its object.
  static QVariant NotificationObject();

  // Posts `name` on the main thread, from any thread, without waiting; false
  // without an application object.
  static bool NotifyMainThread(const QString& name);
  // Posts `name` now (on the main thread: observers run before it returns).
  static bool NotifyMainThreadCB(const QString& name);
  // Runs `work` on a background thread and posts `name` on the main thread
  // once it is done.
  static void NotifyMainThreadByPostKey(const QString& name, std::function<void()> work);

  // The time as a long date and a short time of `locale`, in local time.
  static QString FormatFileTimeToString(uint64_t fileTime, const QLocale& locale = QLocale::system());

  // A slash and the volume name of the node's tree root, then each folder
  // and the node's own name, each behind a slash; "" for null. Names that
  // are null count as empty. At most 1024 levels are walked.
  static QString GetPathByFileNode(IFileNode* node);

  // The prefix of a file system's folder among recovered files: 31 "HFS+_",
  // 32 "Fat_", 33 "ExFat_", 34 "RAW_", anything else "".
  static QString GetFileSystemStrByType(int searcherType);

  // The search's name match. A null or empty key matches everything; a null
  // text or node nothing. A text matches when it contains the key, ignoring
  // case (both read as UTF-8). A file matches by its name; a folder when
  // any file below it matches (its own name does not count).
  static bool IsString(const char* key, const char* text);
  static bool IsString(const char* key, IFileNode* node);
};
