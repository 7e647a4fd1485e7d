// SPDX-License-Identifier: MIT
// The metadata store: a Berkeley DB environment and hash database, "metadata.db", in the server
// directory, shared by every process of that server, and the session through which each
// property call uses them.
//
// Crashes. Any process may be killed at any moment, in the middle of a database call too.
// Berkeley DB's mutexes are plain process-shared pthread mutexes here: a process that dies
// holding one, or a lock, or a page it was changing in the shared cache, leaves the environment
// unusable, and whoever waits for it waits for ever. So:
// - Every database call of every process, opening and closing included, runs under the store
//   lock (metadata_lock.cpp). Only its holder is ever inside Berkeley DB, so nobody waits inside
//   the library for a dead process, and a holder that dies hands the lock on: the environment
//   may be damaged.
// - Changes are transactions whose log reaches the log file at each commit (written, not
//   flushed to the disk: a killed process loses nothing the kernel holds). A damaged
//   environment is recovered with DB_RECOVER, which marks the old environment failed, replays
//   the log onto the file (a change cut short is undone, every commit that returned is kept)
//   and removes the old regions; the next opening creates new ones.
// - The lock file also holds a generation that each recovery bumps. A process whose handles
//   belong to an older environment discards them (they only report failure now) and joins the
//   new one. Recovery needs no cooperation from the other processes: they are all waiting for
//   the store lock or outside the library.
// - The first process on a store recovers the environment, which also clears one left
//   half-created, and checks the file with Berkeley DB's verifier.
// - A process that dies outside any call leaves only its handles' traces behind; failchk()
//   clears them when the next process joins.
// - A checkpoint after every few megabytes of log bounds the work of a recovery and lets
//   Berkeley DB remove the log files it no longer needs.
// Since only the store lock's holder uses the database, our processes never deadlock in it; the
// deadlock detector and the retries remain for programs that open the environment beside us.
//
// A full disk. Every process maps the environment's region files, and a page of such a mapping
// that the file system cannot back when it is first touched kills the process with SIGBUS. So
// no region page is touched before it has its storage:
// - a new region is written whole before it is mapped (DB_REGION_INIT): creating an
//   environment on a full disk fails with ENOSPC, and leaves nothing half-made behind;
// - every process that opens the environment then allocates each region file up to the full
//   length of its mapping, which regions grow into later, and gives the environment up when it
//   cannot;
// - recovery, which needs buffers while it creates the environment, runs in memory of the
//   process's own (DB_PRIVATE), and the shared environment is created after it.
// Logs and the database file are written with write(), which fails with ENOSPC: the call that
// needed the room fails with that error, and the calls after it succeed once there is room.
//
// Damage. A store whose environment cannot be opened or recovered, or whose file Berkeley DB
// cannot use, is healed, and nothing of it is deleted (store_heal, with the steps of
// metadata_heal.cpp):
// - the log is replayed onto the file where it still can be;
// - the environment's files (regions and logs) go into a folder
//   "metadata.env.damaged-<UTC time>" beside the database, and a new environment begins;
// - a file that passes Berkeley DB's verifier is kept, its pages' log positions cleared
//   (lsn_reset) so that the new environment takes it; changes that the old log held and the
//   file did not are lost when the log could not be replayed;
// - a file that fails it is renamed "metadata.db.damaged-<UTC time>", and the properties that
//   the verifier's salvage mode reads out of it make a new file.
// The process that heals says what it did once, through tamb_error.
//
// A forked child must not use its parent's handles: it forgets them and opens its own on first
// use.
#include "metadata_store.h"

#include <db.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "check.h"
#include "metadata_heal.h"
#include "metadata_lock.h"
#include "outside.h"
#include "process.h"
#include "store_format.h"

namespace tamb::store {

namespace {

// Thread slots in the environment for failchk(); more threads still work.
constexpr uint32_t thread_slots = 1024;
// Opening gives up after this many rounds of recovering or healing what it found.
constexpr int open_attempts = 3;
// What the functions that open return when they could not even make a handle, which they have
// reported; never an error code of Berkeley DB or the system.
constexpr int handle_not_made = -1;
// Room for a line of /proc/<pid>/stat up to the process's state.
constexpr size_t stat_line_size = 512;

// The open environment and database. Both are set only while this process holds the store
// lock and a session's open() is true; between calls they may be replaced by other ones.
DB_ENV *db_env = nullptr;
DB *db = nullptr;
uint64_t env_generation = 0;  // the generation db_env belongs to
// Where the store is, once the lock file is joined.
const StorePaths *const paths = &store_paths();

// Whether a process that held an environment thread slot still runs: the registry's test, and
// more. A killed process that its parent has not yet waited for still answers kill(), but its
// state in /proc says it is gone; its slots can go.
int process_is_alive(DB_ENV *, pid_t pid, db_threadid_t, uint32_t) {
  if (pid == getpid()) return 1;
  if (!tamb::process_alive(pid)) return 0;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE *stat_file = fopen(path, "re");
  if (stat_file == nullptr) return 1;
  char line[stat_line_size];
  size_t n = fread(line, 1, sizeof line - 1, stat_file);
  fclose(stat_file);
  line[n] = '\0';
  const char *name_end = strrchr(line, ')');
  if (name_end == nullptr || name_end[1] == '\0') return 1;
  char state = name_end[2];
  return state == 'Z' || state == 'X' ? 0 : 1;
}

// Handles of a failed environment, or of one that a recovery replaced. The environment is
// marked failed first, so that closing lets go of the files without touching the cache or any
// mutex, which a dead process may hold. Berkeley DB keeps some memory and the old regions'
// mappings of a failed environment.
void handles_discard() {
  db_env->set_errcall(db_env, errors_ignore);
  db_env->set_flags(db_env, DB_PANIC_ENVIRONMENT, 1);
  db_env->close(db_env, 0);
  db_env = nullptr;
  db = nullptr;
}

void handles_close() {
  if (db != nullptr) db->close(db, 0);
  db = nullptr;
  if (db_env != nullptr) db_env->close(db_env, 0);
  db_env = nullptr;
}

// A new environment handle, configured as every one of ours; reports a failure.
DB_ENV *env_handle_create() {
  DB_ENV *env = nullptr;
  int ret = db_env_create(&env, 0);
  if (ret != 0) {
    TAMB_ERROR("cannot initialize DB environment: %s\n", db_strerror(ret));
    return nullptr;
  }
  env->set_errcall(env, errors_note);
  env->set_lk_detect(env, DB_LOCK_MINWRITE);
  env->set_flags(env, DB_TXN_WRITE_NOSYNC, 1);
  env->log_set_config(env, DB_LOG_AUTO_REMOVE, 1);
  env->set_lg_max(env, log_file_bytes);
  env->set_cachesize(env, 0, cache_bytes, 1);
  return env;
}

// Allocates every region file of the open environment up to the full length of this process's
// mapping of it, so that no page of it can lack storage when it is first touched: 0, or the
// error that leaves the environment unsafe to use. Where /proc is missing nothing is allocated.
int regions_allocate() {
  FILE *maps = fopen("/proc/self/maps", "re");
  if (maps == nullptr) return 0;
  char prefix[TAMB_PATH_MAX + 8];
  int prefix_length = snprintf(prefix, sizeof prefix, "%s/__db.", paths->dir);
  char line[TAMB_PATH_MAX + 128];
  int ret = 0;
  while (ret == 0 && fgets(line, sizeof line, maps) != nullptr) {
    unsigned long start, end, offset;
    char mode[5];
    int path_at = 0;
    // NOLINTNEXTLINE(bugprone-unchecked-string-to-number-conversion): the kernel writes these
    if (sscanf(line, "%lx-%lx %4s %lx %*s %*s %n", &start, &end, mode, &offset, &path_at) < 4 ||
        path_at == 0 || mode[3] != 's' || offset != 0) {
      continue;
    }
    char *path = line + path_at;
    path[strcspn(path, "\n")] = '\0';
    // Regions of environments this process gave up are removed (" (deleted)") or set aside.
    if (strncmp(path, prefix, prefix_length) != 0 || strchr(path + prefix_length, ' ')) continue;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      ret = errno;
      break;
    }
    ret = storage_allocate(fd, static_cast<off_t>(end - start));
    close(fd);
  }
  fclose(maps);
  return ret;
}

// Opens the shared environment into db_env, creating it when there is none: 0, or the error
// with db_env null.
int env_open() {
  db_env = env_handle_create();
  if (db_env == nullptr) return handle_not_made;
  db_env->set_flags(db_env, DB_REGION_INIT, 1);
  db_env->set_thread_count(db_env, thread_slots);
  db_env->set_isalive(db_env, process_is_alive);
  int ret = db_env->open(db_env, paths->dir, env_flags, 0);
  if (ret == 0) {
    ret = regions_allocate();
    if (ret == 0) return 0;
    db_env->close(db_env, 0);
  } else {
    db_env->close(db_env, 0);
    // Regions that could not be written whole are removed, so that nobody waits for them to
    // be finished; removal leaves an environment that others use alone.
    if (ret == ENOSPC || ret == EDQUOT || resources_lacked()) {
      DB_ENV *env = env_handle_create();
      if (env != nullptr) env->remove(env, paths->dir, 0);
    }
  }
  db_env = nullptr;
  return ret;
}

// Replays the log onto the file in an environment of this process's memory, then closes it.
// Opened with DB_RECOVER, it first removes the regions of the shared environment, which the
// next env_open() creates anew. A recovery ends with a checkpoint, after which the log files
// before the last are no longer needed: they go, and leave their room to the new environment.
// Berkeley DB counts only a checkpoint on the disk, so the log is flushed first. 0 or the error.
int env_recover() {
  DB_ENV *env = env_handle_create();
  if (env == nullptr) return handle_not_made;
  int ret = env->open(env, paths->dir, env_flags | DB_RECOVER | DB_PRIVATE, 0);
  if (ret == 0 && env->log_flush(env, nullptr) == 0) env->log_archive(env, nullptr, DB_ARCH_REMOVE);
  env->close(env, 0);
  return ret;
}

// Opens the database into db, in the open environment: 0, or the error with db null.
int db_open() {
  int ret = db_create(&db, db_env, 0);
  if (ret != 0) {
    TAMB_ERROR("Cannot initialize metadata DB (%s)", db_strerror(ret));
    db = nullptr;
    return handle_not_made;
  }
  ret = db->open(db, nullptr, paths->db_path, nullptr, DB_HASH, db_flags, db_mode);
  if (ret != 0) {
    db->close(db, 0);
    db = nullptr;
  }
  return ret;
}

// Releases what processes that died outside any call still held in the environment: locks of
// their handles, thread slots, references to the database file. Each is routine here, so
// Berkeley DB's report of it is not passed on.
int dead_processes_clear() {
  db_env->set_errcall(db_env, errors_ignore);
  int ret = db_env->failchk(db_env, 0);
  db_env->set_errcall(db_env, errors_note);
  return ret;
}

// Heals a store that could not be opened, or failed under a call, with ret. The log is
// replayed onto the file where it can be; the environment's files are set aside and a new
// environment begins; a damaged file is replaced by what can be salvaged from it. True when
// the store may be opened again, having said once what was done; false after reporting why
// not, with the store left to be recovered by the next call.
bool store_heal(SharedStore *store, int ret) {
  recovery_ask(store, recover_only);
  lacks_forget();
  quiet_set(true);
  int replayed = env_recover();
  if (replayed == handle_not_made) return false;
  if (replayed != 0 && !damage_possible(replayed)) {
    quiet_set(false);
    TAMB_ERROR("cannot recover DB environment: %s", db_strerror(replayed));
    return false;
  }
  int verified = file_verify(*paths);
  if (verified != 0 && !damage_possible(verified)) {
    quiet_set(false);
    TAMB_ERROR("cannot verify metadata DB at %s: %s", paths->db_path, db_strerror(verified));
    return false;
  }
  // Without a file there is nothing to keep: the next opening creates it.
  bool kept = verified == 0 || verified == ENOENT;
  char folder[aside_path_size];
  char damaged[aside_path_size];
  uint32_t saved = 0;
  int made = env_set_aside(*paths, folder);
  if (made == 0 && verified == 0) made = file_lsn_reset(*paths);
  if (made == 0 && !kept) made = file_salvage(*paths, damaged, &saved);
  quiet_set(false);
  if (made != 0) {
    TAMB_ERROR("cannot heal metadata DB at %s: %s", paths->db_path, db_strerror(made));
    return false;
  }
  const char *moved = folder[0] != '\0' ? folder : "(none)";
  if (kept) {
    TAMB_ERROR(
        "Metadata DB environment in %s could not be used (%s): moved its files to %s and began "
        "a new one; every property in %s is kept%s",
        paths->dir, db_strerror(ret), moved, db_file,
        replayed == 0 ? "" : ", changes that had not reached it are lost");
  } else {
    TAMB_ERROR(
        "Metadata DB at %s was damaged (%s): moved it to %s and saved %u properties into a new "
        "one; the environment's files went to %s",
        paths->db_path, db_strerror(verified), damaged, saved, moved);
  }
  ++store->generation;
  store->needs_recovery = 0;
  store->commits = 0;
  return true;
}

// ---- Opening --------------------------------------------------------------------------------

// Brings the handles up to date, under the store lock: recovers the environment when it needs
// it, joins the current one, opens the database, and heals the store when what it finds is
// damaged (once per call, so that a store that cannot be healed fails instead). 0, or -1 after
// reporting why not; a later call tries again.
int tamb_property_init(SharedStore *store, bool *healed) {
  TAMB_CHECK(paths->dir[0] != '\0');
  bool recovered = false;
  for (int attempt = 0; attempt < open_attempts; ++attempt) {
    bool last = attempt + 1 == open_attempts;
    lacks_forget();
    if (db_env != nullptr && (store->needs_recovery || env_generation != store->generation)) {
      handles_discard();
    }
    if (db_env == nullptr) {
      bool recover = store->needs_recovery != 0;
      if (recover) {
        int ret = env_recover();
        if (ret == handle_not_made) return -1;
        if (ret != 0) {
          if (*healed || last || !damage_possible(ret)) {
            TAMB_ERROR("cannot recover DB environment: %s", db_strerror(ret));
            return -1;
          }
          *healed = true;
          if (!store_heal(store, ret)) return -1;
          continue;
        }
        if (store->needs_recovery == recover_and_check && !*healed) {
          int verified = file_verify(*paths);
          if (verified != 0 && verified != ENOENT && damage_possible(verified)) {
            *healed = true;
            if (!store_heal(store, verified)) return -1;
            continue;
          }
        }
        recovered = true;
        ++store->generation;
        store->needs_recovery = 0;
        store->commits = 0;
      }
      int ret = env_open();
      if (ret == handle_not_made) return -1;
      if (ret != 0) {
        // Regions that cannot be joined are removed by a recovery.
        if (!recovered && !last && (ret == DB_RUNRECOVERY || damage_possible(ret))) {
          recovery_ask(store, recover_only);
          continue;
        }
        TAMB_ERROR("cannot open DB environment: %s", db_strerror(ret));
        return -1;
      }
      if (!recover && dead_processes_clear() == DB_RUNRECOVERY && !last) {
        // A process died inside the library without our lock: a program beside us.
        recovery_ask(store, recover_only);
        continue;
      }
      env_generation = store->generation;
    }
    if (db == nullptr) {
      int ret = db_open();
      if (ret == handle_not_made) return -1;
      if (ret != 0) {
        if (ret == DB_RUNRECOVERY && !recovered && !last) {
          recovery_ask(store, recover_only);
          continue;
        }
        if (*healed || last || !damage_possible(ret)) {
          TAMB_ERROR("Cannot open metadata DB at %s: %s", paths->db_path, db_strerror(ret));
          return -1;
        }
        *healed = true;
        handles_discard();
        if (!store_heal(store, ret)) return -1;
        continue;
      }
    }
    return 0;
  }
  return -1;
}

// ---- Processes ----------------------------------------------------------------------------

// A child's copies of its parent's handles: kept, never closed nor used. Closing them would
// release the parent's lockers and memory-pool references in the shared environment.
__attribute__((used)) DB *inherited_db = nullptr;
__attribute__((used)) DB_ENV *inherited_env = nullptr;

// The parent's handles stay the parent's: the child starts closed. (Its mapping of the lock
// file is left behind by metadata_lock.cpp.)
void after_fork_in_child() {
  inherited_db = db;
  inherited_env = db_env;
  db = nullptr;
  db_env = nullptr;
  env_generation = 0;
}

[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(nullptr, nullptr, after_fork_in_child);

// Runs at library unload or process exit. A store that needs recovery is left to the next
// process; its handles are only discarded, since closing them normally could wait for ever.
__attribute__((destructor)) void tamb_properties_uninit() {
  SharedStore *file = store_joined();
  if (file == nullptr) return;
  if (store_acquire(file) != 0) {
    store_leave();
    return;
  }
  if (db_env != nullptr) {
    if (file->needs_recovery || env_generation != file->generation) {
      handles_discard();
    } else {
      handles_close();
    }
  }
  store_release(file);
  store_leave();
}

}  // namespace

// ---- Session ------------------------------------------------------------------------------

Session::Session() {
  store_ = store_join();
  if (store_ == nullptr) return;
  if (store_acquire(store_) != 0) {
    store_ = nullptr;
    return;
  }
  open_ = tamb_property_init(store_, &healed_) == 0;
}

Session::~Session() {
  if (store_ != nullptr) store_release(store_);
}

DB_ENV *Session::environment() const {
  TAMB_CHECK(open_ && db_env != nullptr);
  return db_env;
}

DB *Session::database() const {
  TAMB_CHECK(open_ && db != nullptr);
  return db;
}

// A failed environment is recovered once. One that fails again at once, or a page that the
// file lacks, points at the file: the store is healed, which verifies it first.
bool Session::recovered_from(int ret) {
  if (store_ == nullptr) return false;
  if (ret == DB_RUNRECOVERY && recoveries_ == 0) {
    ++recoveries_;
    recovery_ask(store_, recover_only);
    open_ = tamb_property_init(store_, &healed_) == 0;
    return open_;
  }
  if ((ret != DB_RUNRECOVERY && ret != DB_PAGE_NOTFOUND) || healed_) return false;
  healed_ = true;
  lacks_forget();
  if (db_env != nullptr) handles_discard();
  open_ = store_heal(store_, ret) && tamb_property_init(store_, &healed_) == 0;
  return open_;
}

void Session::committed() {
  if (++store_->commits < checkpoint_check_commits) return;
  store_->commits = 0;
  db_env->txn_checkpoint(db_env, checkpoint_kbytes, 0, 0);
}

}  // namespace tamb::store
