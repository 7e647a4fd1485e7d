// SPDX-License-Identifier: MIT
/**
 * \defgroup hooks Program hooks
 * What the client core and the server provide to the library. They are not part of libtamb:
 * a program that links libtamb defines them (hooks/ is one such implementation of the program
 * side). The library works without them too: a missing log hook writes to standard error, a
 * missing request delivery fails every request with status and result ENOSYS (38), a missing
 * cpu_type means no special processor support.
 * @{
 */
#ifndef TAMB_HOOKS_H
#define TAMB_HOOKS_H

#include "client.h"

TAMB_BEGIN_DECLS

/**
 * Carries the request to the server and returns when it has answered: 0 when the server
 * carried it out, else nonzero. Writes status on every return. After a type 10 answer to a
 * client with a non-negative request_fd, the connected port ids (uint32 each) can be read from
 * that descriptor; for type 33 the key_size bytes at key reach the server with the record.
 */
int tamb_client_deliver_request(tamb_client_t *client, tamb_request_t *request);

/** Reports one error message. */
void tamb_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/** Reports one informational message. */
void tamb_info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/** Queues one trace message of the transport engine; called inside the server's cycle, so it
 * must not allocate, lock or make a system call. */
void tamb_messagebuffer_add(const char *fmt, ...) TAMB_NONBLOCKING
    __attribute__((format(printf, 1, 2)));

/** The longest path of a server directory, without its NUL. */
#define TAMB_PATH_MAX 4096
/** Writes the server's directory (server_name null: the default server) into buf, of
 * TAMB_PATH_MAX + 1 bytes, and returns buf. */
char *tamb_server_dir(const char *server_name, char *buf);

/** The server's record of the client with that id, or null; called with client_lock held. */
tamb_client_internal_t *tamb_client_internal_by_id(tamb_engine_t *engine, tamb_uuid_t id);

/** Processor features: any of bits 1-7 set: SSE; else any of bits 8-31 set: 3DNow!. */
extern int32_t cpu_type;

/** dest[i] = src[i] for every i below count; the copy kernel when cpu_type reports SSE. */
void x86_sse_copyf(float *dest, const float *src, int count) TAMB_NONBLOCKING;
/** As x86_sse_copyf; the copy kernel when cpu_type reports 3DNow!. */
void x86_3dnow_copyf(float *dest, const float *src, int count) TAMB_NONBLOCKING;

/** dest[i] += src[i] for every i below count; the mix kernel when cpu_type reports SSE. */
void x86_sse_add2f(float *dest, const float *src, int count) TAMB_NONBLOCKING;
/** As x86_sse_add2f; the mix kernel when cpu_type reports 3DNow!. */
void x86_3dnow_add2f(float *dest, const float *src, int count) TAMB_NONBLOCKING;

TAMB_END_DECLS

/** @} */

#endif
