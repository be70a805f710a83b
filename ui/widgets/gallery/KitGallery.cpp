// kit_gallery OUTPUT-FOLDER
//
// Writes, for review: contact-sheet.png (every image of the application by
// name), one PNG per widget the kit shows (each state side by side), and
// gallery-window.png, the gallery window as the platform shows it. Runs on
// any Qt platform: offscreen in the tests, the X server under CI.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEnterEvent>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QToolButton>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <vector>

#include "GalleryGrid.h"
#include "TablesPanel.h"
#include "platform/Resources.h"
#include "ui/widgets/HVTitlebarView.h"
#include "ui/widgets/KVProgressView.h"
#include "ui/widgets/KitAnimations.h"
#include "ui/widgets/KitImages.h"
#include "ui/widgets/KitServices.h"
#include "ui/widgets/KitSheet.h"
#include "ui/widgets/KitStyle.h"
#include "ui/widgets/MAAttachedWindow.h"
#include "ui/widgets/NewButton.h"
#include "ui/widgets/NewSearchTextFiled.h"
#include "ui/widgets/TCImageButton.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/THSearchField.h"
#include "ui/widgets/TypeButton.h"

namespace {

constexpr int kCell = 150;

// The application's string tables, as the windows will see them.
class ResourceStrings : public IKitStrings {
 public:
  QString LocalizedString(const QString& key) const override { return platform::Resources::LocalizedString(key); }
};
constexpr int kCaption = 18;

bool Save(const QImage& image, const QDir& out, const QString& file) {
  const QString path = out.filePath(file);
  if (!image.save(path)) {
    std::fprintf(stderr, "kit_gallery: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

// Every image in a grid of cells, its name under it; large images are shown
// scaled down to the cell.
QImage ContactSheet() {
  const QStringList names = KitImages::AllNames();
  const int columns = 8;
  const int rows = (static_cast<int>(names.size()) + columns - 1) / columns;
  QImage sheet(columns * kCell, rows * (kCell + kCaption), QImage::Format_RGB32);
  sheet.fill(KitColors::kStripeB);
  QPainter painter(&sheet);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.setFont(KitStyle::Font(10));
  for (int i = 0; i < names.size(); ++i) {
    const QRect cell((i % columns) * kCell, (i / columns) * (kCell + kCaption), kCell, kCell + kCaption);
    const QPixmap image = KitImages::Named(names[i]);
    QSizeF size = image.deviceIndependentSize();
    size.scale(size.boundedTo(QSizeF(kCell - 12, kCell - 12)), Qt::KeepAspectRatio);
    const QRectF target(cell.x() + (kCell - size.width()) / 2, cell.y() + (kCell - size.height()) / 2, size.width(),
                        size.height());
    painter.fillRect(target.adjusted(-1, -1, 1, 1), QColor(70, 74, 80));  // shows each image's extent
    painter.drawPixmap(target, image, QRectF(QPointF(0, 0), image.size()));
    painter.setPen(KitColors::kHeaderText);
    painter.drawText(QRect(cell.x() + 2, cell.y() + kCell, kCell - 4, kCaption), Qt::AlignCenter,
                     painter.fontMetrics().elidedText(names[i], Qt::ElideMiddle, kCell - 4));
  }
  return sheet;
}

// Puts a button into one of its four looks with the events a user's pointer
// would send.
void ShowState(TCImageButton* button, int state) {
  const QPointF inside(2, 2);
  switch (state) {
    case 1: {
      QEnterEvent enter(inside, inside, inside);
      QApplication::sendEvent(button, &enter);
      break;
    }
    case 2: {
      QMouseEvent press(QEvent::MouseButtonPress, inside, inside, inside, Qt::LeftButton, Qt::LeftButton,
                        Qt::NoModifier);
      QApplication::sendEvent(button, &press);
      break;
    }
    case 3:
      button->setButtonEnabled(false);
      break;
    default:
      break;
  }
}

// One row per stem, one column per look: normal, hover, pressed, disabled.
QWidget* ImageButtonPanel(std::vector<TCImageButton*>* buttons) {
  struct Row {
    const char* stem;
    const char* label;
  };
  const Row rows[] = {{"start", nullptr},
                      {"continue", nullptr},
                      {"back", nullptr},
                      {"botton_recover", "Recover"},
                      {"home", nullptr},
                      {"deepscan", nullptr},
                      {"import", nullptr},
                      {"export", nullptr},
                      {"pause", nullptr},
                      {"play", nullptr},
                      {"stop", nullptr},
                      {"icon_graphics", nullptr},
                      {"icon_audio", nullptr},
                      {"icon_video", nullptr},
                      {"icon_archive", nullptr},
                      {"icon_document", nullptr},
                      {"icon_other", nullptr},
                      {"window_close", nullptr},
                      {"window_minimise", nullptr},
                      {"window_zoom", nullptr}};
  auto* panel = new QWidget;
  panel->setAutoFillBackground(true);
  auto* grid = new QGridLayout(panel);
  grid->setSpacing(10);
  int r = 0;
  for (const Row& row : rows) {
    auto* name = new QLabel(QString::fromLatin1(row.stem));
    name->setFont(KitStyle::Font(11));
    grid->addWidget(name, r, 0);
    for (int state = 0; state < 4; ++state) {
      auto* button = new TCImageButton(panel);
      button->setImageStem(QString::fromLatin1(row.stem));
      button->setFixedSize(button->sizeHint());
      if (row.label) button->setTextWithName(QString::fromLatin1(row.label), QRect(QPoint(0, 0), button->size()));
      button->setProperty("kitState", state);
      grid->addWidget(button, r, state + 1, Qt::AlignLeft | Qt::AlignVCenter);
      buttons->push_back(button);
    }
    ++r;
  }
  return panel;
}

// A window like the results window: a 90-point bar holding its own buttons,
// with an alert sheet hanging from the bar.
TCImageWindow* SheetWindow() {
  auto* window = new TCImageWindow(nullptr, true);
  window->setWindowTitle(QStringLiteral("Kit gallery: window and sheet"));
  window->resize(640, 400);
  window->setTopButtonMoveUp(35);
  window->setTitleBarHeight(90);
  auto* home = new TCImageButton(QRect(20, 40, 32, 32), window->titleBarView());
  home->setImageStem(QStringLiteral("home"));
  auto* deep = new TCImageButton(QRect(62, 40, 32, 32), window->titleBarView());
  deep->setImageStem(QStringLiteral("deepscan"));
  auto* mark = new QLabel(window->titleBarView());
  mark->setPixmap(KitImages::Named(QStringLiteral("title_mark")));
  mark->setGeometry(312, 12, 15, 15);
  window->contentView()->setAutoFillBackground(true);
  QPalette palette = window->contentView()->palette();
  palette.setColor(QPalette::Window, KitColors::kStripeA);
  window->contentView()->setPalette(palette);
  KitAlert::BeginSheet(window, QStringLiteral("PAGE_FOUR_SCAN_STOP"), [](int) {});
  return window;
}

// The small controls on one dark panel: progress bars at 0, 40 and 100 per
// cent, the search field empty and holding text, the dark search field, outline rows drawn by the
// tick cell in each tick state, and a bubble pointing at a button.
QWidget* ControlsPanel() {
  auto* panel = new QWidget;
  panel->resize(630, 340);
  panel->setAutoFillBackground(true);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, KitColors::kStripeA);
  panel->setPalette(palette);
  const float values[] = {0, 40, 100};
  for (int k = 0; k < 3; ++k) {
    auto* bar = new KVProgressView(QRect(20, 20 + 16 * k, 368, 6), panel);
    bar->changeProgressValue(values[k]);
  }
  auto* empty = new NewSearchTextFiled(panel);
  empty->setGeometry(20, 80, 200, 24);
  auto* typed = new NewSearchTextFiled(panel);
  typed->setGeometry(240, 80, 200, 24);
  typed->textField()->setText(QStringLiteral("holiday"));
  typed->clearButton()->show();
  auto* dark = new THSearchField(panel);
  dark->setGeometry(460, 80, 150, 24);
  dark->setText(QStringLiteral("holiday"));

  auto* rows = new QLabel(panel);
  QPixmap rowImage(300, 90);
  rowImage.fill(KitColors::kDarkRow);
  {
    QPainter painter(&rowImage);
    const char* ticks[] = {"checkbox_no", "checkbox_yes", "checkbox_election"};
    for (int k = 0; k < 3; ++k) {
      NewButton cell;
      cell.setImage(KitImages::Named(QString::fromLatin1(ticks[k])));
      cell.setIconImage(KitImages::Named(QStringLiteral("1IconImage")));
      cell.setLabel(QString::fromLatin1(ticks[k]));
      cell.drawWithFrame(&painter, QRect(0, 30 * k, 300, 30));
    }
  }
  rows->setPixmap(rowImage);
  rows->setGeometry(20, 120, 300, 90);

  auto* deep = new TCImageButton(QRect(400, 130, 32, 32), panel);
  deep->setImageStem(QStringLiteral("deepscan"));
  auto* note = new QLabel(QStringLiteral("Try a deeper scan"));
  note->setStyleSheet(QStringLiteral("color: white"));
  note->resize(130, 24);
  auto* hint = new MAAttachedWindow(note, deep, panel, 10, 10);
  hint->show();

  // The six categories; the last two unticked and unusable.
  const char* stems[] = {"icon_graphics", "icon_audio", "icon_video", "icon_archive", "icon_document", "icon_other"};
  for (int k = 0; k < 6; ++k) {
    auto* category = new TypeButton(QRect(10 + 84 * k, 230, 90, 92), panel);
    const KitImages::Stem names = KitImages::StemNames(QString::fromLatin1(stems[k]));
    category->setImageFromFileNormalName(names.normal, names.press, names.hover, names.disable);
    category->setTextWithName(QString::fromLatin1(stems[k]).mid(5));
    if (k >= 4) {
      category->changeSelect(false);
      category->setButtonEnabled(false);
    }
  }
  // One without art: a plain button.
  auto* plain = new TypeButton(QRect(530, 230, 90, 92), panel);
  plain->setTextWithName(QStringLiteral("plain"));
  return panel;
}

bool WaitExposed(QWidget* widget) {
  QDeadlineTimer guard(10000);
  while (!guard.hasExpired()) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (widget->windowHandle() && widget->windowHandle()->isExposed()) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: kit_gallery OUTPUT-FOLDER\n");
    return 2;
  }
  KitStyle::ApplyFixedLook(&app);
  KitAnimations::SetEnabled(false);
  const ResourceStrings strings;
  KitServices::SetStrings(&strings);
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!QDir().mkpath(out.path())) {
    std::fprintf(stderr, "kit_gallery: cannot make %s\n", argv[1]);
    return 1;
  }

  bool ok = Save(ContactSheet(), out, QStringLiteral("contact-sheet.png"));

  std::vector<TCImageButton*> buttons;
  QWidget* panel = ImageButtonPanel(&buttons);
  panel->setWindowTitle(QStringLiteral("Kit gallery"));
  panel->setWindowIcon(QIcon(KitImages::Named(QStringLiteral("app_icon"))));
  panel->show();
  const bool exposed = WaitExposed(panel);
  for (TCImageButton* button : buttons) ShowState(button, button->property("kitState").toInt());
  QApplication::processEvents();
  ok = Save(panel->grab().toImage(), out, QStringLiteral("tcimagebutton.png")) && ok;
  if (exposed) {
    // What the platform shows, as opposed to what the widgets paint.
    const QPixmap shown = panel->windowHandle()->screen()->grabWindow(panel->winId());
    ok = Save(shown.toImage(), out, QStringLiteral("gallery-window.png")) && ok;
  } else {
    std::fprintf(stderr, "kit_gallery: the window was never shown\n");
    ok = false;
  }
  delete panel;

  TCImageWindow* window = SheetWindow();
  window->show();
  WaitExposed(window);
  ok = Save(window->grab().toImage(), out, QStringLiteral("tcimagewindow-sheet.png")) && ok;
  delete window;

  QWidget* controls = ControlsPanel();
  controls->show();
  WaitExposed(controls);
  ok = Save(controls->grab().toImage(), out, QStringLiteral("kit-controls.png")) && ok;
  delete controls;

  ok = SaveGridGalleryPages(out) && ok;
  QWidget* tables = TablesPanel();
  tables->show();
  WaitExposed(tables);
  ok = Save(tables->grab().toImage(), out, QStringLiteral("kit-tables.png")) && ok;
  delete tables;
  return ok ? 0 : 1;
}
