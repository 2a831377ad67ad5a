#include "platform/linux/ui_loader.h"

#include <system_error>
#include <vector>

#include "platform/files.h"
#include "platform/linux/module.h"
#include "platform/posix/support.h"

namespace zolven::platform {

namespace {

// The module's UI behind the DesktopUi interface. The callbacks it hands over stay owned
// here, at addresses that do not move, for as long as the module may call them.
class ModuleDesktopUi final : public DesktopUi {
 public:
  explicit ModuleDesktopUi(const ZolvenDesktopUi& module) : module_(module) {}
  ~ModuleDesktopUi() override { module_.destroy(module_.ui); }
  ModuleDesktopUi(const ModuleDesktopUi&) = delete;
  ModuleDesktopUi& operator=(const ModuleDesktopUi&) = delete;

  void setMenu(const Menu& menu, std::function<void()> onTerminate) override {
    std::vector<ZolvenMenuItem> items;
    for (const MenuItem& top : menu.items)
      for (const MenuItem& item : top.submenu)
        items.push_back({.title = item.title.c_str(),
                         .keyEquivalent = item.keyEquivalent.c_str(),
                         .terminates = item.action == MenuAction::Terminate ? 1 : 0});
    module_.setMenu(module_.ui, items.data(), items.size(), keep(std::move(onTerminate)));
  }
  void setReopenHandler(std::function<void()> onReopen) override {
    module_.setReopenHandler(module_.ui, keep(std::move(onReopen)));
  }
  void setQuitRequestHandler(std::function<void()> onQuitRequest) override {
    module_.setQuitRequestHandler(module_.ui, keep(std::move(onQuitRequest)));
  }
  void runModal(const Alert& alert) override {
    std::vector<const char*> buttons;
    for (const std::string& title : alert.buttons) buttons.push_back(title.c_str());
    const ZolvenAlert plain{.style = static_cast<int>(alert.style),
                            .messageText = alert.messageText.c_str(),
                            .informativeText = alert.informativeText.c_str(),
                            .buttons = buttons.data(),
                            .buttonCount = buttons.size()};
    module_.runModal(module_.ui, &plain);
  }
  void watch(int fd, std::function<void()> onReadable) override {
    module_.watch(module_.ui, fd, keep(std::move(onReadable)));
  }
  void run() override { module_.run(module_.ui); }
  void quit() override { module_.quit(module_.ui); }

 private:
  ZolvenCallback keep(std::function<void()> call) {
    callbacks_.push_back(std::make_unique<std::function<void()>>(std::move(call)));
    return {.call = [](void* context) { (*static_cast<std::function<void()>*>(context))(); },
            .context = callbacks_.back().get()};
  }

  const ZolvenDesktopUi module_;
  std::vector<std::unique_ptr<std::function<void()>>> callbacks_;
};

}  // namespace

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
  std::unique_ptr<DesktopUi> ui;
  if (create_ != nullptr) {
    ZolvenDesktopUi module{};
    char error[256] = "";
    if (create_(programName, &module, error, sizeof error) != 0)
      ui = std::make_unique<ModuleDesktopUi>(module);
    else
      error_ = error;
  }
  // On the main thread, so never waiting for a reader of standard error.
  if (!ui)
    standardErrorStream()->writeWhole("zolven-launcher: running without a desktop UI: " + error_ +
                                      "\n");
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
