// Texts the windows show for sizes and file systems, the first-run and
// last-update-check marks, and the network probe of the update check.
#pragma once

#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>

class KVPublicUtilities {
 public:
  KVPublicUtilities() = delete;

  // A byte count in decimal units: "999 byte", "1.00 KB", "1.50 MB",
  // "2.35 GB", "1.00 TB" (below 1000 whole bytes; then two decimals of
  // kilo-, mega-, giga- and terabytes, the last for everything from 1e12).
  static QString longlongDiskSize(long long bytes);
  // The same text.
  static QString longlongConvertVolSpace(long long bytes);

  // "Disk Image" when `dmg` is not 0; otherwise the name of the file-system
  // type code (0 "FAT12" ... 8 "HFS+", 9 "Unknown") and "Disk" for any other
  // code (a disk's type is -1).
  static QString fileSystemTypeForInt(int type, int dmg);

  // The first-run mark ("NO" once writeFristTime ran); invalid when it was
  // never set. The user's own value comes first, then the value shipped in
  // the "LocalVersionMessage" property list of the resources.
  static QVariant isFristTime();
  static void writeFristTime();
  // The time of the last update check as the update check wrote it, the same
  // way round.
  static QVariant getUpDataTimeStr();
  static void writeUpDataTimeStr(const QString& stamp);

  // The page the network probe fetches.
  static QUrl NetworkProbeUrl();
  // Whether the network can be used: `done` gets true when a GET of `url`
  // (never answered from a cache) brings data within `timeoutMs`, false on
  // any error or time-out. `done` runs once, later, on the calling thread,
  // which must run an event loop (the main thread).
  static void isCanBeUseNetWork(std::function<void(bool)> done, const QUrl& url = NetworkProbeUrl(),
                                int timeoutMs = 5000);
};
