#include <dlfcn.h>

#include <optional>

#include "platform/linux/bundle.h"
#include "platform/linux/module.h"

namespace zolven::platform {

std::string modulePath(const std::string& name) {
  const std::optional<std::string> directory = executableDirectory();
  if (!directory) return {};
  return *directory + "/lib/" + name;
}

Result<void*> loadModuleSymbol(const std::string& path, const char* symbol) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return Error{::dlerror()};
  void* address = ::dlsym(handle, symbol);
  if (address == nullptr) return Error{::dlerror()};
  return address;
}

}  // namespace zolven::platform
