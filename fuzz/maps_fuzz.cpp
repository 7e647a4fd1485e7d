// SPDX-License-Identifier: MIT
// The memory-lock walk over arbitrary map text, with the unlocks recorded instead of performed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kit.h"
#include "mlock_walk.h"

namespace {

namespace walk = tamb::mlock_walk;

void check(bool condition) {
  if (!condition) abort();
}

struct Unlock {
  uintptr_t start;
  size_t length;
};

// A line as the walk reads it: up to its newline, and only as far as its first NUL, since the
// parser sees a C string.
std::vector<std::string> lines_of(const uint8_t *data, size_t size) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < size) {
    const void *newline = memchr(data + begin, '\n', size - begin);
    size_t end = newline != nullptr ? static_cast<const uint8_t *>(newline) - data + 1 : size;
    std::string line(reinterpret_cast<const char *>(data) + begin, end - begin);
    lines.push_back(line.substr(0, strlen(line.c_str())));
    begin = end;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (hooks::log_set_echo(false), true);
  (void)quiet;

  // Each line on its own: a parsed path never holds the newline and always ends in a NUL.
  std::vector<std::string> lines = lines_of(data, size);
  std::vector<walk::Mapping> parsed;
  for (const std::string &line : lines) {
    // An exactly-sized copy, so that AddressSanitizer sees the parser read past the line.
    std::unique_ptr<char[]> copy(new char[line.size() + 1]);
    memcpy(copy.get(), line.c_str(), line.size() + 1);
    walk::Mapping mapping;
    if (!walk::parse_line(copy.get(), &mapping)) break;
    check(strlen(mapping.path) <= walk::path_max);
    check(strchr(mapping.path, '\n') == nullptr);
    parsed.push_back(mapping);
  }

  // The walk unlocks, in order, exactly the readable leading lines that ask for it.
  std::vector<Unlock> unlocked;
  if (size != 0) {
    std::vector<uint8_t> text(data, data + size);
    FILE *file = fmemopen(text.data(), text.size(), "r");
    check(file != nullptr);
    walk::walk(
        file,
        [](void *context, uintptr_t start, size_t length) {
          static_cast<std::vector<Unlock> *>(context)->push_back({start, length});
        },
        &unlocked);
    fclose(file);
  }
  size_t next = 0;
  for (const walk::Mapping &mapping : parsed) {
    if (mapping.inode == 0 || !walk::wants_unlock(mapping)) continue;
    check(next < unlocked.size());
    check(unlocked[next].start == mapping.start);
    check(unlocked[next].length == mapping.end - mapping.start);
    ++next;
  }
  check(next == unlocked.size());
  hooks::log_clear();
  return 0;
}
