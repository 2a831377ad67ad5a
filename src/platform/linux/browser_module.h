#pragma once

#include <optional>
#include <string>

namespace zolven::platform {

// The browser module (lib/zolven-browser.so beside the launcher) opens URLs with the
// desktop's default application through GIO. It is loaded on first use, off the main
// thread, so the launcher's start never maps GLib, GIO and what they bring.
//
// The entry point, looked up by name: opens `url` and reports the opening application's
// identifier (when known) or the error message. `token` goes to the application as its
// startup-notification id or activation token; `browserCommand` is the BROWSER fallback.
using OpenWithDefaultHandler = void (*)(const std::string& url,
                                        const std::optional<std::string>& token,
                                        const std::optional<std::string>& browserCommand,
                                        std::optional<std::string>& application,
                                        std::optional<std::string>& error);
inline constexpr const char* kOpenWithDefaultHandlerSymbol = "zolven_open_with_default_handler";

// The second entry point: gets GIO ready to open URLs of `scheme` (a C string) and opens
// nothing. GIO reads the desktop's application database and looks up the default handler;
// it keeps what it read and watches the files it came from, so an open after a change of
// the default reads them again and launches the new one.
using PrepareDefaultHandler = void (*)(const char* scheme);
inline constexpr const char* kPrepareDefaultHandlerSymbol = "zolven_prepare_default_handler";

}  // namespace zolven::platform
