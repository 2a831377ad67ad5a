#include "log/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace eventlog {
namespace {

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p with mode 0700 on every directory made. The umask may clear owner bits too,
// so the mode is set explicitly after each mkdir rather than trusted to it.
bool makeDirectories(const std::string& path) {
  if (isDirectory(path)) return true;
  if (::mkdir(path.c_str(), 0700) != 0) {
    if (errno == ENOENT) {
      const std::string parent = parentOf(path);
      if (parent == path || !makeDirectories(parent)) return false;
      if (::mkdir(path.c_str(), 0700) != 0) return errno == EEXIST && isDirectory(path);
    } else {
      return errno == EEXIST && isDirectory(path);
    }
  }
  ::chmod(path.c_str(), 0700);
  return true;
}

constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY;

// Creates the file, or opens it when another process created it meanwhile.
int openForAppend(const std::string& file) {
  int fd = ::open(file.c_str(), kAppendFlags | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) {
    ::fchmod(fd, 0600);  // a file we created; the umask may have narrowed it
    return fd;
  }
  if (errno != EEXIST) return -1;
  return ::open(file.c_str(), kAppendFlags);
}

}  // namespace

AppendResult appendLine(const std::string& file, std::string_view line) {
  // The file exists for every record but the first: one open, as a bare append would.
  int fd = ::open(file.c_str(), kAppendFlags);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) return AppendResult::OpenFailed;
    if (!makeDirectories(parentOf(file))) return AppendResult::DirectoryFailed;
    fd = openForAppend(file);
    if (fd < 0) return AppendResult::OpenFailed;
  }

  AppendResult result = AppendResult::Written;
  while (!line.empty()) {
    const ssize_t written = ::write(fd, line.data(), line.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      result = AppendResult::WriteFailed;
      break;
    }
    line.remove_prefix(static_cast<size_t>(written));
  }
  ::close(fd);  // a failing close may still have written the line; nothing to undo
  return result;
}

}  // namespace eventlog
