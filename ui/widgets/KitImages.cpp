#include "ui/widgets/KitImages.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

namespace {

constexpr char kRoot[] = ":/images/";

QHash<QString, QPixmap>& Inserted() {
  static QHash<QString, QPixmap> images;
  return images;
}

// Rendered art, keyed by name and pixel ratio.
QHash<QString, QPixmap>& Cache() {
  static QHash<QString, QPixmap> images;
  return images;
}

QString BaseName(const QString& name) {
  static const QStringList kExtensions{QStringLiteral(".png"), QStringLiteral(".gif"), QStringLiteral(".svg")};
  for (const QString& ext : kExtensions) {
    if (name.endsWith(ext, Qt::CaseInsensitive)) return name.chopped(ext.size());
  }
  return name;
}

qreal PixelRatio() {
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ? qGuiApp->devicePixelRatio() : 1.0;
}

QPixmap RenderSvg(const QString& path, qreal ratio) {
  QSvgRenderer renderer(path);
  if (!renderer.isValid()) return {};
  const QSize size = renderer.defaultSize();
  if (size.isEmpty()) return {};
  QImage image(size * ratio, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    renderer.render(&painter);
  }
  image.setDevicePixelRatio(ratio);
  return QPixmap::fromImage(image);
}

}  // namespace

QString KitImages::ResourcePath(const QString& name) {
  const QString base = BaseName(name.trimmed());
  // Names come from layouts and code, never from the user; still, only a
  // plain file name may reach the resource tree.
  if (base.isEmpty() || base.contains(QLatin1Char('/'))) return {};
  for (const char* ext : {".svg", ".png"}) {
    const QString path = QLatin1String(kRoot) + base + QLatin1String(ext);
    if (QFileInfo::exists(path)) return path;
  }
  return {};
}

QPixmap KitImages::Named(const QString& name) {
  const QString base = BaseName(name.trimmed());
  if (auto it = Inserted().constFind(base); it != Inserted().constEnd()) return *it;
  const QString path = ResourcePath(name);
  if (path.isEmpty()) return {};
  const qreal ratio = PixelRatio();
  const QString key = base + QLatin1Char('@') + QString::number(ratio);
  if (auto it = Cache().constFind(key); it != Cache().constEnd()) return *it;
  QPixmap pixmap = path.endsWith(QLatin1String(".svg")) ? RenderSvg(path, ratio) : QPixmap(path);
  Cache().insert(key, pixmap);
  return pixmap;
}

bool KitImages::Exists(const QString& name) {
  return Inserted().contains(BaseName(name.trimmed())) || !ResourcePath(name).isEmpty();
}

KitImages::Stem KitImages::StemNames(const QString& stem) {
  return Stem{stem + QLatin1String("_normal"), stem + QLatin1String("_press"), stem + QLatin1String("_hover"),
              stem + QLatin1String("_disable")};
}

QStringList KitImages::AllNames() {
  QStringList names;
  const QFileInfoList files = QDir(QLatin1String(kRoot)).entryInfoList(QDir::Files, QDir::Name);
  for (const QFileInfo& file : files) {
    if (!names.contains(file.completeBaseName())) names << file.completeBaseName();
  }
  return names;
}

void KitImages::Insert(const QString& name, const QPixmap& pixmap) { Inserted().insert(name, pixmap); }

void KitImages::Remove(const QString& name) { Inserted().remove(name); }
