// SPDX-License-Identifier: MIT
/**
 * \defgroup request Requests
 * The request record a client hands to the server link: 5174 bytes, packed, host byte order,
 * addresses 8 bytes wide. The sender fills the payload its type names; the server link writes
 * the answer into the same record and always writes status.
 * @{
 */
#ifndef TAMB_REQUEST_H
#define TAMB_REQUEST_H

#include "types.h"

/** Request type codes (int32). The server fixes the numbers; the gaps are not used here. */
/*
 * A new request type touches: its code here and its payload in tamb_request_t (with offsets
 * pinned below); the library module that fills it and sends it through the one request path
 * (tamb::request_send in libtamb/internal/outside.h); the server's handler of the code (in the
 * test kit, a hooks::request_set_handler registration); the cross-process channel when the
 * payload carries a pointer or trailing bytes (testkit/kit_remote.cpp); and the byte-layout
 * test of the record (tests/records_test.cpp).
 */
typedef enum {
  TAMB_REQ_PORT_REGISTER = 1,           /**< registers a port; payload port */
  TAMB_REQ_PORT_UNREGISTER = 2,         /**< removes a port; payload port */
  TAMB_REQ_TIMEBASE_SET = 5,            /**< makes a client timebase master; payload timebase */
  TAMB_REQ_PORT_GET_CONNECTIONS = 10,   /**< lists a port's connections; payload port */
  TAMB_REQ_TIMEBASE_RELEASE = 12,       /**< ends a client's timebase role; payload client_id */
  TAMB_REQ_SYNC_CLIENT_SET = 13,        /**< makes a client slow-sync; payload client_id */
  TAMB_REQ_SYNC_CLIENT_RESET = 14,      /**< withdraws a slow-sync client; payload client_id */
  TAMB_REQ_SYNC_TIMEOUT_SET = 15,       /**< sets the longest sync poll; payload timeout */
  TAMB_REQ_PROPERTY_CHANGE_NOTIFY = 33, /**< reports a property change; payload property */
  TAMB_REQ_PORT_RENAME = 34             /**< reports a port's new name; payload rename */
} tamb_request_type_t;

/** Kind of a metadata property change (int32). */
typedef enum {
  TAMB_PROPERTY_CREATED = 0, /**< a property was stored where none was */
  TAMB_PROPERTY_CHANGED = 1, /**< a property's value or type was replaced */
  TAMB_PROPERTY_DELETED = 2  /**< one or more properties were removed */
} tamb_property_change_t;

/** Bytes of the payload: the record without its type and status. */
#define TAMB_REQUEST_BODY_SIZE 5166

/** Payload of types 1, 2 and 10. Offsets count from the payload, byte 4 of the request. */
typedef struct TAMB_PACKED {
  char name[256];        /**< offset 0: "client:port", NUL-terminated */
  char type_name[32];    /**< offset 256: NUL-terminated, cut to 31 characters */
  uint32_t flags;        /**< offset 288: TAMB_PORT_IS_* */
  uint32_t buffer_size;  /**< offset 292: buffer size asked for */
  uint32_t port_id;      /**< offset 296: set by the sender (2, 10) or by the server's answer (1) */
  tamb_uuid_t client_id; /**< offset 300: the port's owner */
} tamb_request_port_t;

/** Answer of type 10; overlays the start of the port payload. Offsets as in the payloads. */
typedef struct TAMB_PACKED {
  uint32_t count;     /**< offset 0: ports connected to the queried one */
  const char **ports; /**< offset 4: in-process clients only: NULL-terminated names made by the
                         server */
} tamb_request_connections_t;

/** Payload of type 34; offsets from byte 4. Both names hold at most 254 characters. */
typedef struct TAMB_PACKED {
  char old_name[256]; /**< offset 0: the port's full name before */
  char new_name[256]; /**< offset 256: and after */
} tamb_request_rename_t;

/** Payload of type 5; offsets from byte 4 of the request. */
typedef struct TAMB_PACKED {
  tamb_uuid_t client_id; /**< offset 0: the client to become master */
  int32_t conditional; /**< offset 8: nonzero: fail if another client already is timebase master */
} tamb_request_timebase_t;

/** Payload of type 33; offsets from byte 4. The key's text travels beside it: key_size bytes. */
typedef struct TAMB_PACKED {
  int32_t change;      /**< offset 0: tamb_property_change_t */
  tamb_uuid_t subject; /**< offset 4: 0: every subject */
  uint64_t key_size;   /**< offset 12: length of the key with its NUL; 0 without a key */
  const char *key;     /**< offset 20: null: every key of the subject */
} tamb_request_property_t;

/** The request record, 5174 bytes. */
typedef struct TAMB_PACKED {
  int32_t type; /**< offset 0: tamb_request_type_t */
  union TAMB_PACKED {
    tamb_request_port_t port;               /**< types 1, 2 and 10 */
    tamb_request_connections_t connections; /**< answer of type 10 */
    tamb_request_rename_t rename;           /**< type 34 */
    tamb_request_timebase_t timebase;       /**< type 5 */
    tamb_uuid_t client_id;                  /**< types 12, 13 and 14 */
    tamb_time_t timeout;                    /**< type 15, microseconds */
    tamb_request_property_t property;       /**< type 33 */
    uint8_t bytes[TAMB_REQUEST_BODY_SIZE];  /**< the payload as bytes */
  } body;                                   /**< offset 4: the payload that type names */
  int32_t status; /**< offset 5170: 0: the server carried it out; written by the server link */
} tamb_request_t;

TAMB_ASSERT_OFFSET(tamb_request_port_t, name, 0);
TAMB_ASSERT_OFFSET(tamb_request_port_t, type_name, 256);
TAMB_ASSERT_OFFSET(tamb_request_port_t, flags, 288);
TAMB_ASSERT_OFFSET(tamb_request_port_t, buffer_size, 292);
TAMB_ASSERT_OFFSET(tamb_request_port_t, port_id, 296);
TAMB_ASSERT_OFFSET(tamb_request_port_t, client_id, 300);
TAMB_ASSERT_SIZE(tamb_request_port_t, 308);

TAMB_ASSERT_OFFSET(tamb_request_connections_t, count, 0);
TAMB_ASSERT_OFFSET(tamb_request_connections_t, ports, 4);
TAMB_ASSERT_SIZE(tamb_request_connections_t, 12);

TAMB_ASSERT_OFFSET(tamb_request_rename_t, old_name, 0);
TAMB_ASSERT_OFFSET(tamb_request_rename_t, new_name, 256);
TAMB_ASSERT_SIZE(tamb_request_rename_t, 512);

TAMB_ASSERT_OFFSET(tamb_request_timebase_t, client_id, 0);
TAMB_ASSERT_OFFSET(tamb_request_timebase_t, conditional, 8);
TAMB_ASSERT_SIZE(tamb_request_timebase_t, 12);

TAMB_ASSERT_OFFSET(tamb_request_property_t, change, 0);
TAMB_ASSERT_OFFSET(tamb_request_property_t, subject, 4);
TAMB_ASSERT_OFFSET(tamb_request_property_t, key_size, 12);
TAMB_ASSERT_OFFSET(tamb_request_property_t, key, 20);
TAMB_ASSERT_SIZE(tamb_request_property_t, 28);

/* Offsets from the start of the request record. */
TAMB_ASSERT_OFFSET(tamb_request_t, type, 0);
TAMB_ASSERT_OFFSET(tamb_request_t, body, 4);
TAMB_ASSERT_OFFSET(tamb_request_t, body.port.name, 4);
TAMB_ASSERT_OFFSET(tamb_request_t, body.port.type_name, 260);
TAMB_ASSERT_OFFSET(tamb_request_t, body.port.flags, 292);
TAMB_ASSERT_OFFSET(tamb_request_t, body.port.buffer_size, 296);
TAMB_ASSERT_OFFSET(tamb_request_t, body.port.port_id, 300);
TAMB_ASSERT_OFFSET(tamb_request_t, body.port.client_id, 304);
TAMB_ASSERT_OFFSET(tamb_request_t, body.connections.count, 4);
TAMB_ASSERT_OFFSET(tamb_request_t, body.connections.ports, 8);
TAMB_ASSERT_OFFSET(tamb_request_t, body.rename.old_name, 4);
TAMB_ASSERT_OFFSET(tamb_request_t, body.rename.new_name, 260);
TAMB_ASSERT_OFFSET(tamb_request_t, body.timebase.client_id, 4);
TAMB_ASSERT_OFFSET(tamb_request_t, body.timebase.conditional, 12);
TAMB_ASSERT_OFFSET(tamb_request_t, body.client_id, 4);
TAMB_ASSERT_OFFSET(tamb_request_t, body.timeout, 4);
TAMB_ASSERT_OFFSET(tamb_request_t, body.property.change, 4);
TAMB_ASSERT_OFFSET(tamb_request_t, body.property.subject, 8);
TAMB_ASSERT_OFFSET(tamb_request_t, body.property.key_size, 16);
TAMB_ASSERT_OFFSET(tamb_request_t, body.property.key, 24);
TAMB_ASSERT_OFFSET(tamb_request_t, status, 5170);
TAMB_ASSERT_SIZE(tamb_request_t, 5174);

/** @} */

#endif
