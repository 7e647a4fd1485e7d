// SPDX-License-Identifier: MIT
// Metadata properties: the calls clients make. The stored form and the scans are in
// metadata_records.cpp; the store itself, its opening, recovery and healing, and the session
// each call holds, in metadata_store.cpp, metadata_lock.cpp and metadata_heal.cpp.
#include "tamb/metadata.h"

#include <db.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "metadata_records.h"
#include "metadata_store.h"
#include "outside.h"
#include "store_format.h"
#include "tamb/uuid.h"

#define TAMB_METADATA_SITE "http://tamb.audio"

extern "C" {

TAMB_API const char *TAMB_METADATA_PRETTY_NAME = TAMB_METADATA_SITE "/metadata/pretty-name";
TAMB_API const char *TAMB_METADATA_HARDWARE = TAMB_METADATA_SITE "/metadata/hardware";
TAMB_API const char *TAMB_METADATA_CONNECTED = TAMB_METADATA_SITE "/metadata/connected";
TAMB_API const char *TAMB_METADATA_PORT_GROUP = TAMB_METADATA_SITE "/metadata/port-group";
TAMB_API const char *TAMB_METADATA_ICON_SMALL = TAMB_METADATA_SITE "/metadata/icon-small";
TAMB_API const char *TAMB_METADATA_ICON_LARGE = TAMB_METADATA_SITE "/metadata/icon-large";

}  // extern "C"

namespace {

using namespace tamb::store;

void tamb_property_change_notify(tamb_client_t *client, tamb_uuid_t subject, const char *key,
                                 tamb_property_change_t change) {
  if (tamb_client_deliver_request == nullptr) return;
  tamb_request_t request;
  memset(&request, 0, sizeof request);
  request.type = TAMB_REQ_PROPERTY_CHANGE_NOTIFY;
  request.body.property.change = change;
  request.body.property.subject = subject;
  request.body.property.key_size = key != nullptr ? strlen(key) + 1 : 0;
  request.body.property.key = key;
  tamb_client_deliver_request(client, &request);
}

}  // namespace

extern "C" {

// Notices are sent after the store is released: the server may pass them on to callbacks
// that read the store in turn.
TAMB_API int tamb_set_property(tamb_client_t *client, tamb_uuid_t subject, const char *key,
                               const char *value, const char *type) {
  if (key == nullptr || key[0] == '\0') {
    TAMB_ERROR("empty key string for metadata not allowed");
    return -1;
  }
  if (value == nullptr || value[0] == '\0') {
    TAMB_ERROR("empty value string for metadata not allowed");
    return -1;
  }
  DBT k, d;
  int ret = ENOMEM;
  int existed = 0;
  {
    Session session;
    if (!session.open()) return -1;
    if (make_key_dbt(&k, subject, key) && make_record_dbt(&d, value, type)) {
      ret = transaction_run(session, [&](DB_TXN *txn) {
        // Only a notice tells created from changed; without a client the probe is not needed.
        DB *db = session.database();
        if (client != nullptr) {
          existed = db->exists(db, txn, &k, 0);
          if (existed == DB_LOCK_DEADLOCK || existed == DB_RUNRECOVERY) return existed;
        }
        return db->put(db, txn, &k, &d, 0);
      });
    } else {
      memset(&d, 0, sizeof d);
    }
  }
  if (ret != 0) {
    char text[subject_text_size];
    subject_text(subject, text);
    TAMB_ERROR("Cannot store metadata for %s/%s (%s)", text, key, db_strerror(ret));
    dbt_release(&k);
    dbt_release(&d);
    return -1;
  }
  if (client != nullptr) {
    tamb_property_change_notify(
        client, subject, key,
        existed == DB_NOTFOUND ? TAMB_PROPERTY_CREATED : TAMB_PROPERTY_CHANGED);
  }
  dbt_release(&k);
  dbt_release(&d);
  return 0;
}

// A null output simply receives nothing.
TAMB_API int tamb_get_property(tamb_uuid_t subject, const char *key, char **value, char **type) {
  if (key == nullptr || key[0] == '\0') return -1;
  DBT k, d;
  memset(&d, 0, sizeof d);
  d.flags = DB_DBT_MALLOC;
  int ret = ENOMEM;
  {
    Session session;
    if (!session.open()) return -1;
    if (make_key_dbt(&k, subject, key)) {
      ret = store_call(session, [&] {
        DB *db = session.database();
        return db->get(db, nullptr, &k, &d, 0);
      });
    }
  }
  dbt_release(&k);
  if (ret != 0) {
    if (ret != DB_NOTFOUND) {
      char text[subject_text_size];
      subject_text(subject, text);
      // The text has read so since the first release, verb missing; programs that watch the
      // log match it as it is.
      TAMB_ERROR("Cannot  metadata for %s/%s (%s)", text, key, db_strerror(ret));
    }
    return -1;
  }
  char *value_copy = nullptr;
  char *type_copy = nullptr;
  bool found = d.size > shortest_record && record_read(d, &value_copy, &type_copy);
  dbt_release(&d);
  if (!found) return -1;
  if (value != nullptr) {
    *value = value_copy;
  } else {
    free(value_copy);
  }
  if (type != nullptr) {
    *type = type_copy;
  } else {
    free(type_copy);
  }
  return 0;
}

// Running out of memory ends the scan and fails the call, as a database error does.
TAMB_API int tamb_get_properties(tamb_uuid_t subject, tamb_description_t *desc) {
  if (desc == nullptr) return -1;
  desc->properties = nullptr;
  desc->property_count = 0;
  char text[subject_text_size];
  subject_text(subject, text);
  Session session;
  if (!session.open()) return -1;

  uint32_t count = 0;
  uint32_t capacity = 0;
  bool out_of_memory = false;
  int ret = bulk_scan(
      session,
      [&](const DBT &key, const DBT &data) {
        if (key.size <= shortest_key || memcmp(key.data, text, subject_text_size) != 0 ||
            data.size <= shortest_record) {
          return Visit::next;
        }
        if (!array_make_room(&desc->properties, count, &capacity) ||
            !property_read(key, data, &desc->properties[count])) {
          out_of_memory = true;
          return Visit::stop;
        }
        desc->subject = subject;
        ++count;
        return Visit::next;
      },
      [&] {
        desc->property_count = count;
        description_release(desc);
        count = 0;
        capacity = 0;
      },
      &out_of_memory);
  desc->property_count = count;
  if (ret != 0) TAMB_ERROR("Cannot create cursor for metadata search (%s)", db_strerror(ret));
  // Part of a subject's properties would pass for all of them.
  if (ret != 0 || out_of_memory) {
    description_release(desc);
    return -1;
  }
  return static_cast<int>(count);
}

TAMB_API int tamb_get_all_properties(tamb_description_t **descs) {
  if (descs == nullptr) return -1;
  Session session;
  if (!session.open()) return -1;

  uint32_t capacity = 8;
  uint32_t count = 0;
  bool out_of_memory = false;
  SubjectIndex index;
  if (!index.init()) return -1;
  auto *all = static_cast<tamb_description_t *>(malloc(capacity * sizeof(tamb_description_t)));
  if (all == nullptr) return -1;
  int ret = bulk_scan(
      session,
      [&](const DBT &key, const DBT &data) {
        tamb_uuid_t subject = 0;
        if (key.size <= shortest_key ||
            !key_subject(static_cast<const char *>(key.data), &subject)) {
          return Visit::next;
        }
        uint32_t *slot = index.find(all, subject);
        if (*slot == 0) {
          if (!index.make_room(all, count) || !array_make_room(&all, count, &capacity)) {
            out_of_memory = true;
            return Visit::stop;
          }
          all[count] = {subject, 0, nullptr, 0};
          slot = index.find(all, subject);
          *slot = ++count;
        }
        tamb_description_t *desc = &all[*slot - 1];
        if (!array_make_room(&desc->properties, desc->property_count, &desc->property_capacity) ||
            !property_read(key, data, &desc->properties[desc->property_count])) {
          out_of_memory = true;
          return Visit::stop;
        }
        ++desc->property_count;
        return Visit::next;
      },
      [&] {
        for (uint32_t i = 0; i < count; ++i) description_release(&all[i]);
        count = 0;
        index.clear();
      },
      &out_of_memory);
  if (ret != 0) {
    TAMB_ERROR("Cannot create cursor for metadata search (%s)", db_strerror(ret));
    free(all);
    return -1;
  }
  // A listing cut short by memory would pass for the whole store.
  if (out_of_memory) {
    for (uint32_t i = 0; i < count; ++i) description_release(&all[i]);
    free(all);
    return -1;
  }
  *descs = all;
  return static_cast<int>(count);
}

TAMB_API void tamb_free_description(tamb_description_t *desc, int free_description_itself) {
  if (desc == nullptr) return;
  description_release(desc);
  if (free_description_itself) free(desc);
}

TAMB_API int tamb_get_description(tamb_uuid_t, tamb_description_t *) { return 0; }

TAMB_API int tamb_get_all_descriptions(tamb_description_t **) { return 0; }

// The client core may read the callback from another thread: the argument is in place before
// the callback that uses it, and the flag follows both.
TAMB_API int tamb_set_property_change_callback(tamb_client_t *client,
                                               tamb_property_change_callback_t callback,
                                               void *arg) {
  if (client == nullptr || client->control == nullptr) return -1;
  if (client->control->active) {
    TAMB_ERROR("You cannot set callbacks on an active client.");
    return -1;
  }
  __atomic_store_n(&client->property_arg, arg, __ATOMIC_RELEASE);
  __atomic_store_n(&client->property_callback, callback, __ATOMIC_RELEASE);
  uint8_t set = callback != nullptr ? 1 : 0;
  __atomic_store_n(&client->control->property_cb_set, set, __ATOMIC_RELEASE);
  return 0;
}

TAMB_API int tamb_remove_property(tamb_client_t *client, tamb_uuid_t subject, const char *key) {
  if (key == nullptr) {
    TAMB_ERROR("Cannot delete key %s (%s)", "(null)", db_strerror(EINVAL));
    return -1;
  }
  DBT k;
  int ret = ENOMEM;
  {
    Session session;
    if (!session.open()) return -1;
    if (make_key_dbt(&k, subject, key)) {
      ret = transaction_run(session, [&](DB_TXN *txn) {
        DB *db = session.database();
        return db->del(db, txn, &k, 0);
      });
    }
  }
  dbt_release(&k);
  if (ret != 0) {
    TAMB_ERROR("Cannot delete key %s (%s)", key, db_strerror(ret));
    return -1;
  }
  if (client != nullptr) tamb_property_change_notify(client, subject, key, TAMB_PROPERTY_DELETED);
  return 0;
}

// The deletions are one transaction: a pass that must start over has undone its own.
TAMB_API int tamb_remove_properties(tamb_client_t *client, tamb_uuid_t subject) {
  char text[subject_text_size];
  subject_text(subject, text);
  int count = 0;
  bool failed = false;
  bool made = true;
  int ret;
  {
    Session session;
    if (!session.open()) return -1;
    auto remove = [&](DBC *cursor, const DBT &key, const DBT &) {
      if (key.size <= shortest_key || memcmp(key.data, text, subject_text_size) != 0) {
        return Visit::next;
      }
      int del = cursor->del(cursor, 0);
      if (del == DB_LOCK_DEADLOCK || del == DB_RUNRECOVERY) return Visit::restart;
      if (del != 0) {
        TAMB_ERROR("cannot delete property (%s)", db_strerror(del));
        failed = true;
      }
      ++count;
      return Visit::next;
    };
    ret = transaction_run(session, [&](DB_TXN *txn) {
      count = 0;
      failed = false;
      return scan_pass(session, txn, remove, &made);
    });
  }
  if (!made) {
    TAMB_ERROR("Cannot create cursor for metadata search (%s)", db_strerror(ret));
    return -1;
  }
  if (ret != 0) {
    TAMB_ERROR("cannot delete property (%s)", db_strerror(ret));
    return -1;
  }
  if (client != nullptr && count > 0) {
    tamb_property_change_notify(client, subject, nullptr, TAMB_PROPERTY_DELETED);
  }
  return failed ? -1 : count;
}

TAMB_API int tamb_remove_all_properties(tamb_client_t *client) {
  int ret;
  {
    Session session;
    if (!session.open()) return -1;
    ret = transaction_run(session, [&](DB_TXN *txn) {
      DB *db = session.database();
      return db->truncate(db, txn, nullptr, 0);
    });
  }
  if (ret != 0) {
    TAMB_ERROR("Cannot clear properties (%s)", db_strerror(ret));
    return -1;
  }
  if (client != nullptr) tamb_property_change_notify(client, 0, nullptr, TAMB_PROPERTY_DELETED);
  return 0;
}

}  // extern "C"
