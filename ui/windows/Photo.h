// One picture of the results window's cover flow: a thumbnail (none while it
// waits for one) and an identity that is also its title. The window's
// thumbnail loader names the picture and gives it its thumbnail on its own
// thread while the cover flow reads it on the main thread: every access
// takes the picture's lock.
#pragma once

#include <QImage>
#include <QString>

#include <mutex>

#include "ui/widgets/KitImageFlowView.h"

class Photo : public IKitImageFlowItem {
 public:
  Photo(QImage image, QString imageID);

  QString imageUID() const override;
  QString imageTitle() const override;
  QImage imageRepresentation() const override;

  void setImageRepresentation(const QImage& image);
  // A new identity, which is also the title.
  void setName(const QString& name);
  QString imageID() const { return imageUID(); }

 private:
  mutable std::mutex lock_;
  QImage image_;
  QString imageID_;
};
