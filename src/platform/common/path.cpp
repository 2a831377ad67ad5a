#include "platform/path.h"

namespace zolven::platform {

std::string joinPath(std::string_view base, std::string_view component) {
  std::string path(base);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  if (path.empty() || path.back() != '/') path += '/';
  path += component;
  return path;
}

bool isAbsolutePath(std::string_view path) { return !path.empty() && path.front() == '/'; }

}  // namespace zolven::platform
