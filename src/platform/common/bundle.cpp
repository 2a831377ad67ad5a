#include "platform/bundle.h"

#include <cstdint>

namespace zolven::platform {

std::string instanceKey(std::string_view executablePath) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : executablePath) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  constexpr char kDigits[] = "0123456789abcdef";
  std::string key(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) key[static_cast<size_t>(i)] = kDigits[hash & 0xf];
  return key;
}

}  // namespace zolven::platform
