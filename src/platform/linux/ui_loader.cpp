#include "platform/linux/ui_loader.h"

#include <cstdio>
#include <system_error>

#include "platform/linux/module.h"
#include "platform/posix/support.h"

namespace zolven::platform {

UiLoader::UiLoader() {
  try {
    const BlockedSignals blocked;
    thread_ = std::thread([this] { load(); });
  } catch (const std::system_error&) {
  }
}

UiLoader::~UiLoader() {
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<DesktopUi> UiLoader::make(const char* programName) {
  if (thread_.joinable()) {
    thread_.join();
  } else {
    load();
  }
  std::unique_ptr<DesktopUi> ui(create_ != nullptr ? create_(programName, &error_) : nullptr);
  if (!ui)
    std::fprintf(stderr, "zolven-launcher: running without a desktop UI: %s\n", error_.c_str());
  return ui;
}

void UiLoader::load() {
  const Result<void*> symbol =
      loadModuleSymbol(modulePath("zolven-desktop.so"), kCreateDesktopUiSymbol);
  if (symbol)
    create_ = reinterpret_cast<CreateDesktopUi>(*symbol);
  else
    error_ = symbol.error().message;
}

}  // namespace zolven::platform
