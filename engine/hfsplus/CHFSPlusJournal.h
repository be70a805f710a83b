// The volume's journal reader. Today it only records whether the volume
// says it has a journal; the sweep that takes deleted records out of the
// journal buffer fills the volume's journal-record collections later.
#pragma once

#include <cstdint>

#include "ResultCode.h"

class CHFSPlusVolume;

class CHFSPlusJournal {
 public:
  explicit CHFSPlusJournal(CHFSPlusVolume* volume);
  ResultCode GetLastError() const { return m_lastError; }
  // The journal info block's number; 0 when the volume keeps no journal.
  uint32_t GetInfoBlock() const { return m_infoBlock; }
  CHFSPlusVolume* GetVolume() const { return m_volume; }

 private:
  CHFSPlusVolume* m_volume;
  ResultCode m_lastError = 0;
  uint32_t m_infoBlock = 0;
};
