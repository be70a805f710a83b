#include "app/KVUIPublic.h"

#include <QDateTime>
#include <QRegularExpression>

#include <vector>

#include "FileNode.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"

namespace {

// Deeper parent chains are not followed (found trees are never that deep;
// a damaged one must not make a display path endless).
constexpr int kMaxPathDepth = 1024;

QString NameOf(const char* name) { return name != nullptr ? QString::fromUtf8(name) : QString(); }

}  // namespace

int64_t convertWindowsTimeToUnixTime(_FILETIME fileTime) { return filetime::ToUnixSeconds(fileTime); }

QVariant KVUIPublic::NotificationObject() { return QVariant(QStringLiteral("KVUIPublic")); }

bool KVUIPublic::NotifyMainThread(const QString& name) {
  return platform::NotificationCenter::DefaultCenter().PostOnMainThread(name, NotificationObject());
}

bool KVUIPublic::NotifyMainThreadCB(const QString& name) {
  return platform::NotificationCenter::DefaultCenter().Post(name, NotificationObject());
}

void KVUIPublic::NotifyMainThreadByPostKey(const QString& name, std::function<void()> work) {
  platform::RunInBackground(std::move(work), [name] { NotifyMainThreadCB(name); });
}

QString KVUIPublic::FormatFileTimeToString(uint64_t fileTime, const QLocale& locale) {
  const QDateTime when = QDateTime::fromSecsSinceEpoch(convertWindowsTimeToUnixTime(fileTime));
  // The long date is the locale's without the day of the week ("January 2,
  // 2020"): with it the file list's date column no longer fitted its width.
  static const QRegularExpression weekday(QStringLiteral("\\s*dddd[,.،、]?\\s*"));
  const QString date = locale.dateFormat(QLocale::LongFormat).replace(weekday, QStringLiteral(" ")).trimmed();
  return locale.toString(when.date(), date) + QLatin1Char(' ') + locale.toString(when.time(), QLocale::ShortFormat);
}

QString KVUIPublic::GetPathByFileNode(IFileNode* node) {
  if (node == nullptr) return QString();
  QString path;
  IFileNode* at = node;
  for (int depth = 0; at != nullptr && depth < kMaxPathDepth; ++depth) {
    IFileNode* parent = at->GetParent();
    QString part;
    if (parent != nullptr) {
      part = NameOf(at->GetFileName());
    } else if (dynamic_cast<IFilesystemNode*>(at) != nullptr) {
      part = NameOf(at->GetVolumeName());
    }
    path.prepend(part);
    path.prepend(QLatin1Char('/'));
    at = parent;
  }
  return path;
}

QString KVUIPublic::GetFileSystemStrByType(int searcherType) {
  switch (searcherType) {
    case SEARCHER_TYPE_HFSPLUS:
      return QStringLiteral("HFS+_");
    case SEARCHER_TYPE_FAT:
      return QStringLiteral("Fat_");
    case SEARCHER_TYPE_EXFAT:
      return QStringLiteral("ExFat_");
    case SEARCHER_TYPE_RAW:
      return QStringLiteral("RAW_");
    default:
      return QString();
  }
}

bool KVUIPublic::IsString(const char* key, const char* text) {
  if (key == nullptr || *key == '\0') return true;
  if (text == nullptr) return false;
  return QString::fromUtf8(text).contains(QString::fromUtf8(key), Qt::CaseInsensitive);
}

bool KVUIPublic::IsString(const char* key, IFileNode* node) {
  if (key == nullptr || *key == '\0') return true;
  if (node == nullptr) return false;
  if (!node->IsDirectory()) return IsString(key, node->GetFileName());
  // A folder matches through any file below it. The walk keeps its own
  // stack: found trees can be far deeper than the thread's stack allows to
  // recurse.
  const QString wanted = QString::fromUtf8(key);
  NodeTreeGuard held;
  std::vector<IFileNode*> pending;
  for (IFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
    pending.push_back(child);
  }
  while (!pending.empty()) {
    IFileNode* at = pending.back();
    pending.pop_back();
    if (!at->IsDirectory()) {
      const char* name = at->GetFileName();
      if (name != nullptr && QString::fromUtf8(name).contains(wanted, Qt::CaseInsensitive)) return true;
      continue;
    }
    for (IFileNode* child = at->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      pending.push_back(child);
    }
  }
  return false;
}
