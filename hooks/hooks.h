// SPDX-License-Identifier: MIT
// The outside world that libtamb expects from a program, the least that a real one needs: the
// log hooks, the server directory, request delivery to handlers registered in this process (or
// forwarded to another process), the processor features in cpu_type and the copy/add kernels.
// Installed tools that log or send requests link it; tests, benchmarks and the demo get it
// through the test kit, and read what the log hooks kept through log_capture.h.
#ifndef TAMB_HOOKS_HOOKS_H
#define TAMB_HOOKS_HOOKS_H

#include <cstdint>
#include <string>

#include "tamb/tamb.h"

namespace hooks {

// ---- Server directory ---------------------------------------------------------------------

// Directory under which tamb_server_dir places each server's directory; empty restores the
// default /tmp/tamb-<uid>.
void server_dir_set_root(const std::string &root);

// ---- Requests -----------------------------------------------------------------------------

// Carries out one request in the server; its result becomes the request's status.
using RequestHandler = int (*)(tamb_client_t *client, tamb_request_t *request, void *arg);

// Registers the handler of one request type code; a null handler removes it.
void request_set_handler(int32_t type, RequestHandler handler, void *arg = nullptr);

// Number of requests delivered since start-up, whatever their outcome.
uint64_t request_count();

// Sends every request through forward instead of to the handlers (a client process whose
// server is elsewhere); null restores delivery to the handlers.
using RequestForward = int (*)(tamb_request_t *request);
void request_set_forward(RequestForward forward);

// ---- Processor ----------------------------------------------------------------------------

// Feature bits as they are stored in cpu_type: bit 1 SSE, bit 2 SSE2, bit 3 SSE3, bit 8 3DNow!.
int32_t cpu_detect();

// Name of the vector width the SSE kernels use on this machine ("avx2" or "sse").
const char *kernels_width();

}  // namespace hooks

#endif
