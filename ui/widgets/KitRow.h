// A row object as the kit's cells see it: the window's wrapper of one found
// file (or tree row), shared between the cell that shows it and the loader
// that makes its thumbnail. The kit compares rows by identity (the same
// object, not an equal one) and reads their tick mark; it never looks
// inside.
#pragma once

#include <memory>

class IKitRow {
 public:
  virtual ~IKitRow() = default;
  // 0 unticked, 1 partly ticked, 2 ticked.
  virtual int state() const = 0;
};

using KitRowRef = std::shared_ptr<IKitRow>;
