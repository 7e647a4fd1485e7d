// SPDX-License-Identifier: MIT
/**
 * \defgroup playhead_server Transport engine
 * The server's side of the transport, in the library libtamb_playhead. The server calls the
 * cycle functions on its process thread (no allocation, no lock), the request handlers when a
 * client's registration arrives (they hold the engine's client_lock for writing), and the
 * client hooks when a client is created, activated, deactivated or removed.
 * @{
 */
#ifndef TAMB_PLAYHEAD_SERVER_H
#define TAMB_PLAYHEAD_SERVER_H

#include "client.h"

TAMB_BEGIN_DECLS

/** Puts the transport fields of the engine control block in their initial state; 0. Once,
 * before the first cycle. */
TAMB_API int tamb_transport_init(tamb_engine_t *engine);

/** Records the start time of the cycle in the current position. Process thread; no allocation, no
 * lock. */
TAMB_API void tamb_transport_cycle_start(tamb_engine_t *engine, tamb_time_t usecs) TAMB_NONBLOCKING;

/**
 * Runs the transport state machine once all clients have finished the cycle. Process thread; no
 * allocation, no lock, no wait: a requested position that a client is still writing (or died
 * writing) is left for a later cycle end, and reported once through tamb_error when it stays
 * half written for longer than the sync timeout.
 */
TAMB_API void tamb_transport_cycle_end(tamb_engine_t *engine) TAMB_NONBLOCKING;

/** Stores the sample rate in the current and pending positions; 0. Between cycles. */
TAMB_API int tamb_set_sample_rate(tamb_engine_t *engine, uint32_t sample_rate);

/** Makes the client timebase master: 0, EBUSY (another master, conditional) or EINVAL (no
 * client). Server's request thread; takes client_lock for writing (as the next three do). */
TAMB_API int tamb_timebase_set(tamb_engine_t *engine, tamb_uuid_t client_id, int conditional);

/** Ends the client's timebase role: 0, or EINVAL (no client, or not the master). */
TAMB_API int tamb_timebase_reset(tamb_engine_t *engine, tamb_uuid_t client_id);

/** Makes the client a slow-sync client: 0, or EINVAL (no client). */
TAMB_API int tamb_transport_client_set_sync(tamb_engine_t *engine, tamb_uuid_t client_id);

/** Withdraws the client as slow-sync client: 0, or EINVAL (no client, or not one). */
TAMB_API int tamb_transport_client_reset_sync(tamb_engine_t *engine, tamb_uuid_t client_id);

/** Sets the longest sync poll to usecs microseconds; 0. Server's request thread; no lock. */
TAMB_API int tamb_transport_set_sync_timeout(tamb_engine_t *engine, tamb_time_t usecs);

/** Clears the transport fields of a new client's record. The server, when it creates it. */
TAMB_API void tamb_transport_client_new(tamb_client_internal_t *client);

/** Counts a slow-sync client in and polls it. The server, when it activates the client. */
TAMB_API void tamb_transport_activate(tamb_engine_t *engine, tamb_client_internal_t *client);

/** Takes the client out of the sync poll and voids a master's positions; with exiting set it
 * also ends both roles. The server, when it deactivates or removes the client. */
TAMB_API void tamb_transport_client_exit(tamb_engine_t *engine, tamb_client_internal_t *client);

TAMB_END_DECLS

/** @} */

#endif
