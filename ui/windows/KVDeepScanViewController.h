// The content of the bubble the results window shows after a quick scan,
// suggesting a deep scan: one text and a close button. The results window
// puts view() into an MAAttachedWindow pointing at its deep-scan button and
// takes the bubble away itself, or when the close button asks it to.
#pragma once

#include <QObject>
#include <QPointer>

class QLabel;
class QWidget;
class TCImageButton;

class KVDeepScanViewControllerDelegate {
 public:
  virtual ~KVDeepScanViewControllerDelegate() = default;
  // Hide the bubble.
  virtual void popupViewHidden() = 0;
};

class KVDeepScanViewController : public QObject {
 public:
  static constexpr int kWidth = 250;
  static constexpr int kHeight = 62;

  explicit KVDeepScanViewController(QObject* parent = nullptr);
  // The view goes with the controller unless a bubble took it over.
  ~KVDeepScanViewController() override;

  QWidget* view() const { return view_; }
  // Not owned; may be null (the close button then does nothing).
  void setDelegate(KVDeepScanViewControllerDelegate* delegate) { delegate_ = delegate; }
  KVDeepScanViewControllerDelegate* delegate() const { return delegate_; }

  // The close button's action: asks the delegate to hide the bubble.
  void closeButtonAction();

  QLabel* deepScanNodeLabel = nullptr;
  TCImageButton* closeButton = nullptr;

 private:
  void awakeFromNib();

  QPointer<QWidget> view_;
  KVDeepScanViewControllerDelegate* delegate_ = nullptr;
};
