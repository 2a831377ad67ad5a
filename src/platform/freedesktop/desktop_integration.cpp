// The desktop integration on a freedesktop.org desktop: this bundle's menu entry and login
// entry (desktop_entry.h) in the user's places.
#include "platform/desktop_integration.h"

#include "platform/freedesktop/desktop_entry.h"
#include "platform/path.h"

namespace zolven::platform {
namespace {

class FreedesktopIntegration final : public DesktopIntegration {
 public:
  explicit FreedesktopIntegration(DesktopEntryPlaces places) : places_(std::move(places)) {}

  Result<std::string> installMenuEntry(ExistingEntry existing) override {
    return installDesktopEntry(places_, existing);
  }
  Result<std::string> removeMenuEntry() override { return removeDesktopEntry(places_); }
  Result<std::string> enableAutostart(ExistingEntry existing) override {
    return installAutostartEntry(places_, existing);
  }
  Result<std::string> disableAutostart() override { return removeAutostartEntry(places_); }

 private:
  const DesktopEntryPlaces places_;
};

}  // namespace

DesktopIntegrationHelp desktopIntegrationHelp() {
  return {
      .menuEntry =
          "add ZOLVEN to the applications menu (this bundle's entry and icons in "
          "~/.local/share)",
      .autostart =
          "start ZOLVEN in the tray at login, without opening the browser (an entry "
          "in ~/.config/autostart)",
  };
}

Result<std::unique_ptr<DesktopIntegration>> currentDesktopIntegration(const Bundle& bundle,
                                                                      const ProcessInfo& process) {
  const std::optional<std::string> executable = bundle.executablePath();
  if (!executable) return Error{"cannot tell where this launcher is"};
  const Environment environment = process.environment();
  std::string home = environment.get("HOME").value_or("");
  if (home.empty()) home = process.accountHomeDirectory().value_or("");
  if (!isAbsolutePath(home)) return Error{"cannot tell the home folder (HOME is not set)"};
  return std::unique_ptr<DesktopIntegration>(std::make_unique<FreedesktopIntegration>(
      DesktopEntryPlaces{.bundle = executable->substr(0, executable->find_last_of('/')),
                         .user = userPlaces(environment, home)}));
}

}  // namespace zolven::platform
