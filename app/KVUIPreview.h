// Previews of found files for the results window's cover flow and grid: a
// thumbnail made from the file's bytes, read through the scan's copy-out
// objects while the file is still deleted, or, when no thumbnail can be
// made, the name of the themed icon of the file's type.
//
// Pictures are decoded by QImageReader (camera raw files its plugins cannot
// read fall back to the preview the camera stored, through libraw), at most
// kPictureSide pixels on a side; video frames and the previews of ".cr2",
// ".rw2", ".sr2" and ".arw" files at most kThumbnailSide. Every thumbnail
// keeps its source's aspect ratio, turned as the camera or the EXIF data
// says.
//
// Threads: any thread, the windows' loader threads included. Only QImage is
// made here; QPixmap and QIcon belong to the main thread, where the window
// turns an icon name into an icon. A call may block while it reads the file
// from the scanned device (at most 30 MiB for a picture, 64 MiB for a camera
// raw file, 2 MiB of a video or 50 MiB of an ".avi"), and up to
// KVThumbnailSource::kCopyOutWait while a recovery holds the file's copy-out
// object (then it gives the icon). The copy-out objects and nodes belong to
// the scan and recovery operations, which let them go when the next scan or
// load starts: the windows stop their loaders before that.
#pragma once

#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>

class IDataRecovery;
class IFileNode;
class KVUIRecovery;
struct KVThumbnailPicture;

// What a found file is shown with: its thumbnail, else its type's icon.
struct KVPreview {
  QImage image;             // null when there is no thumbnail
  QString iconName;         // with no thumbnail: the themed icon of the file's type
  QString genericIconName;  // the icon to use when the theme lacks that one
  // No thumbnail and no icon: a null node, no category filter yet, or a
  // video whose name has no extension.
  bool isNull() const { return image.isNull() && iconName.isEmpty(); }
};

class KVUIPreview {
 public:
  static constexpr int kPictureSide = 384;
  static constexpr int kThumbnailSide = 192;
  // Pictures whose decoding would need more are refused.
  static constexpr int kAllocationLimitMiB = 256;

  // See KVUIController::GetNSImageByFildNode.
  static KVPreview GetNSImageByFildNode(IFileNode* node);
  // A frame of a video found file (".mov", ".m4v", ".mp4", ".avi"), else
  // the icon of its extension; a null preview when its name has none.
  static KVPreview GetVideoThumb(IFileNode* node);
  // The preview a camera raw found file carries, else its icon.
  static KVPreview GetRawPicThumb(IFileNode* node);
  // A frame of the video file at `path`; null when none can be made.
  static QImage getVideoThumbFromPath(const QString& path);
  // The icon of the type a name's extension (after its last ".") gives.
  static KVPreview IconForName(const QString& name);

  // A picture in memory, at most `side` pixels on a side; null when its
  // size is unknown to the decoder and too large, above kMaxPixels, or
  // undecodable. `exifTurns` applies the orientation the picture records.
  static QImage DecodePicture(const uint8_t* data, size_t size, int side, bool exifTurns = true);
  // The picture as an image at most `side` on a side, turned as it asks.
  static QImage ToImage(const KVThumbnailPicture& picture, int side);

  // The copy-out object a preview reads `node` through: the scan's for its
  // tree after a quick scan, else the recovery operation's for its
  // searcher; null when there is none.
  static IDataRecovery* CopyOutOf(IFileNode* node);
  // The recovery operation whose copy-out objects complete scans are read
  // through: the process's, or another one (tests; null goes back).
  static void UseRecovery(KVUIRecovery* recovery);
};
