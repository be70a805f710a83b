#include "app/KVDiskAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

KVDiskAccessCheck CheckDiskAccess(const QString& sysBlock, const QString& devDir, bool asRoot,
                                  const KVDeviceOpener& open) {
  const QStringList names = QDir(sysBlock).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
  int refused = 0;
  for (const QString& name : names) {
    if (name.startsWith(QLatin1String("ram")) || name.startsWith(QLatin1String("zram"))) continue;
    if (name.startsWith(QLatin1String("loop")) &&
        !QFileInfo::exists(sysBlock + QLatin1Char('/') + name + QLatin1String("/loop/backing_file")))
      continue;
    const int error = open(QFile::encodeName(devDir + QLatin1Char('/') + name));
    if (error == 0) return {KVDiskAccess::kReadable, QString()};
    if (error == EACCES || error == EPERM) ++refused;
  }
  if (refused == 0) return {KVDiskAccess::kNoDisks, QString()};
  if (!asRoot) {
    return {KVDiskAccess::kNeedsRights,
            QStringLiteral("Clipmender cannot read the disks: it needs administrator rights to look for lost files. "
                           "Start it from the applications menu, or run \"pkexec clipmender\".")};
  }
  return {KVDiskAccess::kBlockedBySystem,
          QStringLiteral("Clipmender runs with administrator rights, but the system's device rules block access to "
                         "the disks (as in a container). Only what can be read is listed, such as disk images "
                         "attached as loop devices.")};
}

KVDiskAccessCheck CheckDiskAccess() {
  return CheckDiskAccess(QStringLiteral("/sys/block"), QStringLiteral("/dev"), ::geteuid() == 0,
                         [](const QByteArray& path) {
                           const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
                           if (fd < 0) return errno;
                           ::close(fd);
                           return 0;
                         });
}
