// SPDX-License-Identifier: MIT
/**
 * \defgroup uuid Identifiers
 * Identifiers of clients and ports and their decimal text form.
 * @{
 */
#ifndef TAMB_UUID_H
#define TAMB_UUID_H

#include "types.h"

/** Size of a buffer that holds the text form of any identifier with its NUL. */
#define TAMB_UUID_STRING_SIZE 37

TAMB_BEGIN_DECLS

/** A new client identifier (kind 2): 8589934593 first, then one more each call. Any thread. */
TAMB_API tamb_uuid_t tamb_client_uuid_generate(void);

/** The identifier of port id port_id (kind 1, serial port_id + 1). Any thread. */
TAMB_API tamb_uuid_t tamb_port_uuid_generate(uint32_t port_id);

/** Low 16 bits of u minus 1: the port id of a port identifier below port id 65535. Any thread. */
TAMB_API uint32_t tamb_uuid_to_index(tamb_uuid_t u);

/** 1 if u is the empty identifier 0, else 0. Any thread. */
TAMB_API int tamb_uuid_empty(tamb_uuid_t u);

/** 0 when equal, -1 when a < b, 1 when a > b (unsigned). Any thread. */
TAMB_API int tamb_uuid_compare(tamb_uuid_t a, tamb_uuid_t b);

/** *dst = src. Any thread. */
TAMB_API void tamb_uuid_copy(tamb_uuid_t *dst, tamb_uuid_t src);

/** *u = 0. Any thread. */
TAMB_API void tamb_uuid_clear(tamb_uuid_t *u);

/** Writes u as unsigned decimal into buf, of TAMB_UUID_STRING_SIZE bytes. Any thread. */
TAMB_API void tamb_uuid_unparse(tamb_uuid_t u, char buf[TAMB_UUID_STRING_SIZE]);

/**
 * Scans one unsigned decimal number from text into *out (leading white space skipped, trailing
 * text ignored). Returns 0 when it is an identifier with a kind, -1 otherwise; a number without
 * kind bits is still stored, text without a number leaves *out untouched. Any thread.
 */
TAMB_API int tamb_uuid_parse(const char *text, tamb_uuid_t *out);

TAMB_END_DECLS

/** @} */

#endif
