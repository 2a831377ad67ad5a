#pragma once

#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/process_info.h"
#include "platform/result.h"

namespace zolven::platform {

// What to do with an entry that another copy of the application put where this one's goes.
enum class ExistingEntry { KeepForeign, ReplaceForeign };

// This bundle's place in the user's desktop: its entry in the applications menu and its
// start at login (without opening the browser). Every copy of the application shares these
// places, so each operation touches only this bundle's entries, unless it is told to
// replace another's.
//
// Each returns what it did, in lines for the user (each ending in a line feed); the error
// says why it refused or failed.
class DesktopIntegration {
 public:
  virtual ~DesktopIntegration() = default;
  virtual Result<std::string> installMenuEntry(ExistingEntry existing) = 0;
  virtual Result<std::string> removeMenuEntry() = 0;
  virtual Result<std::string> enableAutostart(ExistingEntry existing) = 0;
  virtual Result<std::string> disableAutostart() = 0;
};

// What the menu entry and the start at login are on this desktop, for the usage text: a
// phrase each, saying what is put where.
struct DesktopIntegrationHelp {
  std::string menuEntry;
  std::string autostart;
};
DesktopIntegrationHelp desktopIntegrationHelp();

// The integration of the running launcher's bundle for the user this process runs as, or
// why it cannot be had (the launcher's own path or the user's home cannot be told).
Result<std::unique_ptr<DesktopIntegration>> currentDesktopIntegration(const Bundle& bundle,
                                                                      const ProcessInfo& process);

}  // namespace zolven::platform
