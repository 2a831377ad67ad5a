// A stand-in for the user's web browser. It records, into a file of its own under
// $ZOLVEN_TEST_BROWSER_RECORD, the arguments it was given, its blocked signal mask and
// the descriptors it inherited above the standard three, then exits.
//
// It is a compiled program on purpose: a shell would reset the signal mask and hide a
// launcher that starts its browser with signals blocked.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  const char* dir = std::getenv("ZOLVEN_TEST_BROWSER_RECORD");
  if (dir == nullptr) return 2;

  std::ostringstream out;
  out << "args " << (argc - 1) << "\n";
  for (int i = 1; i < argc; ++i) out << "arg " << argv[i] << "\n";

  {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigBlk:", 0) == 0)
        out << "sigblk " << line.substr(line.find_first_not_of(" \t", 7)) << "\n";
  }

  if (DIR* fds = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(fds);
    while (const dirent* entry = ::readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::atoi(entry->d_name);
      if (fd > 2 && fd != own) out << "fd " << fd << "\n";
    }
    ::closedir(fds);
  }
  for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"})
    if (const char* token = std::getenv(name)) out << name << " " << token << "\n";

  const std::string base = std::string(dir) + "/" + std::to_string(::getpid());
  {
    std::ofstream file(base + ".tmp");
    file << out.str();
  }
  return std::rename((base + ".tmp").c_str(), base.c_str()) == 0 ? 0 : 3;
}
