// A runtime that announces its URL `count` times, `gapMs` apart, and notes the
// monotonic time just before each announcement in the file `times`, one per line.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const int count = std::atoi(argv[1]);
  const int gapMs = std::atoi(argv[2]);
  FILE* times = std::fopen(argv[3], "w");
  if (times == nullptr) return 2;
  for (int i = 0; i < count; ++i) {
    // Pacing only: each line should find the launcher idle, as a real runtime's would.
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    const std::string line = "http://127.0.0.1:" + std::to_string(20000 + i) + "/\n";
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::fprintf(times, "%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    std::fflush(times);
    if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      return 1;
  }
  std::fclose(times);
  pause();  // serve until stopped
  return 0;
}
