// SPDX-License-Identifier: MIT
// The metadata store's session: what the property calls hold while they use the database, and
// how they run a database call so that it survives deadlocks, processes killed beside it and
// damage to the files. metadata_store.cpp keeps the store itself and hands out its handles
// only through a session.
#ifndef TAMB_METADATA_STORE_H
#define TAMB_METADATA_STORE_H

#include <db.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace tamb::store {

struct SharedStore;

// Holds the store for one call: takes the store lock and brings the handles up to date,
// recovering or healing the store when it needs it.
class Session {
 public:
  Session();
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  bool open() const { return open_; }

  // The open environment and database, valid while open() is true. A call that the session
  // ran again after a recovery or healing must take them anew: they may have been replaced.
  DB_ENV *environment() const;
  DB *database() const;

  // After a call that returned ret: true when the environment failed under it, or the file
  // turned out damaged, and the store has been recovered or healed for another try.
  bool recovered_from(int ret);

  // Counts a commit and takes a checkpoint once enough log has gathered.
  void committed();

 private:
  SharedStore *store_ = nullptr;
  bool open_ = false;
  int recoveries_ = 0;
  bool healed_ = false;
};

// A deadlock victim waits a little longer each time; the detector guarantees progress to one
// of the parties, so the limit is only a safety net against a foreign process gone wild.
inline constexpr int deadlock_retries = 200;
// The first wait, in microseconds, doubled for each of the first few retries.
inline constexpr unsigned deadlock_first_wait_us = 100;
inline constexpr int deadlock_doublings = 4;

inline void deadlock_backoff(int attempt) {
  usleep(deadlock_first_wait_us << std::min(attempt, deadlock_doublings));
}

// Runs one database call until the deadlock detector stops picking it as the victim, and again
// after the store was recovered or healed under it.
template <typename Call>
int store_call(Session &session, Call call) {
  int ret;
  do {
    ret = call();
    for (int attempt = 0; ret == DB_LOCK_DEADLOCK && attempt < deadlock_retries; ++attempt) {
      deadlock_backoff(attempt);
      ret = call();
    }
  } while (session.recovered_from(ret));
  return ret;
}

// Runs change(txn) in a transaction of its own, committed when change returns 0 and aborted
// otherwise, and again as store_call does.
template <typename Change>
int transaction_run(Session &session, Change change) {
  return store_call(session, [&] {
    DB_ENV *env = session.environment();
    DB_TXN *txn = nullptr;
    int ret = env->txn_begin(env, nullptr, &txn, 0);
    if (ret != 0) return ret;
    ret = change(txn);
    if (ret != 0) {
      txn->abort(txn);
      return ret;
    }
    ret = txn->commit(txn, 0);
    if (ret == 0) session.committed();
    return ret;
  });
}

}  // namespace tamb::store

#endif
