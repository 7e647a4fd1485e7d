// The metadata store: a Berkeley DB environment and hash database, "metadata.db", in the server
// directory, shared by every process of that server, and the session through which each
// property call uses them.
//
// Crashes. Any process may be killed at any moment, in the middle of a database call too.
// Berkeley DB's mutexes are plain process-shared pthread mutexes here: a process that dies
// holding one, or a lock, or a page it was changing in the shared cache, leaves the environment
// unusable, and whoever waits for it waits for ever. So:
// - Every database call of every process, opening and closing included, runs under the store
//   lock: a robust process-shared mutex in "metadata.lock" beside the database. Only its holder
//   is ever inside Berkeley DB, so nobody waits inside the library for a dead process, and a
//   holder that dies hands the lock on with EOWNERDEAD: the environment may be damaged.
// - Changes are transactions whose log reaches the log file at each commit (written, not
//   flushed to the disk: a killed process loses nothing the kernel holds). A damaged
//   environment is recovered with DB_RECOVER, which marks the old environment failed, replays
//   the log onto the file (a change cut short is undone, every commit that returned is kept)
//   and removes the old regions; the next opening creates new ones.
// - The lock file also holds a generation that each recovery bumps. A process whose handles
//   belong to an older environment discards them (they only report failure now) and joins the
//   new one. Recovery needs no cooperation from the other processes: they are all waiting for
//   the store lock or outside the library.
// - Each process holds a shared OFD lock on the lock file while it uses the store. One that
//   finds nobody else holding it starts afresh: it sets the store lock up anew (a mutex left
//   by a machine that went down would never be released), recovers the environment, which
//   also clears one left half-created, and checks the file with Berkeley DB's verifier.
//   Processes take turns at this under flock().
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
// The lock file is allocated before it is mapped too.
//
// Damage. A store whose environment cannot be opened or recovered, or whose file Berkeley DB
// cannot use, is healed, and nothing of it is deleted (store_heal):
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
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "outside.h"
#include "store_format.h"

namespace tamb::store {

DB_ENV *db_env = nullptr;
DB *db = nullptr;

// The content of "metadata.lock". A process that finds itself the only user sets it up; every
// field is read and written under the mutex.
struct SharedStore {
  pthread_mutex_t mutex;    // the store lock: process-shared and robust
  uint64_t generation;      // bumped by each recovery or healing of the environment
  uint32_t needs_recovery;  // recover_only or recover_and_check until a recovery succeeds
  uint32_t commits;         // commits since the log was last looked at for a checkpoint
};

namespace {

// What SharedStore::needs_recovery asks for. A holder's death leaves the file as the log can
// make it again. The first process on the store also checks the file with Berkeley DB's
// verifier, since whatever happened to the files while nobody used them (a file cut short, a
// page overwritten) shows nowhere else: Berkeley DB reads pages that are missing as empty.
constexpr uint32_t recover_only = 1;
constexpr uint32_t recover_and_check = 2;

// Asks for a recovery of the kind what, keeping a check that was asked for.
void recovery_ask(SharedStore *store, uint32_t what) {
  if (store->needs_recovery < what) store->needs_recovery = what;
}

// The longest a wait for the store lock sleeps before it looks at the lock again.
constexpr long lock_wait_slice_ns = 50000000;
// Thread slots in the environment for failchk(); more threads still work.
constexpr uint32_t thread_slots = 1024;
// Opening gives up after this many rounds of recovering or healing what it found.
constexpr int open_attempts = 3;
// Tries at a free name for what is set aside within one second.
constexpr int aside_names = 100;
// Room for the path of something set aside: the server directory, a name and a time.
constexpr size_t aside_path_size = TAMB_PATH_MAX + 64;
// What the functions that open return when they could not even make a handle, which they have
// reported; never an error code of Berkeley DB or the system.
constexpr int handle_not_made = -1;

uint64_t env_generation = 0;  // the generation db_env belongs to

// The store stays in the server directory of its first opening: the environment's home and
// the database file's path (a longer path is cut to TAMB_PATH_MAX characters).
char store_dir[TAMB_PATH_MAX + 1];
char db_path[TAMB_PATH_MAX + 1];
int lock_fd = -1;
// The mapped lock file once this process uses it; published with release ordering.
std::atomic<SharedStore *> shared_file{nullptr};
// Guards joining the lock file.
pthread_mutex_t open_lock = PTHREAD_MUTEX_INITIALIZER;

// Set while the store is healed: what Berkeley DB says of the damage then is summed up by the
// healing's own report.
thread_local bool quiet = false;

// Set when Berkeley DB reported, during the calls of this thread since it was cleared, a system
// error that says the machine lacks something (room, memory, permission) rather than that the
// files are damaged. A failure then is never healed.
thread_local bool lacked_resources = false;

const char *server_dir(char buf[TAMB_PATH_MAX + 1]) {
  if (tamb_server_dir == nullptr) return nullptr;
  return tamb_server_dir(nullptr, buf);
}

// Whether a process that held an environment thread slot still runs. A killed process that
// its parent has not yet waited for still answers kill(), but its state in /proc says it is
// gone.
int process_is_alive(DB_ENV *, pid_t pid, db_threadid_t, uint32_t) {
  if (pid == getpid()) return 1;
  if (kill(pid, 0) != 0 && errno == ESRCH) return 0;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE *stat_file = fopen(path, "re");
  if (stat_file == nullptr) return 1;
  char line[512];
  size_t n = fread(line, 1, sizeof line - 1, stat_file);
  fclose(stat_file);
  line[n] = '\0';
  const char *name_end = strrchr(line, ')');
  if (name_end == nullptr || name_end[1] == '\0') return 1;
  char state = name_end[2];
  return state == 'Z' || state == 'X' ? 0 : 1;
}

void errors_ignore(const DB_ENV *, const char *, const char *) {}

// The verifier prints the pages it cannot make sense of as messages, to standard output.
void messages_ignore(const DB_ENV *, const char *) {}

// Berkeley DB's messages go to standard error as they do without a callback, unless the store
// is being healed; the system errors among them are noted.
void errors_note(const DB_ENV *, const char *, const char *message) {
  static const int lacking[] = {ENOSPC, EDQUOT, ENOMEM, EIO, EACCES, EPERM, EROFS, EMFILE, ENFILE};
  for (int error : lacking) {
    if (strstr(message, strerror(error)) != nullptr) lacked_resources = true;
  }
  if (!quiet) fprintf(stderr, "%s\n", message);
}

// Whether a failure of Berkeley DB may come from damaged files, rather than from what the
// machine lacks or from another party's hold on the store.
bool damage_possible(int ret) {
  switch (ret) {
    case 0:
    case ENOSPC:
    case EDQUOT:
    case ENOMEM:
    case EIO:
    case EACCES:
    case EPERM:
    case EROFS:
    case EMFILE:
    case ENFILE:
    case EAGAIN:
    case EBUSY:
    case EINTR:
    case ENOTDIR:
    case EISDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EFBIG:
    case DB_LOCK_DEADLOCK:
    case DB_LOCK_NOTGRANTED:
      return false;
    default:
      return !lacked_resources;
  }
}

void file_lock(int fd, int operation) {
  while (flock(fd, operation) != 0 && errno == EINTR) {
  }
}

bool user_lock(int fd, short type, bool wait) {
  struct flock range;
  memset(&range, 0, sizeof range);
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_len = 1;
  int ret;
  while ((ret = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range)) != 0 && errno == EINTR) {
  }
  return ret == 0;
}

// Gives the file storage for its first bytes up to length, keeping its size: 0 or the error. A
// file system that cannot allocate ahead is left as it is.
int storage_allocate(int fd, off_t length) {
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) == 0) return 0;
  return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : errno;
}

constexpr int no_server_dir = -1;

// Maps "metadata.lock" in the server directory and becomes one of its users: 0, or the error
// that kept it from doing so. Called under open_lock.
int store_lock_attach() {
  char dir_buf[TAMB_PATH_MAX + 1];
  const char *dir = server_dir(dir_buf);
  if (dir == nullptr) return no_server_dir;
  char path[TAMB_PATH_MAX + 1];
  snprintf(path, sizeof path, "%s/%s", dir, lock_file);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, db_mode);
  if (fd < 0) return errno;
  file_lock(fd, LOCK_EX);
  // Nobody else holds a user lock: whatever the file holds is left from processes that are
  // gone, or from before the machine started.
  bool alone = user_lock(fd, F_WRLCK, false);
  struct stat st;
  int ret = 0;
  if (alone ? ftruncate(fd, sizeof(SharedStore)) != 0 : fstat(fd, &st) != 0) {
    ret = errno;
  } else if (!alone && st.st_size < static_cast<off_t>(sizeof(SharedStore))) {
    ret = EINVAL;  // only a foreign program makes it shorter
  } else {
    ret = storage_allocate(fd, sizeof(SharedStore));
  }
  void *mapped = MAP_FAILED;
  if (ret == 0) {
    mapped = mmap(nullptr, sizeof(SharedStore), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) ret = errno;
  }
  if (ret == 0 && alone) {
    auto *store = static_cast<SharedStore *>(mapped);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&store->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    store->needs_recovery = recover_and_check;
    store->commits = 0;
  }
  // Taking the shared lock turns an exclusive one into it in one step.
  if (ret == 0 && !user_lock(fd, F_RDLCK, true)) {
    ret = errno;
    munmap(mapped, sizeof(SharedStore));
  }
  file_lock(fd, LOCK_UN);
  if (ret != 0) {
    close(fd);
    return ret;
  }
  lock_fd = fd;
  snprintf(store_dir, sizeof store_dir, "%s", dir);
  snprintf(db_path, sizeof db_path, "%s/%s", dir, db_file);
  shared_file.store(static_cast<SharedStore *>(mapped), std::memory_order_release);
  return 0;
}

void store_lock_detach() {
  SharedStore *file = shared_file.load(std::memory_order_relaxed);
  if (file != nullptr) munmap(file, sizeof *file);
  shared_file.store(nullptr, std::memory_order_relaxed);
  if (lock_fd >= 0) close(lock_fd);
  lock_fd = -1;
}

// Takes the store lock: 0 or EOWNERDEAD, or the mutex's error. A waiter that is woken to take
// the lock and killed before it does so takes the wake-up with it, and the others would sleep
// on a free lock for good; so a wait lasts a short slice at a time.
int store_lock(pthread_mutex_t *mutex) {
  int ret = pthread_mutex_trylock(mutex);
  while (ret == EBUSY || ret == ETIMEDOUT) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += lock_wait_slice_ns;
    if (until.tv_nsec >= 1000000000) {
      until.tv_nsec -= 1000000000;
      ++until.tv_sec;
    }
    ret = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &until);
  }
  return ret;
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
  int prefix_length = snprintf(prefix, sizeof prefix, "%s/__db.", store_dir);
  char line[TAMB_PATH_MAX + 128];
  int ret = 0;
  while (ret == 0 && fgets(line, sizeof line, maps) != nullptr) {
    unsigned long start, end, offset;
    char mode[5];
    int path_at = 0;
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
  int ret = db_env->open(db_env, store_dir, env_flags, 0);
  if (ret == 0) {
    ret = regions_allocate();
    if (ret == 0) return 0;
    db_env->close(db_env, 0);
  } else {
    db_env->close(db_env, 0);
    // Regions that could not be written whole are removed, so that nobody waits for them to
    // be finished; removal leaves an environment that others use alone.
    if (ret == ENOSPC || ret == EDQUOT || lacked_resources) {
      DB_ENV *env = env_handle_create();
      if (env != nullptr) env->remove(env, store_dir, 0);
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
  int ret = env->open(env, store_dir, env_flags | DB_RECOVER | DB_PRIVATE, 0);
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
  ret = db->open(db, nullptr, db_path, nullptr, DB_HASH, db_flags, db_mode);
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

// ---- Healing ------------------------------------------------------------------------------

// The name "<base>-<UTC time>" for something set aside, with a count after it when that name
// is taken within the same second; made by make(path), which fails with EEXIST for a taken
// name. 0 or make's error.
template <typename Make>
int aside_name(const char *base, char *path, size_t size, Make make) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  int ret = EEXIST;
  for (int n = 0; n < aside_names && ret == EEXIST; ++n) {
    if (n == 0) {
      snprintf(path, size, "%s/%s-%s", store_dir, base, stamp);
    } else {
      snprintf(path, size, "%s/%s-%s-%d", store_dir, base, stamp, n);
    }
    ret = make(path) == 0 ? 0 : errno;
  }
  return ret;
}

bool env_file(const char *name) {
  if (strncmp(name, "__db.", 5) == 0) return true;
  if (strncmp(name, "log.", 4) != 0) return false;
  size_t digits = strspn(name + 4, "0123456789");
  return digits > 0 && name[4 + digits] == '\0';
}

// Moves the environment's files, its regions and its log, into a new folder beside the
// database; folder is left empty when there was nothing to move. 0 or the error.
int env_set_aside(char *folder, size_t size) {
  folder[0] = '\0';
  DIR *dir = opendir(store_dir);
  if (dir == nullptr) return errno;
  int ret = 0;
  while (dirent *entry = readdir(dir)) {
    if (!env_file(entry->d_name)) continue;
    if (folder[0] == '\0') {
      ret = aside_name(env_damaged_prefix, folder, size,
                       [](const char *path) { return mkdir(path, 0700); });
      if (ret != 0) {
        folder[0] = '\0';
        break;
      }
    }
    char from[TAMB_PATH_MAX + NAME_MAX + 2], to[aside_path_size + NAME_MAX + 2];
    snprintf(from, sizeof from, "%s/%s", store_dir, entry->d_name);
    snprintf(to, sizeof to, "%s/%s", folder, entry->d_name);
    if (rename(from, to) != 0) {
      ret = errno;
      break;
    }
  }
  closedir(dir);
  return ret;
}

// Clears the log positions on the file's pages, so that an environment without its old log
// takes it. In an environment of this process's memory, without a log of its own.
int file_lsn_reset() {
  DB_ENV *env = nullptr;
  int ret = db_env_create(&env, 0);
  if (ret != 0) return ret;
  env->set_errcall(env, errors_note);
  ret = env->open(env, store_dir, DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0);
  if (ret == 0) ret = env->lsn_reset(env, db_path, 0);
  env->close(env, 0);
  return ret;
}

// The page size Berkeley DB gives a new file here: the file system's block size, within its
// bounds. The verifier falls back on it when the file's first page no longer says.
uint32_t page_size_guess() {
  struct stat st;
  uint32_t size = stat(db_path, &st) == 0 ? static_cast<uint32_t>(st.st_blksize) : 4096;
  if (size < 512) size = 512;
  if (size > 16384) size = 16384;
  return size & (size - 1) ? 4096 : size;
}

// Checks the file's structure with Berkeley DB's verifier: 0, DB_VERIFY_BAD, or another
// error. Nobody may use the file meanwhile: the store lock is held and no cache holds a page
// of it that the file lacks.
int file_verify() {
  DB *file = nullptr;
  int ret = db_create(&file, nullptr, 0);
  if (ret != 0) return ret;
  file->set_errcall(file, errors_ignore);
  file->set_msgcall(file, messages_ignore);
  // verify() releases the handle whatever it finds.
  return file->verify(file, db_path, nullptr, nullptr, 0);
}

// Loads what the verifier's salvage mode writes, in db_dump's format, into a database: header
// lines, then one line per item, a blank and the item's bytes in hexadecimal, keys and data
// taking turns. Turns are not to be trusted in a damaged file: the salvager writes "UNKNOWN" for
// an item it could not read, leaves out some it finds broken, and ends with values whose keys
// are lost. So only properties are taken, each a stored key followed by a stored record, which
// cannot be mistaken for each other: a key holds the zero bytes that fill its subject text, a
// record never two zero bytes in a row. Whatever else the file held stays in the damaged file.
class SalvageLoader {
 public:
  explicit SalvageLoader(DB *target) : target_(target) {}
  ~SalvageLoader() {
    free(line_);
    free(key_);
  }
  SalvageLoader(const SalvageLoader &) = delete;
  SalvageLoader &operator=(const SalvageLoader &) = delete;

  // As a cookie writer of fopencookie(): everything is taken, whatever goes wrong.
  static ssize_t write(void *cookie, const char *bytes, size_t size) {
    auto *loader = static_cast<SalvageLoader *>(cookie);
    for (size_t i = 0; i < size; ++i) loader->take(bytes[i]);
    return static_cast<ssize_t>(size);
  }

  uint32_t properties() const { return properties_; }
  int error() const { return error_; }

 private:
  void take(char c) {
    if (c == '\n') {
      line_end();
      line_length_ = 0;
      return;
    }
    if (line_length_ == line_capacity_) {
      size_t grown = line_capacity_ == 0 ? 256 : line_capacity_ * 2;
      auto *bigger = static_cast<char *>(realloc(line_, grown));
      if (bigger == nullptr) {
        error_ = ENOMEM;
        return;
      }
      line_ = bigger;
      line_capacity_ = grown;
    }
    line_[line_length_++] = c;
  }

  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }

  // Decodes the item on the line in place: its length, or -1 when the line is no item.
  ssize_t item_decode() {
    if (line_length_ == 0 || line_[0] != ' ' || line_length_ % 2 == 0) return -1;
    size_t n = (line_length_ - 1) / 2;
    for (size_t i = 0; i < n; ++i) {
      int high = hex_digit(line_[1 + 2 * i]), low = hex_digit(line_[2 + 2 * i]);
      if (high < 0 || low < 0) return -1;
      line_[i] = static_cast<char>(high << 4 | low);
    }
    return static_cast<ssize_t>(n);
  }

  // The subject's decimal text, zero bytes up to its full size, a key and its NUL.
  static bool is_stored_key(const char *item, size_t size) {
    if (size <= subject_text_size + 1 || item[size - 1] != '\0') return false;
    size_t digits = 0;
    while (digits < subject_text_size && item[digits] >= '0' && item[digits] <= '9') ++digits;
    if (digits == 0 || digits >= subject_text_size) return false;
    for (size_t i = digits; i < subject_text_size; ++i) {
      if (item[i] != '\0') return false;
    }
    return true;
  }

  // A value and its NUL, then perhaps a type and its NUL; neither string is empty.
  static bool is_stored_record(const char *item, size_t size) {
    if (size < 2 || item[0] == '\0' || item[size - 1] != '\0') return false;
    for (size_t i = 1; i < size; ++i) {
      if (item[i] == '\0' && item[i - 1] == '\0') return false;
    }
    return true;
  }

  void line_end() {
    ssize_t size = item_decode();
    if (size < 0) {
      have_key_ = false;
      return;
    }
    auto item_size = static_cast<size_t>(size);
    if (is_stored_key(line_, item_size)) {
      // The line's buffer becomes the key's; the next line goes into the old key's.
      char *swap = key_;
      size_t swap_capacity = key_capacity_;
      key_ = line_;
      key_capacity_ = line_capacity_;
      key_size_ = item_size;
      line_ = swap;
      line_capacity_ = swap_capacity;
      have_key_ = true;
      return;
    }
    bool pair = have_key_ && is_stored_record(line_, item_size);
    have_key_ = false;
    if (!pair) return;
    DBT key, data;
    memset(&key, 0, sizeof key);
    memset(&data, 0, sizeof data);
    key.data = key_;
    key.size = static_cast<uint32_t>(key_size_);
    data.data = line_;
    data.size = static_cast<uint32_t>(size);
    // A key that turns up twice keeps its first record.
    int ret = target_->put(target_, nullptr, &key, &data, DB_NOOVERWRITE);
    if (ret == 0) {
      ++properties_;
    } else if (ret != DB_KEYEXIST) {
      error_ = ret;
    }
  }

  DB *target_;
  char *line_ = nullptr;
  size_t line_length_ = 0, line_capacity_ = 0;
  char *key_ = nullptr;
  size_t key_size_ = 0, key_capacity_ = 0;
  bool have_key_ = false;
  uint32_t properties_ = 0;
  int error_ = 0;
};

// Reads what the verifier can salvage from the file into a new file at path, which is built
// beside it without any environment. 0 or the error, with the number of properties saved.
int file_salvage_into(const char *path, uint32_t *properties) {
  unlink(path);  // left by a healing that was cut short
  DB *target = nullptr;
  int ret = db_create(&target, nullptr, 0);
  if (ret != 0) return ret;
  target->set_errcall(target, errors_note);
  ret = target->open(target, nullptr, path, nullptr, DB_HASH, DB_CREATE | DB_EXCL, db_mode);
  if (ret != 0) {
    target->close(target, 0);
    return ret;
  }
  SalvageLoader loader(target);
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.write = SalvageLoader::write;
  FILE *out = fopencookie(&loader, "w", io);
  DB *file = nullptr;
  ret = out != nullptr ? db_create(&file, nullptr, 0) : ENOMEM;
  if (ret == 0) {
    file->set_errcall(file, errors_ignore);
    file->set_msgcall(file, messages_ignore);
    file->set_pagesize(file, page_size_guess());
    // The salvager finds the file damaged, as expected; only a lack of resources stops it.
    int salvaged = file->verify(file, db_path, nullptr, out, DB_SALVAGE);
    if (!damage_possible(salvaged)) ret = salvaged;
  }
  if (out != nullptr) fclose(out);
  if (ret == 0) ret = loader.error();
  int closed = target->close(target, 0);
  if (ret == 0) ret = closed;
  if (ret != 0) {
    unlink(path);
    return ret;
  }
  *properties = loader.properties();
  return 0;
}

// Replaces a damaged file with what can be salvaged from it, and keeps the damaged one under a
// new name. The new file takes the database's name in one step, so that a healing cut short
// leaves either file in place. 0 or the error.
int file_salvage(char *damaged, size_t size, uint32_t *properties) {
  char salvaged[TAMB_PATH_MAX + 16];
  snprintf(salvaged, sizeof salvaged, "%s.salvaged", db_path);
  int ret = file_salvage_into(salvaged, properties);
  if (ret != 0) return ret;
  bool linked = true;
  ret = aside_name(db_damaged_prefix, damaged, size,
                   [](const char *path) { return link(db_path, path); });
  if (ret != 0 && ret != EEXIST) {
    // A file system without hard links: the damaged file moves first.
    linked = false;
    ret = aside_name(db_damaged_prefix, damaged, size, [](const char *path) {
      struct stat st;
      if (stat(path, &st) == 0) {
        errno = EEXIST;
        return -1;
      }
      return rename(db_path, path);
    });
  }
  if (ret == 0 && rename(salvaged, db_path) != 0) ret = errno;
  if (ret != 0) {
    if (!linked) rename(damaged, db_path);
    unlink(salvaged);
  }
  return ret;
}

// Heals a store that could not be opened, or failed under a call, with ret. The log is
// replayed onto the file where it can be; the environment's files are set aside and a new
// environment begins; a damaged file is replaced by what can be salvaged from it. True when
// the store may be opened again, having said once what was done; false after reporting why
// not, with the store left to be recovered by the next call.
bool store_heal(SharedStore *store, int ret) {
  recovery_ask(store, recover_only);
  lacked_resources = false;
  quiet = true;
  int replayed = env_recover();
  if (replayed == handle_not_made) return false;
  if (replayed != 0 && !damage_possible(replayed)) {
    quiet = false;
    TAMB_ERROR("cannot open DB environment: %s", db_strerror(replayed));
    return false;
  }
  int verified = file_verify();
  if (verified != 0 && !damage_possible(verified)) {
    quiet = false;
    TAMB_ERROR("Cannot open metadata DB at %s: %s", db_path, db_strerror(verified));
    return false;
  }
  // Without a file there is nothing to keep: the next opening creates it.
  bool kept = verified == 0 || verified == ENOENT;
  char folder[aside_path_size];
  char damaged[aside_path_size];
  uint32_t saved = 0;
  int made = env_set_aside(folder, sizeof folder);
  if (made == 0 && verified == 0) made = file_lsn_reset();
  if (made == 0 && !kept) made = file_salvage(damaged, sizeof damaged, &saved);
  quiet = false;
  if (made != 0) {
    TAMB_ERROR("Cannot open metadata DB at %s: %s", db_path, db_strerror(made));
    return false;
  }
  const char *moved = folder[0] != '\0' ? folder : "(none)";
  if (kept) {
    TAMB_ERROR(
        "Metadata DB environment in %s could not be used (%s): moved its files to %s and began "
        "a new one; every property in %s is kept%s",
        store_dir, db_strerror(ret), moved, db_file,
        replayed == 0 ? "" : ", changes that had not reached it are lost");
  } else {
    TAMB_ERROR(
        "Metadata DB at %s was damaged (%s): moved it to %s and saved %u properties into a new "
        "one; the environment's files went to %s",
        db_path, db_strerror(verified), damaged, saved, moved);
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
  bool recovered = false;
  for (int attempt = 0; attempt < open_attempts; ++attempt) {
    bool last = attempt + 1 == open_attempts;
    lacked_resources = false;
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
            TAMB_ERROR("cannot open DB environment: %s", db_strerror(ret));
            return -1;
          }
          *healed = true;
          if (!store_heal(store, ret)) return -1;
          continue;
        }
        if (store->needs_recovery == recover_and_check && !*healed) {
          int verified = file_verify();
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
          TAMB_ERROR("Cannot open metadata DB at %s: %s", db_path, db_strerror(ret));
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

void before_fork() { pthread_mutex_lock(&open_lock); }

void after_fork_in_parent() { pthread_mutex_unlock(&open_lock); }

// The parent's handles, its mapping of the lock file and its user lock all stay the parent's:
// the child starts closed. The child's one thread is the copy of the one that took open_lock
// before the fork, so it gives the lock back; making the mutex anew over a held one is
// undefined, and ThreadSanitizer reports it as a double lock.
void after_fork_in_child() {
  inherited_db = db;
  inherited_env = db_env;
  db = nullptr;
  db_env = nullptr;
  env_generation = 0;
  store_lock_detach();
  pthread_mutex_unlock(&open_lock);
}

[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

// Runs at library unload or process exit. A store that needs recovery is left to the next
// process; its handles are only discarded, since closing them normally could wait for ever.
__attribute__((destructor)) void tamb_properties_uninit() {
  SharedStore *file = shared_file.load(std::memory_order_acquire);
  if (file == nullptr) return;
  int ret = store_lock(&file->mutex);
  if (ret == EOWNERDEAD) {
    recovery_ask(file, recover_only);
    ret = pthread_mutex_consistent(&file->mutex);
  }
  if (ret != 0) {
    store_lock_detach();
    return;
  }
  if (db_env != nullptr) {
    if (file->needs_recovery || env_generation != file->generation) {
      handles_discard();
    } else {
      handles_close();
    }
  }
  pthread_mutex_unlock(&file->mutex);
  store_lock_detach();
}

}  // namespace

// ---- Session ------------------------------------------------------------------------------

Session::Session() {
  store_ = shared_file.load(std::memory_order_acquire);
  if (store_ == nullptr) {
    pthread_mutex_lock(&open_lock);
    int ret = shared_file.load(std::memory_order_relaxed) ? 0 : store_lock_attach();
    pthread_mutex_unlock(&open_lock);
    if (ret != 0) {
      TAMB_ERROR("cannot open DB environment: %s",
                 ret == no_server_dir ? "no server directory" : db_strerror(ret));
      return;
    }
    store_ = shared_file.load(std::memory_order_acquire);
  }
  int ret = store_lock(&store_->mutex);
  if (ret == EOWNERDEAD) {
    // Its holder died inside a call: the environment may hold its mutexes, its locks and
    // its half-made changes.
    recovery_ask(store_, recover_only);
    ret = pthread_mutex_consistent(&store_->mutex);
  }
  if (ret != 0) {
    TAMB_ERROR("cannot open DB environment: %s", db_strerror(ret));
    store_ = nullptr;
    return;
  }
  open_ = tamb_property_init(store_, &healed_) == 0;
}

Session::~Session() {
  if (store_ != nullptr) pthread_mutex_unlock(&store_->mutex);
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
  lacked_resources = false;
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
