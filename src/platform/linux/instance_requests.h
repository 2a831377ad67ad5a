#pragma once

#include "platform/single_instance.h"

namespace zolven::platform {

class EventQueue;
class LinuxApplication;
class DesktopWorkspace;

// Routes the requests of later starts, which arrive on the claim's thread, to the main
// thread, which alone knows whether a quit has begun, and tells the claim its answer.
//
// A launcher that is ending takes no request: the sender waits for it to end instead of
// being answered and forgotten. A reopen reaches the application as the platform's reopen
// (its activation token goes to the next browser start) and is answered with the ready
// URL, for a later start without a display; a quit becomes a terminate request.
class InstanceRequestRouter {
 public:
  InstanceRequestRouter(EventQueue& mainQueue, LinuxApplication& application,
                        DesktopWorkspace& workspace)
      : mainQueue_(mainQueue), application_(application), workspace_(workspace) {}

  // On the claim's thread; waits for the main thread's decision, briefly.
  InstanceAnswer decide(const InstanceRequest& request);

 private:
  EventQueue& mainQueue_;
  LinuxApplication& application_;
  DesktopWorkspace& workspace_;
};

}  // namespace zolven::platform
