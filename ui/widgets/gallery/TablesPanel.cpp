#include "TablesPanel.h"

#include <QLabel>
#include <QWidget>

#include <vector>

#include "ui/widgets/CustemOutlineView.h"
#include "ui/widgets/CustomTableHeaderView.h"
#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/ImageAndTextCell.h"
#include "ui/widgets/KVCustomOutlineView.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/NewButton.h"
#include "ui/widgets/RFOverlayScrollView.h"
#include "ui/widgets/SelectTypeTopView.h"

namespace {

struct Entry {
  Entry() = default;
  Entry(const QString& name, const QString& size, const QString& detail, const QString& icon, int tick = 0,
        std::vector<Entry> children = {})
      : name(name), size(size), detail(detail), icon(icon), tick(tick), children(std::move(children)) {}

  QString name, size, detail, icon;
  int tick = 0;  // 0 none, 1 partly, 2 ticked
  std::vector<Entry> children;
};

// A fixed tree for both outlines: disks with volumes, folders with folders.
// Owned by the outline it serves.
class Source : public QObject, public IOutlineViewDataSource, public IOutlineViewDelegate {
 public:
  Source(std::vector<Entry> top, QObject* owner) : QObject(owner) { root_.children = std::move(top); }

  int numberOfChildrenOfItem(KitOutlineView*, void* item) override {
    return static_cast<int>(entry(item)->children.size());
  }
  void* childOfItem(KitOutlineView*, int index, void* item) override {
    auto& children = entry(item)->children;
    return index >= 0 && index < static_cast<int>(children.size()) ? &children[static_cast<size_t>(index)] : nullptr;
  }
  bool isItemExpandable(KitOutlineView*, void* item) override { return !entry(item)->children.empty(); }
  QVariant objectValueForTableColumn(KitOutlineView*, KitTableColumn* column, void* item) override {
    const Entry* row = entry(item);
    if (column->identifier() == QLatin1String("Size")) return row->size;
    if (column->identifier() == QLatin1String("FileSystem")) return row->detail;
    return row->name;
  }
  void willDisplayCell(KitOutlineView* outline, KitCell* cell, KitTableColumn* column, void* item) override {
    const Entry* row = entry(item);
    const bool named = outline->rowForItem(item) == outline->isSelectRow();
    if (auto* button = dynamic_cast<NewButton*>(cell)) {
      static const char* const ticks[] = {"checkbox_no", "checkbox_election", "checkbox_yes"};
      button->setImage(KitImages::Named(QString::fromLatin1(ticks[row->tick])));
      button->setIconImage(KitImages::Named(row->icon));
      button->setLabel(row->name);
      button->setLabelColor(KitColors::kHeaderText);
      return;
    }
    auto* text = static_cast<KitTextFieldCell*>(cell);
    text->setTextColor(named ? QColor(Qt::white) : QColor(175, 186, 219));
    if (column->identifier() == QLatin1String("Name"))
      static_cast<ImageAndTextCell*>(cell)->setImage(KitImages::Named(row->icon));
  }

  Entry* entry(void* item) { return item != nullptr ? static_cast<Entry*>(item) : &root_; }

 private:
  Entry root_;
};

// The file list: a tick, a name (deleted files marked), a size and a path.
class Files : public QObject, public ITableViewDataSource, public ITableViewDelegate {
 public:
  explicit Files(QObject* owner) : QObject(owner) {}
  int numberOfRowsInTableView(CustomTableView*) override { return 40; }
  QVariant objectValueForTableColumn(CustomTableView*, KitTableColumn* column, int row) override {
    if (column->identifier() == QLatin1String("Name")) return QStringLiteral("IMG_%1.JPG").arg(4100 + row);
    if (column->identifier() == QLatin1String("Size")) return QStringLiteral("%1.%2 MB").arg(2 + row % 5).arg(row % 10);
    if (column->identifier() == QLatin1String("Path")) return QStringLiteral("/Camera/DCIM/100CANON");
    return {};
  }
  void willDisplayCell(CustomTableView*, KitCell* cell, KitTableColumn* column, int row) override {
    if (column->identifier() == QLatin1String("CheckBox")) {
      static_cast<NewButton*>(cell)->setImage(
          KitImages::Named(row % 3 == 0 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no")));
    } else if (column->identifier() == QLatin1String("Name")) {
      static_cast<ImageAndTextCell*>(cell)->setImage(row % 4 == 1 ? KitImages::Named(QStringLiteral("deletered"))
                                                                  : QPixmap());
    }
  }
};

QLabel* Caption(const QString& text, QWidget* parent, const QRect& frame) {
  auto* label = new QLabel(text, parent);
  label->setFont(KitStyle::Font(11));
  label->setStyleSheet(QStringLiteral("color: rgb(160, 170, 211)"));
  label->setGeometry(frame);
  return label;
}

}  // namespace

QWidget* TablesPanel() {
  auto* panel = new QWidget;
  panel->setWindowTitle(QStringLiteral("Kit gallery: outlines and tables"));
  panel->resize(1180, 560);
  panel->setAutoFillBackground(true);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, KitColors::kTitleBar);
  panel->setPalette(palette);
  auto* band = new SelectTypeTopView(panel);
  band->setGeometry(0, 0, 1180, 30);
  Caption(QStringLiteral("striped outline, light headers / dark outline with tick cells / file list, dark header"),
          band, QRect(10, 6, 900, 18));

  // The disk page's outline: disks and their volumes, light headers.
  auto* diskOutline = new KVCustomOutlineView(panel);
  auto* disks = new Source(
      {
          {QStringLiteral("WDC WD10EZEX"),
           QStringLiteral("1.00 TB"),
           {},
           QStringLiteral("0IconImage"),
           0,
           {{QStringLiteral("System"), QStringLiteral("499.94 GB"), QStringLiteral("NTFS"),
             QStringLiteral("0IconImage")},
            {QStringLiteral("Data"), QStringLiteral("500.06 GB"), QStringLiteral("EXFAT"),
             QStringLiteral("0IconImage")}}},
          {QStringLiteral("SanDisk Cruzer"),
           QStringLiteral("16.01 GB"),
           {},
           QStringLiteral("usb.png"),
           0,
           {{QStringLiteral("CRUZER"), QStringLiteral("16.00 GB"), QStringLiteral("FAT32"),
             QStringLiteral("usb.png")}}},
          {QStringLiteral("backup.dmg"), QStringLiteral("2.15 GB"), QStringLiteral("HFS+"),
           QStringLiteral("mirror_image")},
      },
      diskOutline);
  diskOutline->setGeometry(10, 40, 380, 300);
  const char* const diskColumns[][2] = {{"Name", "Drives"}, {"Size", "Size"}, {"FileSystem", "File system"}};
  const int widths[] = {200, 90, 80};
  for (int k = 0; k < 3; ++k) {
    KitTableColumn* column = diskOutline->addTableColumn(QString::fromLatin1(diskColumns[k][0]),
                                                         QString::fromLatin1(diskColumns[k][1]), widths[k]);
    auto header = std::make_unique<CustomTableHeaderView>(column->headerCell()->stringValue());
    header->setFont(KitStyle::Font(12));
    column->setHeaderCell(std::move(header));
    if (k == 0) column->setDataCell(std::make_unique<ImageAndTextCell>());
  }
  diskOutline->setDataSource(disks);
  diskOutline->setDelegate(disks);
  diskOutline->expandItem(&disks->entry(nullptr)->children[0]);
  diskOutline->expandItem(&disks->entry(nullptr)->children[1]);
  diskOutline->setSelectCellBackgroundColorWithRow(1);

  // The results window's folder tree: tick, icon and name in one cell.
  Entry lost{QStringLiteral("Other lost files"), {}, {}, QStringLiteral("10IconImage"), 0, {}};
  for (int k = 0; k < 12; ++k)
    lost.children.push_back({QStringLiteral("DIR%1").arg(k), {}, {}, QStringLiteral("1IconImage")});
  auto* folderOutline = new CustemOutlineView(panel);
  auto* folders = new Source(
      {
          {QStringLiteral("System (NTFS)"),
           {},
           {},
           QStringLiteral("0IconImage"),
           1,
           {{QStringLiteral("Users"),
             {},
             {},
             QStringLiteral("1IconImage"),
             1,
             {{QStringLiteral("Pictures"), {}, {}, QStringLiteral("1IconImage"), 2},
              {QStringLiteral("Music"), {}, {}, QStringLiteral("1IconImage"), 0}}},
            {QStringLiteral("Windows"), {}, {}, QStringLiteral("1IconImage"), 0}}},
          lost,
      },
      folderOutline);
  folderOutline->setGeometry(400, 40, 300, 300);
  folderOutline->setHeaderHidden(true);
  folderOutline->addTableColumn(QStringLiteral("Name"))->setDataCell(std::make_unique<NewButton>());
  folderOutline->setDataSource(folders);
  folderOutline->setDelegate(folders);
  Entry& system = folders->entry(nullptr)->children[0];
  folderOutline->expandItem(&system);
  folderOutline->expandItem(&system.children[0]);
  folderOutline->expandItem(&folders->entry(nullptr)->children[1]);
  folderOutline->setSelectCellBackgroundColorWithRow(2);
  new RFOverlayScrollView(folderOutline);

  // The file list, and an empty one with its note.
  auto* table = new CustomTableView(panel);
  auto* files = new Files(table);
  table->setGeometry(710, 40, 460, 300);
  table->addTableColumn(QStringLiteral("CheckBox"), {}, 30)->setDataCell(std::make_unique<NewButton>());
  table->addTableColumn(QStringLiteral("Name"), QStringLiteral("Name"), 160)
      ->setDataCell(std::make_unique<ImageAndTextCell>());
  table->addTableColumn(QStringLiteral("Size"), QStringLiteral("Size"), 80);
  table->addTableColumn(QStringLiteral("Path"), QStringLiteral("Path"), 150);
  table->setDataSource(files);
  table->setDelegate(files);
  table->setRowNum(1);
  new RFOverlayScrollView(table);

  auto* empty = new CustomTableView(panel);
  empty->setGeometry(710, 350, 460, 200);
  empty->addTableColumn(QStringLiteral("Name"), QStringLiteral("Name"), 200);
  empty->addTableColumn(QStringLiteral("Size"), QStringLiteral("Size"), 100);
  empty->reloadData();
  empty->changeNoValue(false);
  return panel;
}
