#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/posix/support.h"
#include "platform/result.h"

namespace zolven::platform {

// Where the claims of a user lie on Linux, and who may reach them: a private directory per
// user, and in it a lock file and a socket per bundle.

// Creates the directory at `path` when missing (mode 0700) and opens it, refusing what
// another user could have prepared: a symbolic link, or a directory of another owner. A
// directory of ours with a wider mode is set back to 0700. The descriptor pins the
// directory that was checked; the error reads "instance directory <path>: <reason>".
Result<UniqueFd> openPrivateDirectory(const std::string& path);

// The private directory that the environment alone names for the claims of `user`:
// "$XDG_RUNTIME_DIR/zolven" when that variable holds an absolute path (the desktop's
// per-user runtime directory), otherwise "/tmp/zolven-<user>". Whether it can be used is
// for chooseInstanceDirectory() to find out.
std::string instanceDirectoryPath(const Environment& environment, uid_t user);

// The places chooseInstanceDirectory() looks at; the defaults are the real ones but for
// the user's home (from the password database, not $HOME) and the machine's name.
struct InstancePlaces {
  std::string runUser = "/run/user";
  std::string temporary = "/tmp";
  // Empty: the user has none. Nothing: looked up in the password database, only when the
  // places before it cannot be used (the lookup may go out to a directory service).
  std::optional<std::string> home;
  std::string host;
};

struct InstanceDirectoryChoice {
  std::string directory;  // empty when no place could be used
  // What was wrong with each place that was passed over for a reason worth telling.
  std::vector<std::string> passedOver;
};

// Chooses the private directory for the claims of `user`, making it when missing. Every
// start of the user must come to the same one, whether it has the desktop's environment
// or not (cron, su and some SSH sessions have no XDG_RUNTIME_DIR), so the first of these
// that can be used wins:
//  1. "$XDG_RUNTIME_DIR/zolven", when the variable holds an absolute path;
//  2. "/run/user/<user>/zolven", when "/run/user/<user>" is a directory of the user's,
//     closed to everyone else (what the variable names on a systemd desktop);
//  3. "/tmp/zolven-<user>";
//  4. "<home>/.local/state/zolven/<host>", for when another user took the name in /tmp.
// A place is used only when openPrivateDirectory() accepts it.
InstanceDirectoryChoice chooseInstanceDirectory(const Environment& environment, uid_t user,
                                                const InstancePlaces& places);

}  // namespace zolven::platform
