#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <thread>

#include "platform/linux/instance_socket.h"
#include "platform/result.h"
#include "platform/single_instance.h"

namespace zolven::platform {

// Serves the requests of later starts on a bundle's socket, from the moment start()
// returns until it is destroyed: one line per sender, answered once the handler returns.
//
// A thread of its own serves every sender at once: a sender that connects and says nothing
// holds up nobody else, and is dropped at its own deadline. Only processes of the one user
// the server serves are heard; anything short of a valid request from them is dropped
// without an answer.
class InstanceServer {
 public:
  // Binds the socket in `directory` (a descriptor of the private directory, which must
  // outlive the server) and starts serving requests of `user`'s processes with `handler`.
  // Whatever stands at the socket's name is cleared first: only the holder of the claim
  // starts a server, so nobody else listens there.
  static Result<std::unique_ptr<InstanceServer>> start(int directory, const InstanceSocket& socket,
                                                       uid_t user,
                                                       SingleInstance::RequestHandler handler);

  // Stops serving and removes the socket file, if it is still the one bound here. May run
  // on the server's own thread, from inside the handler.
  ~InstanceServer();

  InstanceServer(const InstanceServer&) = delete;
  InstanceServer& operator=(const InstanceServer&) = delete;

 private:
  struct Connections;
  // Where a socket file is; compared before removing it, so that a launcher never removes
  // a successor's socket.
  struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
  };

  InstanceServer(int directory, const InstanceSocket& socket);
  std::optional<FileIdentity> identity() const;

  const int directory_;
  const InstanceSocket socket_;
  std::optional<FileIdentity> bound_;
  // Shared with the thread, so that a server destroyed from inside the handler leaves
  // nothing dangling behind it.
  std::shared_ptr<Connections> connections_;
  std::thread thread_;
};

}  // namespace zolven::platform
