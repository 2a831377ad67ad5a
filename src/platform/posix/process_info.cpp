#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/process_info.h"

namespace zolven::platform {

Environment PosixProcessInfo::environment() const { return Environment::current(); }

std::string PosixProcessInfo::homeDirectory() const {
  if (const char* home = ::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  return accountHomeDirectory().value_or("/");
}

std::optional<std::string> PosixProcessInfo::accountHomeDirectory() const {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_dir != nullptr ? std::optional<std::string>(found->pw_dir) : std::nullopt;
  return std::nullopt;
}

std::string PosixProcessInfo::currentDirectory() const {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::unique_ptr<ProcessInfo> currentProcessInfo() { return std::make_unique<PosixProcessInfo>(); }

}  // namespace zolven::platform
