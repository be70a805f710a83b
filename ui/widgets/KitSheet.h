// Sheets: a question asked inside a window. The sheet covers the whole
// window, so nothing in it (content, bar controls, window buttons) takes a
// click while the question is open; its panel hangs from the title bar's
// lower edge, centred. The completion is called exactly once, with the code
// of the button chosen.
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

class TCImageWindow;

class KitSheet : public QWidget {
 public:
  // Shows `panel` (taken over) as a sheet on `window`.
  static KitSheet* Begin(TCImageWindow* window, QWidget* panel, std::function<void(int)> completion);

  // Closes the sheet and calls the completion with `code`; later calls do
  // nothing.
  void end(int code);
  QWidget* panel() const { return panel_; }
  // Return (or Enter) and Escape end the sheet with these codes; -1 leaves
  // the key alone (the default).
  void setKeyCodes(int returnCode, int escapeCode) {
    returnCode_ = returnCode;
    escapeCode_ = escapeCode;
  }
  bool isOpen() const { return !ended_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  KitSheet(TCImageWindow* window, QWidget* panel, std::function<void(int)> completion);
  void place();

  TCImageWindow* window_;
  QWidget* panel_;
  std::function<void(int)> completion_;
  bool ended_ = false;
  int returnCode_ = -1;
  int escapeCode_ = -1;
};

// Alerts as sheets, built from the four keys of a string stem ("_TITLE",
// "_NODE", "_YES_BUTTON", "_NO_BUTTON") with the warning image. The default
// YES button answers 1, NO answers 0; an alert that only informs has YES
// alone.
namespace KitAlert {

KitSheet* BeginSheet(TCImageWindow* window, const QString& stem, std::function<void(int)> completion,
                     bool withNoButton = true);

// The same from the texts themselves: an empty title or note is left out,
// and an empty `no` leaves the NO button out. A third button, `other`, stands
// apart on the left and answers -1.
KitSheet* BeginSheetWithTexts(TCImageWindow* window, const QString& title, const QString& note, const QString& yes,
                              const QString& no, std::function<void(int)> completion, const QString& other = {});

}  // namespace KitAlert
