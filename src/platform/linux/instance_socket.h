#pragma once

#include <sys/un.h>

#include <string>

namespace zolven::platform {

// A bundle's socket in the private directory, where the running launcher listens and
// later starts send their requests.
struct InstanceSocket {
  std::string name;  // the file's name in the private directory
  std::string path;  // the file's path, for messages
  // Reaches the file through the descriptor of the directory we checked,
  // "/proc/self/fd/N/<name>": always short enough for a socket address, however deep the
  // directory lies, and never a directory that took the checked one's place since.
  sockaddr_un address{};
};

// The socket of the bundle with `key` in the private directory at `directoryPath`, open
// as `directory`.
InstanceSocket instanceSocket(const std::string& directoryPath, int directory,
                              const std::string& key);

}  // namespace zolven::platform
