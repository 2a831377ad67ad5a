#include "platform/program_conventions.h"

namespace zolven::platform {

ProgramConventions programConventions() {
  return ProgramConventions{
      .nodeExecutable = "bin/node",
      // The system's program folders as the file system standard lays them out.
      .childSearchPath = "/usr/bin:/bin:/usr/sbin:/sbin",
  };
}

}  // namespace zolven::platform
