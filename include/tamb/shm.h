// SPDX-License-Identifier: MIT
/**
 * \defgroup shm Shared-memory registry
 * System V shared-memory segments, found through one registry that every process of every
 * server shares. The registry segment and its semaphore (both with key TAMB_REGISTRY_IPC_KEY)
 * outlive the processes; every change of the registry happens under the semaphore.
 *
 * Registry layout (6200 bytes, host byte order): a 2104-byte header with 8 server slots, then
 * 256 segment entries of 16 bytes. The constants below are a format shared with the server.
 * @{
 */
#ifndef TAMB_SHM_H
#define TAMB_SHM_H

#include "types.h"

#define TAMB_REGISTRY_IPC_KEY 0x282929  /**< System V key of the registry and its semaphore */
#define TAMB_REGISTRY_MAGIC 0x54414D42u /**< marks a registry header */
#define TAMB_REGISTRY_PROTOCOL 25       /**< version of the registry's format */
#define TAMB_SHM_TYPE_SYSV 2            /**< the segments are System V segments */
#define TAMB_REGISTRY_MAX_SERVERS 8     /**< server slots in the header */
#define TAMB_REGISTRY_MAX_SEGMENTS 256  /**< segment entries after the header */
#define TAMB_REGISTRY_HEADER_SIZE 2104  /**< bytes of the header */
#define TAMB_REGISTRY_ENTRY_SIZE 16     /**< bytes of one segment entry */
#define TAMB_REGISTRY_SEGMENT_SIZE 6200 /**< bytes of the registry: header and entries */

#define TAMB_SHM_NULL_INDEX (-1)     /**< the descriptor names no registry entry */
#define TAMB_SHM_REGISTRY_INDEX (-2) /**< the descriptor is the registry segment itself */
#define TAMB_SHM_NOT_ATTACHED ((void *)~(uintptr_t)0) /**< the segment is not attached here */

/** A server slot; free when pid is 0. */
typedef struct TAMB_PACKED {
  int32_t pid;      /**< offset 0: the registered server's process id */
  char prefix[256]; /**< offset 4: "/tamb-<uid>:<server name>:", NUL-terminated */
} tamb_shm_server_t;

TAMB_ASSERT_OFFSET(tamb_shm_server_t, pid, 0);
TAMB_ASSERT_OFFSET(tamb_shm_server_t, prefix, 4);
TAMB_ASSERT_SIZE(tamb_shm_server_t, 260);

/** The registry header at the start of the registry segment. */
typedef struct TAMB_PACKED {
  uint32_t magic;        /**< offset 0: TAMB_REGISTRY_MAGIC */
  uint16_t protocol;     /**< offset 4: TAMB_REGISTRY_PROTOCOL */
  uint8_t reserved[2];   /**< offset 6: zero */
  int32_t shm_type;      /**< offset 8: TAMB_SHM_TYPE_SYSV */
  uint32_t segment_size; /**< offset 12: TAMB_REGISTRY_SEGMENT_SIZE */
  uint32_t header_size;  /**< offset 16: TAMB_REGISTRY_HEADER_SIZE */
  uint32_t entry_size;   /**< offset 20: TAMB_REGISTRY_ENTRY_SIZE */
  tamb_shm_server_t servers[TAMB_REGISTRY_MAX_SERVERS]; /**< offset 24: the server slots */
} tamb_shm_header_t;

TAMB_ASSERT_OFFSET(tamb_shm_header_t, magic, 0);
TAMB_ASSERT_OFFSET(tamb_shm_header_t, protocol, 4);
TAMB_ASSERT_OFFSET(tamb_shm_header_t, reserved, 6);
TAMB_ASSERT_OFFSET(tamb_shm_header_t, shm_type, 8);
TAMB_ASSERT_OFFSET(tamb_shm_header_t, segment_size, 12);
TAMB_ASSERT_OFFSET(tamb_shm_header_t, header_size, 16);
TAMB_ASSERT_OFFSET(tamb_shm_header_t, entry_size, 20);
TAMB_ASSERT_OFFSET(tamb_shm_header_t, servers, 24);
TAMB_ASSERT_SIZE(tamb_shm_header_t, TAMB_REGISTRY_HEADER_SIZE);

/** A segment entry; free when size is 0. Entry i sits at byte 2104 + 16 * i. */
typedef struct TAMB_PACKED {
  int16_t index;       /**< offset 0: the entry's own position, written at creation */
  uint8_t reserved[2]; /**< offset 2: zero */
  int32_t owner_pid;   /**< offset 4: the allocating process; 0 = none */
  int32_t size;        /**< offset 8: segment size in bytes; 0 = entry free */
  int32_t shm_id;      /**< offset 12: System V identifier of the segment */
} tamb_shm_registry_t;

TAMB_ASSERT_OFFSET(tamb_shm_registry_t, index, 0);
TAMB_ASSERT_OFFSET(tamb_shm_registry_t, reserved, 2);
TAMB_ASSERT_OFFSET(tamb_shm_registry_t, owner_pid, 4);
TAMB_ASSERT_OFFSET(tamb_shm_registry_t, size, 8);
TAMB_ASSERT_OFFSET(tamb_shm_registry_t, shm_id, 12);
TAMB_ASSERT_SIZE(tamb_shm_registry_t, TAMB_REGISTRY_ENTRY_SIZE);
TAMB_STATIC_ASSERT(TAMB_REGISTRY_HEADER_SIZE +
                           TAMB_REGISTRY_MAX_SEGMENTS * TAMB_REGISTRY_ENTRY_SIZE ==
                       TAMB_REGISTRY_SEGMENT_SIZE,
                   "the registry segment holds the header and 256 entries");

/** A process's descriptor of one segment (process memory). */
typedef struct {
  int16_t index; /**< registry entry, or TAMB_SHM_NULL_INDEX / TAMB_SHM_REGISTRY_INDEX */
  void *address; /**< where this process attached it, or TAMB_SHM_NOT_ATTACHED */
} tamb_shm_info_t;

/** A System V segment as the clean-up found it (process memory). */
typedef struct {
  int32_t shm_id;      /**< its System V identifier */
  int32_t creator_pid; /**< the process that created it */
  uint64_t size;       /**< its size in bytes */
  int64_t attached;    /**< how many processes had it attached */
} tamb_shm_segment_t;

/** What tamb_shm_clean freed, or in a dry run would free (process memory). */
typedef struct {
  /** each freed server slot as it was; a slot that was kept is all zero */
  tamb_shm_server_t servers[TAMB_REGISTRY_MAX_SERVERS];
  /** each freed segment entry as it was; an entry that was kept is all zero */
  tamb_shm_registry_t entries[TAMB_REGISTRY_MAX_SEGMENTS];
  /** the segments that dead owners created and no entry named; malloc'd, the caller frees it */
  tamb_shm_segment_t *unrecorded;
  int32_t unrecorded_count; /**< how many unrecorded holds */
} tamb_shm_clean_report_t;

TAMB_BEGIN_DECLS

/**
 * Client side: attaches and validates the registry of server server_name. Returns 0 (also when
 * already attached), ENOENT when no registry exists, EINVAL when it is too small, another error
 * number when it cannot be accessed, -1 when it does not validate. At client start-up, from
 * one thread.
 */
TAMB_API int tamb_initialize_shm(const char *server_name);

/**
 * Server side: attaches the registry, creating or (new_registry nonzero, or invalid) replacing
 * it, and takes a server slot. Returns 0, ENOMEM, EEXIST (a live process holds the name) or
 * ENOSPC (all slots taken). The server, at start-up, from one thread.
 */
TAMB_API int tamb_register_server(const char *server_name, int new_registry);

/** Frees every server slot of the calling process. Returns 0. The server, at shut-down. */
TAMB_API int tamb_unregister_server(const char *server_name);

/** The first free segment entry, or null. Only under the registry lock, which the library's
 * allocation takes. */
TAMB_API tamb_shm_registry_t *tamb_get_free_shm_info(void);

/** Allocates a segment of size bytes into a registry entry and fills si (not attached). 0/-1.
 * Not on a process thread: waits for the registry semaphore. */
TAMB_API int tamb_shmalloc(int32_t size, tamb_shm_info_t *si);

/** Attaches the segment of si's entry and stores the address in si. 0/-1. Any thread but a
 * process thread. */
TAMB_API int tamb_attach_shm(tamb_shm_info_t *si);

/** Detaches si's segment if it is attached; si is not changed. Any thread but a process
 * thread, once nothing uses the segment. */
TAMB_API void tamb_release_shm(tamb_shm_info_t *si);

/** Frees registry entry index when the calling process allocated it. Not on a process thread: waits
 * for the registry semaphore. */
TAMB_API void tamb_release_shm_info(int16_t index);

/** Removes si's segment and frees its entry; si and the caller's attachment stay. Not on a process
 * thread: waits for the registry semaphore. */
TAMB_API void tamb_destroy_shm(tamb_shm_info_t *si);

/** Replaces si's segment by a new, attached one of size bytes; the content is not kept. 0/-1.
 * Not on a process thread: waits for the registry semaphore. */
TAMB_API int tamb_resize_shm(tamb_shm_info_t *si, int32_t size);

/** Removes the segments of the calling process and of processes that no longer exist, and
 * frees their entries. A dead owner's segments that its entries never came to name (it died
 * while allocating) go too: private segments of the caller's user whose creator is that owner
 * and that no entry names. Segments that live processes or other users created are kept. 1.
 * Not on a process thread: waits for the registry semaphore. */
TAMB_API int tamb_cleanup_shm(void);

/**
 * 1 when process pid still runs, else 0: the test by which the registry decides whose slots,
 * entries and segments are kept. A process is gone only when the system knows no process pid; a
 * process of another user, which the caller may not signal, runs. A pid that is not positive
 * names no process. Any thread but a process thread.
 */
TAMB_API int tamb_shm_process_alive(int32_t pid);

/**
 * Copies the attached registry, taken whole under the registry semaphore: the header with the
 * server slots into header and the 256 segment entries into entries (either may be null).
 * Returns 0, or -1 when this process has no registry attached (tamb_initialize_shm attaches
 * it). Not on a process thread: waits for the registry semaphore.
 */
TAMB_API int tamb_shm_snapshot(tamb_shm_header_t *header, tamb_shm_registry_t *entries);

/**
 * Frees, under the registry semaphore, what tamb_cleanup_shm frees and the server slots of
 * processes that no longer run (tamb_shm_process_alive). With dry_run nonzero it changes
 * nothing and finds exactly what it would free. report, when not null, receives what was (or
 * would be) freed; the caller frees report->unrecorded. Should memory run out, that list is cut
 * short, and the result still counts every segment. Returns how many slots, entries and unrecorded
 * segments were (or would be) freed, or -1 when this process has no registry attached. Not on a
 * process thread: waits for the registry semaphore.
 */
TAMB_API int tamb_shm_clean(int dry_run, tamb_shm_clean_report_t *report);

TAMB_END_DECLS

/** @} */

#endif
