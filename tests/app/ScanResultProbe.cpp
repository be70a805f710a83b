// Loads a saved scan result in a process of its own, the way the windows
// do (KVUIController's load, its notifications), on the stand-in machine
// whose sysfs, device and mount-table folders it is given; then writes what
// the result holds (ScanResultDump.h) and copies every file out.
//
//   rsf_load_probe SYS DEV MOUNTINFO FILE.rsf DUMP RECOVERY-FOLDER
//
// Prints "error <code>" and "failed <files>"; exits 0 when the load ran.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <memory>

#include "ScanResultDump.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIScan.h"
#include "enumeration/EnumDeviceEx.h"
#include "enumeration/MediaSource.h"
#include "platform/NotificationCenter.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s SYS DEV MOUNTINFO FILE.rsf DUMP RECOVERY-FOLDER\n", argv[0]);
    return 64;
  }
  QCoreApplication app(argc, argv);
  const std::string sys = argv[1], dev = argv[2], mounts = argv[3];
  KVUIDeviceData devices(
      [&] { return std::make_unique<CEnumDeviceEx>(std::make_unique<CLinuxMediaSource>(sys, dev, mounts)); });
  KVUIScan scan(&devices);
  KVUIController::UseScan(&scan);
  KVUIController::UseSaveDevices(&devices);

  QObject owner;
  platform::NotificationCenter::DefaultCenter().AddObserver(
      "QueryProgressFinish", &owner, [](const platform::Notification&) { QCoreApplication::quit(); });
  // A load that never ends is a failure, not a hang.
  QTimer::singleShot(300000, [] { QCoreApplication::exit(3); });
  if (!KVUIController::beginSaveOrRestoreNode(0, QString::fromUtf8(argv[4]))) std::printf("not started\n");
  if (app.exec() != 0) return 3;
  scan.WaitForThreads(std::chrono::seconds(60));
  uint64_t total = 0, current = 0, error = 0;
  KVUIController::GetSaveorRestoreProgress(&total, &current, &error, 0);
  std::printf("error %llu\n", static_cast<unsigned long long>(error));
  std::ofstream(argv[5]) << rsftest::DumpResult(scan);
  std::printf("failed %llu\n", static_cast<unsigned long long>(rsftest::RecoverAll(scan, devices, argv[6])));
  KVUIController::UseScan(nullptr);
  KVUIController::UseSaveDevices(nullptr);
  return error == 0 ? 0 : 1;
}
