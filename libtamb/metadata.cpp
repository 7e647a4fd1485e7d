// Metadata properties: the stored key and record, the scans over the store, and the calls
// clients make. The store itself, the environment, its opening, recovery and healing, and the
// session each call holds, are in metadata_store.cpp.
#include "tamb/metadata.h"

#include <db.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

constexpr size_t shortest_key = subject_text_size + 1;  // longer keys are ours
constexpr uint32_t shortest_record = 3;                 // longer records count for lookups

// The zero-padded text of a subject as it starts every stored key.
void subject_text(tamb_uuid_t subject, char text[subject_text_size]) {
  memset(text, 0, subject_text_size);
  tamb_uuid_unparse(subject, text);
}

// Fills dbt with a new buffer holding the stored key; false when out of memory (dbt stays
// cleared, so that dbt_release does nothing).
bool make_key_dbt(DBT *dbt, tamb_uuid_t subject, const char *key) {
  memset(dbt, 0, sizeof *dbt);
  size_t n = strlen(key);
  if (n > UINT32_MAX - shortest_key) return false;
  auto *buf = static_cast<char *>(malloc(n + shortest_key));
  if (buf == nullptr) return false;
  subject_text(subject, buf);
  memcpy(buf + subject_text_size, key, n + 1);
  dbt->data = buf;
  dbt->size = static_cast<uint32_t>(n + shortest_key);
  return true;
}

bool make_record_dbt(DBT *dbt, const char *value, const char *type) {
  memset(dbt, 0, sizeof *dbt);
  size_t v = strlen(value) + 1;
  size_t t = type != nullptr && type[0] != '\0' ? strlen(type) + 1 : 0;
  if (v > UINT32_MAX - t) return false;
  auto *buf = static_cast<char *>(malloc(v + t));
  if (buf == nullptr) return false;
  memcpy(buf, value, v);
  if (t != 0) memcpy(buf + v, type, t);
  dbt->data = buf;
  dbt->size = static_cast<uint32_t>(v + t);
  return true;
}

// Berkeley DB hands out a block of its own for an empty record too, so the size says nothing
// about whether there is memory to free.
void dbt_release(DBT *dbt) {
  free(dbt->data);
  dbt->data = nullptr;
  dbt->size = 0;
}

// A new copy of the string at text, which ends at its NUL or after max bytes. Records and keys
// written by other programs need not end in a NUL; the copy always does.
char *text_copy(const void *text, size_t max) {
  const char *from = max != 0 ? static_cast<const char *>(text) : "";
  size_t n = strnlen(from, max);
  auto *copy = static_cast<char *>(malloc(n + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, from, n);
  copy[n] = '\0';
  return copy;
}

// Value and type (or null) of a fetched record; false when out of memory, with nothing kept.
bool record_read(const DBT &data, char **value, char **type) {
  const auto *record = static_cast<const char *>(data.data);
  size_t s = data.size != 0 ? strnlen(record, data.size) : 0;
  *value = text_copy(record, data.size);
  *type = data.size > s + 1 ? text_copy(record + s + 1, data.size - s - 1) : nullptr;
  if (*value != nullptr && (*type != nullptr || data.size <= s + 1)) return true;
  free(*value);
  free(*type);
  return false;
}

// Fills property from a key fetched by a cursor (longer than shortest_key) and its record.
bool property_read(const DBT &key, const DBT &data, tamb_property_t *property) {
  property->key = text_copy(static_cast<const char *>(key.data) + subject_text_size,
                            key.size - subject_text_size);
  if (property->key == nullptr) return false;
  if (record_read(data, &property->value, &property->type)) return true;
  free(property->key);
  return false;
}

void property_release(tamb_property_t *property) {
  free(property->key);
  free(property->value);
  free(property->type);
}

// Grows a heap array to hold one more entry after count: capacity 8 first, then doubled.
template <typename T>
bool array_make_room(T **array, uint32_t count, uint32_t *capacity) {
  if (count < *capacity) return true;
  uint32_t grown = *capacity == 0 ? 8 : *capacity * 2;
  auto *bigger = static_cast<T *>(realloc(*array, grown * sizeof(T)));
  if (bigger == nullptr) return false;
  *array = bigger;
  *capacity = grown;
  return true;
}

// What a scan's visitor tells the scan.
enum class Visit { next, stop, restart };

// Runs visit on every record, in cursor order, within txn (or none). The data of each record
// is fetched into memory of its own and released after the visit; the key stays in the
// cursor's memory. 0 when the pass ended: at the end of the data, when the visitor stopped it,
// or at an error, which ends it quietly. DB_LOCK_DEADLOCK (also when the visitor asks for a
// restart) or DB_RUNRECOVERY when it must start over; or the code of a cursor that could not be
// made, with *made false.
template <typename Visitor>
int scan_pass(DB_TXN *txn, Visitor &visit, bool *made) {
  DBC *cursor = nullptr;
  int ret = db->cursor(db, txn, &cursor, 0);
  *made = ret == 0;
  if (ret != 0) return ret;
  DBT key, data;
  memset(&key, 0, sizeof key);
  memset(&data, 0, sizeof data);
  data.flags = DB_DBT_MALLOC;
  Visit next = Visit::next;
  while (next == Visit::next && (ret = cursor->get(cursor, &key, &data, DB_NEXT)) == 0) {
    next = visit(cursor, key, data);
    dbt_release(&data);
  }
  cursor->close(cursor);
  if (next == Visit::restart) return DB_LOCK_DEADLOCK;
  return ret == DB_LOCK_DEADLOCK || ret == DB_RUNRECOVERY ? ret : 0;
}

// A read-only scan: a pass that must start over does so after restart(). 0, or the code of a
// cursor that could not be made.
template <typename Visitor, typename Restart>
int scan(Session &session, Visitor visit, Restart restart) {
  bool made = true;
  int ret = store_call(session, [&] {
    int pass = scan_pass(nullptr, visit, &made);
    if (pass != 0) restart();
    return pass;
  });
  return made ? 0 : ret;
}

// Records many at a time for bulk_scan: a cursor call and an allocation for each record are most
// of what a scan costs otherwise.
class BulkBuffer {
 public:
  BulkBuffer() {
    memset(&dbt_, 0, sizeof dbt_);
    dbt_.flags = DB_DBT_USERMEM;
  }
  ~BulkBuffer() { free(dbt_.data); }
  BulkBuffer(const BulkBuffer &) = delete;
  BulkBuffer &operator=(const BulkBuffer &) = delete;

  // False when out of memory.
  bool init() { return resize(initial_bytes); }

  // Grows to the size a record that did not fit asked for; false when it cannot.
  bool fit() {
    if (dbt_.size <= dbt_.ulen) return false;
    out_of_memory_ = !resize(dbt_.size);
    return !out_of_memory_;
  }

  DBT *dbt() { return &dbt_; }
  bool out_of_memory() const { return out_of_memory_; }

 private:
  // Berkeley DB asks for a multiple of 1024 bytes, no smaller than a page (64 KiB at most).
  static constexpr uint32_t initial_bytes = 64u << 10;
  static constexpr uint32_t granule = 1024;

  bool resize(uint32_t bytes) {
    if (bytes > UINT32_MAX - granule) return false;
    bytes = (bytes + granule - 1) / granule * granule;
    void *bigger = realloc(dbt_.data, bytes);
    if (bigger == nullptr) return false;
    dbt_.data = bigger;
    dbt_.ulen = bytes;
    return true;
  }

  DBT dbt_;
  bool out_of_memory_ = false;
};

// As scan_pass, read-only and without a transaction, visit(key, data) seeing each record in
// buffer's memory. Running out of memory for a record that does not fit ends the pass as an
// error does.
template <typename Visitor>
int bulk_scan_pass(Visitor &visit, BulkBuffer *buffer, bool *made) {
  DBC *cursor = nullptr;
  int ret = db->cursor(db, nullptr, &cursor, 0);
  *made = ret == 0;
  if (ret != 0) return ret;
  DBT key;
  memset(&key, 0, sizeof key);
  Visit next = Visit::next;
  while (next == Visit::next) {
    ret = cursor->get(cursor, &key, buffer->dbt(), DB_NEXT | DB_MULTIPLE_KEY);
    if (ret == DB_BUFFER_SMALL && buffer->fit()) continue;
    if (ret != 0) break;
    void *at;
    DB_MULTIPLE_INIT(at, buffer->dbt());
    while (next == Visit::next) {
      DBT record_key, record;
      memset(&record_key, 0, sizeof record_key);
      memset(&record, 0, sizeof record);
      DB_MULTIPLE_KEY_NEXT(at, buffer->dbt(), record_key.data, record_key.size, record.data,
                           record.size);
      if (at == nullptr) break;
      next = visit(record_key, record);
    }
  }
  cursor->close(cursor);
  if (next == Visit::restart) return DB_LOCK_DEADLOCK;
  return ret == DB_LOCK_DEADLOCK || ret == DB_RUNRECOVERY ? ret : 0;
}

// As scan, a buffer of records at a time.
template <typename Visitor, typename Restart>
int bulk_scan(Session &session, BulkBuffer *buffer, Visitor visit, Restart restart) {
  bool made = true;
  int ret = store_call(session, [&] {
    int pass = bulk_scan_pass(visit, buffer, &made);
    if (pass != 0) restart();
    return pass;
  });
  return made ? 0 : ret;
}

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

void description_release(tamb_description_t *desc) {
  for (uint32_t i = 0; i < desc->property_count; ++i) property_release(&desc->properties[i]);
  free(desc->properties);
  desc->properties = nullptr;
  desc->property_count = 0;
}

// The subject whose text starts a stored key (longer than shortest_key), as tamb_uuid_parse
// reads it; false when the key has none. The usual text, decimal digits alone, is read here at
// once; anything else (a sign, blanks, more digits than fit) goes to tamb_uuid_parse.
bool key_subject(const char *key, tamb_uuid_t *subject) {
  constexpr size_t digits_that_fit = 19;
  tamb_uuid_t value = 0;
  size_t n = 0;
  while (n < digits_that_fit && key[n] >= '0' && key[n] <= '9') {
    value = value * 10 + static_cast<tamb_uuid_t>(key[n++] - '0');
  }
  if (n > 0 && key[n] == '\0') {
    *subject = value;
    return value > UINT32_MAX;  // identifiers carry kind bits
  }
  // The subject text of a foreign key need not end in a NUL within its 37 bytes.
  char text[subject_text_size + 1];
  memcpy(text, key, subject_text_size);
  text[subject_text_size] = '\0';
  return tamb_uuid_parse(text, subject) == 0;
}

// Where the description of each subject is in the array of tamb_get_all_properties, so that
// each record finds its own at once: open addressing with linear probing, at most half full. A
// slot holds a position in the array plus 1, or 0 while free; the subject is the description's,
// which the record is about to use anyway.
class SubjectIndex {
 public:
  SubjectIndex() = default;
  ~SubjectIndex() { free(slots_); }
  SubjectIndex(const SubjectIndex &) = delete;
  SubjectIndex &operator=(const SubjectIndex &) = delete;

  // False when out of memory.
  bool init() { return grow(initial_bits, nullptr, 0); }

  // The slot that holds the position of subject's description in descs, or the free one where
  // it belongs.
  uint32_t *find(const tamb_description_t *descs, tamb_uuid_t subject) const {
    size_t mask = (size_t{1} << bits_) - 1;
    size_t i = hash(subject);
    while (slots_[i] != 0 && descs[slots_[i] - 1].subject != subject) i = (i + 1) & mask;
    return &slots_[i];
  }

  // Makes room for one more than the count descriptions in descs; false when out of memory,
  // with the index as it was. Slots found before may move.
  bool make_room(const tamb_description_t *descs, uint32_t count) {
    return (size_t{count} + 1) * 2 <= size_t{1} << bits_ || grow(bits_ + 1, descs, count);
  }

  void clear() { memset(slots_, 0, sizeof *slots_ << bits_); }

 private:
  static constexpr unsigned initial_bits = 4;

  // Fibonacci hashing: identifiers that differ in their low bits alone spread over the table.
  size_t hash(tamb_uuid_t subject) const {
    return static_cast<size_t>((subject * 0x9e3779b97f4a7c15u) >> (64 - bits_));
  }

  bool grow(unsigned bits, const tamb_description_t *descs, uint32_t count) {
    auto *bigger = static_cast<uint32_t *>(calloc(size_t{1} << bits, sizeof *slots_));
    if (bigger == nullptr) return false;
    free(slots_);
    slots_ = bigger;
    bits_ = bits;
    for (uint32_t i = 0; i < count; ++i) *find(descs, descs[i].subject) = i + 1;
    return true;
  }

  uint32_t *slots_ = nullptr;
  unsigned bits_ = 0;
};

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
      ret = store_call(session, [&] { return db->get(db, nullptr, &k, &d, 0); });
    }
  }
  dbt_release(&k);
  if (ret != 0) {
    if (ret != DB_NOTFOUND) {
      char text[subject_text_size];
      subject_text(subject, text);
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

// Running out of memory ends the scan like a database error: what was collected is returned.
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
  BulkBuffer buffer;
  if (!buffer.init()) return -1;
  int ret = bulk_scan(
      session, &buffer,
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
      });
  desc->property_count = count;
  if (ret != 0) TAMB_ERROR("Cannot create cursor for metadata search (%s)", db_strerror(ret));
  // Part of a subject's properties would pass for all of them.
  if (ret != 0 || out_of_memory || buffer.out_of_memory()) {
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
  BulkBuffer buffer;
  if (!index.init() || !buffer.init()) return -1;
  auto *all = static_cast<tamb_description_t *>(malloc(capacity * sizeof(tamb_description_t)));
  if (all == nullptr) return -1;
  int ret = bulk_scan(
      session, &buffer,
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
      });
  if (ret != 0) {
    TAMB_ERROR("Cannot create cursor for metadata search (%s)", db_strerror(ret));
    free(all);
    return -1;
  }
  // A listing cut short by memory would pass for the whole store.
  if (out_of_memory || buffer.out_of_memory()) {
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
      ret = transaction_run(session, [&](DB_TXN *txn) { return db->del(db, txn, &k, 0); });
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
      return scan_pass(txn, remove, &made);
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
    ret = transaction_run(session, [](DB_TXN *txn) { return db->truncate(db, txn, nullptr, 0); });
  }
  if (ret != 0) {
    TAMB_ERROR("Cannot clear properties (%s)", db_strerror(ret));
    return -1;
  }
  if (client != nullptr) tamb_property_change_notify(client, 0, nullptr, TAMB_PROPERTY_DELETED);
  return 0;
}

}  // extern "C"
