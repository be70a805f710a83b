#include "ui/windows/Photo.h"

Photo::Photo(QImage image, QString imageID) : image_(std::move(image)), imageID_(std::move(imageID)) {}

QString Photo::imageUID() const {
  std::lock_guard<std::mutex> held(lock_);
  return imageID_;
}

QString Photo::imageTitle() const { return imageUID(); }

QImage Photo::imageRepresentation() const {
  std::lock_guard<std::mutex> held(lock_);
  return image_;
}

void Photo::setImageRepresentation(const QImage& image) {
  std::lock_guard<std::mutex> held(lock_);
  image_ = image;
}

void Photo::setName(const QString& name) {
  std::lock_guard<std::mutex> held(lock_);
  imageID_ = name;
}
