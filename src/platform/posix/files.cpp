#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/posix/support.h"

namespace zolven::platform {
namespace {

Error failure(const char* step, const std::string& path, int error) {
  return Error{std::string(step) + path + ": " + systemMessage(error)};
}

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

// Whether the file ends in a half line: an append that failed part way (a full disk, the
// file-size limit) left half a record behind, and the next record starts with a line feed.
//
// Another process's append may be under way meanwhile. The kernel copies a write into the
// file page by page and makes the file longer after each page, so while a record crosses a
// page boundary its first part already ends the file, without its line feed. Such a size
// is always a whole number of pages: only a last byte other than a line feed at a page
// boundary can be a write under way rather than a torn line. An empty write then waits
// for the writes under way (the kernel lets one write at a time into a file, empty ones
// too), and a size that stayed is the end of a torn line. `info` is brought up to the size
// looked at last.
bool endsInAHalfLine(int fd, struct stat& info) {
  static const off_t pageSize = ::sysconf(_SC_PAGESIZE);
  // Bounded: appends of others that keep ending at page boundaries are whole lines.
  for (int looks = 0; looks < 4; ++looks) {
    if (info.st_size == 0) return false;
    {
      std::lock_guard lock(lastEndMutex);
      if (lastEnd == endOf(info, info.st_size)) return false;
    }
    char last = '\n';
    if (::pread(fd, &last, 1, info.st_size - 1) != 1 || last == '\n') return false;
    if (info.st_size % pageSize != 0) return true;
    const off_t looked = info.st_size;
    ssize_t waited;
    do {
      waited = ::write(fd, &last, 0);
    } while (waited < 0 && errno == EINTR);
    if (::fstat(fd, &info) != 0) return true;
    if (info.st_size == looked) return true;
  }
  return false;
}

// Opens the file for one append, making it (and its folder) when missing. Only a regular
// file is kept open.
Result<UniqueFd> openLog(const std::string& file, struct stat& info) {
  // The file exists for every record but the first: one open, as a bare append would.
  UniqueFd fd(openExisting(file));
  if (!fd) {
    const int openError = errno;
    if (openError != ENOENT && openError != ENOTDIR)
      return failure("cannot open ", file, openError);
    if (!makeDirectories(parentOf(file)))
      return failure("cannot make the folder ", parentOf(file), errno);
    fd.reset(openForAppend(file));
    if (!fd) return failure("cannot open ", file, errno);
  }
  if (::fstat(fd.get(), &info) != 0) return failure("cannot open ", file, errno);
  if (!S_ISREG(info.st_mode)) return Error{"cannot open " + file + ": not a regular file"};
  return fd;
}

bool wouldPass(const struct stat& info, size_t size, std::int64_t limit) {
  return limit > 0 && info.st_size > 0 &&
         static_cast<std::int64_t>(info.st_size) + static_cast<std::int64_t>(size) > limit;
}

// Rotates the file that `fd` was opened on when a line of `size` bytes would take it past
// `limit`, and returns a descriptor for the line: the new file, or the one that another
// process started meanwhile. The folder's lock keeps rotations one at a time across
// processes, so one full file is never renamed twice; appends do not take it.
//
// The lock is tried once, never waited for: whoever holds it may be stopped or slow, and
// the caller may be the main thread. While it is held the line goes to the full file, and
// a later line rotates it.
Result<UniqueFd> rotate(const std::string& file, UniqueFd fd, struct stat& info, size_t size,
                        std::int64_t limit) {
  const UniqueFd folder(::open(parentOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return fd;  // no lock, no rotation: the line still goes somewhere
  int locked;
  do {
    locked = ::flock(folder.get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return fd;
  // What lies at the path now: another process may have rotated since our open.
  fd.reset();
  Result<UniqueFd> current = openLog(file, info);
  if (current && wouldPass(info, size, limit) &&
      ::rename(file.c_str(), (file + ".1").c_str()) == 0) {
    current->reset();
    current = openLog(file, info);
  }
  return current;  // the folder's close releases the lock
}

}  // namespace

Result<void> appendLine(const std::string& file, std::string_view line,
                        const AppendOptions& options) {
  struct stat info {};
  Result<UniqueFd> opened = openLog(file, info);
  if (opened && wouldPass(info, line.size(), options.rotateAt))
    opened = rotate(file, std::move(*opened), info, line.size(), options.rotateAt);
  if (!opened) return opened.error();
  UniqueFd fd = std::move(*opened);
  // A file with no name left was rotated away twice since the open (another process
  // wrote two full logs meanwhile): the line would be lost with it. Told by the fstat
  // already made, so a record costs no more; the moment between it and the write is left.
  if (options.rotateAt > 0 && info.st_nlink == 0) {
    fd.reset();
    return appendLine(file, line, options);
  }

  // A record that follows a torn one starts a line of its own: the torn half stays one
  // unreadable line, and this record stays whole.
  char lineFeed = '\n';
  iovec parts[2] = {{.iov_base = &lineFeed, .iov_len = 1},
                    {.iov_base = const_cast<char*>(line.data()), .iov_len = line.size()}};
  const bool afterHalfLine = endsInAHalfLine(fd.get(), info);
  const iovec* first = afterHalfLine ? &parts[0] : &parts[1];
  const int count = afterHalfLine ? 2 : 1;
  const size_t total = line.size() + (afterHalfLine ? 1 : 0);

  // One write: with O_APPEND it lands after whatever other processes appended. A write
  // that falls short (the disk is full, the file-size limit reached) is not pushed on:
  // the rest would fail the same way, and the next record repairs the line.
  ssize_t written;
  do {
    written = ::writev(fd.get(), first, count);
  } while (written < 0 && errno == EINTR);
  const int writeError = errno;
  fd.reset();  // a failing close may still have written the line; nothing to undo
  if (written < 0) return failure("cannot write ", file, writeError);
  if (written != static_cast<ssize_t>(total))
    return Error{"cannot write " + file + ": only " + std::to_string(written) + " of " +
                 std::to_string(total) + " bytes were written"};
  // Right unless another process appended meanwhile; then the sizes differ next time.
  std::lock_guard lock(lastEndMutex);
  lastEnd = endOf(info, info.st_size + written);
  return {};
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace zolven::platform
