// Copy-out: writing the content of found files to a destination folder.
//
// One copy-out object serves one searcher of one scan. The scan driver makes
// it (CreateDataRecoveryObj) and initialises it with the searcher and the
// scanned device; the application then, for each ticked file, calls
// SetRecoverNode and RecoverTo, and for picture previews SetRecoverNode and
// ReadSmallJPG (or reads through the reader that SetRecoverNode returned).
//
// A full destination
// ------------------
// When the destination takes fewer bytes than written (no space, quota
// exceeded, file-size limit), RecoverTo sends its progress record with the
// short-write code (error number 0xD03 in the low 32 bits) and `current`
// unchanged, then asks the sink's Continued(): the application pauses the
// copy on that code, so Continued() blocks until the user has made room and
// resumes (true: the same chunk is written again at its own offset, and the
// finished file is identical to the source) or stops (false: RecoverTo
// answers 0 and leaves the partial file). Without a sink, RecoverTo answers
// the short-write code itself.
#pragma once

#include "FileReader.h"
#include "ResultCode.h"

class IFileNode;
class IFileSystemSearchController;
class IProgress;
class IStorageDevice;

// The order of the virtual operations is part of the interface.
class IDataRecovery {
 public:
  virtual ~IDataRecovery() = default;

  // Takes the file systems that `searcher` found (the records become the
  // copy-out object's) and remembers `device`, which must outlive the object.
  // Error 5 for a null argument, 0xD01 when the searcher found nothing.
  virtual ResultCode Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) = 0;
  // Prepares the reader of `node` and answers a clone of it, which the caller
  // gives back with Release; null when the node cannot be read (a folder, an
  // empty file, no matching file system). Every call drops the previously
  // prepared reader first, so RecoverTo never writes another file's data.
  virtual IFileReader* SetRecoverNode(IFileNode* node) = 0;
  // Writes the prepared file to `path` (created or truncated, mode 0666 less
  // the umask). `byteLimit` > 0 copies at most that many bytes from the start;
  // 0 or a negative value copies the whole file. Answers 0 on success and when
  // the sink stopped the copy, and for an empty file (size 0, not cut to
  // nothing: its empty copy is the whole file); 0xD02 (with an empty file
  // created) when no reader is prepared for any other; 0xF when the
  // destination cannot be opened (or a byte limit is asked of an
  // NTFS-compressed file); 5 for a null path; 1 when the destination fails
  // otherwise or the compressed-data reader fails; 0xD04
  // when the destination holds only part of the file (a damaged compressed
  // stream, or reads that stopped delivering anything). Nothing is written
  // past what the file's runs describe, and zeros it reads (holes of a
  // sparse file) stay holes of the destination. `progress` may be null.
  virtual ResultCode RecoverTo(const char* path, IProgress* progress, int byteLimit) = 0;
  // Copies the embedded JPEG picture (an EXIF thumbnail) found in the first
  // 64 KiB of the prepared file into `out` and answers its length; 0 when
  // there is none, the file is shorter than 64 KiB or `size` is below 64 KiB.
  virtual unsigned int ReadSmallJPG(char* out, unsigned int size) = 0;
  // Destroys the object with its reader and partition records.
  virtual void Release() = 0;
};

// A new, empty copy-out object; the caller owns it.
IDataRecovery* CreateDataRecoveryObj();
