#include "KVWindowsTestSupport.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <cstdlib>
#include <memory>

#include "UiTestSupport.h"
#include "platform/Resources.h"
#include "ui/windows/KVKitServices.h"
#include "ui/windows/KVUrlOpener.h"

namespace windowtest {

void Start() {
  static QTemporaryDir work;
  static const bool set = ::setenv("CLIPMENDER_WORK_DIR", work.path().toLocal8Bit().constData(), 1) == 0;
  (void)set;
  uitest::App();
  KVKitServices::Install();  // the kit's questions read the application's string tables
}

QString SourceDir() {
  const QString fromTest = qEnvironmentVariable("CLIPMENDER_SOURCE_DIR");
  return fromTest.isEmpty() ? QStringLiteral(CLIPMENDER_TEST_SOURCE_DIR) : fromTest;  // run by hand
}

QStringList CutButtons(QWidget* panel) {
  QStringList cut;
  for (QPushButton* button : panel->findChildren<QPushButton*>()) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    if (button->fontMetrics().horizontalAdvance(button->text()) > room.width()) cut << button->text();
  }
  return cut;
}

QStringList CutTexts(QWidget* panel) {
  QStringList cut;
  for (QLabel* label : panel->findChildren<QLabel*>()) {
    if (label->text().isEmpty()) continue;
    const QRect area = label->contentsRect();
    const int flags = static_cast<int>(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
    const QRect drawn = label->fontMetrics().boundingRect(area, flags, label->text());
    const QRect inWindow(label->mapTo(label->window(), drawn.topLeft()), drawn.size());
    if (!area.contains(drawn) || !label->window()->rect().contains(inWindow)) cut << label->text();
  }
  return cut;
}

void UseLinkTable(const QByteArray& list) {
  Start();
  static std::unique_ptr<QTemporaryDir> dir;
  dir = std::make_unique<QTemporaryDir>();
  QFile file(dir->filePath(QStringLiteral("LocalVersionMessage.plist")));
  if (file.open(QIODevice::WriteOnly)) file.write(list);
  file.close();
  QFile::link(SourceDir() + QStringLiteral("/resources/strings"), dir->filePath(QStringLiteral("strings")));
  platform::Resources::SetRoot(dir->path());
}

QByteArray LinkTable(int version, const QList<std::pair<QString, QString>>& links) {
  QByteArray text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>VersionCheck</key>"
      "<integer>" +
      QByteArray::number(version) + "</integer><key>en</key><dict>";
  for (const auto& [key, url] : links)
    text += "<key>" + key.toUtf8() + "</key><string>" + url.toHtmlEscaped().toUtf8() + "</string>";
  return text + "</dict></dict></plist>\n";
}

OpenedLinks::OpenedLinks() {
  KVUrlOpener::SetHandler([this](const QUrl& url) { urls_ << url; });
}

OpenedLinks::~OpenedLinks() { KVUrlOpener::SetHandler({}); }

}  // namespace windowtest
