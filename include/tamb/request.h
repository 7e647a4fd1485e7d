/*
 * The request record a client hands to the server link: 5174 bytes, packed, host byte order,
 * addresses 8 bytes wide. The sender fills the payload its type names; the server link writes
 * the answer into the same record and always writes status.
 */
#ifndef TAMB_REQUEST_H
#define TAMB_REQUEST_H

#include "types.h"

/*
 * Request type codes (int32). The server fixes the numbers; the gaps are not used here.
 *
 * A new request type touches: its code here and its payload in tamb_request_t (with offsets
 * pinned below); the library module that fills it and sends it through the one request path
 * (tamb::request_send in libtamb/internal/outside.h); the server's handler of the code (in the
 * test kit, a hooks::request_set_handler registration); the cross-process channel when the
 * payload carries a pointer or trailing bytes (testkit/kit_remote.cpp); and the byte-layout
 * test of the record (tests/records_test.cpp).
 */
typedef enum {
  TAMB_REQ_PORT_REGISTER = 1,
  TAMB_REQ_PORT_UNREGISTER = 2,
  TAMB_REQ_TIMEBASE_SET = 5,
  TAMB_REQ_PORT_GET_CONNECTIONS = 10,
  TAMB_REQ_TIMEBASE_RELEASE = 12,
  TAMB_REQ_SYNC_CLIENT_SET = 13,
  TAMB_REQ_SYNC_CLIENT_RESET = 14,
  TAMB_REQ_SYNC_TIMEOUT_SET = 15,
  TAMB_REQ_PROPERTY_CHANGE_NOTIFY = 33,
  TAMB_REQ_PORT_RENAME = 34
} tamb_request_type_t;

/* Kind of a metadata property change (int32). */
typedef enum {
  TAMB_PROPERTY_CREATED = 0,
  TAMB_PROPERTY_CHANGED = 1,
  TAMB_PROPERTY_DELETED = 2
} tamb_property_change_t;

#define TAMB_REQUEST_BODY_SIZE 5166

/* Types 1, 2 and 10. */
typedef struct TAMB_PACKED {
  char name[256];       /* "client:port", NUL-terminated */
  char type_name[32];   /* NUL-terminated, cut to 31 characters */
  uint32_t flags;       /* TAMB_PORT_IS_* */
  uint32_t buffer_size; /* buffer size asked for */
  uint32_t port_id;     /* set by the sender (2, 10) or by the server's answer (1) */
  tamb_uuid_t client_id;
} tamb_request_port_t;

/* Answer of type 10; overlays the start of the port payload. */
typedef struct TAMB_PACKED {
  uint32_t count;     /* ports connected to the queried one */
  const char **ports; /* in-process clients only: NULL-terminated names built by the server */
} tamb_request_connections_t;

/* Type 34. Both names hold at most 254 characters. */
typedef struct TAMB_PACKED {
  char old_name[256];
  char new_name[256];
} tamb_request_rename_t;

/* Type 5. */
typedef struct TAMB_PACKED {
  tamb_uuid_t client_id;
  int32_t conditional; /* nonzero: fail if another client already is timebase master */
} tamb_request_timebase_t;

/* Type 33. The key text travels beside the record: key_size bytes at key. */
typedef struct TAMB_PACKED {
  int32_t change;      /* tamb_property_change_t */
  tamb_uuid_t subject; /* 0: every subject */
  uint64_t key_size;   /* length of the key with its NUL; 0 without a key */
  const char *key;     /* null: every key of the subject */
} tamb_request_property_t;

typedef struct TAMB_PACKED {
  int32_t type; /* tamb_request_type_t */
  union TAMB_PACKED {
    tamb_request_port_t port;
    tamb_request_connections_t connections;
    tamb_request_rename_t rename;
    tamb_request_timebase_t timebase;
    tamb_uuid_t client_id; /* types 12, 13 and 14 */
    tamb_time_t timeout;   /* type 15, microseconds */
    tamb_request_property_t property;
    uint8_t bytes[TAMB_REQUEST_BODY_SIZE];
  } body;
  int32_t status; /* 0: the server carried the request out; written by the server link */
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

#endif
