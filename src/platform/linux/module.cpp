#include <dlfcn.h>

#include <optional>

#include "platform/linux/bundle.h"
#include "platform/linux/module.h"

namespace platform {

std::string modulePath(const std::string& name) {
  const std::optional<std::string> executable = executablePath();
  if (!executable) return {};
  std::string path(*executable);
  path.erase(path.find_last_of('/') + 1);
  return path + "lib/" + name;
}

void* loadModuleSymbol(const std::string& path, const char* symbol, std::string& error) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    error = ::dlerror();
    return nullptr;
  }
  void* address = ::dlsym(handle, symbol);
  if (address == nullptr) error = ::dlerror();
  return address;
}

}  // namespace platform
