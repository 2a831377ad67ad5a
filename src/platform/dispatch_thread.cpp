#include <thread>

#include "platform/dispatch.h"

namespace platform {

void ThreadQueue::async(std::function<void()> work) { std::thread(std::move(work)).detach(); }

}  // namespace platform
