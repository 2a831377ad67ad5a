#pragma once

namespace zolven::platform {

// The browser module (lib/zolven-browser.so beside the launcher) opens URLs with the
// desktop's default application through GIO. It is loaded on first use, off the main
// thread, so the launcher's start never maps GLib, GIO and what they bring.
//
// What crosses into the module is plain C: the launcher may carry its own copy of the C++
// library while the module uses the system's, so no C++ type, allocation or exception may
// pass between them.
//
// The entry point, looked up by name: opens `url` and calls `report` once, before it
// returns, with the opening application's identifier (null when unknown), the error
// message (null on success), both only valid during that call, and the process the open
// started and did not wait for: a child of the caller's, which the caller must reap (0 when
// there is none). `token` goes to the application as its startup-notification id or
// activation token and `browserCommand` is the BROWSER fallback; either may be null.
using OpenReport = void (*)(void* context, const char* application, const char* error,
                            int started);
using OpenWithDefaultHandler = void (*)(const char* url, const char* token,
                                        const char* browserCommand, OpenReport report,
                                        void* context);
inline constexpr const char* kOpenWithDefaultHandlerSymbol = "zolven_open_with_default_handler";

// The second entry point: gets GIO ready to open URLs of `scheme` (a C string) and opens
// nothing. GIO reads the desktop's application database and looks up the default handler;
// it keeps what it read and watches the files it came from, so an open after a change of
// the default reads them again and launches the new one.
using PrepareDefaultHandler = void (*)(const char* scheme);
inline constexpr const char* kPrepareDefaultHandlerSymbol = "zolven_prepare_default_handler";

}  // namespace zolven::platform
