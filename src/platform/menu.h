#pragma once

#include <string>
#include <vector>

namespace zolven::platform {

enum class MenuAction { None, Terminate };

// A menu as plain data: the platform builds its native menu from it. An item's key
// equivalent is the letter that, with the platform's command modifier, triggers it.
struct MenuItem {
  std::string title;
  MenuAction action = MenuAction::None;
  std::string keyEquivalent;
  std::vector<MenuItem> submenu;
};

struct Menu {
  std::vector<MenuItem> items;
};

}  // namespace zolven::platform
