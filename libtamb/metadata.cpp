// Metadata properties in a Berkeley DB hash database, "metadata.db" in the server directory,
// shared by every process of that server.
//
// Concurrency. Berkeley DB run with locking but without transactions resolves no deadlock by
// itself: two writers, or a writer and a reader, that meet on the hash meta page and a bucket
// wait for each other for good, and a write cut short by a deadlock may leave the file
// half-changed. So:
// - writers take turns: exclusive access_lock among the threads of a process, and among
//   processes a robust process-shared mutex in "metadata.lock" beside the database (a writer
//   that dies holding it hands it on to the next); two of our writers never meet inside the
//   database. The mutex costs no system call when nobody waits, unlike a file lock;
// - the environment's deadlock detector runs on every lock conflict with the policy "fewest
//   write locks loses". A reader holds none and a writer waiting on a reader holds some, so
//   when a reader and a writer deadlock, the reader is the one told: it retries, having changed
//   nothing. Readers take only the shared access_lock, which costs no system call; it keeps
//   their cursors out of the way of a truncate, which allows no open cursor on the handle.
// A write that a process outside this library makes us lose is retried as well.
//
// Opening happens once per process, under open_lock and an flock() of "metadata.lock",
// because two processes creating the environment at the same moment make one of them fail. A forked
// child must not use its parent's handles: it forgets them and opens its own on first use.
#include "tamb/metadata.h"

#include <db.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "outside.h"
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

constexpr uint32_t env_flags = DB_CREATE | DB_INIT_LOCK | DB_INIT_MPOOL | DB_THREAD;
constexpr uint32_t db_flags = DB_CREATE | DB_THREAD;
constexpr int db_mode = 0666;
constexpr const char *db_file = "metadata.db";
constexpr const char *lock_file = "metadata.lock";

// A stored key: the subject text zero-padded to subject_text_size bytes, then key and NUL.
constexpr size_t subject_text_size = TAMB_UUID_STRING_SIZE;
constexpr size_t shortest_key = subject_text_size + 1;  // longer keys are ours
constexpr uint32_t shortest_record = 3;                 // longer records count for lookups

// A deadlock victim waits a little longer each time; the detector guarantees progress to one
// of the parties, so the limit is only a safety net against a foreign process gone wild.
constexpr int deadlock_retries = 200;

DB_ENV *db_env = nullptr;  // set only while opening or once opened
DB *db = nullptr;          // set only while opening or once opened
std::atomic<bool> store_open{false};
pthread_mutex_t open_lock = PTHREAD_MUTEX_INITIALIZER;

// The content of "metadata.lock": set up by the first process that opens the store, under the
// file's flock(), and valid once magic is written.
struct SharedWriterLock {
  uint64_t magic;
  pthread_mutex_t mutex;  // process-shared and robust
};

constexpr uint64_t writer_lock_magic = 0x74616d622d6d6574;

int lock_fd = -1;                         // "metadata.lock", or -1 when it could not be opened
SharedWriterLock *writer_lock = nullptr;  // its mapping, or null when it could not be made
pthread_rwlock_t access_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

void file_lock(int operation) {
  if (lock_fd < 0) return;
  while (flock(lock_fd, operation) != 0 && errno == EINTR) {
  }
}

// Without the lock file's mutex (a directory we may not write, say) writers still work; only
// the deadlock detector then stands between them.
bool writers_enter() {
  if (writer_lock == nullptr) return false;
  int ret = pthread_mutex_lock(&writer_lock->mutex);
  // A writer died holding the mutex. Its write stopped wherever it was; the mutex itself is
  // fine to use again.
  if (ret == EOWNERDEAD) ret = pthread_mutex_consistent(&writer_lock->mutex);
  return ret == 0;
}

void writers_leave() { pthread_mutex_unlock(&writer_lock->mutex); }

// Holds the store for one operation: shared among readers, exclusive for a writer.
class StoreAccess {
 public:
  enum Mode { read, write };

  explicit StoreAccess(Mode mode) : mode_(mode) {
    if (mode_ == read) {
      pthread_rwlock_rdlock(&access_lock);
      return;
    }
    pthread_rwlock_wrlock(&access_lock);
    holds_writer_lock_ = writers_enter();
  }

  ~StoreAccess() {
    if (holds_writer_lock_) writers_leave();
    pthread_rwlock_unlock(&access_lock);
  }

  StoreAccess(const StoreAccess &) = delete;
  StoreAccess &operator=(const StoreAccess &) = delete;

 private:
  Mode mode_;
  bool holds_writer_lock_ = false;
};

void deadlock_backoff(int attempt) { usleep(100u << std::min(attempt, 4)); }

// Runs one database call until the deadlock detector stops picking it as the victim.
template <typename Call>
int retry_deadlocks(Call call) {
  int ret = call();
  for (int attempt = 0; ret == DB_LOCK_DEADLOCK && attempt < deadlock_retries; ++attempt) {
    deadlock_backoff(attempt);
    ret = call();
  }
  return ret;
}

// A child's copies of its parent's handles: kept, never closed nor used. Closing them would
// release the parent's lockers and memory-pool references in the shared environment.
__attribute__((used)) DB *inherited_db = nullptr;
__attribute__((used)) DB_ENV *inherited_env = nullptr;

void before_fork() {
  pthread_mutex_lock(&open_lock);
  pthread_rwlock_wrlock(&access_lock);
}

void after_fork_in_parent() {
  pthread_rwlock_unlock(&access_lock);
  pthread_mutex_unlock(&open_lock);
}

// The parent's handles, its locks inside the environment and its flock all stay the parent's:
// using them here would disturb it. The child starts closed. The two locks were taken by the
// parent's thread, and a lock that knows its owner by thread id would not take an unlock from
// the child's thread, so they are made anew.
void after_fork_in_child() {
  inherited_db = db;
  inherited_env = db_env;
  db = nullptr;
  db_env = nullptr;
  store_open.store(false, std::memory_order_relaxed);
  if (writer_lock != nullptr) munmap(writer_lock, sizeof *writer_lock);
  writer_lock = nullptr;
  if (lock_fd >= 0) close(lock_fd);
  lock_fd = -1;
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&access_lock, &attr);
  pthread_rwlockattr_destroy(&attr);
  pthread_mutex_init(&open_lock, nullptr);
}

[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

const char *server_dir(char buf[TAMB_PATH_MAX + 1]) {
  if (tamb_server_dir == nullptr) return nullptr;
  return tamb_server_dir(nullptr, buf);
}

// flock() needs no write access, so a lock file that exists serves a read-only caller too.
void lock_file_open(const char *dir) {
  if (lock_fd >= 0) return;
  char path[TAMB_PATH_MAX + 1];
  snprintf(path, sizeof path, "%s/%s", dir, lock_file);
  lock_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, db_mode);
  if (lock_fd < 0) lock_fd = open(path, O_RDONLY | O_CLOEXEC);
}

// Called with the lock file's flock() held, so that one process at a time sets the mutex up.
void writer_lock_map() {
  struct stat st;
  if (writer_lock != nullptr || lock_fd < 0 || fstat(lock_fd, &st) != 0) return;
  if (st.st_size < static_cast<off_t>(sizeof(SharedWriterLock)) &&
      ftruncate(lock_fd, sizeof(SharedWriterLock)) != 0) {
    return;
  }
  void *mapped =
      mmap(nullptr, sizeof(SharedWriterLock), PROT_READ | PROT_WRITE, MAP_SHARED, lock_fd, 0);
  if (mapped == MAP_FAILED) return;
  auto *lock = static_cast<SharedWriterLock *>(mapped);
  if (__atomic_load_n(&lock->magic, __ATOMIC_ACQUIRE) != writer_lock_magic) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&lock->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    __atomic_store_n(&lock->magic, writer_lock_magic, __ATOMIC_RELEASE);
  }
  writer_lock = lock;
}

// Called with open_lock and the exclusive file lock held. A failed environment handle is
// closed, because Berkeley DB allows nothing else on it, so that the next call starts again; a
// failed database handle likewise, keeping the open environment.
int store_open_steps(const char *dir) {
  int ret;
  if (db_env == nullptr) {
    ret = db_env_create(&db_env, 0);
    if (ret != 0) {
      TAMB_ERROR("cannot initialize DB environment: %s\n", db_strerror(ret));
      db_env = nullptr;
      return -1;
    }
    db_env->set_lk_detect(db_env, DB_LOCK_MINWRITE);
    ret = db_env->open(db_env, dir, env_flags, 0);
    if (ret != 0) {
      TAMB_ERROR("cannot open DB environment: %s", db_strerror(ret));
      db_env->close(db_env, 0);
      db_env = nullptr;
      return -1;
    }
  }
  ret = db_create(&db, db_env, 0);
  if (ret != 0) {
    TAMB_ERROR("Cannot initialize metadata DB (%s)", db_strerror(ret));
    db = nullptr;
    return -1;
  }
  char path[TAMB_PATH_MAX + 1];
  snprintf(path, sizeof path, "%s/%s", dir, db_file);
  ret = db->open(db, nullptr, path, nullptr, DB_HASH, db_flags, db_mode);
  if (ret != 0) {
    TAMB_ERROR("Cannot open metadata DB at %s: %s", path, db_strerror(ret));
    db->close(db, 0);
    db = nullptr;
    return -1;
  }
  return 0;
}

int store_open_locked() {
  char buf[TAMB_PATH_MAX + 1];
  const char *dir = server_dir(buf);
  if (dir == nullptr) {
    TAMB_ERROR("cannot open DB environment: %s", "no server directory");
    return -1;
  }
  lock_file_open(dir);
  file_lock(LOCK_EX);
  writer_lock_map();
  int result = store_open_steps(dir);
  file_lock(LOCK_UN);
  if (result == 0) store_open.store(true, std::memory_order_release);
  return result;
}

// 0 when the store is open, -1 (reported) when it cannot be opened; a later call tries again.
int tamb_property_init() {
  if (store_open.load(std::memory_order_acquire)) return 0;
  pthread_mutex_lock(&open_lock);
  int result = store_open.load(std::memory_order_relaxed) ? 0 : store_open_locked();
  pthread_mutex_unlock(&open_lock);
  return result;
}

__attribute__((destructor)) void tamb_properties_uninit() {
  store_open.store(false);
  if (db != nullptr) {
    db->close(db, 0);
    db = nullptr;
  }
  if (db_env != nullptr) {
    db_env->close(db_env, 0);
    db_env = nullptr;
  }
  if (writer_lock != nullptr) munmap(writer_lock, sizeof *writer_lock);
  writer_lock = nullptr;
  if (lock_fd >= 0) close(lock_fd);
  lock_fd = -1;
}

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

// Runs visit on every record, in cursor order. The data of each record is fetched into memory
// of its own and released after the visit; the key stays in the cursor's memory. A deadlock
// (while stepping, or reported by the visitor) starts the scan over after restart(); any other
// error ends it quietly. 0, or the code of a cursor that could not be made.
template <typename Visitor, typename Restart>
int scan(Visitor visit, Restart restart) {
  for (int attempt = 0;; ++attempt) {
    DBC *cursor = nullptr;
    int ret = db->cursor(db, nullptr, &cursor, 0);
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
    bool deadlocked = ret == DB_LOCK_DEADLOCK || next == Visit::restart;
    if (!deadlocked || attempt >= deadlock_retries) return 0;
    restart();
    deadlock_backoff(attempt);
  }
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
  if (tamb_property_init() != 0) return -1;

  DBT k, d;
  int ret = ENOMEM;
  int existed = 0;
  if (make_key_dbt(&k, subject, key) && make_record_dbt(&d, value, type)) {
    StoreAccess access(StoreAccess::write);
    // Only a notice tells created from changed; without a client the probe is not needed.
    if (client != nullptr) {
      existed = retry_deadlocks([&] { return db->exists(db, nullptr, &k, 0); });
    }
    ret = retry_deadlocks([&] { return db->put(db, nullptr, &k, &d, 0); });
  } else {
    memset(&d, 0, sizeof d);
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
  if (tamb_property_init() != 0) return -1;

  DBT k, d;
  memset(&d, 0, sizeof d);
  d.flags = DB_DBT_MALLOC;
  int ret = ENOMEM;
  if (make_key_dbt(&k, subject, key)) {
    StoreAccess access(StoreAccess::read);
    ret = retry_deadlocks([&] { return db->get(db, nullptr, &k, &d, 0); });
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
  if (tamb_property_init() != 0) return -1;

  uint32_t count = 0;
  uint32_t capacity = 0;
  StoreAccess access(StoreAccess::read);
  int ret = scan(
      [&](DBC *, const DBT &key, const DBT &data) {
        if (key.size <= shortest_key || memcmp(key.data, text, subject_text_size) != 0 ||
            data.size <= shortest_record) {
          return Visit::next;
        }
        if (!array_make_room(&desc->properties, count, &capacity)) return Visit::stop;
        if (!property_read(key, data, &desc->properties[count])) return Visit::stop;
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
  if (ret != 0) {
    TAMB_ERROR("Cannot create cursor for metadata search (%s)", db_strerror(ret));
    return -1;
  }
  desc->property_count = count;
  return static_cast<int>(count);
}

TAMB_API int tamb_get_all_properties(tamb_description_t **descs) {
  if (descs == nullptr) return -1;
  if (tamb_property_init() != 0) return -1;

  uint32_t capacity = 8;
  uint32_t count = 0;
  auto *all = static_cast<tamb_description_t *>(malloc(capacity * sizeof(tamb_description_t)));
  if (all == nullptr) return -1;
  StoreAccess access(StoreAccess::read);
  int ret = scan(
      [&](DBC *, const DBT &key, const DBT &data) {
        if (key.size <= shortest_key) return Visit::next;
        // The subject text of a foreign key need not end in a NUL within its 37 bytes.
        char text[subject_text_size + 1];
        memcpy(text, key.data, subject_text_size);
        text[subject_text_size] = '\0';
        tamb_uuid_t subject = 0;
        if (tamb_uuid_parse(text, &subject) != 0) return Visit::next;
        // Equal identifiers, as tamb_uuid_compare would find, without a call through the
        // library's symbol table for each of records x subjects comparisons.
        uint32_t i = 0;
        while (i < count && all[i].subject != subject) ++i;
        if (i == count) {
          if (!array_make_room(&all, count, &capacity)) return Visit::stop;
          all[i] = {subject, 0, nullptr, 0};
          ++count;
        }
        tamb_description_t *desc = &all[i];
        if (!array_make_room(&desc->properties, desc->property_count, &desc->property_capacity) ||
            !property_read(key, data, &desc->properties[desc->property_count])) {
          return Visit::stop;
        }
        ++desc->property_count;
        return Visit::next;
      },
      [&] {
        for (uint32_t i = 0; i < count; ++i) description_release(&all[i]);
        count = 0;
      });
  if (ret != 0) {
    TAMB_ERROR("Cannot create cursor for metadata search (%s)", db_strerror(ret));
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
  if (tamb_property_init() != 0) return -1;

  DBT k;
  int ret = ENOMEM;
  if (make_key_dbt(&k, subject, key)) {
    StoreAccess access(StoreAccess::write);
    ret = retry_deadlocks([&] { return db->del(db, nullptr, &k, 0); });
  }
  dbt_release(&k);
  if (ret != 0) {
    TAMB_ERROR("Cannot delete key %s (%s)", key, db_strerror(ret));
    return -1;
  }
  if (client != nullptr) tamb_property_change_notify(client, subject, key, TAMB_PROPERTY_DELETED);
  return 0;
}

TAMB_API int tamb_remove_properties(tamb_client_t *client, tamb_uuid_t subject) {
  char text[subject_text_size];
  subject_text(subject, text);
  if (tamb_property_init() != 0) return -1;

  int count = 0;
  bool failed = false;
  int ret;
  {
    StoreAccess access(StoreAccess::write);
    ret = scan(
        [&](DBC *cursor, const DBT &key, const DBT &) {
          if (key.size <= shortest_key || memcmp(key.data, text, subject_text_size) != 0) {
            return Visit::next;
          }
          // A deadlocked delete left the record in place; the scan over finds it again.
          int del = cursor->del(cursor, 0);
          if (del == DB_LOCK_DEADLOCK) return Visit::restart;
          if (del != 0) {
            TAMB_ERROR("cannot delete property (%s)", db_strerror(del));
            failed = true;
          }
          ++count;
          return Visit::next;
        },
        [] {});
  }
  if (ret != 0) {
    TAMB_ERROR("Cannot create cursor for metadata search (%s)", db_strerror(ret));
    return -1;
  }
  if (client != nullptr && count > 0) {
    tamb_property_change_notify(client, subject, nullptr, TAMB_PROPERTY_DELETED);
  }
  return failed ? -1 : count;
}

TAMB_API int tamb_remove_all_properties(tamb_client_t *client) {
  if (tamb_property_init() != 0) return -1;
  int ret;
  {
    StoreAccess access(StoreAccess::write);
    ret = retry_deadlocks([] { return db->truncate(db, nullptr, nullptr, 0); });
  }
  if (ret != 0) {
    TAMB_ERROR("Cannot clear properties (%s)", db_strerror(ret));
    return -1;
  }
  if (client != nullptr) tamb_property_change_notify(client, 0, nullptr, TAMB_PROPERTY_DELETED);
  return 0;
}

}  // extern "C"
