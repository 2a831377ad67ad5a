#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/desktop_integration.h"
#include "platform/freedesktop/exec_value.h"
#include "platform/result.h"
#include "platform/user_places.h"

namespace zolven::platform {

// This bundle's entries in the user's desktop, where freedesktop.org desktops look for
// them: the menu entry `zolven.desktop` in the menu entries' folder with the icons in the
// icon theme `hicolor`, and the login entry `zolven.desktop` in the autostart folder.
//
// Both entries share one file name with every other ZOLVEN bundle, so an entry is only
// ever replaced or removed when it runs this bundle's launcher: one that runs another
// bundle's launcher is left alone unless the user forces it. An entry whose launcher no
// longer exists (a bundle that was moved or deleted) is replaced without force, but is
// not removed: it is not this bundle's.
//
// Each operation returns what it did, in lines for the user, or why it refused or failed.

// Where the entries and icons go, and the bundle they are for.
struct DesktopEntryPlaces {
  std::string bundle;  // absolute: the folder that holds zolven-launcher
  UserPlaces user;     // the menu entries', icons' and login entries' folders
};

Result<std::string> installDesktopEntry(const DesktopEntryPlaces& places, ExistingEntry existing);
Result<std::string> removeDesktopEntry(const DesktopEntryPlaces& places);
Result<std::string> installAutostartEntry(const DesktopEntryPlaces& places, ExistingEntry existing);
Result<std::string> removeAutostartEntry(const DesktopEntryPlaces& places);

}  // namespace zolven::platform
