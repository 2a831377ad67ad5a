// The user's places on a freedesktop.org desktop, by the XDG base directory rules.
#include "platform/user_places.h"

#include "platform/path.h"

namespace zolven::platform {
namespace {

// A base directory from its variable, else `fallback` below the home folder. A relative
// value is invalid and ignored, as the rules ask.
std::string baseDirectory(const Environment& environment, const char* variable,
                          std::string_view homeDirectory, std::string_view fallback) {
  if (auto value = environment.get(variable); value && isAbsolutePath(*value))
    return std::move(*value);
  return joinPath(homeDirectory, fallback);
}

}  // namespace

UserPlaces userPlaces(const Environment& environment, std::string_view homeDirectory) {
  const std::string dataHome =
      baseDirectory(environment, "XDG_DATA_HOME", homeDirectory, ".local/share");
  const std::string configHome =
      baseDirectory(environment, "XDG_CONFIG_HOME", homeDirectory, ".config");
  return UserPlaces{
      .stateFolder = baseDirectory(environment, "XDG_STATE_HOME", homeDirectory, ".local/state"),
      .menuEntryFolder = joinPath(dataHome, "applications"),
      .iconFolder = joinPath(dataHome, "icons"),
      .autostartFolder = joinPath(configHome, "autostart"),
  };
}

}  // namespace zolven::platform
