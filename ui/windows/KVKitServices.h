// What the widget kit asks of the application, answered by the application
// core: whether a scan runs or is paused (tick boxes refuse changes while
// one runs) and the interface language's texts. The program installs them
// once at start, before the first window.
#pragma once

class KVKitServices {
 public:
  KVKitServices() = delete;
  static void Install();
};
