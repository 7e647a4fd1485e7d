// SPDX-License-Identifier: MIT
// The shared-memory registry and the segments allocated through it.
//
// Every change of the registry, in any process, happens between tamb_shm_lock_registry and
// tamb_shm_unlock_registry. The semaphore is taken and given with SEM_UNDO, so the kernel gives
// the lock back when a process dies holding it. The registry is written by other processes:
// indexes and process ids read from it are checked before they are used.
//
// A process may be killed between any two of its steps, so every state it can leave behind is
// one the clean-up recognises. Allocation marks its entry as the caller's and used before it
// creates the segment, and stores the segment's id last: an entry of a dead owner whose id was
// never stored still names the owner, and the clean-up finds that owner's segment among the
// system's segments by its creator. Freeing an entry clears its size first, so a half-cleared
// entry is free.
//
// Whose slots, entries and segments are kept is decided by one test, tamb::process_alive: a
// process is gone only when the system knows no such process. The one exception is a server
// registering under a prefix that a process it may not signal holds (below).
#include "tamb/shm.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "outside.h"
#include "process.h"

namespace {

// Every process of every user reads and writes the registry, takes its semaphore and attaches
// the segments it lists.
constexpr int ipc_permissions = 0666;

char tamb_shm_server_prefix[256] = "";
tamb_shm_header_t *tamb_shm_header = nullptr;
tamb_shm_registry_t *tamb_shm_registry = nullptr;
int32_t registry_id = 0;
tamb_shm_info_t registry_info = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
int32_t semid = -1;

// Whether this thread holds the registry semaphore, which cannot say who holds it. It is not
// recursive: a second take by its holder would wait forever. In the static TLS block: a
// thread's first take then needs no memory, which may have run out.
__attribute__((tls_model("initial-exec"))) thread_local bool lock_held = false;

[[noreturn]] void semaphore_error(const char *call) {
  TAMB_ERROR("Fatal TAMB semaphore error: %s (%s)", call, strerror(errno));
  abort();
}

void tamb_set_server_prefix(const char *server_name) {
  snprintf(tamb_shm_server_prefix, sizeof tamb_shm_server_prefix,
           "/tamb-%d:%s:", static_cast<int>(getuid()),
           server_name != nullptr ? server_name : "default");
}

void semaphore_lookup() {
  semid = semget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  if (semid != -1) return;
  semid = semget(TAMB_REGISTRY_IPC_KEY, 1, IPC_CREAT | IPC_EXCL | ipc_permissions);
  if (semid != -1) {
    // The first raise carries no undo: the free state must outlive the creating process.
    sembuf raise = {0, 1, 0};
    if (semop(semid, &raise, 1) == -1) semaphore_error("semop");
    return;
  }
  if (errno != EEXIST) semaphore_error("semget creation");
  semid = semget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  if (semid == -1) semaphore_error("semget");
}

// A wait that a signal interrupts is resumed: a signal handler in the server must not turn
// into an abort of the whole process.
void semaphore_change(short delta) {
  sembuf op = {0, delta, SEM_UNDO};
  while (semop(semid, &op, 1) == -1) {
    if (errno != EINTR) semaphore_error("semop");
  }
}

void tamb_shm_lock_registry() {
  TAMB_CHECK(!lock_held);
  if (semid == -1) semaphore_lookup();
  semaphore_change(-1);
  lock_held = true;
}

// A give without a take would let two holders in at once.
void tamb_shm_unlock_registry() {
  TAMB_CHECK(lock_held);
  lock_held = false;
  semaphore_change(1);
}

void registry_set_attached(void *address) {
  registry_info.index = TAMB_SHM_REGISTRY_INDEX;
  registry_info.address = address;
  tamb_shm_header = static_cast<tamb_shm_header_t *>(address);
  tamb_shm_registry = reinterpret_cast<tamb_shm_registry_t *>(static_cast<char *>(address) +
                                                              TAMB_REGISTRY_HEADER_SIZE);
}

void registry_forget() {
  if (registry_info.address != TAMB_SHM_NOT_ATTACHED) shmdt(registry_info.address);
  registry_info = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  tamb_shm_header = nullptr;
  tamb_shm_registry = nullptr;
}

// Attaches the registry segment; a segment that exists but cannot be attached is an error
// result like any other access failure.
int registry_attach(const char *message) {
  void *address = shmat(registry_id, nullptr, 0);
  if (address == reinterpret_cast<void *>(-1)) {
    int error = errno;
    TAMB_ERROR(message, strerror(error));
    return error;
  }
  registry_set_attached(address);
  return 0;
}

int tamb_access_registry() {
  registry_id = shmget(TAMB_REGISTRY_IPC_KEY, TAMB_REGISTRY_SEGMENT_SIZE, ipc_permissions);
  if (registry_id == -1) {
    int error = errno;
    if (error == ENOENT) return ENOENT;
    if (error == EINVAL) {
      registry_id = shmget(TAMB_REGISTRY_IPC_KEY, 1, ipc_permissions);
      return EINVAL;
    }
    TAMB_ERROR("unable to access shm registry (%s)", strerror(error));
    return error;
  }
  return registry_attach("unable to access shm registry (%s)");
}

int tamb_create_registry() {
  registry_id =
      shmget(TAMB_REGISTRY_IPC_KEY, TAMB_REGISTRY_SEGMENT_SIZE, IPC_CREAT | ipc_permissions);
  if (registry_id == -1) {
    int error = errno;
    TAMB_ERROR("cannot create shm registry segment (%s)", strerror(error));
    return error;
  }
  int error = registry_attach("cannot create shm registry segment (%s)");
  if (error != 0) return error;

  TAMB_CHECK(lock_held);
  memset(tamb_shm_header, 0, TAMB_REGISTRY_SEGMENT_SIZE);
  tamb_shm_header->magic = TAMB_REGISTRY_MAGIC;
  tamb_shm_header->protocol = TAMB_REGISTRY_PROTOCOL;
  tamb_shm_header->shm_type = TAMB_SHM_TYPE_SYSV;
  tamb_shm_header->segment_size = TAMB_REGISTRY_SEGMENT_SIZE;
  tamb_shm_header->header_size = TAMB_REGISTRY_HEADER_SIZE;
  tamb_shm_header->entry_size = TAMB_REGISTRY_ENTRY_SIZE;
  for (int16_t i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) tamb_shm_registry[i].index = i;
  return 0;
}

int tamb_shm_validate_registry() {
  const tamb_shm_header_t *h = tamb_shm_header;
  bool valid = h->magic == TAMB_REGISTRY_MAGIC && h->protocol == TAMB_REGISTRY_PROTOCOL &&
               h->shm_type == TAMB_SHM_TYPE_SYSV && h->segment_size == TAMB_REGISTRY_SEGMENT_SIZE &&
               h->header_size == TAMB_REGISTRY_HEADER_SIZE &&
               h->entry_size == TAMB_REGISTRY_ENTRY_SIZE;
  return valid ? 0 : -1;
}

// Removes the segment the last access or creation found; nothing when it found none.
void registry_remove() {
  if (registry_id != -1) shmctl(registry_id, IPC_RMID, nullptr);
}

bool index_is_valid(int index) { return index >= 0 && index < TAMB_REGISTRY_MAX_SEGMENTS; }

// Stores to the registry reach it in program order as far as a kill is concerned: the
// compiler may not move them across this.
void kill_order() { std::atomic_signal_fence(std::memory_order_seq_cst); }

void entry_clear(tamb_shm_registry_t *entry) {
  TAMB_CHECK(lock_held);
  entry->size = 0;
  kill_order();
  entry->shm_id = 0;
  entry->owner_pid = 0;
}

void slot_clear(tamb_shm_server_t *slot) {
  TAMB_CHECK(lock_held);
  memset(slot, 0, sizeof *slot);
}

// Process ids of entry owners that the clean-up found gone; at most one per entry.
struct DeadOwners {
  int32_t pid[TAMB_REGISTRY_MAX_SEGMENTS];
  int count = 0;

  void add(int32_t owner) {
    if (owner <= 0 || holds(owner)) return;
    TAMB_CHECK(count < TAMB_REGISTRY_MAX_SEGMENTS);
    pid[count++] = owner;
  }
  bool holds(int32_t owner) const {
    for (int i = 0; i < count; ++i) {
      if (pid[i] == owner) return true;
    }
    return false;
  }
};

// One run of the clean-up, under the registry lock. A dry run walks the same rules over a copy
// of the entries and notes the segments it would remove instead of removing them, so that it
// finds exactly what the run would free. What is freed goes into the report, when there is one.
struct Cleanup {
  Cleanup(bool dry, tamb_shm_clean_report_t *to) : dry_run(dry), report(to) {
    TAMB_CHECK(lock_held);
    if (dry_run) memcpy(copy, tamb_shm_registry, sizeof copy);
  }

  void segment_remove(int id) {
    if (!dry_run) {
      shmctl(id, IPC_RMID, nullptr);
      return;
    }
    TAMB_CHECK(removed_count < TAMB_REGISTRY_MAX_SEGMENTS);
    removed[removed_count++] = id;
  }
  // Whether a dry run has removed the segment; a real run leaves that to the system.
  bool removes(int id) const {
    for (int i = 0; i < removed_count; ++i) {
      if (removed[i] == id) return true;
    }
    return false;
  }

  const bool dry_run;
  tamb_shm_clean_report_t *const report;
  tamb_shm_registry_t copy[TAMB_REGISTRY_MAX_SEGMENTS];
  tamb_shm_registry_t *const entries = dry_run ? copy : tamb_shm_registry;
  int removed[TAMB_REGISTRY_MAX_SEGMENTS];  // one at most for each entry
  int removed_count = 0;
  int32_t unrecorded_capacity = 0;
  DeadOwners dead;
  int freed = 0;
  const int32_t self = getpid();
};

// The System V state of the segment an entry names, when the id still names a segment the
// registry could have handed out: private and of the entry's size. Ids of removed segments are
// given out again, and an entry left half-filled may hold an id that names something else
// altogether (a free entry's 0 is, in a fresh IPC namespace, the registry itself). A removed
// segment that nobody has attached is gone at once; an attached one lives on.
bool entry_segment(const Cleanup &c, const tamb_shm_registry_t *entry, shmid_ds *status) {
  if (entry->shm_id < 0 || entry->size <= 0) return false;
  if (shmctl(entry->shm_id, IPC_STAT, status) == -1) return false;
  if (status->shm_nattch == 0 && c.removes(entry->shm_id)) return false;
  return status->shm_perm.__key == IPC_PRIVATE &&
         status->shm_segsz == static_cast<size_t>(entry->size);
}

// Frees entry i and reports it as it was.
void entry_free(Cleanup &c, int i) {
  if (c.report != nullptr) c.report->entries[i] = c.entries[i];
  ++c.freed;
  entry_clear(&c.entries[i]);
}

// Removes the segment of an entry that the clean-up frees, unless the id now belongs to a
// segment that a live process other than the entry's owner created.
void entry_segment_remove(Cleanup &c, const tamb_shm_registry_t *entry, int32_t owner) {
  shmid_ds status{};
  if (!entry_segment(c, entry, &status)) return;
  int32_t creator = status.shm_cpid;
  if (creator != owner && creator != c.self && tamb::process_alive(creator)) return;
  c.segment_remove(entry->shm_id);
}

// An entry with a size and no owner was left by a process that died while filling it, in a
// build that stored the owner last. Its segment goes when its creator is gone; an entry whose
// id names no such segment holds nothing and is freed. One whose segment a live process made
// is kept: under the lock nobody is filling an entry, so that is damage we cannot explain.
void half_made_entry_clean(Cleanup &c, int i) {
  const tamb_shm_registry_t *entry = &c.entries[i];
  shmid_ds status{};
  if (entry_segment(c, entry, &status)) {
    if (tamb::process_alive(status.shm_cpid)) return;
    c.segment_remove(entry->shm_id);
  }
  entry_free(c, i);
}

bool segment_is_named(const Cleanup &c, int id) {
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    if (c.entries[i].size != 0 && c.entries[i].shm_id == id) return true;
  }
  return false;
}

// Adds an unrecorded segment to the report; when the list cannot grow it stays as it is.
void unrecorded_report(Cleanup &c, int id, const shmid_ds &status) {
  tamb_shm_clean_report_t *report = c.report;
  if (report == nullptr) return;
  if (report->unrecorded_count == c.unrecorded_capacity) {
    int32_t capacity = c.unrecorded_capacity == 0 ? 16 : 2 * c.unrecorded_capacity;
    void *grown =
        realloc(report->unrecorded, sizeof(tamb_shm_segment_t) * static_cast<size_t>(capacity));
    if (grown == nullptr) return;
    report->unrecorded = static_cast<tamb_shm_segment_t *>(grown);
    c.unrecorded_capacity = capacity;
  }
  report->unrecorded[report->unrecorded_count++] = {id, status.shm_cpid, status.shm_segsz,
                                                    static_cast<int64_t>(status.shm_nattch)};
}

// Removes the segments that dead owners created but whose ids never reached their entries
// (killed between shmget and the store of the id). Only private segments of this user, that
// no entry names, whose creator is one of those owners and still gone: a live process's
// segment, another user's, the registry and any keyed segment are left alone.
void unrecorded_segments_remove(Cleanup &c) {
  shm_info usage{};
  int last = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds *>(&usage));
  uid_t user = geteuid();
  for (int slot = 0; slot <= last; ++slot) {
    shmid_ds status{};
    int id = shmctl(slot, SHM_STAT, &status);
    if (id == -1 || status.shm_perm.__key != IPC_PRIVATE) continue;
    if (status.shm_perm.cuid != user || status.shm_perm.uid != user) continue;
    if ((status.shm_perm.mode & SHM_DEST) != 0 || c.removes(id)) continue;
    if (!c.dead.holds(status.shm_cpid) || segment_is_named(c, id)) continue;
    if (tamb::process_alive(status.shm_cpid)) continue;
    unrecorded_report(c, id, status);
    ++c.freed;
    if (!c.dry_run) shmctl(id, IPC_RMID, nullptr);
  }
}

// Entries of dead owners go first, free ones (a mark left before the size was stored)
// included; the segments those owners created and never recorded go after, once no entry of
// theirs names anything.
void entries_clean(Cleanup &c) {
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    const tamb_shm_registry_t *entry = &c.entries[i];
    int32_t owner = entry->owner_pid;
    if (owner == 0) {
      if (entry->size != 0) half_made_entry_clean(c, i);
      continue;
    }
    if (owner != c.self && tamb::process_alive(owner)) continue;
    if (owner != c.self) c.dead.add(owner);
    if (entry->size != 0) entry_segment_remove(c, entry, owner);
    entry_free(c, i);
  }
  if (c.dead.count > 0) unrecorded_segments_remove(c);
}

// Frees the slots of servers that no longer run and reports them as they were.
void servers_clean(Cleanup &c) {
  for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
    tamb_shm_server_t *slot = &tamb_shm_header->servers[i];
    if (slot->pid == 0 || tamb::process_alive(slot->pid)) continue;
    if (c.report != nullptr) c.report->servers[i] = *slot;
    ++c.freed;
    if (!c.dry_run) slot_clear(slot);
  }
}

// The hint names the key the way ipcrm takes it; the text is the server's own and is kept.
void report_registry_replacement_failed(int error) {
  TAMB_ERROR("incompatible shm registry (%s)", strerror(error));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
  TAMB_ERROR("to delete, use `ipcrm -M 0x%0.8x'", TAMB_REGISTRY_IPC_KEY);
#pragma GCC diagnostic pop
}

// Brings the registry into this process for a server: attach a valid one, or create it, or
// replace one that was asked to be replaced, is too small or does not validate.
int registry_prepare_for_server(int new_registry) {
  tamb_shm_lock_registry();
  int access = tamb_access_registry();
  int result = 0;
  if (new_registry || access == ENOENT) {
    registry_forget();
    registry_remove();
    if (tamb_create_registry() != 0) result = ENOMEM;
  } else if (access == 0 && tamb_shm_validate_registry() == 0) {
    result = 0;
  } else if (access == EINVAL || access == 0) {
    registry_forget();
    registry_remove();
    int error = tamb_create_registry();
    if (error != 0) {
      report_registry_replacement_failed(error);
      result = ENOMEM;
    }
  } else {
    result = ENOMEM;
  }
  tamb_shm_unlock_registry();
  return result;
}

}  // namespace

extern "C" {

// A registry that failed validation is detached and forgotten, so that a later call looks at
// it afresh and never reports success for a registry it refused.
TAMB_API int tamb_initialize_shm(const char *server_name) {
  if (tamb_shm_header != nullptr) return 0;
  tamb_set_server_prefix(server_name);
  tamb_shm_lock_registry();
  int result = tamb_access_registry();
  if (result == 0 && tamb_shm_validate_registry() != 0) {
    TAMB_ERROR("Incompatible shm registry, are tambd and libtamb in sync?");
    registry_forget();
    result = -1;
  }
  tamb_shm_unlock_registry();
  return result;
}

TAMB_API int tamb_register_server(const char *server_name, int new_registry) {
  tamb_set_server_prefix(server_name);
  TAMB_INFO("TAMB compiled with %s SHM support.", "System V");
  if (tamb_shm_header == nullptr) {
    int result = registry_prepare_for_server(new_registry);
    if (result != 0) return result;
  }

  tamb_shm_lock_registry();
  int32_t self = getpid();
  tamb_shm_server_t *servers = tamb_shm_header->servers;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
    if (strncmp(servers[i].prefix, tamb_shm_server_prefix, sizeof servers[i].prefix) != 0) {
      continue;
    }
    int32_t pid = servers[i].pid;
    if (pid == self) {
      tamb_shm_unlock_registry();
      return 0;
    }
    // Unlike everywhere else, a holder that refuses the probe (EPERM) counts as dead here: the
    // prefix carries our own user id, so a process we may not signal is another user's that
    // was given the dead holder's id.
    if (pid > 0 && kill(pid, 0) == 0) {
      tamb_shm_unlock_registry();
      return EEXIST;
    }
    slot_clear(&servers[i]);
  }
  for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
    if (servers[i].pid != 0) continue;
    TAMB_CHECK(lock_held);
    servers[i].pid = self;
    strncpy(servers[i].prefix, tamb_shm_server_prefix, sizeof servers[i].prefix);
    tamb_shm_unlock_registry();
    return 0;
  }
  tamb_shm_unlock_registry();
  return ENOSPC;
}

// Without an attached registry there is nothing to free.
TAMB_API int tamb_unregister_server(const char *) {
  if (tamb_shm_header == nullptr) return 0;
  tamb_shm_lock_registry();
  int32_t self = getpid();
  for (tamb_shm_server_t &server : tamb_shm_header->servers) {
    if (server.pid == self) slot_clear(&server);
  }
  tamb_shm_unlock_registry();
  return 0;
}

TAMB_API tamb_shm_registry_t *tamb_get_free_shm_info(void) {
  if (tamb_shm_registry == nullptr) return nullptr;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    if (tamb_shm_registry[i].size == 0) return &tamb_shm_registry[i];
  }
  return nullptr;
}

// The descriptor takes the entry's position rather than the index stored in it: the two agree
// in a sound registry, and a corrupted index must not send the caller to a foreign entry.
TAMB_API int tamb_shmalloc(int32_t size, tamb_shm_info_t *si) {
  if (tamb_shm_registry == nullptr || si == nullptr) return -1;
  tamb_shm_lock_registry();
  tamb_shm_registry_t *entry = tamb_get_free_shm_info();
  if (entry == nullptr) {
    tamb_shm_unlock_registry();
    return -1;
  }
  ptrdiff_t index = entry - tamb_shm_registry;
  TAMB_CHECK(index_is_valid(static_cast<int>(index)));
  TAMB_CHECK(lock_held);
  entry->owner_pid = getpid();
  entry->shm_id = -1;
  kill_order();
  entry->size = size;
  int id = shmget(IPC_PRIVATE, static_cast<size_t>(static_cast<ssize_t>(size)),
                  IPC_CREAT | IPC_EXCL | ipc_permissions);
  if (id == -1) {
    int error = errno;
    entry_clear(entry);
    TAMB_ERROR("cannot create shm segment (%s)", strerror(error));
    tamb_shm_unlock_registry();
    return -1;
  }
  entry->shm_id = id;
  si->index = static_cast<int16_t>(index);
  si->address = TAMB_SHM_NOT_ATTACHED;
  tamb_shm_unlock_registry();
  return 0;
}

// A free entry holds no segment; its cleared shm_id 0 is the id of some other segment (in a
// fresh IPC namespace, the registry itself), which must not be handed out.
TAMB_API int tamb_attach_shm(tamb_shm_info_t *si) {
  if (si == nullptr) return -1;
  si->address = TAMB_SHM_NOT_ATTACHED;
  if (tamb_shm_registry == nullptr || !index_is_valid(si->index)) return -1;
  const tamb_shm_registry_t *entry = &tamb_shm_registry[si->index];
  if (entry->size == 0) return -1;
  void *address = shmat(entry->shm_id, nullptr, 0);
  if (address == reinterpret_cast<void *>(-1)) return -1;
  si->address = address;
  return 0;
}

TAMB_API void tamb_release_shm(tamb_shm_info_t *si) {
  if (si != nullptr && si->address != TAMB_SHM_NOT_ATTACHED) shmdt(si->address);
}

// The owner test is repeated under the lock: between the two, clean-up may have freed the
// entry and another process allocated it, and an entry of another process is never cleared.
TAMB_API void tamb_release_shm_info(int16_t index) {
  if (tamb_shm_registry == nullptr || !index_is_valid(index)) return;
  tamb_shm_registry_t *entry = &tamb_shm_registry[index];
  int32_t self = getpid();
  if (entry->owner_pid != self) return;
  tamb_shm_lock_registry();
  if (entry->owner_pid == self) entry_clear(entry);
  tamb_shm_unlock_registry();
}

// Destroy leaves the descriptor as it was, so destroying it twice is an easy mistake (and so is a
// resize retried after a failure). By then the entry is free and its shm_id 0 names some other
// segment - in a fresh IPC namespace the registry itself - so a free entry removes nothing.
TAMB_API void tamb_destroy_shm(tamb_shm_info_t *si) {
  if (si == nullptr || tamb_shm_registry == nullptr || !index_is_valid(si->index)) return;
  const tamb_shm_registry_t *entry = &tamb_shm_registry[si->index];
  if (entry->size == 0) return;
  shmctl(entry->shm_id, IPC_RMID, nullptr);
  tamb_release_shm_info(si->index);
}

// Once the old segment is detached and destroyed the descriptor names neither, so a failed
// allocation leaves it empty: a retry then neither detaches an address that another attachment
// may have reused nor destroys an entry that may have been handed out again.
TAMB_API int tamb_resize_shm(tamb_shm_info_t *si, int32_t size) {
  if (si == nullptr) return -1;
  tamb_release_shm(si);
  si->address = TAMB_SHM_NOT_ATTACHED;
  tamb_destroy_shm(si);
  si->index = TAMB_SHM_NULL_INDEX;
  if (tamb_shmalloc(size, si) != 0) return -1;
  return tamb_attach_shm(si);
}

TAMB_API int tamb_cleanup_shm(void) {
  if (tamb_shm_registry == nullptr) return 1;
  tamb_shm_lock_registry();
  Cleanup cleanup(false, nullptr);
  entries_clean(cleanup);
  tamb_shm_unlock_registry();
  return 1;
}

TAMB_API int tamb_shm_process_alive(int32_t pid) { return tamb::process_alive(pid) ? 1 : 0; }

TAMB_API int tamb_shm_snapshot(tamb_shm_header_t *header, tamb_shm_registry_t *entries) {
  if (tamb_shm_header == nullptr) return -1;
  tamb_shm_lock_registry();
  if (header != nullptr) memcpy(header, tamb_shm_header, sizeof *header);
  if (entries != nullptr) {
    memcpy(entries, tamb_shm_registry, sizeof *entries * TAMB_REGISTRY_MAX_SEGMENTS);
  }
  tamb_shm_unlock_registry();
  return 0;
}

TAMB_API int tamb_shm_clean(int dry_run, tamb_shm_clean_report_t *report) {
  if (report != nullptr) memset(report, 0, sizeof *report);
  if (tamb_shm_header == nullptr) return -1;
  tamb_shm_lock_registry();
  Cleanup cleanup(dry_run != 0, report);
  servers_clean(cleanup);
  entries_clean(cleanup);
  tamb_shm_unlock_registry();
  return cleanup.freed;
}

}  // extern "C"
