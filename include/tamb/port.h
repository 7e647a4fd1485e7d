// SPDX-License-Identifier: MIT
/**
 * \defgroup port Ports
 * Ports: typed endpoints through which one buffer of data passes per process cycle. The server
 * keeps the port records and the buffers in shared memory; a client works with process-local
 * port objects that point into them.
 * @{
 */
#ifndef TAMB_PORT_H
#define TAMB_PORT_H

#include <pthread.h>

#include "client.h"
#include "control.h"

/** A client's port object (struct tamb_port). */
typedef struct tamb_port tamb_port_t;

/** The buffer functions of a port type. */
typedef struct {
  /** Fills a new buffer of the type: size bytes for a cycle of nframes frames. */
  void (*buffer_init)(void *buffer, uint64_t size, tamb_nframes_t nframes);
  /** Mixes the buffers of every port connected to an input into its mix_buffer; may be null.
   * Runs on the process thread. */
  void (*mixdown)(tamb_port_t *port, tamb_nframes_t nframes) TAMB_NONBLOCKING;
} tamb_port_functions_t;

/** A client's port object (one heap allocation, freed by the client core).
 *
 * mix_buffer is the client core's to provide. Start it on a page boundary, as the buffers of
 * the port segments start: a mix buffer a little past a boundary makes the mixdown's loads from
 * the sources look, by their low 12 address bits, like reads of stores still in flight, which
 * stalls many processors on every vector. */
struct tamb_port {
  void **type_segment;              /**< address member of the type's tamb_shm_info_t */
  void *mix_buffer;                 /**< receives the mixdown of several connections */
  tamb_port_type_info_t *type_info; /**< the port's entry in port_types */
  tamb_port_shared_t *shared;       /**< the port's record in port_table */
  tamb_port_t *tied;                /**< output only: hand out this port's buffer instead */
  tamb_port_functions_t functions;  /**< the type's functions; the client's own ports only */
  pthread_mutex_t connection_lock;  /**< guards connections */
  tamb_slist_t *connections;        /**< data: tamb_port_t * of the connected ports */
};

/** Which latency range an operation reads or writes. */
typedef enum {
  TAMB_LATENCY_CAPTURE = 0, /**< capture_latency: frames since the data was captured */
  TAMB_LATENCY_PLAYBACK = 1 /**< playback_latency (so does any other nonzero value) */
} tamb_latency_mode_t;

/** Room for the full name of a port, "client:port", with its NUL, in a request. */
#define TAMB_PORT_NAME_MAX 255

/* Names of the built-in port types, as clients pass them to tamb_port_register. */
#define TAMB_PORT_TYPE_AUDIO "32 bit float mono audio" /**< type name: one float per frame */
#define TAMB_PORT_TYPE_MIDI "8 bit raw midi"           /**< type name: a MIDI buffer */

TAMB_BEGIN_DECLS

/** The built-in port types: audio, MIDI, and an entry with an empty name that ends the table. */
TAMB_API extern tamb_port_type_info_t tamb_builtin_port_types[3];

/** The audio type's functions: tamb_generic_buffer_init and tamb_audio_port_mixdown. */
TAMB_API extern const tamb_port_functions_t tamb_builtin_audio_functions;

/** The functions of a type without mixdown: tamb_generic_buffer_init only. */
TAMB_API extern const tamb_port_functions_t tamb_builtin_NULL_functions;

/** Chooses the copy and mix kernels from cpu_type. Once at start-up, before any mixdown runs. */
TAMB_API void tamb_port_set_funcs(void);

/** The function table of type id 0 (audio) or 1 (MIDI); null for any other id. Any thread. */
TAMB_API const tamb_port_functions_t *tamb_get_port_functions(int32_t type_id);

/** A new port object over record port_id of control, or null when memory runs out. port_id
 * lies below control's port_capacity; past it the process stops. Any thread but a process
 * thread: it allocates. */
TAMB_API tamb_port_t *tamb_port_new(tamb_client_t *client, uint32_t port_id,
                                    tamb_control_t *control);

/**
 * The port's buffer for this cycle: its own for an output, the silent buffer for an
 * unconnected input, the connected output's for one connection, the mix buffer for several.
 * Null when the type's segment is not attached. Process thread; no allocation, no lock.
 */
TAMB_API void *tamb_port_get_buffer(tamb_port_t *port, tamb_nframes_t nframes) TAMB_NONBLOCKING;

/** Buffer size in bytes of a type for a cycle of nframes frames. Any thread. */
TAMB_API uint64_t tamb_port_type_buffer_size(const tamb_port_type_info_t *type,
                                             uint32_t nframes) TAMB_NONBLOCKING;

/** Buffer size of the client's type named type_name at the engine's buffer size; 0 if none.
 * Any thread; no allocation, no lock. */
TAMB_API uint64_t tamb_port_type_get_buffer_size(tamb_client_t *client,
                                                 const char *type_name) TAMB_NONBLOCKING;

/** Sets the whole buffer to 0. Any thread. */
TAMB_API void tamb_generic_buffer_init(void *buffer, uint64_t size, tamb_nframes_t nframes);

/** Sums the buffers of an input's connections into its mix_buffer, in list order. Process
 * thread; no allocation, no lock. */
TAMB_API void tamb_audio_port_mixdown(tamb_port_t *port, tamb_nframes_t nframes) TAMB_NONBLOCKING;

/** Registers "client:port_name" with the server; the new port object, or null. Not on a
 * process thread: it waits for the server and allocates. */
TAMB_API tamb_port_t *tamb_port_register(tamb_client_t *client, const char *port_name,
                                         const char *type_name, unsigned long flags,
                                         unsigned long buffer_size);

/** Asks the server to remove the port; the delivery result. The object stays the core's. Not
 * on a process thread: it waits for the server. */
TAMB_API int tamb_port_unregister(tamb_client_t *client, tamb_port_t *port);

/** The client's object for port port_id, made on first lookup; null when none is in use. One
 * non-process thread of the client at a time: it may allocate and extends foreign_ports. */
TAMB_API tamb_port_t *tamb_port_by_id(tamb_client_t *client, uint32_t port_id);

/** As tamb_port_by_id, for the port that port_name (a name or an alias) designates. */
TAMB_API tamb_port_t *tamb_port_by_name(tamb_client_t *client, const char *port_name);

/** As tamb_port_by_id without foreign_ports; *made is 1 when a new object was made (kept on
 * no list), 0 for an own port. Not on a process thread: it may allocate. */
TAMB_API tamb_port_t *tamb_port_by_id_int(tamb_client_t *client, uint32_t port_id, int *made);

/** As tamb_port_by_id_int, for the port that port_name designates. */
TAMB_API tamb_port_t *tamb_port_by_name_int(tamb_client_t *client, const char *port_name,
                                            int *made);

/** 1 when name designates the record: its name or an alias, with ALSA: names mapped. Any
 * thread. */
TAMB_API int tamb_port_name_equals(const tamb_port_shared_t *record, const char *name);

/** Number of connections, read without the lock. Process thread; no allocation. */
TAMB_API int tamb_port_connected(const tamb_port_t *port);

/** 1 when the port is connected to the port that name designates. Not on a process thread:
 * takes connection_lock. */
TAMB_API int tamb_port_connected_to(tamb_port_t *port, const char *port_name);

/** Names of the connected ports, null-terminated, or null for none; free the array, never the
 * names. Not on a process thread: takes connection_lock and allocates. */
TAMB_API const char **tamb_port_get_connections(tamb_port_t *port);

/** The same list as the server knows it; null when it reports none or fails. Not on a process
 * thread: it waits for the server and allocates. */
TAMB_API const char **tamb_port_get_all_connections(tamb_client_t *client, tamb_port_t *port);

/** The full name, "client:port", in shared memory. Any thread, the process thread included. */
TAMB_API const char *tamb_port_name(const tamb_port_t *port);

/** The name after the client part's ":" (the full name without one), in shared memory. Any
 * thread. */
TAMB_API const char *tamb_port_short_name(const tamb_port_t *port);

/** The port's identifier. Any thread. */
TAMB_API tamb_uuid_t tamb_port_uuid(const tamb_port_t *port);

/** The port's TAMB_PORT_IS_* flags. Any thread. */
TAMB_API int tamb_port_flags(const tamb_port_t *port);

/** The name of the port's type, in shared memory. Any thread. */
TAMB_API const char *tamb_port_type(const tamb_port_t *port);

/** 1 when client owns the port, else 0. Any thread. */
TAMB_API int tamb_port_is_mine(const tamb_client_t *client, const tamb_port_t *port);

/** Writes a new short name after the client part; 0. The port's owner, not on a process thread. */
TAMB_API int tamb_port_set_name(tamb_port_t *port, const char *port_name);

/** As tamb_port_set_name, and tells the server the old and new names; 0. Not on a process
 * thread: it waits for the server. */
TAMB_API int tamb_port_rename(tamb_client_t *client, tamb_port_t *port, const char *port_name);

/** Stores alias in the first free of the two alias slots: 0, or -1 when both are taken. The
 * port's owner, one thread at a time. */
TAMB_API int tamb_port_set_alias(tamb_port_t *port, const char *alias);

/** Clears the alias slot that holds alias: 0, or -1 when none matches. As tamb_port_set_alias. */
TAMB_API int tamb_port_unset_alias(tamb_port_t *port, const char *alias);

/** Copies the set aliases into their fixed positions (buffers of 289 bytes); the count set.
 * Any thread. */
TAMB_API int tamb_port_get_aliases(const tamb_port_t *port, char *const aliases[2]);

/** The port's own latency in frames. Any thread. */
TAMB_API uint32_t tamb_port_get_latency(const tamb_port_t *port);

/** The latency in frames the server computed along the port's connections. Any thread. */
TAMB_API uint32_t tamb_port_get_total_latency(tamb_client_t *client, const tamb_port_t *port);

/** Sets the latency, and both ends of the capture (output) or playback (input) range, to frames.
 * The port's owner, any thread. */
TAMB_API void tamb_port_set_latency(tamb_port_t *port, uint32_t frames);

/** Sets the capture or playback range; a physical port at that end also takes its midpoint as
 * latency. The port's owner, any thread. */
TAMB_API void tamb_port_set_latency_range(tamb_port_t *port, tamb_latency_mode_t mode,
                                          const tamb_latency_range_t *range);

/** Copies the capture or playback range into *range. Any thread. */
TAMB_API void tamb_port_get_latency_range(const tamb_port_t *port, tamb_latency_mode_t mode,
                                          tamb_latency_range_t *range);

/** Counts a monitoring request up (onoff nonzero) or down; an input passes it on to its
 * connections. 0. Not on a process thread: takes connection_lock. */
TAMB_API int tamb_port_request_monitor(tamb_port_t *port, int onoff);

/** Counts a monitoring request of the port named port_name, not passed on: 0, or -1 when no port
 * in use has that name. Any thread. */
TAMB_API int tamb_port_request_monitor_by_name(tamb_client_t *client, const char *port_name,
                                               int onoff);

/** Sets the request count to 1 when yn and none is counted, to 0 when not yn. 0. Any thread. */
TAMB_API int tamb_port_ensure_monitor(tamb_port_t *port, int yn);

/** 1 while any monitoring request is counted, else 0. Any thread. */
TAMB_API int tamb_port_monitoring_input(const tamb_port_t *port);

/** Ties the output dst to src, whose buffer dst then hands out: 0, or -1 with a message when
 * the owners differ or dst is an input. The owner, not while a cycle runs. */
TAMB_API int tamb_port_tie(tamb_port_t *src, tamb_port_t *dst);

/** Unties an output: 0, or -1 with a message when it is not tied. As tamb_port_tie. */
TAMB_API int tamb_port_untie(tamb_port_t *port);

TAMB_END_DECLS

/** @} */

#endif
