// SPDX-License-Identifier: MIT
// Identifiers of clients and ports: kind in bits 32-63, serial in bits 0-31.
#include "tamb/uuid.h"

#include <pthread.h>

#include <cstdio>

namespace {

constexpr tamb_uuid_t kind_port = tamb_uuid_t{1} << 32;
constexpr tamb_uuid_t kind_client = tamb_uuid_t{2} << 32;
constexpr tamb_uuid_t kind_mask = ~tamb_uuid_t{0} << 32;

uint32_t uuid_cnt = 0;
pthread_mutex_t uuid_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

extern "C" {

TAMB_API tamb_uuid_t tamb_client_uuid_generate(void) {
  pthread_mutex_lock(&uuid_lock);
  uint32_t serial = ++uuid_cnt;
  pthread_mutex_unlock(&uuid_lock);
  return kind_client | serial;
}

TAMB_API tamb_uuid_t tamb_port_uuid_generate(uint32_t port_id) {
  uint32_t serial = port_id + 1;
  return kind_port | serial;
}

TAMB_API uint32_t tamb_uuid_to_index(tamb_uuid_t u) {
  return static_cast<uint32_t>(u & 0xffff) - 1;
}

TAMB_API int tamb_uuid_empty(tamb_uuid_t u) { return u == 0; }

TAMB_API int tamb_uuid_compare(tamb_uuid_t a, tamb_uuid_t b) {
  if (a == b) return 0;
  return a < b ? -1 : 1;
}

TAMB_API void tamb_uuid_copy(tamb_uuid_t *dst, tamb_uuid_t src) { *dst = src; }

TAMB_API void tamb_uuid_clear(tamb_uuid_t *u) { *u = 0; }

TAMB_API void tamb_uuid_unparse(tamb_uuid_t u, char buf[TAMB_UUID_STRING_SIZE]) {
  snprintf(buf, TAMB_UUID_STRING_SIZE, "%lu", static_cast<unsigned long>(u));
}

// A number without kind bits is stored all the same and reported as a failure; callers that
// pass such text get the number back but must not treat it as an identifier.
TAMB_API int tamb_uuid_parse(const char *text, tamb_uuid_t *out) {
  if (text == nullptr || out == nullptr) return -1;
  unsigned long value;
  // As "%lu" reads it: leading space skipped, text after the number ignored.
  // NOLINTNEXTLINE(bugprone-unchecked-string-to-number-conversion)
  if (sscanf(text, "%lu", &value) != 1) return -1;
  *out = value;
  return (value & kind_mask) == 0 ? -1 : 0;
}

}  // extern "C"
