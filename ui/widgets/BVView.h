// The tile of one found file in a collection of tiles: a plate that lights
// up under the pointer, the thumbnail, the file name, a tick box and a mark
// for deleted files. The tile ticks and unticks the file itself, through
// the file-node operations the application installs (IBVFileNodes); it
// refuses while any scan exists, paused or not.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

class KitElidedLabel;
class KitImageCheckButton;
class KitImageView;

// The application core's operations on a found file, which tiles address by
// the file node's handle (its address as a number). Main thread.
class IBVFileNodes {
 public:
  virtual ~IBVFileNodes() = default;
  // 0 unticked, 1 partly ticked, 2 ticked.
  virtual int fileNodeState(quint64 node) const = 0;
  // Ticking spreads to the file's relatives as the node model does.
  virtual void setFileNodeWithState(quint64 node, int state) const = 0;
  virtual QString fileNodeName(quint64 node) const = 0;
  virtual bool isFileNodeDeleted(quint64 node) const = 0;
  // The file's thumbnail, made now; a null image when there is none.
  virtual QImage thumbnail(quint64 node) const = 0;
};

namespace BVServices {
// Not owned; null (the default) leaves tiles without files: unticked,
// nameless, never deleted, without thumbnails.
void SetFileNodes(const IBVFileNodes* nodes);
const IBVFileNodes* FileNodes();
}  // namespace BVServices

class IBVViewDelegate {
 public:
  virtual ~IBVViewDelegate() = default;
  // The tile's tick changed.
  virtual void reLoadItemData() = 0;
};

class BVView : public QWidget {
 public:
  static constexpr QSize kSize{120, 100};

  // At `frame`'s origin, always 120 x 100 whatever size `frame` gives.
  explicit BVView(const QRect& frame = {}, QWidget* parent = nullptr);

  KitImageView* bgImageView() const { return bgImageView_; }
  KitImageView* imageView() const { return imageView_; }
  KitImageView* deleteIamgeView() const { return deleteIamgeView_; }
  KitImageCheckButton* button() const { return button_; }
  KitElidedLabel* titleLabel() const { return titleLabel_; }
  // The file node's handle; 0 for none.
  quint64 listData() const { return listData_; }
  void setListData(quint64 node) { listData_ = node; }
  IBVViewDelegate* delegate() const { return delegate_; }
  void setDelegate(IBVViewDelegate* delegate) { delegate_ = delegate; }

  // The tick box's action.
  void changeButtonState();

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  KitImageView* bgImageView_;
  KitImageView* imageView_;
  KitElidedLabel* titleLabel_;
  KitImageCheckButton* button_;
  KitImageView* deleteIamgeView_;
  quint64 listData_ = 0;
  IBVViewDelegate* delegate_ = nullptr;
};
