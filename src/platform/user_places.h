#pragma once

#include <string>
#include <string_view>

#include "platform/environment.h"

namespace zolven::platform {

// Where this desktop keeps each kind of a user's files, every one an absolute folder. The
// launcher decides what goes below them (its log's folder, its entries' names); the
// desktop decides where they are.
struct UserPlaces {
  std::string stateFolder;      // what applications keep between runs: their logs
  std::string menuEntryFolder;  // the entries of the applications menu
  std::string iconFolder;       // the themed icons the menu entries name
  std::string autostartFolder;  // the entries started at login

  bool operator==(const UserPlaces&) const = default;
};

// The places of the user whose environment and home folder (absolute) these are, by this
// desktop's rules.
UserPlaces userPlaces(const Environment& environment, std::string_view homeDirectory);

}  // namespace zolven::platform
