// SPDX-License-Identifier: MIT
// Unlocking of library mappings in a process whose memory is locked into RAM.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "mlock_walk.h"
#include "tamb/mlock.h"

namespace {

// The result is of no use: a range that cannot be unlocked stays as it was.
void unlock_range(void *, uintptr_t start, size_t length) {
  munlock(reinterpret_cast<void *>(start), length);
}

}  // namespace

extern "C" {

TAMB_API void cleanup_mlock(void) {
  char path[TAMB_PATH_MAX + 1];
  snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(getpid()));
  FILE *maps = fopen(path, "r");
  if (maps == nullptr) {
    TAMB_ERROR("can't open map file");
    return;
  }
  tamb::mlock_walk::walk(maps, unlock_range, nullptr);
  fclose(maps);
}

}  // extern "C"
