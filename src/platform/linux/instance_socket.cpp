#include "platform/linux/instance_socket.h"

#include <sys/socket.h>

#include <cstring>

#include "platform/path.h"

namespace zolven::platform {

InstanceSocket instanceSocket(const std::string& directoryPath, int directory,
                              const std::string& key) {
  InstanceSocket socket{.name = key + ".sock", .path = {}, .address = {}};
  socket.path = joinPath(directoryPath, socket.name);
  const std::string reachable = "/proc/self/fd/" + std::to_string(directory) + "/" + socket.name;
  socket.address.sun_family = AF_UNIX;
  static_assert(sizeof socket.address.sun_path > 14 + 10 + 1 + 16 + 5);
  std::memcpy(socket.address.sun_path, reachable.c_str(), reachable.size() + 1);
  return socket;
}

}  // namespace zolven::platform
