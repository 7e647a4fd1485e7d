// SPDX-License-Identifier: MIT
// Counts heap calls, and fails chosen ones, by standing in for the allocator's entry points in
// the test binary: the library's calls resolve to these before the C library's. Sanitizer builds
// keep their own allocator, so there the counter reports itself unavailable.
#include <malloc.h>

#include <cerrno>
#include <cstdlib>

#include "support.h"

namespace {
__thread uint64_t heap_calls = 0;
__thread size_t failing_size = 0;  // 0: no allocation fails
}  // namespace

#if defined(TAMB_SANITIZE)

namespace support {
bool HeapCounter::available() { return false; }
}  // namespace support

#else

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);

void *malloc(size_t size) {
  ++heap_calls;
  if (size != 0 && size == failing_size) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
  ++heap_calls;
  if (count != 0 && size != 0 && count * size == failing_size) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) {
  ++heap_calls;
  return __libc_realloc(block, size);
}

void free(void *block) {
  if (block != nullptr) ++heap_calls;
  __libc_free(block);
}

void *memalign(size_t alignment, size_t size) {
  ++heap_calls;
  return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
  ++heap_calls;
  return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
  ++heap_calls;
  if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) return 22;
  void *block = __libc_memalign(alignment, size);
  if (block == nullptr) return 12;
  *out = block;
  return 0;
}
}

namespace support {
bool HeapCounter::available() { return true; }
}  // namespace support

#endif

namespace support {

HeapCounter::HeapCounter() : start_(heap_calls) {}

HeapCounter::~HeapCounter() = default;

uint64_t HeapCounter::calls() const { return heap_calls - start_; }

AllocationFailure::AllocationFailure(size_t size) : previous_(failing_size) { failing_size = size; }

AllocationFailure::~AllocationFailure() { failing_size = previous_; }

}  // namespace support
