// SPDX-License-Identifier: MIT
// The stored form of a property and the scans over the store: how a key and a record are
// made and read back, the descriptions the listings fill, and the cursors that walk every
// record within a session. metadata_records.cpp holds the codec; the scans are templates.
#ifndef TAMB_METADATA_RECORDS_H
#define TAMB_METADATA_RECORDS_H

#include <db.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "metadata_store.h"
#include "store_format.h"
#include "tamb/metadata.h"

namespace tamb::store {

inline constexpr size_t shortest_key = subject_text_size + 1;  // longer keys are ours
inline constexpr uint32_t shortest_record = 3;                 // longer records count for lookups

// ---- The codec ----------------------------------------------------------------------------

// The zero-padded text of a subject as it starts every stored key.
void subject_text(tamb_uuid_t subject, char text[subject_text_size]);

// Fills dbt with a new buffer holding the stored key; false when out of memory (dbt stays
// cleared, so that dbt_release does nothing).
bool make_key_dbt(DBT *dbt, tamb_uuid_t subject, const char *key);

// Fills dbt with a new buffer holding the stored record: the value and its NUL, then the type
// and its NUL unless it is null or empty; false when out of memory.
bool make_record_dbt(DBT *dbt, const char *value, const char *type);

// Berkeley DB hands out a block of its own for an empty record too, so the size says nothing
// about whether there is memory to free.
void dbt_release(DBT *dbt);

// Value and type (or null) of a fetched record; false when out of memory, with nothing kept.
bool record_read(const DBT &data, char **value, char **type);

// Fills property from a key fetched by a cursor (longer than shortest_key) and its record.
bool property_read(const DBT &key, const DBT &data, tamb_property_t *property);

void property_release(tamb_property_t *property);

void description_release(tamb_description_t *desc);

// The subject whose text starts a stored key (longer than shortest_key), as tamb_uuid_parse
// reads it; false when the key has none.
bool key_subject(const char *key, tamb_uuid_t *subject);

// Grows a heap array to hold one more entry after count: capacity 8 first, then doubled.
template <typename T>
bool array_make_room(T **array, uint32_t count, uint32_t *capacity) {
  constexpr uint32_t first_capacity = 8;
  if (count < *capacity) return true;
  if (*capacity > UINT32_MAX / 2 / sizeof(T)) return false;
  uint32_t grown = *capacity == 0 ? first_capacity : *capacity * 2;
  auto *bigger = static_cast<T *>(realloc(*array, grown * sizeof(T)));
  if (bigger == nullptr) return false;
  *array = bigger;
  *capacity = grown;
  return true;
}

// ---- Scans --------------------------------------------------------------------------------

// What a scan's visitor tells the scan.
enum class Visit { next, stop, restart };

// Runs visit on every record, in cursor order, within txn (or none). The data of each record
// is fetched into memory of its own and released after the visit; the key stays in the
// cursor's memory. 0 when the pass ended: at the end of the data, when the visitor stopped it,
// or at an error, which ends it quietly. DB_LOCK_DEADLOCK (also when the visitor asks for a
// restart) or DB_RUNRECOVERY when it must start over; or the code of a cursor that could not be
// made, with *made false.
template <typename Visitor>
int scan_pass(Session &session, DB_TXN *txn, Visitor &visit, bool *made) {
  DBC *cursor = nullptr;
  DB *db = session.database();
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
    int pass = scan_pass(session, nullptr, visit, &made);
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
int bulk_scan_pass(Session &session, Visitor &visit, BulkBuffer *buffer, bool *made) {
  DBC *cursor = nullptr;
  DB *db = session.database();
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

// As scan, a buffer of records at a time. A buffer that cannot be made or grown for a record
// ends the scan with *out_of_memory set.
template <typename Visitor, typename Restart>
int bulk_scan(Session &session, Visitor visit, Restart restart, bool *out_of_memory) {
  BulkBuffer buffer;
  if (!buffer.init()) {
    *out_of_memory = true;
    return 0;
  }
  bool made = true;
  int ret = store_call(session, [&] {
    int pass = bulk_scan_pass(session, visit, &buffer, &made);
    if (pass != 0) restart();
    return pass;
  });
  if (buffer.out_of_memory()) *out_of_memory = true;
  return made ? 0 : ret;
}

// ---- The listing's index --------------------------------------------------------------

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

}  // namespace tamb::store

#endif
