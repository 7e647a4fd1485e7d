// SPDX-License-Identifier: MIT
// The stand-in server's side of metadata, which passes property change notices on to clients,
// and the metadata store opened raw, beside the module or in its place.
#ifndef TAMB_TESTKIT_KIT_METADATA_H
#define TAMB_TESTKIT_KIT_METADATA_H

#include <db.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "kit.h"

namespace kit {

// From now on, every property change notice (request 33) is passed on to each client of server
// that set a property change callback, the sender included, as (subject, key or null, change,
// the client's property_arg). Null stops passing notices on. The callbacks run in the thread
// that sent the notice, while the server handles that request: they may read properties but
// must not change them with a client, which would send a request of their own.
void metadata_relay_to(Server *server);

// The stored form of (subject text, key): the text zero-padded to its full size, key and NUL.
std::string stored_key(const std::string &subject_text, const std::string &key);

// A DBT over bytes that the caller keeps alive.
inline DBT dbt_of(const std::string &bytes) {
  DBT dbt{};
  dbt.data = const_cast<char *>(bytes.data());
  dbt.size = static_cast<uint32_t>(bytes.size());
  return dbt;
}

// A metadata store's environment and database, opened with their Berkeley DB handles. One that
// failed to open has status() set and no handles: it reads as empty and refuses writes.
class RawStore {
 public:
  // Joins the environment of the store in dir, which the module has created, and opens its
  // database there: what the module writes shows at once, without waiting for a flush.
  explicit RawStore(const std::string &dir);

  // Creates a store of the same format in dir (made if missing) for this handle alone, with
  // the module's cache. A durable one commits each put in a transaction of its own whose log
  // is written but not flushed to the disk, as the module does.
  struct Fresh {
    bool durable;
  };
  RawStore(const std::string &dir, Fresh fresh);

  ~RawStore();
  RawStore(const RawStore &) = delete;
  RawStore &operator=(const RawStore &) = delete;

  // 0, or the Berkeley DB error that kept the store from opening.
  int status() const { return status_; }
  DB *db() { return db_; }
  DBTYPE type();

  int put(const std::string &key, const std::string &record) {
    if (db_ == nullptr) return EINVAL;
    DBT k = dbt_of(key), d = dbt_of(record);
    return db_->put(db_, nullptr, &k, &d, 0);
  }

  // Deletes every record.
  int clear();

  // Calls fn(key, record) for every stored record, the record in memory of its own; the
  // number of records.
  template <typename Fn>
  int each(Fn &&fn) {
    if (db_ == nullptr) return 0;
    DBC *cursor = nullptr;
    if (db_->cursor(db_, nullptr, &cursor, 0) != 0) return 0;
    DBT key{}, data{};
    data.flags = DB_DBT_MALLOC;
    int records = 0;
    while (cursor->get(cursor, &key, &data, DB_NEXT) == 0) {
      ++records;
      fn(key, data);
      free(data.data);
    }
    cursor->close(cursor);
    return records;
  }

  // Every stored key and record, as bytes.
  std::map<std::string, std::string> records();

  // Checks the structure of the database file in dir with Berkeley DB itself: 0 or its error.
  // No process may have the store open.
  static int verify(const std::string &dir);

  // Writes every change that the log of the store in dir holds into its file and removes the
  // log files no longer needed, as the store does once enough changes gathered: afterwards the
  // file alone holds them. No process may have the store open. 0 or Berkeley DB's error.
  static int checkpoint(const std::string &dir);

 private:
  bool create_env();
  void open(const std::string &dir, DBTYPE type, uint32_t env_flags, uint32_t db_flags, int mode);

  DB_ENV *env_ = nullptr;
  DB *db_ = nullptr;
  int status_ = 0;
};

}  // namespace kit

#endif
