// The wizard's first page: six category buttons (pictures, music, movies,
// archives, documents, other files), an all-types box with three looks
// (none, all, some ticked) and Start. The page keeps the ticked categories
// as decimal strings of their filter bits ("1", "2", "4", "8", "16", "32")
// and tells its delegate, the root window, of every change; Start is usable
// only while at least one category is ticked.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <array>

class KitImageCheckButton;
class QLabel;
class QWidget;
class TCImageButton;
class TypeButton;

class KVSelectTypeViewControllerDelegate {
 public:
  virtual ~KVSelectTypeViewControllerDelegate() = default;
  // Start was pressed.
  virtual void beginToStartScan() = 0;
  // The ticked categories changed; `selected` is the page's list.
  virtual void changeContinueButtonState(const QStringList& selected) = 0;
};

class KVSelectTypeViewController : public QObject {
 public:
  // The all-types box: nothing, all six, or some ticked.
  enum AllState { kNone = 0, kAll = 1, kSome = 2 };

  explicit KVSelectTypeViewController(QObject* parent = nullptr);
  // The view goes with the page unless a window took it over.
  ~KVSelectTypeViewController() override;

  QWidget* view() const { return view_; }
  // Not owned; may be null.
  void setDelegate(KVSelectTypeViewControllerDelegate* delegate) { delegate_ = delegate; }

  int selectAllCount() const { return selectAllCount_; }
  void setSelectAllCount(int count) { selectAllCount_ = count; }
  const QStringList& selectArr() const { return selectArr_; }
  // The image the all-types box shows.
  const QString& allTypesImageName() const { return allTypesImage_; }

  // A category button's action: flips its tick.
  void selectButtonClick(TypeButton* sender);
  // Records the button's tick in the list, the box and Start.
  void changeAllSelectState(TypeButton* button);
  // The all-types box's action: from none or some to all, from all to none.
  void allTypesButtonClick();
  // Start's action.
  void beginToStartScan();

  KitImageCheckButton* alltypesButton = nullptr;
  QLabel* alltypesLabel = nullptr;
  QLabel* midlleLabel = nullptr;
  TCImageButton* startScanButton = nullptr;
  TypeButton* picTypeButton = nullptr;
  TypeButton* muiscTypeButton = nullptr;
  TypeButton* videosTypeButton = nullptr;
  TypeButton* zipTypeButton = nullptr;
  TypeButton* docTypeButton = nullptr;
  TypeButton* otherTypeButton = nullptr;

 private:
  void awakeFromNib();
  void showAllState(int state);
  void reportSelection();
  // The six buttons in the order the page sets them up.
  std::array<TypeButton*, 6> buttonsInOrder() const;

  QPointer<QWidget> view_;
  KVSelectTypeViewControllerDelegate* delegate_ = nullptr;
  QStringList selectArr_;
  int selectAllCount_ = kNone;
  QString allTypesImage_;
};
