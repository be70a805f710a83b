#include "ui/windows/KVKitServices.h"

#include "app/KVUIController.h"
#include "platform/Resources.h"
#include "ui/widgets/KitServices.h"

namespace {

class ScanState : public IKitScanState {
 public:
  bool IsScanRunning() const override { return KVUIController::IsScanRunning(); }
  bool IsPause() const override { return KVUIController::IsPause(); }
};

class Strings : public IKitStrings {
 public:
  QString LocalizedString(const QString& key) const override { return platform::Resources::LocalizedString(key); }
};

}  // namespace

void KVKitServices::Install() {
  static const ScanState scanState;
  static const Strings strings;
  KitServices::SetScanState(&scanState);
  KitServices::SetStrings(&strings);
}
