// The kit's fixed look: colours (device RGB, as the widgets are specified),
// fonts by pixel size, and the application-wide style and palette. Nothing
// here reads the desktop's theme, so every machine draws the same pixels.
#pragma once

#include <QColor>
#include <QFont>

class QApplication;

namespace KitColors {

inline const QColor kTitleBar{38, 41, 45};
inline const QColor kTitleText{56, 56, 56};
inline const QColor kPlaceholder{94, 98, 120, 250};  // alpha 0.98
inline const QColor kKnob{100, 100, 100};
inline const QColor kSelectedRow{9, 40, 76};
inline const QColor kDarkRow{32, 36, 39};
inline const QColor kStripeA{39, 43, 47};
inline const QColor kStripeB{37, 41, 45};
inline const QColor kNoteText{152, 164, 208};
inline const QColor kDarkHeader{32, 36, 39, 250};  // alpha 0.98
inline const QColor kHeaderText{160, 170, 211};
inline const QColor kTopBand{37, 41, 45};
inline const QColor kCategoryTitle{141, 150, 185};
inline const QColor kBarOrange{249, 171, 0};
inline const QColor kGlow{59, 153, 252};
inline const QColor kSmallWindowTitle{80, 84, 102};
// Our own choice for the platform's "control colour": a light grey.
inline const QColor kControl{236, 236, 236};
inline const QColor kLabelText{255, 255, 255};
inline const QColor kLabelTextDisabled{128, 128, 128};

}  // namespace KitColors

namespace KitStyle {

// DejaVu Sans at a size in pixels, so text fits the fixed frames at any
// screen scale; `light` picks the ExtraLight face.
QFont Font(int pixelSize, bool light = false);

// Fusion, the kit's palette and its default font for the whole application.
// Called once at start by the program, the gallery and every UI test.
void ApplyFixedLook(QApplication* app);

}  // namespace KitStyle

// Converts a colour to plain RGB components (the form the title bar's
// gradient takes); a colour in another model keeps its appearance.
QColor HV_CGColorCreate(const QColor& color);
