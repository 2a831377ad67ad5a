#pragma once

#include <string>

#include "platform/result.h"

namespace zolven::platform {

// The launcher's optional parts (the desktop UI, the browser handoff) are shared modules
// in lib/ beside the real path of the running executable, loaded only when needed.
std::string modulePath(const std::string& name);

// Loads the module at `path` (never unloaded: the libraries it brings may keep threads and
// state for the rest of the process) and looks up `symbol` in it: the symbol's address, or
// the loader's reason.
Result<void*> loadModuleSymbol(const std::string& path, const char* symbol);

}  // namespace zolven::platform
