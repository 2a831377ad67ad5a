#pragma once

#include <string>

namespace zolven::platform {

// How this system lays out and finds programs, for the runtime the launcher starts.
struct ProgramConventions {
  // Where a Node.js distribution keeps its executable, relative to the distribution's
  // folder.
  std::string nodeExecutable;
  // The program search path (PATH) the runtime is given in place of the launcher's: the
  // system's own program folders only, so that nothing the user put first is run instead.
  std::string childSearchPath;
};

// This system's conventions.
ProgramConventions programConventions();

}  // namespace zolven::platform
