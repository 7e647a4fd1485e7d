// SPDX-License-Identifier: MIT
/**
 * \defgroup metadata Metadata
 * Metadata properties: (subject, key) -> (value, optional type), persistent in one database file
 * in the server directory and shared by every process of that server.
 *
 * Stored key: the subject's decimal text padded with zero bytes to 37 bytes, then the key with
 * its NUL (38 + strlen(key) bytes). Stored record: the value with its NUL, then, only when the
 * property has a non-empty type, the type with its NUL. Keys of 38 bytes or fewer are foreign
 * and skipped by every scan.
 *
 * Strings and arrays handed out belong to the caller: strings are released with free(),
 * descriptions with tamb_free_description(). Every function may be called from any thread.
 *
 * A process killed at any moment, in the middle of one of these calls too, keeps every change
 * that returned success and leaves the store usable: the next call of any process repairs what
 * it left half-done.
 *
 * Damaged files are healed by the next call, which says once through tamb_error what it did,
 * and nothing is deleted. Environment files (regions "__db.*", logs "log.*") that cannot be
 * opened or recovered go into a folder "metadata.env.damaged-<UTC time>" beside the database and
 * a new environment begins; every property that "metadata.db" holds is kept. A "metadata.db" that
 * Berkeley DB's verifier rejects is renamed "metadata.db.damaged-<UTC time>", and the properties
 * its salvage mode can read make a new one. What can be lost: changes that reached only the log
 * when the log itself is damaged (they reach metadata.db at each checkpoint, every few megabytes
 * of changes, and when the last process using the store closes it normally), and what the
 * salvage cannot read of a damaged file. A changed byte inside a value is not noticed: the file
 * has no checksums. The first process to use the store checks the file with the verifier, which
 * takes time in proportion to its size.
 *
 * A full disk crashes no process: a set that does not fit fails with -1 and a message naming
 * ENOSPC ("No space left on device"), and nothing stored earlier is lost. The environment's
 * shared regions (some 12 MB) get their room before they are used, so while no process has the
 * store open, every call fails the same way until there is room for them.
 * @{
 */
#ifndef TAMB_METADATA_H
#define TAMB_METADATA_H

#include "client.h"
#include "types.h"

TAMB_BEGIN_DECLS

/** One property. type is null when the property has none. */
typedef struct {
  char *key;   /**< the property's key */
  char *value; /**< its value */
  char *type;  /**< its type, or null */
} tamb_property_t;

/** The properties of one subject. */
typedef struct {
  tamb_uuid_t subject;         /**< the client or port the properties describe */
  uint32_t property_count;     /**< valid entries in properties */
  tamb_property_t *properties; /**< heap array, or null */
  uint32_t property_capacity;  /**< kept by tamb_get_all_properties only; no meaning to callers */
} tamb_description_t;

/*
 * Well-known keys: the project's site followed by "/metadata/<name>". Constant. The store
 * treats them like any other key.
 */
TAMB_API extern const char *TAMB_METADATA_PRETTY_NAME; /**< ".../metadata/pretty-name" */
TAMB_API extern const char *TAMB_METADATA_HARDWARE;    /**< ".../metadata/hardware" */
TAMB_API extern const char *TAMB_METADATA_CONNECTED;   /**< ".../metadata/connected" */
TAMB_API extern const char *TAMB_METADATA_PORT_GROUP;  /**< ".../metadata/port-group" */
TAMB_API extern const char *TAMB_METADATA_ICON_SMALL;  /**< ".../metadata/icon-small" */
TAMB_API extern const char *TAMB_METADATA_ICON_LARGE;  /**< ".../metadata/icon-large" */

/**
 * Stores value (and type; null or "" stores none) under (subject, key), replacing a previous
 * value and type whole. With a client, the server hears of it as created or changed.
 * 0, or -1 with a message (key or value null or empty, store closed, write failed).
 * Any thread but a process thread.
 */
TAMB_API int tamb_set_property(tamb_client_t *client, tamb_uuid_t subject, const char *key,
                               const char *value, const char *type);

/**
 * Copies the value and the type (or null) of (subject, key) into *value and *type. -1 when the
 * key is null or empty, the property is absent or its record is 3 bytes or shorter, or on a
 * failure; the outputs are then untouched. Any thread but a process thread.
 */
TAMB_API int tamb_get_property(tamb_uuid_t subject, const char *key, char **value, char **type);

/**
 * Fills desc with every property of subject (properties null and count 0 first; subject
 * written only when one is found). Records of 3 bytes or shorter are left out. The number
 * found, or -1 on failure. Any thread but a process thread.
 */
TAMB_API int tamb_get_properties(tamb_uuid_t subject, tamb_description_t *desc);

/**
 * Stores in *descs a new array with one description per subject (subjects without kind bits
 * are left out), also when there is none. The number of descriptions, or -1 on failure with
 * *descs untouched. Release with tamb_free_description(&array[i], 0) each, then free(array).
 * Any thread but a process thread.
 */
TAMB_API int tamb_get_all_properties(tamb_description_t **descs);

/** Releases the strings and the array of desc, and desc itself when free_description_itself.
 * Any thread but a process thread. */
TAMB_API void tamb_free_description(tamb_description_t *desc, int free_description_itself);

/** Withdrawn: does nothing and returns 0. Any thread. */
TAMB_API int tamb_get_description(tamb_uuid_t subject, tamb_description_t *desc);

/** Withdrawn: does nothing and returns 0. Any thread. */
TAMB_API int tamb_get_all_descriptions(tamb_description_t **descs);

/**
 * Registers callback (null: none) with arg for the change notices the server relays to the
 * client. 0, or -1 with a message while the client is active; nothing changes then. Before
 * activation, from the thread that sets up the client.
 */
TAMB_API int tamb_set_property_change_callback(tamb_client_t *client,
                                               tamb_property_change_callback_t callback, void *arg);

/** Removes (subject, key). 0, or -1 with a message (missing key included; null key refused).
 * Any thread but a process thread. */
TAMB_API int tamb_remove_property(tamb_client_t *client, tamb_uuid_t subject, const char *key);

/** Removes every property of subject: the number removed, or -1 when any removal failed.
 * Any thread but a process thread. */
TAMB_API int tamb_remove_properties(tamb_client_t *client, tamb_uuid_t subject);

/** Removes every property of every subject. 0, or -1 with a message. Any thread but a process
 * thread. */
TAMB_API int tamb_remove_all_properties(tamb_client_t *client);

TAMB_END_DECLS

/** @} */

#endif
