// The kit's dark search field: one line of white text with a white caret on
// a black backing rounded by a quarter of its height, the "search_normal"
// magnifier at its leading edge and a clear button while it holds text. Its
// look is kept in its cell, THSearchFieldCell, which every THSearchField
// has: a field never takes another cell.
#pragma once

#include <QLineEdit>
#include <QPalette>
#include <QPixmap>

#include <memory>

class QPainter;

class THSearchFieldCell {
 public:
  static constexpr int kSearchImageSize = 16;

  THSearchFieldCell() { setUp(); }

  // The search button's image, normal and pressed alike: "search_normal" at
  // 16 x 16.
  void setUp();
  const QPixmap& searchButtonImage() const { return searchImage_; }
  const QPixmap& searchButtonAlternateImage() const { return searchImage_; }

  // The black backing over the whole of `controlView`, corners rounded by a
  // quarter of its height; the text and icons are drawn over it afterwards.
  void drawInteriorWithFrame(QPainter& painter, const QRect& frame, const QWidget& controlView) const;
  // The field's text colours: white text and caret over no background.
  QPalette setUpFieldEditorAttributes(QPalette palette) const;

 private:
  QPixmap searchImage_;
};

class THSearchField : public QLineEdit {
 public:
  explicit THSearchField(QWidget* parent = nullptr);

  const THSearchFieldCell& cell() const { return *cell_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::unique_ptr<THSearchFieldCell> cell_;
};
