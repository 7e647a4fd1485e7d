// SPDX-License-Identifier: MIT
/*
 * The shared records as a C11 compiler lays them out and accesses them. records_test.cpp
 * compares these numbers and these accesses with the C++ view: a C client and the C++ library
 * share the same bytes, so any difference between the two compilers corrupts data.
 */

/* Compiled as strict ISO C11, without POSIX feature macros: that is what a plain C client sees. */
#include "records_c11.h"

#include <stdalign.h>
#include <stddef.h>
#include <stdint.h>
#include <tamb/tamb.h>

/* Braced macros are laid out differently by each clang-format release. */
/* clang-format off */
#define RECORDS_C_SIZE(type) { "sizeof " #type, sizeof(type) }
#define RECORDS_C_ALIGN(type) { "alignof " #type, alignof(type) }
#define RECORDS_C_OFFSET(type, field) { #type "." #field, offsetof(type, field) }
/* clang-format on */

const records_c_layout_t records_c_layout[] = {
    RECORDS_C_SIZE(tamb_position_t),
    RECORDS_C_SIZE(tamb_frame_timer_t),
    RECORDS_C_SIZE(tamb_request_t),
    RECORDS_C_SIZE(tamb_client_control_t),
    RECORDS_C_SIZE(tamb_control_t),
    RECORDS_C_SIZE(tamb_port_shared_t),
    RECORDS_C_SIZE(tamb_port_type_info_t),
    RECORDS_C_SIZE(tamb_engine_t),
    RECORDS_C_OFFSET(tamb_engine_t, verbose),
    RECORDS_C_OFFSET(tamb_engine_t, clients),

    /* Alignment 1 is what lets a record start anywhere in a segment; 8 would mean the C
     * compiler ignored the packed attribute. */
    RECORDS_C_ALIGN(tamb_position_t),
    RECORDS_C_ALIGN(tamb_frame_timer_t),
    RECORDS_C_ALIGN(tamb_request_t),
    RECORDS_C_ALIGN(tamb_client_control_t),
    RECORDS_C_ALIGN(tamb_control_t),
    RECORDS_C_ALIGN(tamb_port_shared_t),

    RECORDS_C_OFFSET(tamb_position_t, usecs),
    RECORDS_C_OFFSET(tamb_position_t, valid),
    RECORDS_C_OFFSET(tamb_position_t, bar_start_tick),
    RECORDS_C_OFFSET(tamb_position_t, beats_per_minute),
    RECORDS_C_OFFSET(tamb_position_t, extra),
    RECORDS_C_OFFSET(tamb_position_t, tail_id),

    RECORDS_C_OFFSET(tamb_control_t, current_position),
    RECORDS_C_OFFSET(tamb_control_t, requested_position.tail_id),
    RECORDS_C_OFFSET(tamb_control_t, last_request_id),
    RECORDS_C_OFFSET(tamb_control_t, position_id_counter),
    RECORDS_C_OFFSET(tamb_control_t, next_frame),
    RECORDS_C_OFFSET(tamb_control_t, sync_remain),
    RECORDS_C_OFFSET(tamb_control_t, sync_timeout),
    RECORDS_C_OFFSET(tamb_control_t, sync_time_left),
    RECORDS_C_OFFSET(tamb_control_t, frame_timer),
    RECORDS_C_OFFSET(tamb_control_t, frame_timer.cycle_start_usecs),
    RECORDS_C_OFFSET(tamb_control_t, frame_timer.tail_guard),
    RECORDS_C_OFFSET(tamb_control_t, buffer_size),
    RECORDS_C_OFFSET(tamb_control_t, port_capacity),
    RECORDS_C_OFFSET(tamb_control_t, port_type_count),
    RECORDS_C_OFFSET(tamb_control_t, port_types),
    RECORDS_C_OFFSET(tamb_control_t, port_types[3].silence_offset),
    RECORDS_C_OFFSET(tamb_control_t, port_table),
    RECORDS_C_OFFSET(tamb_control_t, port_table[2].uuid),

    RECORDS_C_OFFSET(tamb_port_shared_t, uuid),
    RECORDS_C_OFFSET(tamb_port_shared_t, name),
    RECORDS_C_OFFSET(tamb_port_shared_t, alias2),
    RECORDS_C_OFFSET(tamb_port_shared_t, client_id),
    RECORDS_C_OFFSET(tamb_port_shared_t, capture_latency),
    RECORDS_C_OFFSET(tamb_port_shared_t, in_use),
    RECORDS_C_OFFSET(tamb_port_type_info_t, size_factor),
    RECORDS_C_OFFSET(tamb_port_type_info_t, segment_index),
    RECORDS_C_OFFSET(tamb_port_type_info_t, silence_offset),

    RECORDS_C_OFFSET(tamb_client_control_t, name),
    RECORDS_C_OFFSET(tamb_client_control_t, active),
    RECORDS_C_OFFSET(tamb_client_control_t, exiting),
    RECORDS_C_OFFSET(tamb_client_control_t, timebase_master),
    RECORDS_C_OFFSET(tamb_client_control_t, timebase_new),
    RECORDS_C_OFFSET(tamb_client_control_t, slowsync),
    RECORDS_C_OFFSET(tamb_client_control_t, active_slowsync),
    RECORDS_C_OFFSET(tamb_client_control_t, sync_poll),
    RECORDS_C_OFFSET(tamb_client_control_t, sync_poll_new),
    RECORDS_C_OFFSET(tamb_client_control_t, sample_rate_cb_set),
    RECORDS_C_OFFSET(tamb_client_control_t, sync_cb_set),
    RECORDS_C_OFFSET(tamb_client_control_t, timebase_cb_set),
    RECORDS_C_OFFSET(tamb_client_control_t, property_cb_set),

    RECORDS_C_OFFSET(tamb_request_t, body),
    RECORDS_C_OFFSET(tamb_request_t, body.port.name),
    RECORDS_C_OFFSET(tamb_request_t, body.port.type_name),
    RECORDS_C_OFFSET(tamb_request_t, body.port.flags),
    RECORDS_C_OFFSET(tamb_request_t, body.port.buffer_size),
    RECORDS_C_OFFSET(tamb_request_t, body.port.port_id),
    RECORDS_C_OFFSET(tamb_request_t, body.port.client_id),
    RECORDS_C_OFFSET(tamb_request_t, body.connections.count),
    RECORDS_C_OFFSET(tamb_request_t, body.connections.ports),
    RECORDS_C_OFFSET(tamb_request_t, body.rename.new_name),
    RECORDS_C_OFFSET(tamb_request_t, body.timebase.conditional),
    RECORDS_C_OFFSET(tamb_request_t, body.client_id),
    RECORDS_C_OFFSET(tamb_request_t, body.timeout),
    RECORDS_C_OFFSET(tamb_request_t, body.property.subject),
    RECORDS_C_OFFSET(tamb_request_t, body.property.key_size),
    RECORDS_C_OFFSET(tamb_request_t, body.property.key),
    RECORDS_C_OFFSET(tamb_request_t, status),
};

const size_t records_c_layout_count = sizeof records_c_layout / sizeof records_c_layout[0];

/* Stores value in unaligned 64-bit fields and a 32-bit field through the C compiler's code. */
void records_c_stamp_control(tamb_control_t *control, uint32_t port, uint64_t value) {
  control->sync_timeout = value;
  control->frame_timer.cycle_start_usecs = value;
  control->buffer_size = (uint32_t)value;
  control->port_table[port].client_id = value;
}

void records_c_stamp_property_request(tamb_request_t *request, const char *key, int32_t status) {
  request->type = TAMB_REQ_PROPERTY_CHANGE_NOTIFY;
  request->body.property.change = TAMB_PROPERTY_DELETED;
  request->body.property.subject = tamb_port_uuid_generate(0);
  request->body.property.key_size = 4;
  request->body.property.key = key;
  request->status = status;
}

uint64_t records_c_load_timeout(const tamb_request_t *request) { return request->body.timeout; }

uint64_t records_c_load_port_client_id(const tamb_control_t *control, uint32_t port) {
  return control->port_table[port].client_id;
}
