#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/program_conventions.h"

namespace zolven::runtime {

// The architecture directory's name for this machine, in node's words: "arm64" on
// aarch64, "x64" on x86_64.
std::string_view hostArchitecture();

// Where the runtime lies inside the resources directory; every entry an absolute path.
struct RuntimeLayout {
  std::string resourcesDirectory;
  std::string runtimeRoot;            // resources/runtime
  std::string architectureDirectory;  // resources/runtime/<arch>
  std::string runtimeDirectory;       // the architecture directory if it exists, else the root
  std::string appDirectory;           // runtime directory/app
  std::string nodeExecutable;         // runtime directory/the system's node executable
  std::string entryScript;            // app directory/scripts/packaged-runtime.mjs
  std::string runtimeConfig;          // resources/config/runtime-config.json
  std::string runtimeBinDirectory;    // runtime directory/bin

  // The files a launch needs, in the order they are checked.
  std::vector<std::string> requiredFiles() const {
    return {nodeExecutable, entryScript, runtimeConfig};
  }
};

// Anything at the architecture directory's path, even a plain file, selects it. The node
// executable lies where the system's `conventions` put it in the runtime directory.
RuntimeLayout resolveRuntimeLayout(std::string_view resourcesDirectory,
                                   std::string_view architecture,
                                   const platform::ProgramConventions& conventions,
                                   const std::function<bool(const std::string&)>& exists);

// The runtime's environment: the launcher's own, with PATH replaced by the system's
// search path for a child and the four ZOLVEN_ values the runtime reads set, each
// replacing any inherited value.
platform::Environment childEnvironment(const platform::Environment& launcher,
                                       const RuntimeLayout& layout,
                                       const platform::ProgramConventions& conventions);

// The entry of the runtime's environment ("NAME=value") that tells its processes from any
// other: the app directory is this bundle's alone, and what the runtime starts inherits it.
std::string runtimeFamilyMark(const RuntimeLayout& layout);

}  // namespace zolven::runtime
