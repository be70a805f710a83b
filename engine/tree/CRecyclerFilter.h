// Recognises the recycle bins of FAT, exFAT and NTFS volumes and the entries
// inside them.
#pragma once

class IFileNode;

class CRecyclerFilter {
 public:
  CRecyclerFilter() = delete;

  // The node or one of its linked ancestors is a recycle-bin folder.
  static bool IsRecycleBin(IFileNode* node);
  // The node itself, ancestors aside, is a recycle-bin folder: a folder
  // named "Recycler", "Recycled", "$Recycle.Bin" or "$RECYCLE.BI0", any case.
  static bool IsRecycleBinSigleNode(IFileNode* node);
  // A recycle record: the name begins "$I" or "#I".
  static bool IsRecycleRecordName(const char* name);
  // A recycled data file: the name begins "$R" or "#R" and is not one of the
  // NTFS metadata names it could be confused with ($RmMetadata, $Reparse,
  // $Repair or a prefix of them).
  static bool IsRecycledDataName(const char* name);
  // Folders are told by the attribute bit 0x10 on FAT, exFAT and NTFS; nodes
  // that answer IsDirectory without the bit count as folders too.
  static bool IsFolder(IFileNode* node);
};
