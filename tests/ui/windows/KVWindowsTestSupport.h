// What the window tests share: a private working folder (settings and log),
// a resource folder of their own whose "LocalVersionMessage" list each test
// writes (the string tables are the shipped ones), and a stand-in for the
// desktop that records the links the windows open.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

class QWidget;

namespace windowtest {

// The QApplication, with the working folder set first.
void Start();

// Makes a resource folder whose link table is the property list `list` (XML
// text) and points the resources at it; the folder lives until the next call.
void UseLinkTable(const QByteArray& list);

// A link table with "VersionCheck" `version` and the English links given as
// key/address pairs.
QByteArray LinkTable(int version, const QList<std::pair<QString, QString>>& links);

// The source tree (for tests that read it).
QString SourceDir();

// The texts of the push buttons in `panel` that are wider than the room the
// style gives a button's text (shown cut).
QStringList CutButtons(QWidget* panel);
// The texts of the labels in `panel` whose lines, wrapped as the label
// draws them, do not all lie inside the label and its window (shown cut).
QStringList CutTexts(QWidget* panel);

// Records every link the windows open while it lives.
class OpenedLinks {
 public:
  OpenedLinks();
  ~OpenedLinks();
  const QList<QUrl>& urls() const { return urls_; }

 private:
  QList<QUrl> urls_;
};

}  // namespace windowtest
