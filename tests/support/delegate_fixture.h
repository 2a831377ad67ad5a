#pragma once

// A delegate wired to the platform fakes, with its log in a temporary directory, for the
// delegate's own tests.

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "fakes.h"
#include "json_lines.h"
#include "runtime/runtime_layout.h"
#include "temp_dir.h"

namespace testsupport {

using namespace zolven;
using namespace zolven::app;

using platform::fake::FakePlatform;
using platform::fake::FakeTask;

struct DelegateFixture {
  TempDir dir;
  FakePlatform fake;
  std::shared_ptr<AppDelegate> delegate;

  DelegateFixture() {
    fake.processInfo.env =
        platform::Environment({{"ZOLVEN_LOG_ROOT", dir.str("logs")}, {"PATH", "/somewhere"}});
    fake.bundle.resources = dir.str("resources");
    delegate = std::make_shared<AppDelegate>(fake.services());
    fake.application.setDelegate(delegate);
  }

  std::string arch() const { return std::string(runtime::hostArchitecture()); }
  void addRuntime(const std::string& runtimeDirectory) {
    writeFile(dir.str("resources/" + runtimeDirectory + "/bin/node"), "#!/bin/sh\n");
    writeFile(dir.str("resources/" + runtimeDirectory + "/app/scripts/packaged-runtime.mjs"), "");
  }
  void addConfig() { writeFile(dir.str("resources/config/runtime-config.json"), "{}"); }

  std::vector<nlohmann::json> records() const {
    return readJsonLines(dir.str("logs/launcher.log"));
  }
  std::vector<std::string> events() const { return eventsOf(records()); }
  std::shared_ptr<FakeTask> task() const {
    return fake.tasks.made.empty() ? nullptr : fake.tasks.made.back();
  }
  void start() { fake.application.run(); }
};

// A delegate whose runtime (a fake task) has been launched.
struct LaunchedFixture : DelegateFixture {
  LaunchedFixture() {
    addRuntime("runtime");
    addConfig();
    start();
  }
};

}  // namespace testsupport
