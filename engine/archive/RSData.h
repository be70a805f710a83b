// The archive container under the saved scan-result file.
//
// An archive is a 132-byte header with a CRC-16 check value followed by
// frames, each a 36-byte frame header (the archive signature, a 16-byte
// identifier, the payload length) and its payload. All integers are
// little-endian. Frame positions and lengths are 32-bit, so an archive never
// grows past 4 GiB.
//
// Operations report failures by throwing CRSException with one of the codes
// below; the object stays usable after a throw. CheckFile, StartRS, EndRS,
// WriteFileHeader and ReadFileHeader never throw. One object is used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/StdFile.h"

// A 16-byte identifier, in file order.
struct tagGUIDSIGN {
  uint8_t bytes[16];
  friend bool operator==(const tagGUIDSIGN&, const tagGUIDSIGN&) = default;
};

// The archive signature: the first 16 bytes of the file and of every frame.
inline constexpr tagGUIDSIGN _frSignPub = {
    {0xEA, 0xF4, 0xB3, 0x1C, 0x05, 0x43, 0xB6, 0x4A, 0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB}};

enum RSMode : int {
  RSModeRead = 0,
  RSModeWrite = 1,
};

// Statuses 1 to 4 are valid; the scan-result writer stores 1.
enum FileStatus : uint32_t {
  FileStatusNone = 0,
  FileStatusNormal = 1,
  FileStatusLast = 4,
};

inline constexpr uint32_t kRSVersion = 5800;
inline constexpr uint32_t kRSDescriptionMax = 100;
inline constexpr size_t kRSHeaderSize = 132;
inline constexpr size_t kRSFrameHeaderSize = 36;
// No byte of an archive lies at or past this offset.
inline constexpr uint64_t kRSArchiveLimit = uint64_t{1} << 32;

// The file header as a plain structure; its on-disk form is written and
// read field by field, little-endian.
struct FILEHEADER {
  tagGUIDSIGN signature;
  uint32_t version;
  uint32_t checkValue;  // CRC-16 of the header with this field 0
  uint32_t status;      // a FileStatus
  uint32_t descriptionLength;
  char description[kRSDescriptionMax];  // not NUL-terminated

  // The signature, everything else 0.
  FILEHEADER();
};
static_assert(sizeof(FILEHEADER) == kRSHeaderSize);

// Codes carried by CRSException.
enum RSErrorCode : uint32_t {
  RSErrorBadHeader = 2,
  RSErrorWrongMode = 3,
  RSErrorShortRead = 5,
  RSErrorWriteFailed = 6,
  RSErrorFrameNotFound = 7,
  RSErrorNoFrame = 8,
};

class CRSException {
 public:
  explicit CRSException(uint32_t code) : code_(code) {}
  virtual ~CRSException() = default;
  virtual uint32_t GetErrorcode() const { return code_; }

 private:
  uint32_t code_;
};

class IRSData {
 public:
  virtual ~IRSData() = default;

  // 1 when the file is open and starts with a header whose signature is the
  // archive's and whose status is 1 to 4; version and check value are not
  // looked at.
  virtual int CheckFile() = 0;
  // Opens `path`: read-only in read mode; in write mode created or emptied
  // when `create` is non-zero, else opened read-write (created when
  // missing). Answers whether the file is open; 0 for a null or empty path.
  virtual int StartRS(const char* path, int create) = 0;
  // Closes the file (finishing a frame still open in write mode); answers 1.
  virtual int EndRS() = 0;
  // Write mode: writes the header at offset 0 with version 5800 and the
  // check value filled in. Answers 1 when all 132 bytes were written; 0 in
  // read mode or on failure.
  virtual int WriteFileHeader(const FILEHEADER& header) = 0;
  // Reads the header at offset 0 into `header`; 1 only when all 132 bytes
  // were read, the check value matches and the version is 5800. The
  // signature is not tested here.
  virtual int ReadFileHeader(FILEHEADER& header) = 0;
  // Read mode: the status of a valid header; 0 for an unreadable or invalid
  // one; a status of 5 or more is RSErrorBadHeader.
  virtual FileStatus GetStatus() = 0;
  // Write mode: stores the status in the valid header, or writes a fresh
  // header with it. Answers the write's result.
  virtual int SetStatus(FileStatus status) = 0;
  // Write mode: stores up to 100 bytes of `text` in a valid header; 0
  // without writing when there is none.
  virtual int SetFileDescription(const char* text) = 0;
  // Read mode: copies at most size - 1 bytes of the description and a NUL.
  // 0 for a null buffer or a size below 1 (before any other check) and for
  // an invalid header; a stored length above 100 is RSErrorBadHeader.
  virtual int GetFileDescription(char* buffer, int size) = 0;
  // Closes any open frame. Write mode: appends an empty frame with this
  // identifier (RSErrorWriteFailed when it cannot). Read mode: opens the
  // first frame with this identifier (RSErrorFrameNotFound when none).
  virtual int OpenFrame(const tagGUIDSIGN& id) = 0;
  // Write mode: writes what is buffered and the frame's final length. Then
  // forgets the frame. Answers 1.
  virtual int CloseFrame() = 0;
  // The open frame's payload length (RSErrorNoFrame without one).
  virtual uint32_t GetFrameSize() = 0;
  // Read mode: reads min(n, payload left) bytes of the open frame and
  // answers 1, also when nothing is left; the rest of `buffer` is untouched.
  // RSErrorShortRead when the file ends first.
  virtual int ReadCurFrame(void* buffer, unsigned int n) = 0;
  // Write mode: appends n bytes to the open frame's payload and answers 1;
  // a payload that would reach past 4 GiB or cannot be written is
  // RSErrorWriteFailed, and the frame keeps only what was written before.
  virtual int WriteCurFrame(const void* data, unsigned int n) = 0;
  // Writes buffered payload bytes (RSErrorWriteFailed when that fails).
  virtual int FlushBuffer() = 0;
};

class CRSData : public IRSData {
 public:
  explicit CRSData(RSMode mode);
  ~CRSData() override;
  CRSData(const CRSData&) = delete;
  CRSData& operator=(const CRSData&) = delete;

  int CheckFile() override;
  int StartRS(const char* path, int create) override;
  int EndRS() override;
  int WriteFileHeader(const FILEHEADER& header) override;
  int ReadFileHeader(FILEHEADER& header) override;
  FileStatus GetStatus() override;
  int SetStatus(FileStatus status) override;
  int SetFileDescription(const char* text) override;
  int GetFileDescription(char* buffer, int size) override;
  int OpenFrame(const tagGUIDSIGN& id) override;
  int CloseFrame() override;
  uint32_t GetFrameSize() override;
  int ReadCurFrame(void* buffer, unsigned int n) override;
  int WriteCurFrame(const void* data, unsigned int n) override;
  int FlushBuffer() override;

  // Payload passes through a buffer of this size in both modes: records are
  // written and read a few bytes at a time.
  static constexpr size_t kBufferSize = 0x80000;

 private:
  static constexpr uint64_t kNoFrame = UINT64_MAX;

  bool FrameOpen() const { return framePosition_ != kNoFrame; }
  uint64_t PayloadStart() const { return framePosition_ + kRSFrameHeaderSize; }
  bool ReadValidHeader(FILEHEADER& header);
  bool WriteFrameHeader();
  // Writes the buffered payload; on failure drops it from the frame and the
  // file and records RSErrorWriteFailed.
  bool WriteBuffered();
  void ForgetFrame();
  // Finishes a frame still open in write mode, dropping any failure, and
  // closes the file.
  void CloseQuietly();
  void RaisePending();

  RSMode mode_;
  CStdFile file_;
  std::vector<uint8_t> buffer_;  // allocated on first use
  // Write mode: bytes of payload waiting in buffer_ (they are the last
  // bufferCount_ bytes of frameLength_). Read mode: payload bytes
  // [bufferOffset_, bufferOffset_ + bufferCount_) of the open frame.
  uint32_t bufferCount_ = 0;
  uint32_t bufferOffset_ = 0;
  tagGUIDSIGN frameId_{};
  uint32_t frameLength_ = 0;
  uint64_t framePosition_ = kNoFrame;
  uint32_t readOffset_ = 0;
  uint32_t error_ = 0;  // pending CRSException code, 0 for none
};
