// The name search of the results window's title bar: a borderless field on a
// rounded black backing, a search button and a clear button. Typing, Return
// and the two buttons become one message to the delegate: the text to search
// for, or "no key" to end the search and show everything again.
#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QWidget>

#include <optional>

class QToolButton;

class INewSearchTextFiledDelegate {
 public:
  virtual ~INewSearchTextFiledDelegate() = default;
  // A key starts a search for that text (it may be empty); no key ends it.
  virtual void doSearchWithKey(const std::optional<QString>& key) = 0;
};

class NewSearchTextFiled : public QWidget {
 public:
  explicit NewSearchTextFiled(QWidget* parent = nullptr);

  void setSearchDelegate(INewSearchTextFiledDelegate* delegate) { delegate_ = delegate; }
  INewSearchTextFiledDelegate* searchDelegate() const { return delegate_; }
  QLineEdit* textField() const { return textField_; }
  QToolButton* searchButton() const { return searchButton_; }
  QToolButton* clearButton() const { return clearButton_; }

  void setEnabled(bool enabled);
  // Empties the field and hides the clear button without telling the
  // delegate: the window resets the field this way.
  void setTitleWithMnemonic(const QString& ignored = {});

  void doSearchAction();
  void clearTextFieldAction();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void controlTextDidChange(const QString& text);
  void send(const std::optional<QString>& key);

  QLineEdit* textField_;
  QToolButton* searchButton_;
  QToolButton* clearButton_;
  INewSearchTextFiledDelegate* delegate_ = nullptr;
};
