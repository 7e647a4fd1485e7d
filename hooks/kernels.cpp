// Copy and add kernels for float buffers. The "SSE" pair promises the arithmetic, not the
// instruction set, so it runs with the widest vectors the processor offers, chosen once at
// start-up. No current processor has 3DNow!, so that pair is a plain loop.
#include <immintrin.h>

#include <cstring>

#include "hooks.h"

namespace {

using Kernel = void (*)(float *, const float *, int);

// The add takes four vectors per step: the loads of one step do not wait for the stores of
// another, and the loop's own count and jump are paid once per four vectors. Each sample is
// still one add of the same two values, so the sums are the same bits as one vector at a time.
// The copy is the C library's, which picks the best copy for the processor it runs on.
__attribute__((target("avx2"))) void add_avx2(float *dest, const float *src, int count) {
  int i = 0;
  for (; i + 32 <= count; i += 32) {
    __m256 a = _mm256_add_ps(_mm256_loadu_ps(dest + i), _mm256_loadu_ps(src + i));
    __m256 b = _mm256_add_ps(_mm256_loadu_ps(dest + i + 8), _mm256_loadu_ps(src + i + 8));
    __m256 c = _mm256_add_ps(_mm256_loadu_ps(dest + i + 16), _mm256_loadu_ps(src + i + 16));
    __m256 d = _mm256_add_ps(_mm256_loadu_ps(dest + i + 24), _mm256_loadu_ps(src + i + 24));
    _mm256_storeu_ps(dest + i, a);
    _mm256_storeu_ps(dest + i + 8, b);
    _mm256_storeu_ps(dest + i + 16, c);
    _mm256_storeu_ps(dest + i + 24, d);
  }
  for (; i + 8 <= count; i += 8) {
    _mm256_storeu_ps(dest + i, _mm256_add_ps(_mm256_loadu_ps(dest + i), _mm256_loadu_ps(src + i)));
  }
  for (; i < count; ++i) dest[i] += src[i];
}

void add_sse(float *dest, const float *src, int count) {
  int i = 0;
  for (; i + 16 <= count; i += 16) {
    __m128 a = _mm_add_ps(_mm_loadu_ps(dest + i), _mm_loadu_ps(src + i));
    __m128 b = _mm_add_ps(_mm_loadu_ps(dest + i + 4), _mm_loadu_ps(src + i + 4));
    __m128 c = _mm_add_ps(_mm_loadu_ps(dest + i + 8), _mm_loadu_ps(src + i + 8));
    __m128 d = _mm_add_ps(_mm_loadu_ps(dest + i + 12), _mm_loadu_ps(src + i + 12));
    _mm_storeu_ps(dest + i, a);
    _mm_storeu_ps(dest + i + 4, b);
    _mm_storeu_ps(dest + i + 8, c);
    _mm_storeu_ps(dest + i + 12, d);
  }
  for (; i + 4 <= count; i += 4) {
    _mm_storeu_ps(dest + i, _mm_add_ps(_mm_loadu_ps(dest + i), _mm_loadu_ps(src + i)));
  }
  for (; i < count; ++i) dest[i] += src[i];
}

// Runs during static initialisation, before the compiler's own processor probe may have run.
bool detect_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

const bool has_avx2 = detect_avx2();
const Kernel sse_add = has_avx2 ? add_avx2 : add_sse;

}  // namespace

const char *hooks::kernels_width() { return has_avx2 ? "avx2" : "sse"; }

extern "C" {

void x86_sse_copyf(float *dest, const float *src, int count) {
  if (count > 0) memcpy(dest, src, static_cast<size_t>(count) * sizeof(float));
}

void x86_sse_add2f(float *dest, const float *src, int count) { sse_add(dest, src, count); }

void x86_3dnow_copyf(float *dest, const float *src, int count) {
  for (int i = 0; i < count; ++i) dest[i] = src[i];
}

void x86_3dnow_add2f(float *dest, const float *src, int count) {
  for (int i = 0; i < count; ++i) dest[i] += src[i];
}

}  // extern "C"
