#include "ui/windows/gallery/ScenePictures.h"

#include <QBuffer>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "DataRecovery.h"
#include "FileNode.h"
#include "FileReader.h"

namespace resultsscene {

namespace {

using Pictures = std::map<std::string, QByteArray>;

class PictureReader final : public IFileReader {
 public:
  explicit PictureReader(QByteArray bytes) : bytes_(std::move(bytes)) {}
  unsigned int ReadData(long long offset, char* buffer, unsigned int length) override {
    if (buffer == nullptr || offset < 0 || offset >= bytes_.size()) return 0;
    const auto n = static_cast<unsigned int>(std::min<long long>(length, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.constData() + offset, n);
    return n;
  }
  IFileReader* Clone() override { return new PictureReader(bytes_); }
  int64_t GetDataSize() const override { return bytes_.size(); }
  int IsCompressFile() override { return 0; }
  void Release() override { delete this; }

 private:
  QByteArray bytes_;
};

class PictureCopyOut final : public IDataRecovery {
 public:
  explicit PictureCopyOut(std::shared_ptr<const Pictures> pictures) : pictures_(std::move(pictures)) {}
  ResultCode Initialize(IFileSystemSearchController*, IStorageDevice*) override { return 0; }
  IFileReader* SetRecoverNode(IFileNode* node) override {
    const char* name = node != nullptr ? node->GetFileName() : nullptr;
    const auto it = name != nullptr ? pictures_->find(name) : pictures_->end();
    return it == pictures_->end() ? nullptr : new PictureReader(it->second);
  }
  ResultCode RecoverTo(const char*, IProgress*, int) override { return 1; }
  unsigned int ReadSmallJPG(char*, unsigned int) override { return 0; }
  void Release() override { delete this; }

 private:
  std::shared_ptr<const Pictures> pictures_;
};

QByteArray Draw(int seed) {
  QImage image(320, 240, QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const int hue = (seed * 137) % 360;
  QLinearGradient sky(0, 0, 0, 150);
  sky.setColorAt(0, QColor::fromHsv(hue, 150, 250));
  sky.setColorAt(1, QColor::fromHsv((hue + 30) % 360, 60, 255));
  painter.fillRect(QRect(0, 0, 320, 150), sky);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor::fromHsv((hue + 180) % 360, 120, 255));
  painter.drawEllipse(QPointF(60 + (seed * 53) % 200, 60 + (seed * 29) % 40), 26, 26);
  QLinearGradient sea(0, 150, 0, 240);
  sea.setColorAt(0, QColor::fromHsv((hue + 200) % 360, 200, 170));
  sea.setColorAt(1, QColor::fromHsv((hue + 220) % 360, 230, 80));
  painter.fillRect(QRect(0, 150, 320, 90), sea);
  painter.end();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPG", 88);
  return bytes;
}

}  // namespace

std::function<IDataRecovery*()> ScenePictures() {
  auto pictures = std::make_shared<Pictures>();
  int seed = 0;
  for (int k = 4101; k <= 4112; ++k) (*pictures)["IMG_" + std::to_string(k) + ".JPG"] = Draw(++seed);
  for (const char* name : {"Beach.jpg", "Sunset.jpg"}) (*pictures)[name] = Draw(++seed);
  std::shared_ptr<const Pictures> shared = pictures;
  return [shared] { return new PictureCopyOut(shared); };
}

}  // namespace resultsscene
