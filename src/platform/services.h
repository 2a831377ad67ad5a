#pragma once

#include "platform/alert.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/process_info.h"
#include "platform/program_conventions.h"
#include "platform/task.h"
#include "platform/user_places.h"
#include "platform/workspace.h"

namespace zolven::platform {

// The platform objects the launcher uses, owned by the process entry (or by a test)
// and outliving the delegate.
struct Services {
  Application& application;
  DispatchQueue& mainQueue;
  DispatchQueue& globalQueue;
  TaskFactory& tasks;
  AlertPresenter& alerts;
  Bundle& bundle;
  ProcessInfo& processInfo;
  Workspace& workspace;
  // The user's places, as the desktop had them when the process started.
  UserPlaces places;
  ProgramConventions programs;
};

}  // namespace zolven::platform
