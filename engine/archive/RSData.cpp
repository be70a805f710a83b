#include "archive/RSData.h"

#include <algorithm>
#include <cstring>

#include "archive/CRC.h"

namespace {

constexpr size_t kCheckValueOffset = 20;

void PutU32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetU32(const uint8_t* in) {
  return uint32_t{in[0]} | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16) | (uint32_t{in[3]} << 24);
}

void EncodeHeader(const FILEHEADER& header, uint8_t* out) {
  std::memcpy(out, header.signature.bytes, 16);
  PutU32(out + 16, header.version);
  PutU32(out + 20, header.checkValue);
  PutU32(out + 24, header.status);
  PutU32(out + 28, header.descriptionLength);
  std::memcpy(out + 32, header.description, kRSDescriptionMax);
}

void DecodeHeader(const uint8_t* in, FILEHEADER& header) {
  std::memcpy(header.signature.bytes, in, 16);
  header.version = GetU32(in + 16);
  header.checkValue = GetU32(in + 20);
  header.status = GetU32(in + 24);
  header.descriptionLength = GetU32(in + 28);
  std::memcpy(header.description, in + 32, kRSDescriptionMax);
}

uint32_t HeaderCheckValue(const uint8_t* raw) {
  uint8_t copy[kRSHeaderSize];
  std::memcpy(copy, raw, kRSHeaderSize);
  PutU32(copy + kCheckValueOffset, 0);
  return CCRC::RunCRC16(copy, kRSHeaderSize, CCRC::kPolynomial16);
}

void EncodeFrameHeader(const tagGUIDSIGN& id, uint32_t length, uint8_t* out) {
  std::memcpy(out, _frSignPub.bytes, 16);
  std::memcpy(out + 16, id.bytes, 16);
  PutU32(out + 32, length);
}

}  // namespace

FILEHEADER::FILEHEADER()
    : signature(_frSignPub), version(0), checkValue(0), status(0), descriptionLength(0), description() {}

CRSData::CRSData(RSMode mode) : mode_(mode) {}

CRSData::~CRSData() { CloseQuietly(); }

void CRSData::RaisePending() {
  if (error_ != 0) {
    const uint32_t code = error_;
    error_ = 0;
    throw CRSException(code);
  }
}

void CRSData::ForgetFrame() {
  bufferCount_ = 0;
  bufferOffset_ = 0;
  frameId_ = tagGUIDSIGN{};
  frameLength_ = 0;
  framePosition_ = kNoFrame;
  readOffset_ = 0;
}

void CRSData::CloseQuietly() {
  if (mode_ == RSModeWrite && FrameOpen() && file_.IsOpen()) {
    // A frame left open would keep length 0 on disk, and a reader would then
    // take its payload for frame headers.
    WriteBuffered();
    WriteFrameHeader();
  }
  ForgetFrame();
  error_ = 0;
  file_.Close();
}

int CRSData::StartRS(const char* path, int create) {
  if (path == nullptr || path[0] == '\0') return 0;
  CloseQuietly();
  if (mode_ == RSModeRead) return file_.Open(path, CStdFile::OpenRead) ? 1 : 0;
  return file_.Open(path, create != 0 ? CStdFile::OpenCreate : CStdFile::OpenAlways) ? 1 : 0;
}

int CRSData::EndRS() {
  CloseQuietly();
  return 1;
}

int CRSData::CheckFile() {
  if (!file_.IsOpen()) return 0;
  uint8_t raw[kRSHeaderSize];
  if (file_.ReadAt(raw, sizeof raw, 0) != static_cast<int64_t>(sizeof raw)) return 0;
  FILEHEADER header;
  DecodeHeader(raw, header);
  return header.signature == _frSignPub && header.status >= 1 && header.status <= FileStatusLast ? 1 : 0;
}

int CRSData::WriteFileHeader(const FILEHEADER& header) {
  if (mode_ != RSModeWrite || !file_.IsOpen()) return 0;
  FILEHEADER copy = header;
  copy.version = kRSVersion;
  copy.checkValue = 0;
  uint8_t raw[kRSHeaderSize];
  EncodeHeader(copy, raw);
  PutU32(raw + kCheckValueOffset, HeaderCheckValue(raw));
  return file_.WriteAt(raw, sizeof raw, 0);
}

int CRSData::ReadFileHeader(FILEHEADER& header) {
  if (!file_.IsOpen()) return 0;
  uint8_t raw[kRSHeaderSize];
  if (file_.ReadAt(raw, sizeof raw, 0) != static_cast<int64_t>(sizeof raw)) return 0;
  DecodeHeader(raw, header);
  return header.checkValue == HeaderCheckValue(raw) && header.version == kRSVersion ? 1 : 0;
}

bool CRSData::ReadValidHeader(FILEHEADER& header) { return ReadFileHeader(header) == 1; }

FileStatus CRSData::GetStatus() {
  uint32_t status = 0;
  FILEHEADER header;
  if (mode_ != RSModeRead) {
    error_ = RSErrorWrongMode;
  } else if (ReadValidHeader(header)) {
    if (header.status > FileStatusLast) {
      error_ = RSErrorBadHeader;
    } else {
      status = header.status;
    }
  }
  RaisePending();
  return static_cast<FileStatus>(status);
}

int CRSData::SetStatus(FileStatus status) {
  int result = 0;
  if (mode_ != RSModeWrite) {
    error_ = RSErrorWrongMode;
  } else {
    FILEHEADER header;
    if (!ReadValidHeader(header)) header = FILEHEADER();
    header.status = status;
    result = WriteFileHeader(header);
  }
  RaisePending();
  return result;
}

int CRSData::SetFileDescription(const char* text) {
  int result = 0;
  FILEHEADER header;
  if (mode_ != RSModeWrite) {
    error_ = RSErrorWrongMode;
  } else if (text != nullptr && ReadValidHeader(header)) {
    const size_t length = strnlen(text, kRSDescriptionMax);
    header.descriptionLength = static_cast<uint32_t>(length);
    // Bytes past the length are not read back, but stale text has no
    // business staying in the file.
    std::memset(header.description, 0, sizeof header.description);
    std::memcpy(header.description, text, length);
    result = WriteFileHeader(header);
  }
  RaisePending();
  return result;
}

int CRSData::GetFileDescription(char* buffer, int size) {
  if (buffer == nullptr || size < 1) return 0;
  int result = 0;
  FILEHEADER header;
  if (mode_ != RSModeRead) {
    error_ = RSErrorWrongMode;
  } else if (ReadValidHeader(header)) {
    if (header.descriptionLength > kRSDescriptionMax) {
      error_ = RSErrorBadHeader;
    } else {
      const size_t n = std::min<size_t>(header.descriptionLength, static_cast<size_t>(size) - 1);
      std::memcpy(buffer, header.description, n);
      buffer[n] = '\0';
      result = 1;
    }
  }
  RaisePending();
  return result;
}

bool CRSData::WriteFrameHeader() {
  uint8_t raw[kRSFrameHeaderSize];
  EncodeFrameHeader(frameId_, frameLength_, raw);
  return file_.WriteAt(raw, sizeof raw, framePosition_) == 1;
}

int CRSData::OpenFrame(const tagGUIDSIGN& id) {
  CloseFrame();
  int result = 0;
  if (mode_ == RSModeWrite) {
    const int64_t end = file_.GetLength();
    // Frames never start inside the header, even before it is written.
    const uint64_t position = std::max<uint64_t>(end < 0 ? 0 : static_cast<uint64_t>(end), kRSHeaderSize);
    if (end < 0 || position + kRSFrameHeaderSize > kRSArchiveLimit) {
      error_ = RSErrorWriteFailed;
    } else {
      frameId_ = id;
      frameLength_ = 0;
      framePosition_ = position;
      if (WriteFrameHeader()) {
        result = 1;
      } else {
        // A torn header would be read as a frame; cut it off.
        file_.SetLength(static_cast<uint64_t>(end));
        ForgetFrame();
        error_ = RSErrorWriteFailed;
      }
    }
  } else {
    // Each step moves on by at least one frame header, and nothing of an
    // archive lies past 4 GiB, so the walk ends whatever the lengths say.
    uint64_t position = kRSHeaderSize;
    uint8_t raw[kRSFrameHeaderSize];
    while (position + kRSFrameHeaderSize <= kRSArchiveLimit &&
           file_.ReadAt(raw, sizeof raw, position) == static_cast<int64_t>(sizeof raw)) {
      tagGUIDSIGN signature, frameId;
      std::memcpy(signature.bytes, raw, 16);
      std::memcpy(frameId.bytes, raw + 16, 16);
      const uint32_t length = GetU32(raw + 32);
      if (signature == _frSignPub && frameId == id) {
        frameId_ = frameId;
        frameLength_ = length;
        framePosition_ = position;
        result = 1;
        break;
      }
      position += kRSFrameHeaderSize + uint64_t{length};
    }
    if (result == 0) {
      ForgetFrame();
      error_ = RSErrorFrameNotFound;
    }
  }
  RaisePending();
  return result;
}

bool CRSData::WriteBuffered() {
  if (bufferCount_ == 0) return true;
  const uint64_t at = PayloadStart() + (frameLength_ - bufferCount_);
  const bool written = file_.WriteAt(buffer_.data(), bufferCount_, at) == 1;
  if (!written) {
    // Keep the frame exactly as long as what reached the file, so that the
    // archive stays readable after the failure.
    file_.SetLength(at);
    frameLength_ -= bufferCount_;
    error_ = RSErrorWriteFailed;
  }
  bufferCount_ = 0;
  return written;
}

int CRSData::FlushBuffer() {
  int result = 1;
  if (mode_ == RSModeWrite) {
    if (FrameOpen() && !WriteBuffered()) result = 0;
  }
  bufferCount_ = 0;
  bufferOffset_ = 0;
  RaisePending();
  return result;
}

int CRSData::CloseFrame() {
  if (FrameOpen() && mode_ == RSModeWrite) {
    WriteBuffered();
    if (!WriteFrameHeader()) error_ = RSErrorWriteFailed;
  }
  ForgetFrame();
  RaisePending();
  return 1;
}

uint32_t CRSData::GetFrameSize() {
  if (!FrameOpen()) error_ = RSErrorNoFrame;
  RaisePending();
  return frameLength_;
}

int CRSData::WriteCurFrame(const void* data, unsigned int n) {
  if (error_ != 0) return 0;
  int result = 0;
  if (mode_ != RSModeWrite) {
    error_ = RSErrorWrongMode;
  } else if (!FrameOpen()) {
    error_ = RSErrorNoFrame;
  } else if (n == 0) {
    result = 1;
  } else if (data == nullptr) {
    result = 0;
  } else if (PayloadStart() + frameLength_ + n > kRSArchiveLimit) {
    error_ = RSErrorWriteFailed;
  } else if (bufferCount_ + size_t{n} > kBufferSize && !WriteBuffered()) {
    // error_ is set; the new bytes are not taken either
  } else if (n >= kBufferSize) {
    const uint64_t at = PayloadStart() + frameLength_;
    if (file_.WriteAt(data, n, at) == 1) {
      frameLength_ += n;
      result = 1;
    } else {
      file_.SetLength(at);
      error_ = RSErrorWriteFailed;
    }
  } else {
    if (buffer_.size() < kBufferSize) buffer_.resize(kBufferSize);
    std::memcpy(buffer_.data() + bufferCount_, data, n);
    bufferCount_ += n;
    frameLength_ += n;
    result = 1;
  }
  RaisePending();
  return result;
}

int CRSData::ReadCurFrame(void* buffer, unsigned int n) {
  int result = 0;
  if (mode_ != RSModeRead) {
    error_ = RSErrorWrongMode;
  } else if (!FrameOpen()) {
    error_ = RSErrorNoFrame;
  } else {
    const uint32_t wanted = std::min<uint32_t>(n, frameLength_ - readOffset_);
    if (wanted > 0 && buffer == nullptr) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    // What the buffer already holds from the read position on.
    if (wanted > 0 && readOffset_ >= bufferOffset_ && readOffset_ - bufferOffset_ < bufferCount_) {
      done = std::min(wanted, bufferCount_ - (readOffset_ - bufferOffset_));
      std::memcpy(out, buffer_.data() + (readOffset_ - bufferOffset_), done);
    }
    if (done < wanted) {
      const uint32_t offset = readOffset_ + done;
      const uint32_t need = wanted - done;
      if (need >= kBufferSize) {
        const int64_t got = file_.ReadAt(out + done, need, PayloadStart() + offset);
        if (got > 0) done += static_cast<uint32_t>(got);
      } else {
        if (buffer_.size() < kBufferSize) buffer_.resize(kBufferSize);
        const uint32_t fill = static_cast<uint32_t>(std::min<uint64_t>(kBufferSize, frameLength_ - offset));
        const int64_t got = file_.ReadAt(buffer_.data(), fill, PayloadStart() + offset);
        bufferOffset_ = offset;
        bufferCount_ = got > 0 ? static_cast<uint32_t>(got) : 0;
        const uint32_t take = std::min(need, bufferCount_);
        if (take > 0) std::memcpy(out + done, buffer_.data(), take);
        done += take;
      }
    }
    readOffset_ += wanted;
    if (done < wanted) error_ = RSErrorShortRead;
    result = 1;
  }
  RaisePending();
  return result;
}
