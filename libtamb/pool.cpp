// SPDX-License-Identifier: MIT
// Blocks aligned to a cache line, straight from the system heap.
#include "tamb/pool.h"

#include <cstdlib>

extern "C" {

TAMB_API void *tamb_pool_alloc(uint64_t size) {
  void *block = nullptr;
  if (posix_memalign(&block, 64, size) != 0) return nullptr;
  return block;
}

TAMB_API void tamb_pool_release(void *block) { free(block); }

}  // extern "C"
