#include "app/app_delegate.h"
#include "platform/shell.h"

int main(int argc, char** argv) {
  const std::unique_ptr<platform::Shell> shell = platform::makeDesktopShell(argc, argv);
  platform::Application& application = shell->services().application;

  // The application does not own its delegate: this reference keeps it alive.
  const auto delegate = std::make_shared<AppDelegate>(shell->services());

  application.setActivationPolicy(platform::ActivationPolicy::Accessory);
  application.setDelegate(delegate);
  return application.run();
}
