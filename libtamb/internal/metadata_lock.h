// SPDX-License-Identifier: MIT
// The metadata store's lock file, "metadata.lock" beside the database: the store lock every
// database call runs under, and what the processes of a store tell each other through it.
// metadata_lock.cpp keeps this process's mapping of it.
#ifndef TAMB_METADATA_LOCK_H
#define TAMB_METADATA_LOCK_H

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

#include "tamb/hooks.h"

namespace tamb::store {

// The content of "metadata.lock". A process that finds itself the only user sets it up; every
// field is read and written under the mutex.
struct SharedStore {
  pthread_mutex_t mutex;    // the store lock: process-shared and robust
  uint64_t generation;      // bumped by each recovery or healing of the environment
  uint32_t needs_recovery;  // recover_only or recover_and_check until a recovery succeeds
  uint32_t commits;         // commits since the log was last looked at for a checkpoint
};

// What SharedStore::needs_recovery asks for. A holder's death leaves the file as the log can
// make it again. The first process on the store also checks the file with Berkeley DB's
// verifier, since whatever happened to the files while nobody used them (a file cut short, a
// page overwritten) shows nowhere else: Berkeley DB reads pages that are missing as empty.
inline constexpr uint32_t recover_only = 1;
inline constexpr uint32_t recover_and_check = 2;

// Asks for a recovery of the kind what, keeping a check that was asked for.
inline void recovery_ask(SharedStore *store, uint32_t what) {
  if (store->needs_recovery < what) store->needs_recovery = what;
}

// Where the store is: it stays in the server directory of its first opening. A directory whose
// files' paths would be longer than TAMB_PATH_MAX characters holds no store.
struct StorePaths {
  char dir[TAMB_PATH_MAX + 1];      // the environment's home
  char db_path[TAMB_PATH_MAX + 1];  // the database file
};

// The lock file of this process, joined on first use: the mapped SharedStore, or null after
// reporting why it could not be joined (a later call tries again).
SharedStore *store_join();

// Where the store is. Set when the lock file is joined, and read only after that.
const StorePaths &store_paths();

// The lock file this process joined, or null.
SharedStore *store_joined();

// Unmaps the lock file and lets go of the process's hold on it.
void store_leave();

// Takes the store lock: 0, or the mutex's error after reporting it. A holder that died inside
// a call hands the lock on; the environment may then hold its mutexes, its locks and its
// half-made changes, so a recovery is asked for.
int store_acquire(SharedStore *store);

inline void store_release(SharedStore *store) { pthread_mutex_unlock(&store->mutex); }

// Gives the file storage for its first bytes up to length, keeping its size: 0 or the error. A
// file system that cannot allocate ahead is left as it is.
int storage_allocate(int fd, off_t length);

}  // namespace tamb::store

#endif
