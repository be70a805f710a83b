// Whether another process of this product runs, by process name.
#pragma once

#include <QString>

namespace platform {

// The product's name as processes show it.
inline constexpr const char* kProductName = "Clipmender";

// True when a process other than this one, not a zombie, has `processName` as
// its name. Process names are kept to 15 bytes by the kernel, so the names are
// compared after cutting both to that length, ignoring case; a process whose
// name is only a prefix of the product's ("Clip") or that merely starts with
// it ("ClipmenderX") does not count. `procRoot` is the proc file system to
// read (tests).
bool IsOtherInstanceRunning(const QString& processName = QLatin1String(kProductName),
                            const QString& procRoot = QStringLiteral("/proc"));

}  // namespace platform
