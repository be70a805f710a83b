// What the results window's recovery flow asks of the application core and
// of the destination's file system. Default() answers through KVUIController
// and the system; tests put their own recovery in its place to drive every
// turn of the flow (a stop racing the end, a full destination) on time.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

struct KVRecoveryServices {
  // Whether files can be made in `folder` (POSIX access for write and
  // search: a read-only mount refuses even root).
  std::function<bool(const QString& folder)> isWritable;
  // Whether `folder` lies on the disk being recovered.
  std::function<bool(const QString& folder)> isSameDevice;
  // Free bytes of the file system holding `folder`; -1 when unknown.
  std::function<int64_t(const QString& folder)> freeSpace;
  // The bytes a recovery of the ticked files writes.
  std::function<uint64_t()> selectedStoredSize;
  // Starts copying the ticked files into `folder`; the recovery then posts
  // `postName` on the main thread while it has news. False when it did not
  // start.
  std::function<bool(const QString& folder, const QString& postName)> doRecovery;
  // Running or paused.
  std::function<bool()> isRecoveryRunning;
  // Fills the recovery's total and current bytes and its last error; answers
  // the name of the file being copied (a null text when none).
  std::function<QString(uint64_t* total, uint64_t* current, uint64_t* error)> progress;
  std::function<void()> pauseOrResume;
  std::function<void()> stop;
  // Files copied so far.
  std::function<uint64_t()> recoveredFiles;
  // Files that could not be copied whole, and in `tooLarge` those the
  // destination refused as too large for its file system.
  std::function<uint64_t(uint64_t* tooLarge)> failedFiles;
  // Where the failed files' copies are in the destination.
  std::function<QStringList()> failedPaths;

  static KVRecoveryServices Default();

  static bool IsWritableFolder(const QString& folder);
  static int64_t FreeSpace(const QString& folder);
  // The free space a recovery of `storedBytes` asks for: 105 % of it,
  // truncated, in whole-number arithmetic that cannot overflow (held at the
  // largest value). 100 bytes need 105, 101 need 106.
  static uint64_t SpaceNeeded(uint64_t storedBytes);
  // Whether `freeBytes` is above what `storedBytes` need (equal is not
  // enough; an unknown or negative free space never is).
  static bool HasRoomFor(int64_t freeBytes, uint64_t storedBytes);
};
