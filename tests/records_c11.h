// SPDX-License-Identifier: MIT
/*
 * What records_c11.c, compiled as C11, hands records_test.cpp: the layout of the shared records
 * as the C compiler sees it, and accesses made through C.
 */
#ifndef TAMB_TESTS_RECORDS_C11_H
#define TAMB_TESTS_RECORDS_C11_H

#include <stddef.h>
#include <stdint.h>
#include <tamb/tamb.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  const char *name;
  size_t value;
} records_c_layout_t;

extern const records_c_layout_t records_c_layout[];
extern const size_t records_c_layout_count;

void records_c_stamp_control(tamb_control_t *control, uint32_t port, uint64_t value);
void records_c_stamp_property_request(tamb_request_t *request, const char *key, int32_t status);
uint64_t records_c_load_timeout(const tamb_request_t *request);
uint64_t records_c_load_port_client_id(const tamb_control_t *control, uint32_t port);

#ifdef __cplusplus
}
#endif

#endif
