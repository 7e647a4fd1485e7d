// SPDX-License-Identifier: MIT
// The store lock: a robust process-shared mutex in "metadata.lock" beside the database, which
// every database call of every process holds, so that only its holder is ever inside Berkeley
// DB and nobody waits there for a dead process. A holder that dies hands it on with
// EOWNERDEAD.
//
// Each process holds a shared OFD lock on the file while it uses the store. One that finds
// nobody else holding it sets the file up anew (a mutex left by a machine that went down would
// never be released) and asks for a recovery and a check of the database file. Processes take
// turns at this under flock(). The file is allocated before it is mapped, so that a full disk
// fails the joining instead of killing the process with SIGBUS.
#include "metadata_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "check.h"
#include "outside.h"
#include "store_format.h"

namespace tamb::store {

namespace {

// The longest a wait for the store lock sleeps before it looks at the lock again.
constexpr long lock_wait_slice_ns = 50000000;
constexpr long nanoseconds_per_second = 1000000000;

// What store_attach returns when there is no server directory to find the store in; never an
// error code of the system.
constexpr int no_server_dir = -1;

StorePaths paths;
int lock_fd = -1;
// The mapped lock file once this process uses it; published with release ordering after
// paths and lock_fd.
std::atomic<SharedStore *> shared_file{nullptr};
// Guards joining the lock file.
pthread_mutex_t join_lock = PTHREAD_MUTEX_INITIALIZER;

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

// A lock file that no process uses: whatever it holds is left from processes that are gone, or
// from before the machine started.
void store_set_up(SharedStore *store) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&store->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  store->needs_recovery = recover_and_check;
  store->commits = 0;
}

// Maps "metadata.lock" in the server directory and becomes one of its users: 0, no_server_dir,
// or the error that kept it from doing so. Called under join_lock.
int store_attach() {
  char dir[TAMB_PATH_MAX + 1];
  if (tamb_server_dir == nullptr || tamb_server_dir(nullptr, dir) == nullptr) return no_server_dir;
  // A path cut short would name another file (the system refuses one as long as that anyway).
  char path[TAMB_PATH_MAX + 1];
  if (snprintf(path, sizeof path, "%s/%s", dir, lock_file) >= static_cast<int>(sizeof path) ||
      snprintf(paths.db_path, sizeof paths.db_path, "%s/%s", dir, db_file) >=
          static_cast<int>(sizeof paths.db_path)) {
    return ENAMETOOLONG;
  }
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, db_mode);
  if (fd < 0) return errno;
  file_lock(fd, LOCK_EX);
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
  if (ret == 0 && alone) store_set_up(static_cast<SharedStore *>(mapped));
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
  memcpy(paths.dir, dir, sizeof paths.dir);
  shared_file.store(static_cast<SharedStore *>(mapped), std::memory_order_release);
  return 0;
}

// The parent's mapping of the lock file and its user lock stay the parent's: the child starts
// without them. The child's one thread is the copy of the one that took join_lock before the
// fork, so it gives the lock back; making the mutex anew over a held one is undefined, and
// ThreadSanitizer reports it as a double lock.
void before_fork() { pthread_mutex_lock(&join_lock); }

void after_fork_in_parent() { pthread_mutex_unlock(&join_lock); }

void after_fork_in_child() {
  store_leave();
  pthread_mutex_unlock(&join_lock);
}

[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

SharedStore *store_join() {
  SharedStore *store = shared_file.load(std::memory_order_acquire);
  if (store == nullptr) {
    pthread_mutex_lock(&join_lock);
    int ret = shared_file.load(std::memory_order_relaxed) ? 0 : store_attach();
    pthread_mutex_unlock(&join_lock);
    // The environment's home is where the lock file is: what keeps one from the directory
    // keeps the other.
    if (ret != 0) {
      TAMB_ERROR("cannot open DB environment: %s",
                 ret == no_server_dir ? "no server directory" : strerror(ret));
      return nullptr;
    }
    store = shared_file.load(std::memory_order_acquire);
  }
  return store;
}

const StorePaths &store_paths() { return paths; }

SharedStore *store_joined() { return shared_file.load(std::memory_order_acquire); }

void store_leave() {
  SharedStore *file = shared_file.load(std::memory_order_relaxed);
  if (file != nullptr) munmap(file, sizeof *file);
  shared_file.store(nullptr, std::memory_order_relaxed);
  if (lock_fd >= 0) close(lock_fd);
  lock_fd = -1;
}

// A waiter that is woken to take the lock and killed before it does so takes the wake-up with
// it, and the others would sleep on a free lock for good; so a wait lasts a short slice at a
// time.
int store_acquire(SharedStore *store) {
  TAMB_CHECK(store != nullptr);
  int ret = pthread_mutex_trylock(&store->mutex);
  while (ret == EBUSY || ret == ETIMEDOUT) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += lock_wait_slice_ns;
    if (until.tv_nsec >= nanoseconds_per_second) {
      until.tv_nsec -= nanoseconds_per_second;
      ++until.tv_sec;
    }
    ret = pthread_mutex_clocklock(&store->mutex, CLOCK_MONOTONIC, &until);
  }
  if (ret == EOWNERDEAD) {
    recovery_ask(store, recover_only);
    ret = pthread_mutex_consistent(&store->mutex);
  }
  if (ret != 0) TAMB_ERROR("cannot take the metadata store lock: %s", strerror(ret));
  return ret;
}

int storage_allocate(int fd, off_t length) {
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) == 0) return 0;
  return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : errno;
}

}  // namespace tamb::store
