// What thumbnails of found files are made from, without Qt: the file's
// bytes read through its copy-out object (never by recovering the file),
// the preview a camera raw file carries (libraw, from memory), and a frame
// of a video (libffmpegthumbnailer, on a private temporary copy of the
// video's head that is removed before the call returns).
//
// Found files are hostile input: every size is capped before anything is
// allocated for it, and pixel counts are checked before decoding.
//
// Threads: any thread, several at once. Each call reads into buffers of its
// own. A copy-out object serves the recovery too, which holds its lock
// (KVUIRecovery::CopyOutLock) from choosing a file to the end of its copy,
// also while it is paused on a full destination; Open therefore waits for
// that lock only briefly, and holds it only to choose the file and take a
// reader of its own, which it then reads without the lock. Video frames are
// made one at a time, process-wide.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class IDataRecovery;
class IFileNode;
class IFileReader;

// A picture for a thumbnail: encoded bytes (the JPEG a camera stores) for
// the caller's image decoder, or 8-bit pixels, rows of width x channels
// bytes with no padding.
struct KVThumbnailPicture {
  enum Kind { kNone, kEncoded, kRgb888, kGray8 };
  Kind kind = kNone;
  int width = 0;  // pixels; 0 for encoded bytes
  int height = 0;
  // Clockwise quarter turns the camera's orientation asks for (0 to 3).
  int quarterTurns = 0;
  std::vector<uint8_t> bytes;

  bool IsEmpty() const { return kind == kNone; }
};

class KVThumbnailSource {
 public:
  // The largest picture a preview reads.
  static constexpr uint64_t kPictureLimit = 0x1E00000;  // 30 MiB
  // Camera raw files: first this much, then up to the limit when the
  // preview was not in it.
  static constexpr uint64_t kRawFirstRead = 0x800000;  // 8 MiB
  static constexpr uint64_t kRawLimit = 0x4000000;     // 64 MiB
  // Videos: their head only, or a whole ".avi" up to its own limit.
  static constexpr uint64_t kVideoHead = 0x200000;  // 2 MiB
  static constexpr uint64_t kAviLimit = 0x3200000;  // 50 MiB
  // Pictures above this many pixels (or this many on a side) are refused
  // before they are decoded.
  static constexpr uint64_t kMaxPixels = uint64_t{1} << 27;
  static constexpr int kMaxSide = 32767;
  // How long Open waits for the copy-out object's lock.
  static constexpr std::chrono::milliseconds kCopyOutWait{300};

  KVThumbnailSource() = default;
  // Gives the reader back.
  ~KVThumbnailSource();
  KVThumbnailSource(const KVThumbnailSource&) = delete;
  KVThumbnailSource& operator=(const KVThumbnailSource&) = delete;

  // Opens `node` through `copyOut`, under `lock` (the lock every user of
  // that object holds), waiting for the lock at most `wait`. With
  // `embeddedJpeg`, also copies into it the picture ReadSmallJPG finds in
  // the file's first 64 KiB (left empty when there is none). False when the
  // lock stays held, an argument is null, or the node cannot be read.
  bool Open(IDataRecovery* copyOut, std::mutex& lock, IFileNode* node, std::vector<uint8_t>* embeddedJpeg = nullptr,
            std::chrono::milliseconds wait = kCopyOutWait);
  // The size the reader gives the file; 0 before Open.
  uint64_t Size() const;
  // The first min(Size(), limit) bytes, or fewer when the reader stops
  // delivering; empty when nothing could be read or memory is short.
  std::vector<uint8_t> ReadHead(uint64_t limit) const;
  // The preview of the camera raw file opened.
  KVThumbnailPicture RawPreview() const;
  // A frame of the video whose first `count` bytes are copied to a private
  // temporary file named with `suffix` (".mp4"); at most `side` pixels on
  // either side, with the video's aspect ratio.
  KVThumbnailPicture VideoFrame(uint64_t count, const std::string& suffix, int side) const;

  // The preview a camera raw file in memory carries: its JPEG as libraw
  // finds it, or its pixels when the camera stored a bitmap.
  static KVThumbnailPicture RawPreview(const uint8_t* data, size_t size);
  // A frame of the video file at `path`, as above.
  static KVThumbnailPicture VideoFrameOfFile(const std::string& path, int side);
  // How much of a video a preview copies: its extension (lower-case, no
  // dot) and size give 0 (not a kind previews read), the whole file, or its
  // head.
  static uint64_t VideoHeadBytes(const std::string& ext, uint64_t size);

 private:
  IFileReader* m_reader = nullptr;
};
