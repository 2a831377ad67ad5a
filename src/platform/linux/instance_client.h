#pragma once

#include <chrono>
#include <string>

#include "platform/linux/instance_socket.h"
#include "platform/single_instance.h"

namespace zolven::platform {

// A later start's side of the socket: sends one request line to the running launcher and
// reads its answer. Connecting is retried for up to `patience` while nobody listens at the
// socket (the running launcher claims before it listens); once connected, the answer may
// take a few seconds.
InstanceDelivery sendInstanceLine(const InstanceSocket& socket, const std::string& line,
                                  std::chrono::milliseconds patience);

}  // namespace zolven::platform
