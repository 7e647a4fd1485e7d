// SPDX-License-Identifier: MIT
/**
 * \defgroup client Client and engine records
 * Process-local records of the client core and the server, as far as the library uses them.
 * They are ordinary structures; only the order of the named fields is fixed.
 * @{
 */
#ifndef TAMB_CLIENT_H
#define TAMB_CLIENT_H

#include <pthread.h>

#include "control.h"
#include "request.h"
#include "shm.h"

/**
 * The engine's read/write lock, a pthread_rwlock_t. Strict ISO C hides POSIX read/write locks; such
 * a translation unit sees storage of the same size and alignment instead, so the engine record
 * keeps one layout for every includer.
 */
#if defined(__cplusplus) || defined(PTHREAD_RWLOCK_INITIALIZER)
typedef pthread_rwlock_t tamb_rwlock_t;
#else
typedef union {
  char size[56]; /**< room for a pthread_rwlock_t */
  long align;    /**< gives the union the lock's alignment */
} tamb_rwlock_t;
#endif

/** Node of a singly linked list: data pointer, then next pointer; null-terminated. */
typedef struct tamb_slist {
  void *data;              /**< the element */
  struct tamb_slist *next; /**< the following node, or null */
} tamb_slist_t;

/** Called with the new sample rate and its argument; the result is not used. */
typedef int (*tamb_sample_rate_callback_t)(uint32_t sample_rate, void *arg);

/** Called once per cycle during a sync poll; returns nonzero when the client is ready to roll. */
typedef int (*tamb_sync_callback_t)(tamb_transport_state_t state, tamb_position_t *position,
                                    void *arg);

/** Called once per cycle on the timebase master to fill in the musical fields of position. */
typedef void (*tamb_timebase_callback_t)(tamb_transport_state_t state, tamb_nframes_t nframes,
                                         tamb_position_t *position, int new_position, void *arg);

/** Called by the client core when the server relays a property change. */
typedef void (*tamb_property_change_callback_t)(tamb_uuid_t subject, const char *key,
                                                tamb_property_change_t change, void *arg);

/** The client-side handle, owned by the client core. */
typedef struct {
  tamb_control_t *engine_control; /**< the shared engine control block */
  tamb_client_control_t *control; /**< this client's control block */
  int32_t request_fd;             /**< request channel; negative inside the server */
  tamb_shm_info_t *port_segment;  /**< one descriptor per port type id */
  tamb_slist_t *own_ports;        /**< the client's registered port objects */
  tamb_slist_t *foreign_ports;    /**< port objects made by lookups */
  pthread_t process_thread;       /**< runs the client's process cycle */
  tamb_sample_rate_callback_t sample_rate_callback;  /**< see tamb_set_sample_rate_callback */
  void *sample_rate_arg;                             /**< passed to sample_rate_callback */
  tamb_sync_callback_t sync_callback;                /**< see tamb_set_sync_callback */
  void *sync_arg;                                    /**< passed to sync_callback */
  tamb_timebase_callback_t timebase_callback;        /**< see tamb_set_timebase_callback */
  void *timebase_arg;                                /**< passed to timebase_callback */
  tamb_property_change_callback_t property_callback; /**< see tamb_set_property_change_callback */
  void *property_arg;                                /**< passed to property_callback */
} tamb_client_t;

/** The server's record of a client; the rest of it belongs to the server. */
typedef struct {
  tamb_client_control_t *control; /**< the client's control block */
} tamb_client_internal_t;

/** The server's engine record, as far as the transport engine uses it. */
typedef struct {
  tamb_control_t *control;                 /**< the engine control block */
  tamb_rwlock_t client_lock;               /**< guards clients and the per-client transport flags */
  uint8_t verbose;                         /**< nonzero: the transport engine logs its steps */
  tamb_slist_t *clients;                   /**< data: tamb_client_internal_t * */
  tamb_client_internal_t *timebase_client; /**< the timebase master, or null */
  /*
   * The transport engine's own bookkeeping of a requested position found half written at a
   * cycle end (a client that died or stalls in the middle of its write); tamb_transport_init
   * clears it.
   */
  uint8_t request_stalled;           /**< the last cycle end found one */
  uint8_t request_stalled_reported;  /**< this stall was reported */
  tamb_time_t request_stalled_since; /**< cycle start time of the first cycle end that found it */
} tamb_engine_t;

#ifdef __cplusplus
static_assert(sizeof(pthread_rwlock_t) == 56 && alignof(pthread_rwlock_t) == alignof(long),
              "the strict-C stand-in for the engine's lock must match pthread_rwlock_t");
#endif

/** @} */

#endif
