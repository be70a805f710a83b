#include "app/KVUIPreview.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImageIOHandler>
#include <QImageReader>
#include <QMimeDatabase>
#include <QTransform>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "FileNode.h"
#include "RecoveryController.h"
#include "RecoveryFilter.h"
#include "app/KVCPPPublic.h"
#include "app/KVUIController.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "app/thumbnails/KVThumbnailSource.h"

namespace {

std::atomic<KVUIRecovery*> g_recovery{nullptr};

KVUIRecovery& Recovery() {
  KVUIRecovery* recovery = g_recovery.load();
  return recovery != nullptr ? *recovery : KVUIRecovery::instance();
}

QString NameOf(IFileNode* node) {
  const char* name = node->GetFileName();
  return name != nullptr ? QString::fromUtf8(name) : QString();
}

// The text after the last ".", lower-cased; "" when there is none.
QString ExtensionOf(const QString& name) {
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot >= 0 ? name.mid(dot + 1).toLower() : QString();
}

bool FitsPixels(const QSize& size) {
  return size.width() > 0 && size.height() > 0 && size.width() <= KVThumbnailSource::kMaxSide &&
         size.height() <= KVThumbnailSource::kMaxSide &&
         uint64_t(size.width()) * uint64_t(size.height()) <= KVThumbnailSource::kMaxPixels;
}

// Within `side` on both sides, keeping the proportions; never enlarged.
QSize Bounded(const QSize& size, int side) {
  if (size.width() <= side && size.height() <= side) return size;
  const QSize scaled = size.scaled(side, side, Qt::KeepAspectRatio);
  return QSize(std::max(scaled.width(), 1), std::max(scaled.height(), 1));
}

QImage Bounded(const QImage& image, int side) {
  if (image.isNull() || image.width() == 0 || image.height() == 0) return QImage();
  const QSize size = Bounded(image.size(), side);
  if (size == image.size()) return image;
  return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

KVPreview WithImage(const QImage& image, const QString& name) {
  if (image.isNull()) return KVUIPreview::IconForName(name);
  KVPreview preview;
  preview.image = image;
  return preview;
}

// A complete scan's copy-out objects are the recovery operation's, made
// once its scan is over; previews of a scan still running get none, since
// making them reads the searchers the scan is still filling.
void FillCompleteScanCopyOut() {
  IRecoveryController* controller = KVUIController::Scan().GetRecoveryController();
  if (controller == nullptr || controller->thisType() == RECOVERY_CONTROLLER_DELETED) return;
  if (KVUIController::IsScanRunning()) return;
  // Loaders asking at once fill the map once: a second fill would put new
  // objects over the first ones without letting those go.
  static std::mutex filling;
  std::lock_guard<std::mutex> held(filling);
  KVUIRecovery& recovery = Recovery();
  if (recovery.CheckWhetherNeedReset()) recovery.ResetParam();
}

// The small picture a camera stores in a photo's head spares reading and
// decoding the whole photo; but it records neither the photo's orientation
// nor, always, its proportions (a 4:3 thumbnail of a 3:2 photo). Both come
// from the photo's own header in `head`: the thumbnail is turned as the
// photo is, and refused when its shape is not the photo's.
QImage SmallPicture(const std::vector<uint8_t>& embedded, const std::vector<uint8_t>& head) {
  if (embedded.empty() || head.empty()) return QImage();
  QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(head.data()), qsizetype(head.size()));
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader photo(&buffer);
  const QSize full = photo.size();
  int turns = 0;
  switch (photo.transformation()) {
    case QImageIOHandler::TransformationNone:
      break;
    case QImageIOHandler::TransformationRotate90:
      turns = 1;
      break;
    case QImageIOHandler::TransformationRotate180:
      turns = 2;
      break;
    case QImageIOHandler::TransformationRotate270:
      turns = 3;
      break;
    default:  // mirrored: the whole photo is decoded instead
      return QImage();
  }
  QImage image = KVUIPreview::DecodePicture(embedded.data(), embedded.size(), KVUIPreview::kPictureSide, false);
  if (image.isNull() || !FitsPixels(full)) return QImage();
  const int64_t cross = int64_t(image.width()) * full.height() - int64_t(image.height()) * full.width();
  if (std::abs(cross) * 50 > int64_t(image.width()) * full.height()) return QImage();
  return turns == 0 ? image : image.transformed(QTransform().rotate(90.0 * turns));
}

QImage PictureThumb(IFileNode* node) {
  const uint64_t size = node->GetFileSize();
  if (size == 0 || size > KVThumbnailSource::kPictureLimit) return QImage();
  IDataRecovery* copyOut = KVUIPreview::CopyOutOf(node);
  if (copyOut == nullptr) return QImage();
  KVThumbnailSource source;
  std::vector<uint8_t> embedded;
  if (!source.Open(copyOut, KVUIRecovery::CopyOutLock(copyOut), node, &embedded)) return QImage();
  QImage image = SmallPicture(embedded, embedded.empty() ? std::vector<uint8_t>() : source.ReadHead(0x10000));
  if (!image.isNull()) return image;
  const std::vector<uint8_t> bytes = source.ReadHead(KVThumbnailSource::kPictureLimit);
  image = KVUIPreview::DecodePicture(bytes.data(), bytes.size(), KVUIPreview::kPictureSide);
  if (image.isNull()) {
    // Camera raw files no image plugin reads: the preview they carry.
    image = KVUIPreview::ToImage(KVThumbnailSource::RawPreview(bytes.data(), bytes.size()), KVUIPreview::kPictureSide);
  }
  return image;
}

}  // namespace

void KVUIPreview::UseRecovery(KVUIRecovery* recovery) { g_recovery.store(recovery); }

IDataRecovery* KVUIPreview::CopyOutOf(IFileNode* node) {
  if (node == nullptr) return nullptr;
  KVUIScan& scan = KVUIController::Scan();
  IRecoveryController* controller = scan.GetRecoveryController();
  if (controller == nullptr) return nullptr;
  if (controller->thisType() == RECOVERY_CONTROLLER_DELETED) return scan.GetFileNodeDataRecover(node);
  return Recovery().GetDataRecoveryByType(KVCPPPublic::instance().GetNodeSearcheType(node));
}

KVPreview KVUIPreview::IconForName(const QString& name) {
  static const QMimeDatabase database;
  const QMimeType type =
      database.mimeTypeForFile(QStringLiteral("x.") + ExtensionOf(name), QMimeDatabase::MatchExtension);
  KVPreview preview;
  preview.iconName = type.iconName();
  preview.genericIconName = type.genericIconName();
  return preview;
}

QImage KVUIPreview::DecodePicture(const uint8_t* data, size_t size, int side, bool exifTurns) {
  if (data == nullptr || size == 0 || size > KVThumbnailSource::kRawLimit || side <= 0) return QImage();
  QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  QBuffer buffer(&bytes);
  if (!buffer.open(QIODevice::ReadOnly)) return QImage();
  QImageReader reader(&buffer);
  reader.setAllocationLimit(kAllocationLimitMiB);
  reader.setAutoTransform(exifTurns);
  // The header's size, checked before anything is decoded; decoders that
  // can (JPEG) then decode straight to the thumbnail's size.
  const QSize full = reader.size();
  if (full.isValid()) {
    if (!FitsPixels(full)) return QImage();
    const QSize scaled = Bounded(full, side);
    if (scaled != full) reader.setScaledSize(scaled);
  }
  return Bounded(reader.read(), side);
}

QImage KVUIPreview::ToImage(const KVThumbnailPicture& picture, int side) {
  QImage image;
  switch (picture.kind) {
    case KVThumbnailPicture::kEncoded:
      // A camera's preview records no orientation of its own: the raw
      // file's is applied below.
      image = DecodePicture(picture.bytes.data(), picture.bytes.size(), side, false);
      break;
    case KVThumbnailPicture::kRgb888:
    case KVThumbnailPicture::kGray8: {
      const bool rgb = picture.kind == KVThumbnailPicture::kRgb888;
      const size_t row = size_t(picture.width) * (rgb ? 3 : 1);
      if (!FitsPixels(QSize(picture.width, picture.height)) || picture.bytes.size() < row * size_t(picture.height)) {
        return QImage();
      }
      image = QImage(picture.width, picture.height, rgb ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
      if (image.isNull()) return QImage();
      for (int y = 0; y < picture.height; ++y) std::memcpy(image.scanLine(y), picture.bytes.data() + row * y, row);
      break;
    }
    case KVThumbnailPicture::kNone:
      return QImage();
  }
  if (image.isNull()) return image;
  if (picture.quarterTurns % 4 != 0) image = image.transformed(QTransform().rotate(90.0 * (picture.quarterTurns % 4)));
  return Bounded(image, side);
}

KVPreview KVUIPreview::GetNSImageByFildNode(IFileNode* node) {
  IRecoveryFilter* filter = KVUIFilter::instance().GetFilter();
  if (node == nullptr || filter == nullptr) return KVPreview();
  FillCompleteScanCopyOut();
  const _FILTER_TYPE category = filter->GetNodeFileType(node);
  if (category == FILTER_TYPE_MOVIE) return GetVideoThumb(node);
  const QString name = NameOf(node);
  if (!name.contains(QLatin1Char('.'))) return IconForName(name);
  const QString ext = ExtensionOf(name);
  if (ext == QLatin1String("rw2") || ext == QLatin1String("sr2") || ext == QLatin1String("cr2")) {
    return GetRawPicThumb(node);
  }
  if (ext == QLatin1String("arw")) {
    KVPreview raw = GetRawPicThumb(node);
    if (!raw.image.isNull()) return raw;
  }
  if (category != FILTER_TYPE_PICTURE) return IconForName(name);
  return WithImage(PictureThumb(node), name);
}

KVPreview KVUIPreview::GetVideoThumb(IFileNode* node) {
  if (node == nullptr) return KVPreview();
  const QString name = NameOf(node);
  if (!name.contains(QLatin1Char('.'))) return KVPreview();
  const QString ext = ExtensionOf(name);
  const uint64_t count = KVThumbnailSource::VideoHeadBytes(ext.toStdString(), node->GetFileSize());
  QImage image;
  IDataRecovery* copyOut = count > 0 ? CopyOutOf(node) : nullptr;
  KVThumbnailSource source;
  if (copyOut != nullptr && source.Open(copyOut, KVUIRecovery::CopyOutLock(copyOut), node)) {
    image = ToImage(source.VideoFrame(count, "." + ext.toStdString(), kThumbnailSide), kThumbnailSide);
  }
  return WithImage(image, name);
}

KVPreview KVUIPreview::GetRawPicThumb(IFileNode* node) {
  if (node == nullptr) return KVPreview();
  QImage image;
  IDataRecovery* copyOut = CopyOutOf(node);
  KVThumbnailSource source;
  if (copyOut != nullptr && source.Open(copyOut, KVUIRecovery::CopyOutLock(copyOut), node)) {
    image = ToImage(source.RawPreview(), kThumbnailSide);
  }
  return WithImage(image, NameOf(node));
}

QImage KVUIPreview::getVideoThumbFromPath(const QString& path) {
  return ToImage(KVThumbnailSource::VideoFrameOfFile(QFile::encodeName(path).toStdString(), kThumbnailSide),
                 kThumbnailSide);
}
