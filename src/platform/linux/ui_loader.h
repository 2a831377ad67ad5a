#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/linux/desktop_module.h"

namespace zolven::platform {

// Loads the desktop UI module (lib/zolven-desktop.so) on a thread of its own, so the work
// of mapping and relocating the toolkit overlaps the launch; the UI itself is then made
// on the main thread. When no thread can be had, the module is loaded on the main thread
// when it is needed.
class UiLoader {
 public:
  UiLoader();
  ~UiLoader();
  UiLoader(const UiLoader&) = delete;
  UiLoader& operator=(const UiLoader&) = delete;

  // Main thread. Null when the module or the UI cannot be had: the launcher then runs
  // headless, and says why on standard error.
  std::unique_ptr<DesktopUi> make(const char* programName);

 private:
  void load();

  std::thread thread_;
  CreateDesktopUi create_ = nullptr;
  std::string error_;
};

}  // namespace zolven::platform
