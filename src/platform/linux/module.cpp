#include <dlfcn.h>

#include <optional>

#include "platform/bundle.h"
#include "platform/linux/module.h"

namespace platform {

std::string modulePath(const std::string& name) {
  const std::optional<std::string> executable = executablePath();
  if (!executable) return {};
  std::string path(*executable);
  path.erase(path.find_last_of('/') + 1);
  return path + "lib/" + name;
}

Result<void*> loadModuleSymbol(const std::string& path, const char* symbol) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return Error{::dlerror()};
  void* address = ::dlsym(handle, symbol);
  if (address == nullptr) return Error{::dlerror()};
  return address;
}

}  // namespace platform
