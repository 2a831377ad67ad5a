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

std::string folderOfPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace zolven::platform
