// A scan without a disk, for pictures and tests of the results window: a
// made-up found-file tree (a camera card's folders, deleted files, an empty
// folder) handed to a scan operation of its own through the interfaces the
// engine uses, on the operation's worker. The run can be held at a chosen
// progress until released, so the window can be seen while it scans.
//
// While the scene lives, KVUIController drives its scan operation.
#pragma once

#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class IDataRecovery;
class KVUIScan;

namespace resultsscene {

class Scene {
 public:
  // Volumes shown before the hold (at least 1) and after it.
  Scene(int volumesBeforeHold = 1, int volumesAfterHold = 1);
  // Releases a held run, waits for it and gives the controller's scan
  // operation back.
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // Starts the run that posts `postName`, as KVUIController::DoScanWithData
  // would: false when it cannot start.
  bool Start(const QString& postName);
  // The run waits at `percent` once the first volumes are shown, until
  // Release(); without it, it runs straight to its end.
  void HoldAt(double percent);
  void Release();
  // How the card's files are read (previews): each volume of the next run
  // gets a copy-out object made by `make`; none by default.
  void SetCopyOut(std::function<IDataRecovery*()> make);
  // Whether the run is waiting at its hold.
  bool IsHeld() const;
  KVUIScan& scan();

  // What the made-up volumes hold, for checks: the files directly in
  // "DCIM/100CANON" of the first volume, and the volume names.
  static constexpr int kCameraFiles = 12;
  static QString VolumeName(int index);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::unique_ptr<KVUIScan> scan_;
};

// Runs the event loop until `done` answers true (at most 20 s); false when
// the time ran out.
bool PumpUntil(const std::function<bool()>& done);

}  // namespace resultsscene
