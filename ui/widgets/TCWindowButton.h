// Our own close, minimise and zoom buttons for the custom title bar: image
// buttons of a fixed 14 x 14 size that act on their window.
#pragma once

#include "ui/widgets/TCImageButton.h"

class TCWindowButton : public TCImageButton {
 public:
  enum class Kind { Close, Minimise, Zoom };
  static constexpr int kSize = 14;

  TCWindowButton(Kind kind, QWidget* parent);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};
