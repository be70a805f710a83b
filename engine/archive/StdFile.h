// A thin owner of one POSIX file descriptor, for the archive container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CStdFile {
 public:
  // Open flags by mode; modes above OpenAlways are refused. Files are
  // created with mode 0666 less the process umask.
  enum OpenMode : int {
    OpenRead = 0,        // read-only
    OpenReadWrite = 1,   // read-write, created when missing
    OpenReadWrite2 = 2,  // the same as OpenReadWrite
    OpenCreate = 3,      // read-write, created when missing, emptied
    OpenAlways = 4,      // the same as OpenReadWrite
  };

  CStdFile() = default;
  ~CStdFile();
  CStdFile(const CStdFile&) = delete;
  CStdFile& operator=(const CStdFile&) = delete;

  // Closes any open file, then opens `path`. Answers whether it is open; a
  // refused mode, a null path or a failed open leave the file closed.
  bool Open(const char* path, OpenMode mode);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& GetPath() const { return path_; }

  // Reads up to n bytes at the current position, going on after short reads
  // until n bytes, the end of the file or an error. Answers the count read,
  // -1 on an error before any byte, 0 when not open.
  int64_t Read(void* buffer, size_t n);
  // Writes all n bytes at the current position. Answers 1 when every byte
  // was written (n == 0 included), 0 when not open or on any failure; a
  // failed write may have written a part.
  int Write(const void* buffer, size_t n);

  // The same at an absolute offset, leaving the current position alone.
  int64_t ReadAt(void* buffer, size_t n, uint64_t offset);
  int WriteAt(const void* buffer, size_t n, uint64_t offset);

  // Each answers the new position, or -1 when not open or on failure.
  int64_t SeekToBegin();
  int64_t SeekToEnd();
  int64_t Seek(uint64_t offset);
  // The current position; 0 when not open.
  int64_t GetPosition() const;

  // The file's size; -1 when not open or unknown.
  int64_t GetLength() const;
  // Cuts or extends the file to `length` bytes.
  bool SetLength(uint64_t length);

 private:
  int fd_ = -1;  // fd 0 is a valid descriptor when stdin was closed
  std::string path_;
};
