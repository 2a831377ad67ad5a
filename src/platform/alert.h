#pragma once

#include <string>
#include <vector>

namespace zolven::platform {

// The launcher only shows critical alerts; the other styles are kept with their numbers.
enum class AlertStyle { Warning = 0, Informational = 1, Critical = 2 };

struct Alert {
  AlertStyle style = AlertStyle::Warning;
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;
};

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Shows the alert and returns once the user has dismissed it. Main thread only.
  virtual void runModal(const Alert& alert) = 0;
};

}  // namespace zolven::platform
