#include "log/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

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

// O_RDWR to read the file's last byte; O_NONBLOCK so that a FIFO put where the log
// should be cannot hang the open (a FIFO is then refused, as is anything but a file).
constexpr int kAppendFlags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Opens the file, falling back to write-only for a log its owner made unreadable.
int openExisting(const std::string& file) {
  const int fd = ::open(file.c_str(), kAppendFlags);
  if (fd >= 0 || errno != EACCES) return fd;
  return ::open(file.c_str(), (kAppendFlags & ~O_RDWR) | O_WRONLY);
}

// Creates the file, or opens it when another process created it meanwhile.
int openForAppend(const std::string& file) {
  int fd = ::open(file.c_str(), kAppendFlags | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) {
    ::fchmod(fd, 0600);  // a file we created; the umask may have narrowed it
    return fd;
  }
  if (errno != EEXIST) return -1;
  return openExisting(file);
}

// Where this process's last whole line ended the file. A file that is still that file
// and that long ends with our line feed, so its last byte need not be read again: most
// records skip the read, as nobody else appends between them.
struct FileEnd {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  bool operator==(const FileEnd&) const = default;
};
std::mutex lastEndMutex;
FileEnd lastEnd;

FileEnd endOf(const struct stat& info, off_t size) {
  return {.device = info.st_dev, .inode = info.st_ino, .size = size};
}

// Whether the last byte of the file is something other than a line feed: an append that
// failed part way (a full disk, the file-size limit) left half a record behind.
bool endsInAHalfLine(int fd, const struct stat& info) {
  if (info.st_size == 0) return false;
  {
    std::lock_guard lock(lastEndMutex);
    if (lastEnd == endOf(info, info.st_size)) return false;
  }
  char last = '\n';
  return ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

}  // namespace

AppendResult appendLine(const std::string& file, std::string_view line) {
  // The file exists for every record but the first: one open, as a bare append would.
  int fd = openExisting(file);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) return AppendResult::OpenFailed;
    if (!makeDirectories(parentOf(file))) return AppendResult::DirectoryFailed;
    fd = openForAppend(file);
    if (fd < 0) return AppendResult::OpenFailed;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return AppendResult::OpenFailed;
  }

  // A record that follows a torn one starts a line of its own: the torn half stays one
  // unreadable line, and this record stays whole.
  char lineFeed = '\n';
  iovec parts[2] = {{.iov_base = &lineFeed, .iov_len = 1},
                    {.iov_base = const_cast<char*>(line.data()), .iov_len = line.size()}};
  const bool afterHalfLine = endsInAHalfLine(fd, info);
  const iovec* first = afterHalfLine ? &parts[0] : &parts[1];
  const int count = afterHalfLine ? 2 : 1;
  const size_t total = line.size() + (afterHalfLine ? 1 : 0);

  // One write: with O_APPEND it lands after whatever other processes appended. A write
  // that falls short (the disk is full, the file-size limit reached) is not pushed on:
  // the rest would fail the same way, and the next record repairs the line.
  ssize_t written;
  do {
    written = ::writev(fd, first, count);
  } while (written < 0 && errno == EINTR);
  ::close(fd);  // a failing close may still have written the line; nothing to undo
  if (written != static_cast<ssize_t>(total)) return AppendResult::WriteFailed;
  // Right unless another process appended meanwhile; then the sizes differ next time.
  std::lock_guard lock(lastEndMutex);
  lastEnd = endOf(info, info.st_size + written);
  return AppendResult::Written;
}

}  // namespace eventlog
