// Opening a URL with the desktop's default application through GIO: the browser module.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/linux/browser_module.h"
#include "platform/linux/default_signals.h"

namespace zolven::platform {
namespace {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct Outcome {
  std::optional<std::string> application;
  std::optional<std::string> error;
  // The process the launch started and left to the caller to reap, or 0.
  GPid started = 0;
};

std::string takeMessage(GError* error) {
  std::string message = error != nullptr ? error->message : "Unknown error";
  g_clear_error(&error);
  return message;
}

// The environment the application is started with: ours, plus the token under both of
// the names desktops use (X11 startup notification and Wayland's xdg-activation). An
// application ignores a token that is not of its kind.
gchar** launchEnvironment(const std::optional<std::string>& token) {
  gchar** environment = g_get_environ();
  if (token) {
    environment = g_environ_setenv(environment, "DESKTOP_STARTUP_ID", token->c_str(), TRUE);
    environment = g_environ_setenv(environment, "XDG_ACTIVATION_TOKEN", token->c_str(), TRUE);
  }
  return environment;
}

// In the browser's child, between fork and exec: the browser starts as it would from the
// desktop, with no signal ignored or blocked, whatever the launcher inherited, GLib set (it
// ignores SIGPIPE once it uses a socket) or the C library keeps. GLib's posix_spawn start
// cannot give that (the library's own signals stay ignored), so a start costs a fork.
void startAsFromTheDesktop(gpointer) { zolven_reset_every_signal(); }

// The browser is the caller's child, left to it to reap, without an intermediate process;
// every descriptor of the launcher is close-on-exec, so none reaches the browser.
constexpr GSpawnFlags kBrowserSpawnFlags = static_cast<GSpawnFlags>(
    G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_LEAVE_DESCRIPTORS_OPEN);

// Runs BROWSER with the URL as its one argument, straight from the argument vector (no
// shell).
Outcome runBrowserCommand(const std::string& command, const std::string& url,
                          const std::optional<std::string>& token) {
  gchar* argv[] = {const_cast<gchar*>(command.c_str()), const_cast<gchar*>(url.c_str()), nullptr};
  gchar** environment = launchEnvironment(token);
  GError* error = nullptr;
  GPid started = 0;
  const gboolean spawned = g_spawn_async(nullptr, argv, environment, kBrowserSpawnFlags,
                                         startAsFromTheDesktop, nullptr, &started, &error);
  g_strfreev(environment);
  if (!spawned) return {.error = takeMessage(error)};
  const std::string::size_type slash = command.rfind('/');
  return {.application = slash == std::string::npos ? command : command.substr(slash + 1),
          .started = started};
}

Outcome openWithDefaultHandler(const std::string& url, const std::optional<std::string>& token,
                               const std::optional<std::string>& browserCommand) {
  gchar* schemeText = g_uri_parse_scheme(url.c_str());
  const std::string scheme = schemeText != nullptr ? schemeText : "";
  g_free(schemeText);

  GObjectPtr<GAppInfo> handler(
      scheme.empty() ? nullptr : g_app_info_get_default_for_uri_scheme(scheme.c_str()));
  if (!handler) {
    if (browserCommand) return runBrowserCommand(*browserCommand, url, token);
    return {.error = "No application is set to open " + (scheme.empty() ? "such" : scheme) +
                     " URLs, and BROWSER is not set."};
  }

  GObjectPtr<GAppLaunchContext> context(g_app_launch_context_new());
  if (token) {
    g_app_launch_context_setenv(context.get(), "DESKTOP_STARTUP_ID", token->c_str());
    g_app_launch_context_setenv(context.get(), "XDG_ACTIVATION_TOKEN", token->c_str());
  }
  GList uris{.data = const_cast<gchar*>(url.c_str()), .next = nullptr, .prev = nullptr};
  GError* error = nullptr;
  GPid started = 0;
  bool launched = false;
  if (G_IS_DESKTOP_APP_INFO(handler.get())) {
    // GIO's own launch, with one fork of this process instead of two.
    launched = g_desktop_app_info_launch_uris_as_manager(
        G_DESKTOP_APP_INFO(handler.get()), &uris, context.get(), kBrowserSpawnFlags,
        startAsFromTheDesktop, nullptr,
        [](GDesktopAppInfo*, GPid pid, gpointer into) { *static_cast<GPid*>(into) = pid; },
        &started, &error);
  } else {
    launched = g_app_info_launch_uris(handler.get(), &uris, context.get(), &error);
  }
  if (!launched) return {.error = takeMessage(error), .started = started};
  // Without a desktop-file id (a handler GIO made up), the caller reports the default.
  const char* id = g_app_info_get_id(handler.get());
  return {.application = id != nullptr ? std::optional<std::string>(id) : std::nullopt,
          .started = started};
}

}  // namespace
}  // namespace zolven::platform

// The module's entry point (see platform/linux/browser_module.h).
extern "C" __attribute__((visibility("default"))) void zolven_open_with_default_handler(
    const char* url, const char* token, const char* browserCommand,
    zolven::platform::OpenReport report, void* context) {
  const auto optional = [](const char* text) {
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
  };
  const zolven::platform::Outcome outcome = zolven::platform::openWithDefaultHandler(
      url != nullptr ? url : "", optional(token), optional(browserCommand));
  report(context, outcome.application ? outcome.application->c_str() : nullptr,
         outcome.error ? outcome.error->c_str() : nullptr, outcome.started);
}

// The module's second entry point (see platform/linux/browser_module.h).
extern "C" __attribute__((visibility("default"))) void zolven_prepare_default_handler(
    const char* scheme) {
  if (scheme == nullptr || *scheme == '\0') return;
  if (GAppInfo* handler = g_app_info_get_default_for_uri_scheme(scheme)) g_object_unref(handler);
  // The launch context's type is set up on the way, as an open would.
  g_object_unref(g_app_launch_context_new());
}
