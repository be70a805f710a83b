#include "ui/windows/KVWizardPage.h"

#include <QLabel>
#include <QWidget>

#include "ui/widgets/KitStyle.h"
#include "ui/widgets/SelectTypeTopView.h"
#include "ui/windows/KVSmallWindow.h"

namespace KVWizardPage {

QWidget* MakeView() {
  auto* view = new QWidget;
  view->resize(kWidth, kHeight);
  view->setAutoFillBackground(true);
  QPalette palette = view->palette();
  palette.setColor(QPalette::Window, KitColors::kDarkRow);
  view->setPalette(palette);
  return view;
}

QLabel* MakeBand(QWidget* page, const QString& text) {
  auto* band = new SelectTypeTopView(page);
  band->setGeometry(0, 0, kWidth, kBandHeight);
  QLabel* label = KVSmallWindow::Label(band, text, 20, KitColors::kHeaderText, Qt::AlignCenter, true);
  label->setGeometry(40, 0, kWidth - 80, kBandHeight);
  return label;
}

}  // namespace KVWizardPage
