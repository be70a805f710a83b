// What the wizard's two pages share: a page view of the wizard's content
// size on the dark ground, with the page's explanation in the band across
// its top.
#pragma once

#include <QString>

class QLabel;
class QWidget;

namespace KVWizardPage {

constexpr int kWidth = 1000;
constexpr int kHeight = 560;
constexpr int kBandHeight = 90;

// A page view, not yet in a window.
QWidget* MakeView();
// The band across the top of `page` with `text` centred in it; answers the
// text's label.
QLabel* MakeBand(QWidget* page, const QString& text);

}  // namespace KVWizardPage
