#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/process_info.h"
#include "platform/result.h"

namespace zolven::platform {

// This bundle's entries in the user's desktop, where freedesktop.org desktops look for
// them: the menu entry `zolven.desktop` with the icons in
// the data home, and the login entry `autostart/zolven.desktop` in the config home.
//
// Both entries share one file name with every other ZOLVEN bundle, so an entry is only
// ever replaced or removed when it runs this bundle's launcher: one that runs another
// bundle's launcher is left alone unless the user forces it. An entry whose launcher no
// longer exists (a bundle that was moved or deleted) is replaced without force, but is
// not removed: it is not this bundle's.

// Where the entries and icons go, and the bundle they are for.
struct DesktopEntryPlaces {
  std::string bundle;      // absolute: the folder that holds zolven-launcher
  std::string dataHome;    // $XDG_DATA_HOME, else ~/.local/share
  std::string configHome;  // $XDG_CONFIG_HOME, else ~/.config
};

enum class ExistingEntry { KeepForeign, ReplaceForeign };

// What a command did, in words for the user: on standard output when it succeeded, on
// standard error when it refused or failed.
struct EntryOutcome {
  bool succeeded = false;
  std::string message;
};

EntryOutcome installDesktopEntry(const DesktopEntryPlaces& places, ExistingEntry existing);
EntryOutcome removeDesktopEntry(const DesktopEntryPlaces& places);
EntryOutcome installAutostartEntry(const DesktopEntryPlaces& places, ExistingEntry existing);
EntryOutcome removeAutostartEntry(const DesktopEntryPlaces& places);

// The places for the running launcher and the process environment, or the error when
// the launcher's own path or the user's home cannot be told.
platform::Result<DesktopEntryPlaces> currentDesktopEntryPlaces(const platform::Bundle& bundle,
                                                               const platform::ProcessInfo& process);

// One argument as an Exec value holds it: quoted, with the characters reserved inside
// quotes escaped, then escaped again as the string the whole value is.
std::string execArgument(const std::string& argument);

// The arguments of an Exec value as it stands in the file, or nothing when it is not a
// valid one (an open quote, a reserved character unquoted).
std::optional<std::vector<std::string>> execArguments(const std::string& value);

// The program that the [Desktop Entry] group of an entry's text runs, past a leading
// `env NAME=VALUE...`; nothing when there is no readable Exec key.
std::optional<std::string> entryProgram(const std::string& entryText);

}  // namespace zolven::platform
