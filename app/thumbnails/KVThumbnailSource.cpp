#include "app/thumbnails/KVThumbnailSource.h"

#include <libffmpegthumbnailer/videothumbnailerc.h>
#include <libraw.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "DataRecovery.h"
#include "FileReader.h"
#include "app/thumbnails/KVPrivateTempFile.h"

namespace {

// ReadSmallJPG looks at the first 64 KiB and wants room for all of it.
constexpr size_t kJpegWindow = 0x10000;
// Reads go in pieces the reader's unsigned lengths hold, at offsets that
// stay sector-aligned.
constexpr uint64_t kReadPiece = 0x400000;
constexpr uint64_t kCopyPiece = 0x100000;

// Videos are decoded one at a time, as they were copied one at a time.
std::mutex& VideoLock() {
  static std::mutex lock;
  return lock;
}

// libraw's orientation codes: 3 upside down, 5 turned left, 6 turned right.
int QuarterTurns(int flip) {
  switch (flip) {
    case 3:
      return 2;
    case 5:
      return 3;
    case 6:
      return 1;
    default:
      return 0;
  }
}

bool FitsPixels(uint64_t width, uint64_t height) {
  return width > 0 && height > 0 && width <= KVThumbnailSource::kMaxSide && height <= KVThumbnailSource::kMaxSide &&
         width * height <= KVThumbnailSource::kMaxPixels;
}

KVThumbnailPicture DecodeVideo(const std::string& path, int side) {
  KVThumbnailPicture picture;
  if (path.empty() || side <= 0 || side > KVThumbnailSource::kMaxSide) return picture;
  std::unique_ptr<video_thumbnailer, decltype(&video_thumbnailer_destroy)> thumbnailer(video_thumbnailer_create(),
                                                                                       &video_thumbnailer_destroy);
  std::unique_ptr<image_data, decltype(&video_thumbnailer_destroy_image_data)> frame(
      video_thumbnailer_create_image_data(), &video_thumbnailer_destroy_image_data);
  if (!thumbnailer || !frame) return picture;
  thumbnailer->thumbnail_image_type = Rgb;
  thumbnailer->maintain_aspect_ratio = 1;
  // A frame of the video itself, not cover art a container may carry.
  thumbnailer->prefer_embedded_metadata = 0;
  video_thumbnailer_set_size(thumbnailer.get(), side, side);
  if (video_thumbnailer_generate_thumbnail_to_buffer(thumbnailer.get(), path.c_str(), frame.get()) != 0) return picture;
  const int width = frame->image_data_width;
  const int height = frame->image_data_height;
  if (frame->image_data_ptr == nullptr || width <= 0 || height <= 0 || !FitsPixels(width, height)) return picture;
  const uint64_t need = uint64_t(width) * uint64_t(height) * 3;
  if (frame->image_data_size < 0 || uint64_t(frame->image_data_size) < need) return picture;
  try {
    picture.bytes.assign(frame->image_data_ptr, frame->image_data_ptr + need);
  } catch (const std::bad_alloc&) {
    return KVThumbnailPicture{};
  }
  picture.kind = KVThumbnailPicture::kRgb888;
  picture.width = width;
  picture.height = height;
  return picture;
}

}  // namespace

KVThumbnailSource::~KVThumbnailSource() {
  if (m_reader != nullptr) m_reader->Release();
}

bool KVThumbnailSource::Open(IDataRecovery* copyOut, std::mutex& lock, IFileNode* node,
                             std::vector<uint8_t>* embeddedJpeg, std::chrono::milliseconds wait) {
  if (m_reader != nullptr) m_reader->Release();
  m_reader = nullptr;
  if (embeddedJpeg != nullptr) embeddedJpeg->clear();
  if (copyOut == nullptr || node == nullptr) return false;
  std::vector<char> window;
  if (embeddedJpeg != nullptr) {
    try {
      window.resize(kJpegWindow);
    } catch (const std::bad_alloc&) {
      window.clear();
    }
  }
  // A recovery paused on a full destination keeps the lock for as long as
  // the user takes: a preview gives up instead of holding up its loader.
  std::unique_lock<std::mutex> held(lock, std::defer_lock);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!held.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  m_reader = copyOut->SetRecoverNode(node);
  if (m_reader == nullptr) return false;
  if (!window.empty()) {
    const unsigned int length = copyOut->ReadSmallJPG(window.data(), static_cast<unsigned int>(window.size()));
    if (length > 0 && length <= window.size()) embeddedJpeg->assign(window.begin(), window.begin() + length);
  }
  return true;
}

uint64_t KVThumbnailSource::Size() const {
  if (m_reader == nullptr) return 0;
  const int64_t size = m_reader->GetDataSize();
  return size > 0 ? static_cast<uint64_t>(size) : 0;
}

std::vector<uint8_t> KVThumbnailSource::ReadHead(uint64_t limit) const {
  std::vector<uint8_t> bytes;
  const uint64_t want = std::min(Size(), limit);
  if (want == 0 || want > bytes.max_size()) return bytes;
  try {
    bytes.resize(static_cast<size_t>(want));
  } catch (const std::bad_alloc&) {
    return bytes;
  }
  uint64_t done = 0;
  while (done < want) {
    const auto piece = static_cast<unsigned int>(std::min(want - done, kReadPiece));
    const unsigned int got =
        m_reader->ReadData(static_cast<long long>(done), reinterpret_cast<char*>(bytes.data() + done), piece);
    if (got == 0 || got > piece) break;
    done += got;
    if (got < piece) break;
  }
  bytes.resize(static_cast<size_t>(done));
  return bytes;
}

KVThumbnailPicture KVThumbnailSource::RawPreview() const {
  KVThumbnailPicture picture;
  // Cameras keep their previews near the start: the rest of a large file
  // is read only when its head did not hold one.
  for (const uint64_t limit : {kRawFirstRead, kRawLimit}) {
    const std::vector<uint8_t> bytes = ReadHead(limit);
    if (bytes.empty()) break;
    picture = RawPreview(bytes.data(), bytes.size());
    if (!picture.IsEmpty() || bytes.size() < limit || Size() <= limit) break;
  }
  return picture;
}

KVThumbnailPicture KVThumbnailSource::VideoFrame(uint64_t count, const std::string& suffix, int side) const {
  count = std::min(count, Size());
  if (count == 0) return KVThumbnailPicture{};
  std::lock_guard<std::mutex> oneAtATime(VideoLock());
  KVPrivateTempFile copy(suffix);
  if (!copy.IsMade()) return KVThumbnailPicture{};
  std::vector<char> piece;
  try {
    piece.resize(static_cast<size_t>(std::min(count, kCopyPiece)));
  } catch (const std::bad_alloc&) {
    return KVThumbnailPicture{};
  }
  uint64_t done = 0;
  while (done < count) {
    const auto want = static_cast<unsigned int>(std::min<uint64_t>(count - done, piece.size()));
    const unsigned int got = m_reader->ReadData(static_cast<long long>(done), piece.data(), want);
    if (got == 0 || got > want) break;
    if (!copy.Write(piece.data(), got)) return KVThumbnailPicture{};
    done += got;
    if (got < want) break;
  }
  if (done == 0 || !copy.Close()) return KVThumbnailPicture{};
  return DecodeVideo(copy.Path(), side);
}

KVThumbnailPicture KVThumbnailSource::RawPreview(const uint8_t* data, size_t size) {
  KVThumbnailPicture picture;
  if (data == nullptr || size < 64 || size > kRawLimit) return picture;
  // No callbacks: libraw's own print to the standard error.
  std::unique_ptr<libraw_data_t, decltype(&libraw_close)> raw(
      libraw_init(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK), &libraw_close);
  if (!raw) return picture;
  // libraw only reads the buffer; its interface takes it writable.
  if (libraw_open_buffer(raw.get(), const_cast<uint8_t*>(data), size) != LIBRAW_SUCCESS) return picture;
  // What the headers claim, before libraw allocates for it.
  const libraw_thumbnail_t& found = raw->thumbnail;
  if (found.tlength == 0 || found.tlength > size) return picture;
  if (uint64_t{found.twidth} * found.theight > kMaxPixels) return picture;
  if (libraw_unpack_thumb(raw.get()) != LIBRAW_SUCCESS) return picture;
  int error = 0;
  std::unique_ptr<libraw_processed_image_t, decltype(&libraw_dcraw_clear_mem)> image(
      libraw_dcraw_make_mem_thumb(raw.get(), &error), &libraw_dcraw_clear_mem);
  if (!image || image->data_size == 0) return picture;
  try {
    if (image->type == LIBRAW_IMAGE_JPEG) {
      picture.bytes.assign(image->data, image->data + image->data_size);
      picture.kind = KVThumbnailPicture::kEncoded;
    } else if (image->type == LIBRAW_IMAGE_BITMAP && image->bits == 8 && (image->colors == 3 || image->colors == 1)) {
      // A bitmap's size comes from the headers, its length from the file:
      // they must agree before a row is copied.
      if (!FitsPixels(image->width, image->height)) return picture;
      const uint64_t need = uint64_t{image->width} * image->height * image->colors;
      if (need > image->data_size) return picture;
      picture.bytes.assign(image->data, image->data + need);
      picture.kind = image->colors == 3 ? KVThumbnailPicture::kRgb888 : KVThumbnailPicture::kGray8;
      picture.width = image->width;
      picture.height = image->height;
    } else {
      return picture;
    }
  } catch (const std::bad_alloc&) {
    return KVThumbnailPicture{};
  }
  picture.quarterTurns = QuarterTurns(raw->sizes.flip);
  return picture;
}

KVThumbnailPicture KVThumbnailSource::VideoFrameOfFile(const std::string& path, int side) {
  std::lock_guard<std::mutex> oneAtATime(VideoLock());
  return DecodeVideo(path, side);
}

uint64_t KVThumbnailSource::VideoHeadBytes(const std::string& ext, uint64_t size) {
  if (ext == "avi") return size <= kAviLimit ? size : kVideoHead;
  if (ext == "mov" || ext == "m4v" || ext == "mp4") return std::min(size, kVideoHead);
  return 0;
}
