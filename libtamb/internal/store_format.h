// SPDX-License-Identifier: MIT
// The metadata store's format on disk: the Berkeley DB environment in the server directory, the
// hash database and the lock file beside it, the names of what healing sets aside, and the form
// of a stored key. What opens the store
// from outside the module (to read or write raw records, to check the file, to compare with it)
// opens it with these.
#ifndef TAMB_STORE_FORMAT_H
#define TAMB_STORE_FORMAT_H

#include <db.h>

#include <cstddef>
#include <cstdint>

#include "tamb/uuid.h"

namespace tamb::store {

// The environment's subsystems without transactions: enough to join the environment of a store
// in use, or to open a store of the same format that does without them.
inline constexpr uint32_t env_base_flags = DB_CREATE | DB_INIT_LOCK | DB_INIT_MPOOL | DB_THREAD;
// The module commits each change in a transaction of its own, whose log outlives a killed
// process.
inline constexpr uint32_t env_flags = env_base_flags | DB_INIT_TXN | DB_INIT_LOG;
inline constexpr uint32_t db_base_flags = DB_CREATE | DB_THREAD;
inline constexpr uint32_t db_flags = db_base_flags | DB_AUTO_COMMIT;
inline constexpr int db_mode = 0666;
inline constexpr const char *db_file = "metadata.db";
inline constexpr const char *lock_file = "metadata.lock";
// What healing sets aside, never deletes: "<prefix>-<UTC time>" beside the database, a folder
// holding the environment's files (regions "__db.*", logs "log.*") or the damaged file itself.
inline constexpr const char *env_damaged_prefix = "metadata.env.damaged";
inline constexpr const char *db_damaged_prefix = "metadata.db.damaged";

// A dirty page can leave the cache only once the log is flushed to the disk up to its last
// change, so the cache holds a store of some ten thousand properties whole.
inline constexpr uint32_t cache_bytes = 8u << 20;
inline constexpr uint32_t log_file_bytes = 1u << 20;
// A checkpoint writes every dirty page and flushes the file: it comes after this much log,
// which a recovery replays in a fraction of a second. The log is looked at every so many
// commits, counted over all processes.
inline constexpr uint32_t checkpoint_kbytes = 8u << 10;
inline constexpr uint32_t checkpoint_check_commits = 256;

// A stored key: the subject text zero-padded to subject_text_size bytes, then key and NUL.
inline constexpr size_t subject_text_size = TAMB_UUID_STRING_SIZE;

}  // namespace tamb::store

#endif
