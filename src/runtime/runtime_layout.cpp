#include "runtime/runtime_layout.h"

#include "platform/path.h"

namespace zolven::runtime {

using platform::joinPath;

namespace {
constexpr std::string_view kResourceRootVariable = "ZOLVEN_PACKAGED_RESOURCE_ROOT";
}  // namespace

std::string_view hostArchitecture() {
#if defined(__aarch64__)
  return "arm64";
#elif defined(__x86_64__)
  return "x64";
#else
#error "no runtime architecture name for this machine"
#endif
}

RuntimeLayout resolveRuntimeLayout(std::string_view resourcesDirectory,
                                   std::string_view architecture,
                                   const platform::ProgramConventions& conventions,
                                   const std::function<bool(const std::string&)>& exists) {
  RuntimeLayout layout;
  layout.resourcesDirectory = std::string(resourcesDirectory);
  layout.runtimeRoot = joinPath(resourcesDirectory, "runtime");
  layout.architectureDirectory = joinPath(layout.runtimeRoot, architecture);
  layout.runtimeDirectory =
      exists(layout.architectureDirectory) ? layout.architectureDirectory : layout.runtimeRoot;
  layout.appDirectory = joinPath(layout.runtimeDirectory, "app");
  layout.nodeExecutable = joinPath(layout.runtimeDirectory, conventions.nodeExecutable);
  layout.entryScript = joinPath(layout.appDirectory, "scripts/packaged-runtime.mjs");
  layout.runtimeConfig = joinPath(resourcesDirectory, "config/runtime-config.json");
  layout.runtimeBinDirectory = joinPath(layout.runtimeDirectory, "bin");
  return layout;
}

platform::Environment childEnvironment(const platform::Environment& launcher,
                                       const RuntimeLayout& layout,
                                       const platform::ProgramConventions& conventions) {
  platform::Environment environment = launcher;
  environment.set("PATH", conventions.childSearchPath);
  environment.set(kResourceRootVariable, layout.appDirectory);
  environment.set("ZOLVEN_PACKAGED_CONFIG", layout.runtimeConfig);
  environment.set("ZOLVEN_PACKAGED_BIN_DIR", layout.runtimeBinDirectory);
  environment.set("ZOLVEN_SUPPRESS_BROWSER", "1");
  return environment;
}

std::string runtimeFamilyMark(const RuntimeLayout& layout) {
  return std::string(kResourceRootVariable) + "=" + layout.appDirectory;
}

}  // namespace zolven::runtime
