#include "platform/SingleInstance.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace platform {

namespace {

// The kernel keeps 16 bytes with the terminating NUL.
constexpr qsizetype kCommBytes = 15;

QByteArray CutName(const QByteArray& name) {
  QByteArray cut = name.left(kCommBytes);
  return cut.toLower();
}

QByteArray ReadSmallFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.read(4096);
}

// The state letter of /proc/<pid>/stat: the field after the parenthesised
// name, whose own text may contain ") ".
char ProcessState(const QByteArray& stat) {
  const qsizetype close = stat.lastIndexOf(')');
  if (close < 0 || close + 2 >= stat.size()) return '?';
  return stat.at(close + 2);
}

}  // namespace

bool IsOtherInstanceRunning(const QString& processName, const QString& procRoot) {
  const QByteArray wanted = CutName(processName.toUtf8());
  if (wanted.isEmpty()) return false;
  const QString self = QString::number(getpid());
  const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  for (const QString& entry : entries) {
    bool numeric = false;
    const qlonglong pid = entry.toLongLong(&numeric);
    if (!numeric || pid <= 0 || entry == self) continue;
    QByteArray comm = ReadSmallFile(procRoot + QLatin1Char('/') + entry + QStringLiteral("/comm"));
    if (comm.endsWith('\n')) comm.chop(1);
    if (comm.isEmpty() || CutName(comm) != wanted) continue;
    const char state = ProcessState(ReadSmallFile(procRoot + QLatin1Char('/') + entry + QStringLiteral("/stat")));
    if (state == 'Z' || state == 'X' || state == 'x') continue;  // exited, not yet reaped
    return true;
  }
  return false;
}

}  // namespace platform
