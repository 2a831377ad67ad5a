#include "platform/user_places.h"

#include <gtest/gtest.h>

namespace zolven::platform {

// Found by argument-dependent lookup, so outside the unnamed namespace.
void PrintTo(const UserPlaces& places, std::ostream* os) {
  *os << "{" << places.stateFolder << ", " << places.menuEntryFolder << ", " << places.iconFolder
      << ", " << places.autostartFolder << "}";
}

namespace {

struct PlacesCase {
  const char* name;
  std::vector<Environment::Entry> environment;
  UserPlaces expected;
};

// Every place as a user with none of the variables has them.
UserPlaces byDefault() {
  return {.stateFolder = "/home/ada/.local/state",
          .menuEntryFolder = "/home/ada/.local/share/applications",
          .iconFolder = "/home/ada/.local/share/icons",
          .autostartFolder = "/home/ada/.config/autostart"};
}
UserPlaces withState(const char* folder) {
  UserPlaces places = byDefault();
  places.stateFolder = folder;
  return places;
}

class UserPlacesOf : public testing::TestWithParam<PlacesCase> {};

TEST_P(UserPlacesOf, FollowTheBaseDirectoryRules) {
  EXPECT_EQ(userPlaces(Environment(GetParam().environment), "/home/ada"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UserPlacesOf,
    testing::Values(
        PlacesCase{"DefaultUnderLocalState", {}, byDefault()},
        PlacesCase{"XdgStateHome", {{"XDG_STATE_HOME", "/state"}}, withState("/state")},
        PlacesCase{"XdgStateHomeEmpty", {{"XDG_STATE_HOME", ""}}, byDefault()},
        PlacesCase{"XdgStateHomeRelativeIgnored", {{"XDG_STATE_HOME", "rel/state"}}, byDefault()},
        PlacesCase{"XdgDataAndConfigHome",
                   {{"XDG_DATA_HOME", "/data"}, {"XDG_CONFIG_HOME", "/config/"}},
                   {.stateFolder = "/home/ada/.local/state",
                    .menuEntryFolder = "/data/applications",
                    .iconFolder = "/data/icons",
                    .autostartFolder = "/config/autostart"}},
        PlacesCase{"XdgDataAndConfigHomeRelativeIgnored",
                   {{"XDG_DATA_HOME", "data"}, {"XDG_CONFIG_HOME", "~/.config"}},
                   byDefault()},
        PlacesCase{"XdgDataAndConfigHomeEmpty",
                   {{"XDG_DATA_HOME", ""}, {"XDG_CONFIG_HOME", ""}},
                   byDefault()}),
    [](const testing::TestParamInfo<PlacesCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zolven::platform
