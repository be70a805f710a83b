// Where a recovered file is written.
//
// Below the folder the user chose, each recovery gets one top folder per file
// system it copies from, named with the file system's prefix (KVUIPublic::
// GetFileSystemStrByType; NTFS has none) and the first free four-digit number
// ("HFS+_0001", "Fat_0002", "0001"). Below it come the volume name and the
// node's folders, then the node's own name; a name that is taken gets
// "_0001", "_0002", ... before its extension. Every component is made safe
// with KVSafeFileName, so no name read from disk leads outside the chosen
// folder. Names that differ on disk may be the same once safe (HFS+ allows
// "/" in a name); a folder whose name is taken by a file gets "_0001", ...
// appended instead of failing the files inside it.
#pragma once

#include <map>
#include <mutex>

#include "EngineTypes.h"

// The numbers of the top folders made so far in one recovery, by searcher
// type. Calls may come from any thread.
class KVRecoveryFolderNumbers {
 public:
  // The table the recovery operation uses (and CreateRecoveryFilePathByNode
  // with two arguments). The recovery clears it when it starts.
  static KVRecoveryFolderNumbers& Shared();

  // 0 when no folder has been made for the type yet.
  int Get(_tagSearcherType type);
  void Set(_tagSearcherType type, int number);
  void Clear();

 private:
  std::mutex m_mutex;
  std::map<int, int> m_numbers;
};

// The path for the recovered copy of `node` (an IFileNode*) below
// `destination`, as a string from malloc that the caller frees with free();
// the top folder and the node's parent folders exist when it returns, the
// file itself does not. Null for a null node or destination, an empty
// destination, a hidden node, a node whose tree has no searcher type, a
// folder node (whose folders are made all the same), and whenever a folder
// cannot be made. A destination without a final "/" is taken as if it had
// one.
char* CreateRecoveryFilePathByNode(void* node, const char* destination, KVRecoveryFolderNumbers& numbers);
char* CreateRecoveryFilePathByNode(void* node, const char* destination);
