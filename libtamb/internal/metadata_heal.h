// SPDX-License-Identifier: MIT
// What the metadata store knows of damage: how Berkeley DB's reports are read (damage, or a
// lack of room, memory or permission), and the steps that heal a damaged store without
// deleting anything of it. metadata_store.cpp decides when to heal and in what order.
#ifndef TAMB_METADATA_HEAL_H
#define TAMB_METADATA_HEAL_H

#include <db.h>

#include <cstddef>
#include <cstdint>

#include "metadata_lock.h"

namespace tamb::store {

// ---- Berkeley DB's reports ----------------------------------------------------------------

// Error callbacks for handles. errors_note passes Berkeley DB's messages to standard error as
// it does without a callback, unless the store is being healed, and notes the system errors
// among them that say the machine lacks something; errors_ignore drops them.
void errors_note(const DB_ENV *env, const char *prefix, const char *message);
void errors_ignore(const DB_ENV *env, const char *prefix, const char *message);

// Forgets the lacks noted so far by this thread's calls.
void lacks_forget();

// Whether a failure of Berkeley DB may come from damaged files, rather than from what the
// machine lacks or from another party's hold on the store.
bool damage_possible(int ret);

// Whether this thread's calls since lacks_forget() met a lack of resources.
bool resources_lacked();

// While set, what Berkeley DB says of the damage is left to the healing's own report.
void quiet_set(bool on_or_off);

// ---- Healing steps ------------------------------------------------------------------------

// Room for the path of something set aside: the server directory, a name and a time.
inline constexpr size_t aside_path_size = TAMB_PATH_MAX + 64;

// Checks the file's structure with Berkeley DB's verifier: 0, DB_VERIFY_BAD, or another
// error. Nobody may use the file meanwhile: the store lock is held and no cache holds a page
// of it that the file lacks.
int file_verify(const StorePaths &paths);

// Moves the environment's files, its regions and its log, into a new folder beside the
// database; folder is left empty when there was nothing to move. 0 or the error.
int env_set_aside(const StorePaths &paths, char folder[aside_path_size]);

// Clears the log positions on the file's pages, so that an environment without its old log
// takes it. 0 or the error.
int file_lsn_reset(const StorePaths &paths);

// Replaces a damaged file with what can be salvaged from it, and keeps the damaged one under a
// new name, damaged. 0 or the error, with the number of properties saved.
int file_salvage(const StorePaths &paths, char damaged[aside_path_size], uint32_t *properties);

}  // namespace tamb::store

#endif
