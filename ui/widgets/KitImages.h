// The application's images by name, as the windows ask for them. The art is
// compiled in under ":/images/" (resources/images), SVG preferred and drawn
// at the screen's pixel ratio, so it stays crisp at any scale; PNG is taken
// where there is no SVG. A name may carry ".png", ".gif" or ".svg" (the
// layouts name some images that way). Unknown and blank names answer a null
// pixmap without a warning: the windows clear images by naming "" or " ".
// Main thread only (pixmaps).
#pragma once

#include <QPixmap>
#include <QString>
#include <QStringList>

class KitImages {
 public:
  // The four images of a button stem.
  struct Stem {
    QString normal, press, hover, disable;
  };

  static QPixmap Named(const QString& name);
  static bool Exists(const QString& name);
  // "import" gives "import_normal", "import_press", "import_hover",
  // "import_disable".
  static Stem StemNames(const QString& stem);
  // Every image compiled in, by the name the windows use (no extension).
  static QStringList AllNames();

  // An image made at run time (tests, drawings made in code); it hides a
  // compiled-in image of the same name until removed.
  static void Insert(const QString& name, const QPixmap& pixmap);
  static void Remove(const QString& name);

 private:
  static QString ResourcePath(const QString& name);
};
