#include "ui/widgets/KitServices.h"

namespace KitServices {
namespace {

class NoScan : public IKitScanState {
 public:
  bool IsScanRunning() const override { return false; }
  bool IsPause() const override { return false; }
};

const NoScan g_noScan;
const IKitScanState* g_scanState = nullptr;
const IKitStrings* g_strings = nullptr;

}  // namespace

void SetScanState(const IKitScanState* state) { g_scanState = state; }
void SetStrings(const IKitStrings* strings) { g_strings = strings; }

const IKitScanState& ScanState() { return g_scanState ? *g_scanState : g_noScan; }
QString LocalizedString(const QString& key) { return g_strings ? g_strings->LocalizedString(key) : key; }

}  // namespace KitServices
