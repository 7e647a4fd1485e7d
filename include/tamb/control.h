// SPDX-License-Identifier: MIT
/**
 * \defgroup control Control blocks
 * The records that the server and every client share in memory: the engine control block with
 * the transport, the frame timer and the port region, and one control block per client.
 *
 * All records are packed and little-endian; the byte offsets are a format shared with the
 * server and are pinned below each record. Packed fields may be unaligned: access them through
 * the struct member or memcpy, never through a pointer to the field's type.
 *
 * Nobody locks these records. A position is consistent when head_id == tail_id and the frame
 * timer when head_guard == tail_guard; writers store the head guard, then the body, then the
 * tail guard, and readers copy until both guards of their copy agree. Every write gives the
 * record guards it never had before, so a reader that spans a whole write notices it too.
 *
 * Ids of the three positions:
 * - requested_position carries the id of the client request that wrote it (a value of
 *   position_id_counter widened with its sign). Writers claim the record by turning a
 *   consistent head into their id with one compare-and-swap and wait while head and tail
 *   differ, so its body is always one writer's; a writer that stays midway for the budget of a
 *   guarded copy (it died) is taken over.
 * - pending_position keeps the id of the request it was taken from; last_request_id is that id.
 * - current_position is rewritten by the engine at every cycle start and end. The low 32 bits
 *   of its guards are the low 32 bits of the id of the position it holds (the request it came
 *   from); the high 32 bits count the engine's writes. (int64_t)(int32_t)head_id is the id.
 * @{
 */
#ifndef TAMB_CONTROL_H
#define TAMB_CONTROL_H

#include "types.h"

/** State of the transport (int32). The value 2 is not a state. */
typedef enum {
  TAMB_TRANSPORT_STOPPED = 0, /**< not moving */
  TAMB_TRANSPORT_ROLLING = 1, /**< moving by buffer_size frames per cycle */
  TAMB_TRANSPORT_STARTING = 3 /**< about to roll, waiting for the slow-sync clients */
} tamb_transport_state_t;

/* Commands a client writes into transport_cmd (int32). */
#define TAMB_TRANSPORT_CMD_START 1 /**< command: start the transport */
#define TAMB_TRANSPORT_CMD_STOP 2  /**< command: stop the transport */

/* Bits of tamb_position_t.valid. */
#define TAMB_POSITION_BBT 0x10 /**< valid bit: bar to beats_per_minute hold values */
/** Further optional field groups, held in extra; they travel with the record uninterpreted. */
#define TAMB_POSITION_EXTRA_MASK 0x1e0

/* Port flags. A port without TAMB_PORT_IS_OUTPUT is treated as an input. */
#define TAMB_PORT_IS_INPUT 0x1    /**< port flag: receives data */
#define TAMB_PORT_IS_OUTPUT 0x2   /**< port flag: produces data; a port without it is an input */
#define TAMB_PORT_IS_PHYSICAL 0x4 /**< port flag: stands for a connector of the hardware */

/** Number of entries in the engine control block's port type table. */
#define TAMB_PORT_TYPES_MAX 4

/** A transport position, 136 bytes; consistent when head_id == tail_id. */
typedef struct TAMB_PACKED {
  uint64_t head_id;        /**< offset 0: guard, written first; also the position's id */
  tamb_time_t usecs;       /**< offset 8: start time of the cycle this position belongs to */
  uint32_t frame_rate;     /**< offset 16: sample rate, frames per second */
  tamb_nframes_t frame;    /**< offset 20: transport position in frames */
  uint32_t valid;          /**< offset 24: TAMB_POSITION_* bits */
  int32_t bar;             /**< offset 28: BBT group: valid when TAMB_POSITION_BBT is set */
  int32_t beat;            /**< offset 32: beat within the bar */
  int32_t tick;            /**< offset 36: tick within the beat */
  double bar_start_tick;   /**< offset 40: ticks at the start of the bar */
  float beats_per_bar;     /**< offset 48: time signature numerator */
  float beat_type;         /**< offset 52: time signature denominator */
  double ticks_per_beat;   /**< offset 56: tick resolution */
  double beats_per_minute; /**< offset 64: tempo */
  uint8_t extra[56];       /**< offset 72: further optional fields, always copied whole */
  uint64_t tail_id;        /**< offset 128: guard, written last */
} tamb_position_t;

TAMB_ASSERT_OFFSET(tamb_position_t, head_id, 0);
TAMB_ASSERT_OFFSET(tamb_position_t, usecs, 8);
TAMB_ASSERT_OFFSET(tamb_position_t, frame_rate, 16);
TAMB_ASSERT_OFFSET(tamb_position_t, frame, 20);
TAMB_ASSERT_OFFSET(tamb_position_t, valid, 24);
TAMB_ASSERT_OFFSET(tamb_position_t, bar, 28);
TAMB_ASSERT_OFFSET(tamb_position_t, beat, 32);
TAMB_ASSERT_OFFSET(tamb_position_t, tick, 36);
TAMB_ASSERT_OFFSET(tamb_position_t, bar_start_tick, 40);
TAMB_ASSERT_OFFSET(tamb_position_t, beats_per_bar, 48);
TAMB_ASSERT_OFFSET(tamb_position_t, beat_type, 52);
TAMB_ASSERT_OFFSET(tamb_position_t, ticks_per_beat, 56);
TAMB_ASSERT_OFFSET(tamb_position_t, beats_per_minute, 64);
TAMB_ASSERT_OFFSET(tamb_position_t, extra, 72);
TAMB_ASSERT_OFFSET(tamb_position_t, tail_id, 128);
TAMB_ASSERT_SIZE(tamb_position_t, 136);

/** Timing of the process cycle, 44 bytes; written by the server only. */
typedef struct TAMB_PACKED {
  uint32_t head_guard;              /**< offset 0: changed before the fields change */
  tamb_nframes_t cycle_start_frame; /**< offset 4: frame count at the start of the current cycle */
  tamb_time_t cycle_start_usecs;    /**< offset 8: time at the start of the current cycle */
  tamb_time_t next_cycle_usecs;     /**< offset 16: time expected for the start of the next cycle */
  float period_usecs;               /**< offset 24: filtered length of one cycle */
  int32_t initialized;              /**< offset 28: nonzero once the fields hold valid values */
  uint32_t tail_guard;     /**< offset 32: made equal to head_guard after the fields changed */
  uint8_t writer_state[8]; /**< offset 36: the writer's own filter state */
} tamb_frame_timer_t;

TAMB_ASSERT_OFFSET(tamb_frame_timer_t, head_guard, 0);
TAMB_ASSERT_OFFSET(tamb_frame_timer_t, cycle_start_frame, 4);
TAMB_ASSERT_OFFSET(tamb_frame_timer_t, cycle_start_usecs, 8);
TAMB_ASSERT_OFFSET(tamb_frame_timer_t, next_cycle_usecs, 16);
TAMB_ASSERT_OFFSET(tamb_frame_timer_t, period_usecs, 24);
TAMB_ASSERT_OFFSET(tamb_frame_timer_t, initialized, 28);
TAMB_ASSERT_OFFSET(tamb_frame_timer_t, tail_guard, 32);
TAMB_ASSERT_OFFSET(tamb_frame_timer_t, writer_state, 36);
TAMB_ASSERT_SIZE(tamb_frame_timer_t, 44);

/** A pair of latencies in frames. */
typedef struct TAMB_PACKED {
  uint32_t min; /**< offset 0: lowest latency */
  uint32_t max; /**< offset 4: highest latency */
} tamb_latency_range_t;

TAMB_ASSERT_OFFSET(tamb_latency_range_t, min, 0);
TAMB_ASSERT_OFFSET(tamb_latency_range_t, max, 4);
TAMB_ASSERT_SIZE(tamb_latency_range_t, 8);

/** A port type, 50 bytes: the same layout in the static table and in the control block. */
typedef struct TAMB_PACKED {
  int32_t type_id;     /**< offset 0: not read by the library */
  char type_name[32];  /**< offset 4: NUL-terminated; the empty name ends a static table */
  int32_t size_factor; /**< offset 36: >= 0: buffer is frames * factor * 4 bytes; < 0: fixed_size */
  int32_t fixed_size;  /**< offset 40: buffer size in bytes when size_factor is negative */
  int16_t segment_index; /**< offset 44: registry index of the segment holding the type's buffers */
  int32_t silence_offset; /**< offset 46: offset of the type's silent buffer within that segment */
} tamb_port_type_info_t;

TAMB_ASSERT_OFFSET(tamb_port_type_info_t, type_id, 0);
TAMB_ASSERT_OFFSET(tamb_port_type_info_t, type_name, 4);
TAMB_ASSERT_OFFSET(tamb_port_type_info_t, size_factor, 36);
TAMB_ASSERT_OFFSET(tamb_port_type_info_t, fixed_size, 40);
TAMB_ASSERT_OFFSET(tamb_port_type_info_t, segment_index, 44);
TAMB_ASSERT_OFFSET(tamb_port_type_info_t, silence_offset, 46);
TAMB_ASSERT_SIZE(tamb_port_type_info_t, 50);

/** A port record of the port table, 927 bytes; record n describes port id n. */
typedef struct TAMB_PACKED {
  int32_t type_id;        /**< offset 0: index into port_types */
  int32_t offset;         /**< offset 4: offset of the port's buffer in its type's segment */
  uint32_t id;            /**< offset 8: the record's index in port_table */
  tamb_uuid_t uuid;       /**< offset 12: kind 1, serial id + 1 */
  uint32_t flags;         /**< offset 20: TAMB_PORT_IS_* */
  char name[289];         /**< offset 24: "client:port", NUL-terminated */
  char alias1[289];       /**< offset 313: empty when unset */
  char alias2[289];       /**< offset 602: empty when unset */
  tamb_uuid_t client_id;  /**< offset 891: the owning client */
  uint32_t latency;       /**< offset 899: frames */
  uint32_t total_latency; /**< offset 903: set by the server */
  tamb_latency_range_t playback_latency; /**< offset 907: frames until played */
  tamb_latency_range_t capture_latency;  /**< offset 915: frames since captured */
  uint8_t monitor_requests;              /**< offset 923: count of monitoring requests */
  uint8_t has_mixdown;                   /**< offset 924: 1 when the owner's type has a mixdown */
  uint8_t in_use;                        /**< offset 925: nonzero while a port is registered here */
  uint8_t reserved;                      /**< offset 926: the server's */
} tamb_port_shared_t;

TAMB_ASSERT_OFFSET(tamb_port_shared_t, type_id, 0);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, offset, 4);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, id, 8);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, uuid, 12);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, flags, 20);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, name, 24);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, alias1, 313);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, alias2, 602);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, client_id, 891);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, latency, 899);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, total_latency, 903);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, playback_latency, 907);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, capture_latency, 915);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, monitor_requests, 923);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, has_mixdown, 924);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, in_use, 925);
TAMB_ASSERT_OFFSET(tamb_port_shared_t, reserved, 926);
TAMB_ASSERT_SIZE(tamb_port_shared_t, 927);

/**
 * The engine control block. The port table follows the fixed part; a block is allocated with
 * room for port_capacity records (TAMB_CONTROL_SIZE).
 */
typedef struct TAMB_PACKED {
  int32_t transport_state; /**< offset 0: tamb_transport_state_t */
  int32_t transport_cmd;   /**< offset 4: last TAMB_TRANSPORT_CMD_* written by any client */
  int32_t previous_cmd;    /**< offset 8: the command the engine last acted on */
  tamb_position_t current_position;   /**< offset 12: usecs: start of this cycle; frame_rate:
                                           sample rate; guards: write count << 32 | the
                                           position's id */
  tamb_position_t pending_position;   /**< offset 148: the next cycle's position */
  tamb_position_t requested_position; /**< offset 284: last locate or reposition of a client */
  uint64_t last_request_id;           /**< offset 420: head_id of the last request taken over */
  uint32_t position_id_counter; /**< offset 428: changed only by an atomic fetch-and-add of 1 */
  uint8_t new_position;         /**< offset 432: this cycle's position was newly requested */
  uint8_t pending_is_new;       /**< offset 433: pending_position holds a newly requested one */
  uint32_t next_frame;     /**< offset 434: frame pending_position takes at the next cycle end */
  int32_t sync_clients;    /**< offset 438: active slow-sync clients; never negative */
  int32_t sync_remain;     /**< offset 442: slow-sync clients not yet ready in the running poll */
  uint64_t sync_timeout;   /**< offset 446: longest sync poll, microseconds */
  uint64_t sync_time_left; /**< offset 454: microseconds left in the running poll */
  tamb_frame_timer_t frame_timer; /**< offset 462: timing of the process cycle */
  uint8_t engine_private_506[12]; /**< offset 506: the server engine's */
  uint32_t buffer_size;           /**< offset 518: frames per process cycle */
  uint8_t engine_private_522[27]; /**< offset 522: the server engine's */
  uint32_t port_capacity;         /**< offset 549: records in port_table */
  uint8_t engine_private_553[4];  /**< offset 553: the server's */
  int32_t port_type_count;        /**< offset 557: valid entries of port_types */
  tamb_port_type_info_t port_types[TAMB_PORT_TYPES_MAX]; /**< offset 561: indexed by type_id */
#if defined(__cplusplus)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
  tamb_port_shared_t port_table[]; /**< offset 761: indexed by port id */
#if defined(__cplusplus)
#pragma GCC diagnostic pop
#endif
} tamb_control_t;

TAMB_ASSERT_OFFSET(tamb_control_t, transport_state, 0);
TAMB_ASSERT_OFFSET(tamb_control_t, transport_cmd, 4);
TAMB_ASSERT_OFFSET(tamb_control_t, previous_cmd, 8);
TAMB_ASSERT_OFFSET(tamb_control_t, current_position, 12);
TAMB_ASSERT_OFFSET(tamb_control_t, pending_position, 148);
TAMB_ASSERT_OFFSET(tamb_control_t, requested_position, 284);
TAMB_ASSERT_OFFSET(tamb_control_t, last_request_id, 420);
TAMB_ASSERT_OFFSET(tamb_control_t, position_id_counter, 428);
TAMB_ASSERT_OFFSET(tamb_control_t, new_position, 432);
TAMB_ASSERT_OFFSET(tamb_control_t, pending_is_new, 433);
TAMB_ASSERT_OFFSET(tamb_control_t, next_frame, 434);
TAMB_ASSERT_OFFSET(tamb_control_t, sync_clients, 438);
TAMB_ASSERT_OFFSET(tamb_control_t, sync_remain, 442);
TAMB_ASSERT_OFFSET(tamb_control_t, sync_timeout, 446);
TAMB_ASSERT_OFFSET(tamb_control_t, sync_time_left, 454);
TAMB_ASSERT_OFFSET(tamb_control_t, frame_timer, 462);
TAMB_ASSERT_OFFSET(tamb_control_t, engine_private_506, 506);
TAMB_ASSERT_OFFSET(tamb_control_t, buffer_size, 518);
TAMB_ASSERT_OFFSET(tamb_control_t, engine_private_522, 522);
TAMB_ASSERT_OFFSET(tamb_control_t, port_capacity, 549);
TAMB_ASSERT_OFFSET(tamb_control_t, engine_private_553, 553);
TAMB_ASSERT_OFFSET(tamb_control_t, port_type_count, 557);
TAMB_ASSERT_OFFSET(tamb_control_t, port_types, 561);
TAMB_ASSERT_OFFSET(tamb_control_t, port_table, 761);
TAMB_ASSERT_SIZE(tamb_control_t, 761);

/** Bytes needed for an engine control block with room for port_capacity port records. */
#define TAMB_CONTROL_SIZE(port_capacity) \
  (sizeof(tamb_control_t) + (size_t)(port_capacity) * sizeof(tamb_port_shared_t))

/** The control block of one client. Bytes not named here belong to the server and client core. */
typedef struct TAMB_PACKED {
  tamb_uuid_t uuid;            /**< offset 0: the client's id */
  uint8_t core_private_8[4];   /**< offset 8: the client core's */
  char name[297];              /**< offset 12: the client's name, NUL-terminated */
  uint8_t active;              /**< offset 309: set by the server */
  uint8_t exiting;             /**< offset 310: being removed, not merely deactivated */
  uint8_t core_private_311[1]; /**< offset 311: the client core's */
  uint8_t timebase_master;     /**< offset 312: the client is timebase master */
  uint8_t timebase_new;        /**< offset 313: just became master, or was reactivated as master */
  uint8_t slowsync;            /**< offset 314: registered as a slow-sync client */
  uint8_t active_slowsync;     /**< offset 315: counts in sync_clients; implies slowsync */
  uint8_t sync_poll;           /**< offset 316: counts in sync_remain; implies active_slowsync */
  uint8_t sync_poll_new; /**< offset 317: a poll (re)started since the sync callback last ran */
  uint8_t core_private_318[39]; /**< offset 318: the client core's */
  uint8_t sample_rate_cb_set;   /**< offset 357: a sample-rate callback is set */
  uint8_t core_private_358[4];  /**< offset 358: the client core's */
  uint8_t sync_cb_set;          /**< offset 362: a sync callback was set */
  uint8_t timebase_cb_set;      /**< offset 363: a timebase callback is set */
  uint8_t core_private_364[5];  /**< offset 364: the client core's */
  uint8_t property_cb_set;      /**< offset 369: a property change callback is set */
  uint8_t core_private_370[2];  /**< offset 370: the client core's */
} tamb_client_control_t;

TAMB_ASSERT_OFFSET(tamb_client_control_t, uuid, 0);
TAMB_ASSERT_OFFSET(tamb_client_control_t, core_private_8, 8);
TAMB_ASSERT_OFFSET(tamb_client_control_t, name, 12);
TAMB_ASSERT_OFFSET(tamb_client_control_t, active, 309);
TAMB_ASSERT_OFFSET(tamb_client_control_t, exiting, 310);
TAMB_ASSERT_OFFSET(tamb_client_control_t, core_private_311, 311);
TAMB_ASSERT_OFFSET(tamb_client_control_t, timebase_master, 312);
TAMB_ASSERT_OFFSET(tamb_client_control_t, timebase_new, 313);
TAMB_ASSERT_OFFSET(tamb_client_control_t, slowsync, 314);
TAMB_ASSERT_OFFSET(tamb_client_control_t, active_slowsync, 315);
TAMB_ASSERT_OFFSET(tamb_client_control_t, sync_poll, 316);
TAMB_ASSERT_OFFSET(tamb_client_control_t, sync_poll_new, 317);
TAMB_ASSERT_OFFSET(tamb_client_control_t, core_private_318, 318);
TAMB_ASSERT_OFFSET(tamb_client_control_t, sample_rate_cb_set, 357);
TAMB_ASSERT_OFFSET(tamb_client_control_t, core_private_358, 358);
TAMB_ASSERT_OFFSET(tamb_client_control_t, sync_cb_set, 362);
TAMB_ASSERT_OFFSET(tamb_client_control_t, timebase_cb_set, 363);
TAMB_ASSERT_OFFSET(tamb_client_control_t, core_private_364, 364);
TAMB_ASSERT_OFFSET(tamb_client_control_t, property_cb_set, 369);
TAMB_ASSERT_OFFSET(tamb_client_control_t, core_private_370, 370);
TAMB_ASSERT_SIZE(tamb_client_control_t, 372);

/** @} */

#endif
