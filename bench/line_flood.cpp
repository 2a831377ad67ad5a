// Writes `bytes` of 100-byte lines (99 characters and a line feed, none a ready line) to
// standard output in 64 KiB writes, as a runtime that logs heavily would.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const unsigned long long total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1ULL << 30;
  std::string line(99, 'x');
  line.replace(0, 24, "GET /api/items?page=1 20");
  line += '\n';
  std::string block;
  while (block.size() + line.size() <= 64 * 1024) block += line;

  unsigned long long written = 0;
  while (written < total) {
    const size_t want =
        static_cast<size_t>(std::min<unsigned long long>(block.size(), total - written));
    const ssize_t n = ::write(STDOUT_FILENO, block.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    written += static_cast<unsigned long long>(n);
  }
  return 0;
}
