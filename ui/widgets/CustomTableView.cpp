#include "ui/widgets/CustomTableView.h"

#include <QAbstractTableModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>

#include <algorithm>

#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitServices.h"
#include "ui/widgets/KitStyle.h"

namespace {
constexpr int kNoteTextWidth = 400;
constexpr int kNoteTextHeight = 20;
constexpr int kNotePlateHeight = 50;
}  // namespace

// Qt's model interface over the table's data source: rows by number, counted
// once per reload, values asked only as rows are painted.
class CustomTableView::Model : public QAbstractTableModel {
 public:
  explicit Model(CustomTableView* view) : QAbstractTableModel(view), view_(view) {}

  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : rows_; }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : view_->tableColumns().count();
  }
  QVariant data(const QModelIndex& index, int role) const override {
    KitTableColumn* column = view_->tableColumns().at(index.column());
    if (role != Qt::DisplayRole || column == nullptr || view_->dataSource() == nullptr || index.row() >= rows_) {
      return {};
    }
    return view_->dataSource()->objectValueForTableColumn(view_, column, index.row());
  }
  Qt::ItemFlags flags(const QModelIndex& index) const override {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    KitTableColumn* column = view_->tableColumns().at(section);
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || column == nullptr) return {};
    return column->headerCell()->stringValue();
  }

  void reset() {
    beginResetModel();
    ITableViewDataSource* source = view_->dataSource();
    rows_ = source != nullptr ? std::max(0, source->numberOfRowsInTableView(view_)) : 0;
    ++generation_;
    endResetModel();
  }
  quint64 generation() const { return generation_; }
  void beginAppendColumn() { beginInsertColumns({}, columnCount(), columnCount()); }
  void endAppendColumn() { endInsertColumns(); }

 private:
  CustomTableView* view_;
  int rows_ = 0;
  quint64 generation_ = 0;
};

CustomTableView::CustomTableView(QWidget* parent) : CustomTableViewBase(parent, kHeaderHeight) {
  setHorizontalHeader(headerView_);
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(1);
  verticalHeader()->setDefaultSectionSize(rowHeight_);
  setShowGrid(false);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  setSortingEnabled(false);
  // The view turns clicks off with sorting; the windows sort themselves.
  headerView_->setSectionsClickable(true);
  model_ = new Model(this);
  setModel(model_);
  setItemDelegate(new KitCellDelegate(this, this));
  KitItemViews::Prepare(this);
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (!restoring_ && delegate_ != nullptr) delegate_->tableViewSelectionDidChange(this);
  });
  connect(headerView_, &QHeaderView::sectionPressed, this, [this](int section) {
    if (delegate_ != nullptr) delegate_->mouseDownInHeaderOfTableColumn(this, columns_.at(section));
  });
  connect(headerView_, &QHeaderView::sectionClicked, this, [this](int section) {
    if (delegate_ != nullptr) delegate_->didClickTableColumn(this, columns_.at(section));
  });
}

KitTableColumn* CustomTableView::addTableColumn(const QString& identifier, const QString& title, int width) {
  model_->beginAppendColumn();
  KitTableColumn* column = columns_.append(std::make_unique<KitTableColumn>(identifier, title));
  column->setHeaderCell(std::make_unique<CustomHeaderCell>(*column->headerCell()));
  model_->endAppendColumn();
  setColumnWidth(columns_.count() - 1, width);
  return column;
}

void CustomTableView::setRowHeight(int height) {
  rowHeight_ = std::max(1, height);
  verticalHeader()->setDefaultSectionSize(rowHeight_);
  viewport()->update();
}

void CustomTableView::reloadData() {
  const int selected = selectedRow();
  const int vertical = verticalScrollBar()->value();
  const int horizontal = horizontalScrollBar()->value();
  restoring_ = true;
  model_->reset();
  const bool keptSelection = selected >= 0 && selected < model_->rowCount();
  if (keptSelection) {
    const QSignalBlocker quiet(selectionModel());
    selectionModel()->setCurrentIndex(model_->index(selected, 0),
                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }
  executeDelayedItemsLayout();
  updateGeometries();
  verticalScrollBar()->setValue(vertical);
  horizontalScrollBar()->setValue(horizontal);
  restoring_ = false;
  viewport()->update();
  if (selected >= 0 && !keptSelection && delegate_ != nullptr) delegate_->tableViewSelectionDidChange(this);
}

int CustomTableView::numberOfRows() const { return model_->rowCount(); }

void CustomTableView::selectRow(int row) {
  if (row < 0 || row >= model_->rowCount()) {
    clearSelection();
    return;
  }
  selectionModel()->setCurrentIndex(model_->index(row, 0),
                                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

int CustomTableView::selectedRow() const {
  const QModelIndex index = selectedIndexOrNone();
  return index.isValid() ? index.row() : -1;
}

void CustomTableView::setRowNum(int row) {
  if (row == rowNum_) return;
  rowNum_ = row;
  viewport()->update();
}

KitCell* CustomTableView::preparedCell(int column, const QModelIndex& index) {
  KitTableColumn* tableColumn = columns_.at(column);
  if (tableColumn == nullptr || tableColumn->dataCell() == nullptr || dataSource_ == nullptr || !index.isValid() ||
      index.row() >= model_->rowCount()) {
    return nullptr;
  }
  KitCell* cell = tableColumn->dataCell();
  cell->setObjectValue(dataSource_->objectValueForTableColumn(this, tableColumn, index.row()));
  if (delegate_ != nullptr) delegate_->willDisplayCell(this, cell, tableColumn, index.row());
  return cell;
}

// ---- the empty-list note ---------------------------------------------------------

void CustomTableView::changeNoValue(bool hasValues) {
  if (hasValues) {
    delete noValueView_;
    noteText_ = nullptr;
    return;
  }
  if (noValueView_ != nullptr) return;
  noValueView_ = new QWidget(this);
  auto* plate = new QLabel(noValueView_);
  plate->setObjectName(QStringLiteral("plate"));
  plate->setPixmap(KitImages::Named(QStringLiteral("text_bg")));
  plate->setScaledContents(true);
  noteText_ = new QLabel(KitServices::LocalizedString(QString::fromLatin1(kNoValueNoteKey)), noValueView_);
  noteText_->setAlignment(Qt::AlignCenter);
  noteText_->setFont(KitStyle::Font(14));
  // The text stands on the plate: a ground of its own made a light bar
  // across the dark list.
  QPalette palette = noteText_->palette();
  palette.setColor(QPalette::WindowText, KitColors::kNoteText);
  noteText_->setPalette(palette);
  layoutNote();
  noValueView_->show();
}

// The note covers the rows as they are shown (under the header), with its
// text centred, however the list is resized or scrolled.
void CustomTableView::layoutNote() {
  if (noValueView_ == nullptr) return;
  const QRect area = viewport()->geometry();
  noValueView_->setGeometry(area);
  // The plate is drawn for the note's size: stretched over the whole list
  // its rounded frame ran along the list's edges. It holds the text in its
  // middle.
  const QRect text(area.width() / 2 - kNoteTextWidth / 2, area.height() / 2, kNoteTextWidth, kNoteTextHeight);
  noValueView_->findChild<QLabel*>(QStringLiteral("plate"))
      ->setGeometry(
          text.adjusted(0, -(kNotePlateHeight - kNoteTextHeight) / 2, 0, (kNotePlateHeight - kNoteTextHeight) / 2));
  if (noteText_ != nullptr) noteText_->setGeometry(text);
}

void CustomTableView::updateGeometries() {
  QTableView::updateGeometries();
  layoutNote();
}

// ---- painting and events -------------------------------------------------------

void CustomTableView::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(viewport());
    const QRect area = event->rect();
    KitItemViews::PaintStripes(&painter, area, verticalOffset());
    if (rowNum_ >= 0 && rowNum_ < model_->rowCount()) {
      painter.fillRect(rectOfRow(rowNum_).intersected(area), KitColors::kSelectedRow);
    }
  }
  QTableView::paintEvent(event);
}

void CustomTableView::mousePressEvent(QMouseEvent* event) {
  gate_.pressStarting();
  const QModelIndex index = indexAt(event->position().toPoint());
  clickedRow_ = index.isValid() ? index.row() : -1;
  clickedColumn_ = index.isValid() ? index.column() : -1;
  if (event->button() == Qt::LeftButton && !index.isValid()) clearSelection();
  QTableView::mousePressEvent(event);
}

void CustomTableView::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  clickedRow_ = index.isValid() ? index.row() : -1;
  clickedColumn_ = index.isValid() ? index.column() : -1;
  QTableView::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) emit doubleAction();
}

QItemSelectionModel::SelectionFlags CustomTableView::selectionCommand(const QModelIndex& index,
                                                                      const QEvent* event) const {
  const QItemSelectionModel::SelectionFlags flags = QTableView::selectionCommand(index, event);
  if (delegate_ == nullptr) return flags;
  return gate_.filter(selectionModel(), index, event, flags, [&](bool* reloaded) {
    auto* self = const_cast<CustomTableView*>(this);
    const int row = index.row();
    const quint64 generation = model_->generation();
    if (!delegate_->shouldSelectRow(self, row)) return false;
    if (model_->generation() != generation) {
      *reloaded = true;
      self->selectRow(row < model_->rowCount() ? row : -1);
    }
    return true;
  });
}

void CustomTableView::keyPressEvent(QKeyEvent* event) {
  QTableView::keyPressEvent(event);
  KitItemViews::KeepCursorOnSelection(this);
}

void CustomTableView::keyboardSearch(const QString&) {}
