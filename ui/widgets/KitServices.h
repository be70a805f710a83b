// What the kit asks of the application core, as small interfaces the
// application installs at start. The kit never includes the core's headers:
// tests and the gallery install stand-ins, or nothing at all.
#pragma once

#include <QString>

// Whether a scan is under way; tick boxes refuse changes while one runs.
class IKitScanState {
 public:
  virtual ~IKitScanState() = default;
  virtual bool IsScanRunning() const = 0;
  virtual bool IsPause() const = 0;
};

// The interface language's text for a key of the string tables.
class IKitStrings {
 public:
  virtual ~IKitStrings() = default;
  virtual QString LocalizedString(const QString& key) const = 0;
};

namespace KitServices {

// Not owned; null restores the default (no scan; every key stands for itself).
void SetScanState(const IKitScanState* state);
void SetStrings(const IKitStrings* strings);

const IKitScanState& ScanState();
QString LocalizedString(const QString& key);

}  // namespace KitServices
