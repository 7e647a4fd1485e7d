// SPDX-License-Identifier: MIT
// The hooks of the client core and the server, as the library's modules call them.
//
// The library refers to them weakly, so that a program that leaves some of them out still
// links and loads: a missing log hook falls back to standard error, a missing request
// delivery fails the request, a missing cpu_type means no processor extensions.
#ifndef TAMB_OUTSIDE_H
#define TAMB_OUTSIDE_H

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "tamb/hooks.h"

extern "C" {
#pragma weak tamb_client_deliver_request
#pragma weak tamb_error
#pragma weak tamb_info
#pragma weak tamb_messagebuffer_add
#pragma weak tamb_server_dir
#pragma weak tamb_client_internal_by_id
#pragma weak cpu_type
#pragma weak x86_sse_copyf
#pragma weak x86_sse_add2f
#pragma weak x86_3dnow_copyf
#pragma weak x86_3dnow_add2f
}

namespace tamb {

__attribute__((format(printf, 2, 3))) inline void report_to_stderr(const char *level,
                                                                   const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fprintf(stderr, "tamb %s: ", level);
  vfprintf(stderr, fmt, args);
  fputc('\n', stderr);
  va_end(args);
}

// The one way the library's modules send a request to the server. Without a delivery hook (a
// program that links no client core) every request fails alike: status and result are ENOSYS.
inline int request_send(tamb_client_t *client, tamb_request_t *request) {
  if (tamb_client_deliver_request == nullptr) {
    request->status = ENOSYS;
    return ENOSYS;
  }
  return tamb_client_deliver_request(client, request);
}

}  // namespace tamb

#define TAMB_ERROR(...) \
  (tamb_error != nullptr ? tamb_error(__VA_ARGS__) : tamb::report_to_stderr("error", __VA_ARGS__))
#define TAMB_INFO(...) \
  (tamb_info != nullptr ? tamb_info(__VA_ARGS__) : tamb::report_to_stderr("info", __VA_ARGS__))
#define TAMB_TRACE(...) \
  (tamb_messagebuffer_add != nullptr ? tamb_messagebuffer_add(__VA_ARGS__) : (void)0)

#endif
