// Whether this process can read the machine's disks, and what to tell the
// user when it cannot. Started without the rights, the device list would be
// empty with no word of why; a container or a device policy can also refuse
// the disks to root, and then pkexec would not help either.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

enum class KVDiskAccess {
  kReadable,         // a disk opened: nothing to say
  kNoDisks,          // no block device to try: start
  kNeedsRights,      // not root, and the disks are refused: say how to start with rights, and stop
  kBlockedBySystem,  // root, and the system still refuses the disks: say so, and start anyway
};

struct KVDiskAccessCheck {
  KVDiskAccess verdict = KVDiskAccess::kNoDisks;
  QString message;  // empty unless the user must be told
  // Whether the program must stop: only when more rights would help.
  bool mustStop() const { return verdict == KVDiskAccess::kNeedsRights; }
};

// Opens a device node read-only; answers 0, or the errno of the failure.
using KVDeviceOpener = std::function<int(const QByteArray& path)>;

// Tries the block devices listed under `sysBlock` through their nodes in
// `devDir`, as the effective user `asRoot` says. RAM disks and loop devices
// without a backing file hold no medium and say nothing about the rights.
KVDiskAccessCheck CheckDiskAccess(const QString& sysBlock, const QString& devDir, bool asRoot,
                                  const KVDeviceOpener& open);

// The check of this process on this machine.
KVDiskAccessCheck CheckDiskAccess();
