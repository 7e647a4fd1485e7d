// SPDX-License-Identifier: MIT
/**
 * \defgroup transport Time and transport
 * The client's side of time and of the shared transport.
 *
 * Times and frames come from the engine control block: the frame timer the server writes once
 * per cycle, and the current position. Reading a position or the frame timer, locating,
 * repositioning, starting and stopping go straight through shared memory without locks, using
 * guarded copies; registering as timebase master or slow-sync client asks the server.
 *
 * Real time: the time functions, the query, the current-frame estimate and the two per-cycle
 * callbacks allocate nothing, take no lock and make no system call besides reading the clock
 * and the short sleep of a copy that meets a writer midway.
 * @{
 */
#ifndef TAMB_TRANSPORT_H
#define TAMB_TRANSPORT_H

#include "client.h"

/* Bits of tamb_transport_info_t.valid that the older interface always reports. */
#define TAMB_TRANSPORT_INFO_STATE 0x1    /**< valid bit: transport_state is set */
#define TAMB_TRANSPORT_INFO_POSITION 0x2 /**< valid bit: frame_rate, usecs and frame are set */

/**
 * Record of the older interface, filled by tamb_get_transport_info (process memory, 96 bytes).
 * Its fields sit where the compiler puts them on a 64-bit target; the pinned ones are asserted.
 */
typedef struct {
  uint32_t frame_rate;     /**< offset 0: sample rate, frames per second */
  tamb_time_t usecs;       /**< offset 8: start time of the position's cycle */
  uint32_t valid;          /**< offset 16: the position's valid bits | TAMB_TRANSPORT_INFO_* */
  int32_t transport_state; /**< offset 20: tamb_transport_state_t */
  tamb_nframes_t frame;    /**< offset 24: transport position in frames */
  uint32_t unused[6];      /**< offset 28: never filled */
  int32_t bar;             /**< offset 52: bar to beats_per_minute: valid with TAMB_POSITION_BBT */
  int32_t beat;            /**< offset 56: beat within the bar */
  int32_t tick;            /**< offset 60: tick within the beat */
  double bar_start_tick;   /**< offset 64: ticks at the start of the bar */
  float beats_per_bar;     /**< offset 72: time signature numerator */
  float beat_type;         /**< offset 76: time signature denominator */
  double ticks_per_beat;   /**< offset 80: tick resolution */
  double beats_per_minute; /**< offset 88: tempo */
} tamb_transport_info_t;

TAMB_ASSERT_OFFSET(tamb_transport_info_t, usecs, 8);
TAMB_ASSERT_OFFSET(tamb_transport_info_t, frame, 24);
TAMB_ASSERT_OFFSET(tamb_transport_info_t, bar, 52);
TAMB_ASSERT_OFFSET(tamb_transport_info_t, bar_start_tick, 64);
TAMB_ASSERT_OFFSET(tamb_transport_info_t, beats_per_minute, 88);
TAMB_ASSERT_SIZE(tamb_transport_info_t, 96);

TAMB_BEGIN_DECLS

/* ---- Time and frames ------------------------------------------------------------------- */

/** The current time of the process-wide clock. Any thread, the process thread included. */
TAMB_API tamb_time_t tamb_get_time(void) TAMB_NONBLOCKING;

/** Frames elapsed since the current cycle began, at the sample rate; 0 if the clock reads an
 * earlier time than the cycle's start. Any thread, the process thread included. */
TAMB_API tamb_nframes_t tamb_frames_since_cycle_start(const tamb_client_t *client) TAMB_NONBLOCKING;

/**
 * The current cycle's first frame, start time, the expected start of the next cycle and the
 * filtered cycle length. 0, or 1 (outputs untouched) while the frame timer holds no values.
 * Any thread, the process thread included.
 */
TAMB_API int tamb_get_cycle_times(const tamb_client_t *client, tamb_nframes_t *current_frames,
                                  tamb_time_t *current_usecs, tamb_time_t *next_usecs,
                                  float *period_usecs) TAMB_NONBLOCKING;

/**
 * The frame that plays at time usecs, rounded to the nearest frame (halves up), modulo 2^32;
 * 0 while the frame timer holds no values. A cycle of zero length maps every time to the
 * cycle's first frame. Any thread, the process thread included.
 */
TAMB_API tamb_nframes_t tamb_time_to_frames(const tamb_client_t *client,
                                            tamb_time_t usecs) TAMB_NONBLOCKING;

/** tamb_time_to_frames of the current time. Any thread, the process thread included. */
TAMB_API tamb_nframes_t tamb_frame_time(const tamb_client_t *client) TAMB_NONBLOCKING;

/** The first frame of the current cycle, read without a guarded copy. Any thread, the process
 * thread included. */
TAMB_API tamb_nframes_t tamb_last_frame_time(const tamb_client_t *client) TAMB_NONBLOCKING;

/**
 * The time at which frame plays, rounded to the nearest microsecond; frames up to 2^31 before
 * the cycle's first frame lie in the past. 0 while the frame timer holds no values; with a
 * buffer size of 0 every frame maps to the cycle's start time. Any thread, the process thread
 * included.
 */
TAMB_API tamb_time_t tamb_frames_to_time(const tamb_client_t *client,
                                         tamb_nframes_t frame) TAMB_NONBLOCKING;

/** The sample rate, frames per second. Any thread, the process thread included. */
TAMB_API uint32_t tamb_get_sample_rate(const tamb_client_t *client) TAMB_NONBLOCKING;

/**
 * Sets (or, with null, clears) the sample-rate callback and calls a non-null one at once with
 * the current rate. 0, or -1 on an active client, which keeps its callback. Before
 * activation, from the thread that sets up the client.
 */
TAMB_API int tamb_set_sample_rate_callback(tamb_client_t *client,
                                           tamb_sample_rate_callback_t callback, void *arg);

/* ---- Transport --------------------------------------------------------------------------- */

/** A fresh position id: the counter's value before an atomic increment, sign-extended. Any
 * thread of any process. */
TAMB_API uint64_t tamb_generate_unique_id(tamb_control_t *control) TAMB_NONBLOCKING;

/**
 * Copies a position so that the destination ends up consistent (head_id == tail_id, body of
 * that same write), whether the source or the destination is the shared record. Retries while
 * a writer is midway; aborts the process when no consistent copy comes within about 11000
 * tries. Any thread; no allocation, no lock.
 */
TAMB_API void tamb_transport_copy_position(const tamb_position_t *from,
                                           tamb_position_t *to) TAMB_NONBLOCKING;

/** The transport state; with a destination, also a consistent copy of the current position.
 * Any thread, the process thread included. */
TAMB_API tamb_transport_state_t tamb_transport_query(const tamb_client_t *client,
                                                     tamb_position_t *position) TAMB_NONBLOCKING;

/** The current position's frame, advanced by the time elapsed since its cycle while rolling.
 * Any thread, the process thread included. */
TAMB_API tamb_nframes_t tamb_get_current_transport_frame(const tamb_client_t *client)
    TAMB_NONBLOCKING;

/**
 * Asks for the transport to move to frame, with no musical fields. 0. Any thread; no lock.
 * Writers of the request exclude each other: one that finds another client midway waits for it,
 * and takes the record over from a client that stayed midway for the budget of a guarded copy
 * (it died there), so the engine only ever takes a request that one client wrote whole.
 */
TAMB_API int tamb_transport_locate(tamb_client_t *client, tamb_nframes_t frame) TAMB_NONBLOCKING;

/**
 * Asks for the transport to move to *position (frame, valid bits and fields as given). 0, or
 * 22 (EINVAL) when valid has a bit outside TAMB_POSITION_BBT | TAMB_POSITION_EXTRA_MASK.
 * Any thread; no lock; writes the request as tamb_transport_locate does.
 */
TAMB_API int tamb_transport_reposition(tamb_client_t *client,
                                       const tamb_position_t *position) TAMB_NONBLOCKING;

/** Asks the engine to start the transport; repeating it has no further effect. Any thread. */
TAMB_API void tamb_transport_start(tamb_client_t *client) TAMB_NONBLOCKING;

/** Asks the engine to stop the transport; repeating it has no further effect. Any thread. */
TAMB_API void tamb_transport_stop(tamb_client_t *client) TAMB_NONBLOCKING;

/**
 * Registers the client as slow-sync client with callback, or, with null, withdraws it. The
 * server's result (0 on success) is returned; on failure nothing changes here. Not on the
 * process thread: it waits for the server.
 */
TAMB_API int tamb_set_sync_callback(tamb_client_t *client, tamb_sync_callback_t callback,
                                    void *arg);

/** Sets the longest sync poll, microseconds; the server's result. Not on the process thread. */
TAMB_API int tamb_set_sync_timeout(tamb_client_t *client, tamb_time_t timeout);

/**
 * Makes the client timebase master with callback; with conditional nonzero the server refuses
 * (16, EBUSY) while another client is master. The server's result; on failure nothing changes.
 * Not on the process thread: it waits for the server.
 */
TAMB_API int tamb_set_timebase_callback(tamb_client_t *client, int conditional,
                                        tamb_timebase_callback_t callback, void *arg);

/** Gives up the timebase master role; the server's result. Not on the process thread. */
TAMB_API int tamb_release_timebase(tamb_client_t *client);

/** Runs the sync callback while the client is polled. The client core, once per cycle on the
 * process thread; no allocation, no lock. */
TAMB_API void tamb_call_sync_client(tamb_client_t *client) TAMB_NONBLOCKING;

/** Runs the timebase callback of the master. The client core, once per cycle on the process
 * thread; no allocation, no lock. */
TAMB_API void tamb_call_timebase_master(tamb_client_t *client) TAMB_NONBLOCKING;

/* ---- Older interface --------------------------------------------------------------------- */

/** Withdrawn: reports so on every call and returns 38 (ENOSYS). Any thread. */
TAMB_API int tamb_engine_takeover_timebase(tamb_client_t *client);

/**
 * Fills *info from the current position without a guarded copy. Reports its deprecation once
 * per process; called from any thread but the client's process thread, it aborts the process.
 */
TAMB_API void tamb_get_transport_info(tamb_client_t *client, tamb_transport_info_t *info);

/** Changes nothing; reports once per process that it is no longer supported. Any thread. */
TAMB_API void tamb_set_transport_info(tamb_client_t *client, tamb_transport_info_t *info);

TAMB_END_DECLS

/** @} */

#endif
