// SPDX-License-Identifier: MIT
// The transport engine: the state machine the server runs at the end of every process cycle,
// and the server's side of the timebase master and the slow-sync clients.
//
// The cycle functions run on the server's process thread after every client has finished its
// cycle, so they read what clients wrote during it without locks; a requested position is
// taken only through the guarded copy. The request handlers change the clients' flags under
// the engine's client_lock held for writing, which keeps the client list stable meanwhile.
//
// sync_remain is the one field that clients change while the engine may be changing it too: a
// ready client decrements it on its process thread while a request handler runs on another.
// Both sides change it with atomic read-modify-writes so that neither loses the other's step.
//
// Every other field that a client, a request handler or the process thread reads while another
// of them writes it (the state, the poll's counts and time, the clients' role flags) is read
// and written with single relaxed atomic accesses (shared_word.h): the values are independent,
// and the order between them is the cycle's.

#include "tamb/playhead_server.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "guarded_copy.h"
#include "nonblocking.h"
#include "outside.h"
#include "shared_word.h"
#include "tamb/transport.h"
#include "time_units.h"

// Engine steps are logged only when the server asked for it.
#define ENGINE_TRACE(engine, ...)                   \
  do {                                              \
    if ((engine)->verbose) TAMB_TRACE(__VA_ARGS__); \
  } while (0)

namespace {

// The longest sync poll of a new engine, until the server sets another.
constexpr uint64_t sync_timeout_default = 2 * tamb::usecs_per_sec;

double seconds(uint64_t usecs) {
  return static_cast<double>(usecs) / static_cast<double>(tamb::usecs_per_sec);
}

tamb_client_control_t *control_of(tamb_slist_t *node) {
  return static_cast<tamb_client_internal_t *>(node->data)->control;
}

void client_lock_take(tamb_engine_t *engine) {
  if (pthread_rwlock_wrlock(&engine->client_lock) != 0) {
    TAMB_ERROR("cannot take the engine's client lock");
    abort();
  }
}

void client_lock_give(tamb_engine_t *engine) {
  if (pthread_rwlock_unlock(&engine->client_lock) != 0) {
    TAMB_ERROR("cannot release the engine's client lock");
    abort();
  }
}

tamb_client_internal_t *client_find(tamb_engine_t *engine, tamb_uuid_t client_id) {
  if (tamb_client_internal_by_id == nullptr) return nullptr;
  return tamb_client_internal_by_id(engine, client_id);
}

// Runs change(client) under the client lock with the client of that id, or null when there is
// none, and returns what it returns.
template <typename Change>
int client_change(tamb_engine_t *engine, tamb_uuid_t client_id, Change change) {
  client_lock_take(engine);
  int result = change(client_find(engine, client_id));
  client_lock_give(engine);
  return result;
}

void timebase_flags_clear(tamb_client_control_t *control) {
  TAMB_STORE(control->timebase_master, uint8_t{0});
  TAMB_STORE(control->timebase_new, uint8_t{0});
}

void state_set(tamb_control_t *control, tamb_transport_state_t state) {
  TAMB_STORE(control->transport_state, static_cast<int32_t>(state));
}

void tamb_sync_poll_start(tamb_engine_t *engine) TAMB_NONBLOCKING {
  tamb_control_t *control = engine->control;
  int32_t sync_count = 0;
  for (tamb_slist_t *node = engine->clients; node != nullptr; node = node->next) {
    tamb_client_control_t *client = control_of(node);
    if (TAMB_LOAD(client->active_slowsync)) {
      TAMB_STORE(client->sync_poll, uint8_t{1});
      ++sync_count;
    }
  }
  TAMB_CHECK_AS(sync_count == TAMB_LOAD(engine->control->sync_clients),
                "sync_count == engine->control->sync_clients");
  uint64_t timeout = tamb::sync_timeout_load(control);
  TAMB_STORE(control->sync_remain, sync_count);
  TAMB_STORE(control->sync_time_left, timeout);
  ENGINE_TRACE(engine, "transport Starting, sync poll of %u clients for %8.6f secs",
               static_cast<unsigned>(sync_count), seconds(timeout));
}

void tamb_sync_poll_stop(tamb_engine_t *engine) TAMB_NONBLOCKING {
  tamb_control_t *control = engine->control;
  int32_t poll_count = 0;
  for (tamb_slist_t *node = engine->clients; node != nullptr; node = node->next) {
    tamb_client_control_t *client = control_of(node);
    if (TAMB_LOAD(client->active_slowsync) && TAMB_LOAD(client->sync_poll)) {
      TAMB_STORE(client->sync_poll, uint8_t{0});
      ++poll_count;
    }
  }
  int32_t sync_remain = TAMB_LOAD(engine->control->sync_remain);
  TAMB_CHECK_AS(poll_count == sync_remain, "poll_count == engine->control->sync_remain");
  ENGINE_TRACE(engine, "sync poll halted with %u clients and %8.6f secs remaining",
               static_cast<unsigned>(sync_remain), seconds(TAMB_LOAD(control->sync_time_left)));
  TAMB_STORE(control->sync_remain, 0);
  TAMB_STORE(control->sync_time_left, uint64_t{0});
}

void tamb_sync_poll_deactivate(tamb_engine_t *engine, tamb_client_control_t *client) {
  tamb_control_t *control = engine->control;
  // Claimed with one exchange: the client may be reporting ready at this very moment, and only
  // one of the two may count it out of sync_remain.
  if (__atomic_exchange_n(TAMB_WORD(client->sync_poll), 0, __ATOMIC_ACQ_REL) != 0) {
    TAMB_STORE(client->sync_poll_new, uint8_t{0});
    int32_t sync_remain = __atomic_sub_fetch(TAMB_WORD(control->sync_remain), 1, __ATOMIC_RELAXED);
    TAMB_CHECK(sync_remain >= 0);
    ENGINE_TRACE(engine, "sync poll interrupted for client %s", client->name);
  }
  TAMB_STORE(client->active_slowsync, uint8_t{0});
  int32_t sync_clients = __atomic_sub_fetch(TAMB_WORD(control->sync_clients), 1, __ATOMIC_RELAXED);
  TAMB_CHECK_AS(sync_clients >= 0, "engine->control->sync_clients >= 0");
}

// Puts a slow-sync client into the running poll, or starts one; a rolling transport waits.
void sync_client_poll(tamb_engine_t *engine, tamb_client_control_t *client) {
  tamb_control_t *control = engine->control;
  TAMB_STORE(control->sync_time_left, tamb::sync_timeout_load(control));
  TAMB_STORE(client->sync_poll_new, uint8_t{1});
  // Counted in before the flag is raised: a client that sees the flag may count itself out at
  // once, and sync_remain must never dip below the clients it counts.
  if (!TAMB_LOAD(client->sync_poll)) {
    __atomic_fetch_add(TAMB_WORD(control->sync_remain), 1, __ATOMIC_RELAXED);
    __atomic_store_n(TAMB_WORD(client->sync_poll), 1, __ATOMIC_RELEASE);
  }
  if (TAMB_LOAD(control->transport_state) == TAMB_TRANSPORT_ROLLING) {
    state_set(control, TAMB_TRANSPORT_STARTING);
    ENGINE_TRACE(engine, "force transport state to Starting");
  }
  ENGINE_TRACE(engine, "polling sync client %s", client->name);
}

// A slow-sync client joins sync_clients; the count is changed by one atomic step because the
// server may activate one client while a request handler registers another.
void sync_client_count_in(tamb_control_t *control, tamb_client_control_t *client) {
  TAMB_STORE(client->active_slowsync, uint8_t{1});
  __atomic_fetch_add(TAMB_WORD(control->sync_clients), 1, __ATOMIC_RELAXED);
}

[[gnu::always_inline]] inline void advance(tamb_control_t *control) {
  control->pending_position.frame = control->current_position.frame + control->buffer_size;
}

void stop(tamb_engine_t *engine) {
  state_set(engine->control, TAMB_TRANSPORT_STOPPED);
  ENGINE_TRACE(engine, "transport Stopped");
  if (TAMB_LOAD(engine->control->sync_remain) != 0) tamb_sync_poll_stop(engine);
}

void roll(tamb_engine_t *engine) {
  state_set(engine->control, TAMB_TRANSPORT_ROLLING);
  ENGINE_TRACE(engine, "transport Rolling");
  advance(engine->control);
}

void start_polling(tamb_engine_t *engine) {
  state_set(engine->control, TAMB_TRANSPORT_STARTING);
  tamb_sync_poll_start(engine);
}

// The pending position becomes the current one, with this cycle's time and rate and the frame
// next_frame; pending_position keeps the time and rate and takes pending_frame. Clients read
// current_position on any thread, so it is written under a new guard that carries the pending
// position's id. The fields set here are stored into both records rather than copied across:
// loading them back right after the narrow stores would stall the wide loads of the copy,
// doubling its cost.
[[gnu::always_inline]] inline void cycle_promote(tamb_control_t *control, uint32_t pending_frame) {
  tamb_position_t *pending = &control->pending_position;
  tamb_position_t *current = &control->current_position;
  pending->usecs = current->usecs;
  pending->frame_rate = current->frame_rate;
  pending->frame = pending_frame;
  uint64_t guard = tamb::position_next_guard(current, pending->head_id);
  tamb::position_write_open(current, guard);
  current->frame = control->next_frame;
  constexpr size_t rest = offsetof(tamb_position_t, valid);
  memcpy(reinterpret_cast<char *>(current) + rest, reinterpret_cast<const char *>(pending) + rest,
         offsetof(tamb_position_t, tail_id) - rest);
  tamb::position_write_close(current, guard);
}

// One field of current_position changed under a new guard that keeps the position's id.
// Clients also read the time and the rate alone, without the guards, so change stores the
// field with a single atomic store.
template <typename Change>
void current_position_change(tamb_control_t *control, Change change) {
  tamb_position_t *current = &control->current_position;
  uint64_t guard = tamb::position_next_guard(current, TAMB_LOAD(current->head_id));
  tamb::position_write_open(current, guard);
  change(current);
  tamb::position_write_close(current, guard);
}

void poll_timed_out(tamb_engine_t *engine) {
  tamb_control_t *control = engine->control;
  ENGINE_TRACE(engine, "transport sync timeout");
  TAMB_STORE(control->sync_time_left, uint64_t{0});
  state_set(control, TAMB_TRANSPORT_ROLLING);
  ENGINE_TRACE(engine, "transport Rolling, %8.6f sec left for poll", seconds(0));
}

// Without a sample rate a cycle has no length, and a poll that cannot be timed would keep the
// transport waiting for good; such a poll ends at once as timed out.
void cycle_sync_progress(tamb_engine_t *engine) {
  tamb_control_t *control = engine->control;
  if (TAMB_LOAD(control->transport_state) != TAMB_TRANSPORT_STARTING) return;
  uint64_t time_left = TAMB_LOAD(control->sync_time_left);
  if (TAMB_LOAD(control->sync_remain) == 0) {
    state_set(control, TAMB_TRANSPORT_ROLLING);
    ENGINE_TRACE(engine, "transport Rolling, %8.6f sec left for poll", seconds(time_left));
    return;
  }
  uint32_t rate = TAMB_LOAD(control->current_position.frame_rate);
  if (rate == 0) {
    poll_timed_out(engine);
    return;
  }
  uint64_t cycle_usecs = static_cast<uint64_t>(control->buffer_size) * tamb::usecs_per_sec / rate;
  if (cycle_usecs < time_left) {
    TAMB_STORE(control->sync_time_left, time_left - cycle_usecs);
  } else {
    poll_timed_out(engine);
  }
}

void cycle_command(tamb_engine_t *engine) TAMB_NONBLOCKING {
  tamb_control_t *control = engine->control;
  // Clients store the command at any moment: read it once, so that the test and the copy
  // below see the same value.
  int32_t command = TAMB_LOAD(control->transport_cmd);
  bool is_new = command != control->previous_cmd;
  if (is_new) {
    control->previous_cmd = command;
    ENGINE_TRACE(engine, "transport command: %s",
                 command == TAMB_TRANSPORT_CMD_START ? "START" : "STOP");
  }
  bool start = is_new && command == TAMB_TRANSPORT_CMD_START;
  bool halt = is_new && command == TAMB_TRANSPORT_CMD_STOP;
  bool relocated = control->new_position != 0;
  bool slow_clients = TAMB_LOAD(control->sync_clients) > 0;
  int32_t state = TAMB_LOAD(control->transport_state);

  switch (state) {
    case TAMB_TRANSPORT_STOPPED:
      if (start && slow_clients) {
        start_polling(engine);
      } else if (start) {
        roll(engine);
      }
      break;
    case TAMB_TRANSPORT_ROLLING:
      if (halt) {
        stop(engine);
      } else if (relocated && slow_clients) {
        start_polling(engine);
      } else {
        advance(control);
      }
      break;
    case TAMB_TRANSPORT_STARTING:
      if (halt) {
        stop(engine);
      } else if (relocated && slow_clients) {
        start_polling(engine);
      } else if (relocated) {
        roll(engine);
      }
      break;
    default:
      // An error report: the engine's state is broken already.
      TAMB_NONBLOCKING_EXEMPT(
          TAMB_ERROR("invalid TAMB transport state: %d", static_cast<int>(state)));
      break;
  }
}

// A request found half written is left for a later cycle end: the process thread never waits
// for a client. One that stays so for longer than the sync timeout (its writer died midway) is
// reported once; the next complete request of any client is taken as usual.
[[gnu::cold, gnu::noinline]] void request_stalled(tamb_engine_t *engine,
                                                  uint64_t requested_id) TAMB_NONBLOCKING {
  tamb_control_t *control = engine->control;
  tamb_time_t now = control->current_position.usecs;
  if (!engine->request_stalled) {
    engine->request_stalled = 1;
    engine->request_stalled_reported = 0;
    engine->request_stalled_since = now;
    return;
  }
  if (engine->request_stalled_reported ||
      now - engine->request_stalled_since <= tamb::sync_timeout_load(control))
    return;
  engine->request_stalled_reported = 1;
  // Reported once per stalled request, as an error.
  TAMB_NONBLOCKING_EXEMPT(TAMB_ERROR(
      "requested position 0x%lx half written for %8.6f secs; waiting for a complete one",
      static_cast<unsigned long>(requested_id), seconds(now - engine->request_stalled_since)));
}

[[gnu::noinline]] void request_take(tamb_engine_t *engine, uint64_t requested_id) {
  tamb_control_t *control = engine->control;
  tamb_position_t copy;
  if (!tamb::position_try_read(&control->requested_position, &copy)) {
    request_stalled(engine, requested_id);
    return;
  }
  engine->request_stalled = 0;
  memcpy(&control->pending_position, &copy, sizeof copy);
  ENGINE_TRACE(engine, "new transport position: %u, id=0x%lx",
               static_cast<unsigned>(control->pending_position.frame),
               static_cast<unsigned long>(control->pending_position.head_id));
  TAMB_STORE(control->pending_is_new, uint8_t{1});
  control->last_request_id = copy.head_id;
}

void cycle_takeover(tamb_engine_t *engine) {
  tamb_control_t *control = engine->control;
  TAMB_STORE(control->pending_is_new, uint8_t{0});
  // A client may be writing the request right now; its head guard is only a hint, the guarded
  // copy decides what is taken.
  uint64_t requested_id = TAMB_LOAD(control->requested_position.head_id);
  if (requested_id != control->last_request_id) request_take(engine, requested_id);
  control->next_frame = control->pending_position.frame;
}

// Most cycle ends find nothing to do but move on: the transport stopped or rolling, no new
// command, no newly requested position waiting to become current or to be taken. Nothing the
// promotion changes decides this.
[[gnu::always_inline]] inline bool cycle_is_quiet(const tamb_control_t *control) {
  int32_t state = TAMB_LOAD(control->transport_state);
  return (state == TAMB_TRANSPORT_ROLLING || state == TAMB_TRANSPORT_STOPPED) &&
         TAMB_LOAD(control->transport_cmd) == control->previous_cmd && !control->pending_is_new &&
         TAMB_LOAD(control->requested_position.head_id) == control->last_request_id;
}

// Poll progress, command and state, takeover: the cycle end after the promotion.
[[gnu::noinline]] void cycle_steps(tamb_engine_t *engine) {
  cycle_sync_progress(engine);
  cycle_command(engine);
  cycle_takeover(engine);
}

[[gnu::always_inline]] inline void cycle_end(tamb_engine_t *engine) {
  tamb_control_t *control = engine->control;
  if (!cycle_is_quiet(control)) {
    cycle_promote(control, control->next_frame);
    TAMB_STORE(control->new_position, control->pending_is_new);
    cycle_steps(engine);
    return;
  }
  // What the four steps do when the cycle is quiet, with the stores that would change nothing
  // left out: new_position takes pending_is_new, which is 0; a rolling transport advances the
  // pending frame, which becomes the next frame; a standing one leaves both where they are.
  bool rolling = TAMB_LOAD(control->transport_state) == TAMB_TRANSPORT_ROLLING;
  uint32_t next_frame = control->next_frame;
  uint32_t pending_frame = rolling ? next_frame + control->buffer_size : next_frame;
  cycle_promote(control, pending_frame);
  if (control->new_position) TAMB_STORE(control->new_position, uint8_t{0});
  if (rolling) control->next_frame = pending_frame;
}

}  // namespace

TAMB_WIDE_MOVES_EXPORT(void, tamb_transport_cycle_end, (tamb_engine_t * engine), (engine),
                       cycle_end)

extern "C" {

TAMB_API int tamb_transport_init(tamb_engine_t *engine) {
  tamb_control_t *control = engine->control;
  engine->timebase_client = nullptr;
  engine->request_stalled = 0;
  engine->request_stalled_reported = 0;
  engine->request_stalled_since = 0;
  control->transport_cmd = TAMB_TRANSPORT_CMD_STOP;
  control->previous_cmd = TAMB_TRANSPORT_CMD_STOP;
  control->transport_state = TAMB_TRANSPORT_STOPPED;
  memset(&control->current_position, 0, sizeof(tamb_position_t));
  memset(&control->pending_position, 0, sizeof(tamb_position_t));
  memset(&control->requested_position, 0, sizeof(tamb_position_t));
  control->last_request_id = 0;
  control->position_id_counter = 1;
  control->new_position = 0;
  control->pending_is_new = 0;
  control->next_frame = 0;
  control->sync_clients = 0;
  control->sync_remain = 0;
  control->sync_timeout = sync_timeout_default;
  control->sync_time_left = 0;
  return 0;
}

TAMB_API void tamb_transport_cycle_start(tamb_engine_t *engine, tamb_time_t usecs) {
  current_position_change(engine->control,
                          [usecs](tamb_position_t *current) { TAMB_STORE(current->usecs, usecs); });
}

TAMB_API int tamb_set_sample_rate(tamb_engine_t *engine, uint32_t sample_rate) {
  current_position_change(engine->control, [sample_rate](tamb_position_t *current) {
    TAMB_STORE(current->frame_rate, sample_rate);
  });
  engine->control->pending_position.frame_rate = sample_rate;
  return 0;
}

TAMB_API int tamb_timebase_set(tamb_engine_t *engine, tamb_uuid_t client_id, int conditional) {
  return client_change(engine, client_id, [&](tamb_client_internal_t *client) {
    tamb_client_internal_t *master = engine->timebase_client;
    if (client == nullptr) {
      ENGINE_TRACE(engine, " %u no longer exists", static_cast<unsigned>(client_id));
      return EINVAL;
    }
    if (conditional && master == client) {
      ENGINE_TRACE(engine, " %s was already timebase master:", client->control->name);
      return 0;
    }
    if (conditional && master != nullptr) {
      ENGINE_TRACE(engine, "conditional timebase for %s failed", client->control->name);
      ENGINE_TRACE(engine, " %s is already the master", master->control->name);
      return EBUSY;
    }
    if (master != nullptr) timebase_flags_clear(master->control);
    engine->timebase_client = client;
    TAMB_STORE(client->control->timebase_master, uint8_t{1});
    if (client->control->active) TAMB_STORE(client->control->timebase_new, uint8_t{1});
    ENGINE_TRACE(engine, "new timebase master: %s", client->control->name);
    return 0;
  });
}

TAMB_API int tamb_timebase_reset(tamb_engine_t *engine, tamb_uuid_t client_id) {
  return client_change(engine, client_id, [engine](tamb_client_internal_t *client) {
    if (client == nullptr || client != engine->timebase_client) return EINVAL;
    timebase_flags_clear(client->control);
    engine->timebase_client = nullptr;
    engine->control->pending_position.valid = 0;
    ENGINE_TRACE(engine, "%s resigned as timebase master", client->control->name);
    return 0;
  });
}

TAMB_API int tamb_transport_client_set_sync(tamb_engine_t *engine, tamb_uuid_t client_id) {
  return client_change(engine, client_id, [engine](tamb_client_internal_t *client) {
    if (client == nullptr) return EINVAL;
    tamb_client_control_t *flags = client->control;
    if (!TAMB_LOAD(flags->slowsync)) {
      TAMB_STORE(flags->slowsync, uint8_t{1});
      if (flags->active) sync_client_count_in(engine->control, flags);
    }
    if (TAMB_LOAD(flags->active_slowsync)) sync_client_poll(engine, flags);
    return 0;
  });
}

TAMB_API int tamb_transport_client_reset_sync(tamb_engine_t *engine, tamb_uuid_t client_id) {
  return client_change(engine, client_id, [engine](tamb_client_internal_t *client) {
    if (client == nullptr || !TAMB_LOAD(client->control->slowsync)) return EINVAL;
    if (TAMB_LOAD(client->control->active_slowsync)) {
      tamb_sync_poll_deactivate(engine, client->control);
    }
    TAMB_STORE(client->control->slowsync, uint8_t{0});
    return 0;
  });
}

TAMB_API int tamb_transport_set_sync_timeout(tamb_engine_t *engine, tamb_time_t usecs) {
  tamb::sync_timeout_store(engine->control, usecs);
  ENGINE_TRACE(engine, "new sync timeout: %8.6f secs", seconds(usecs));
  return 0;
}

TAMB_API void tamb_transport_client_new(tamb_client_internal_t *client) {
  tamb_client_control_t *flags = client->control;
  timebase_flags_clear(flags);
  TAMB_STORE(flags->slowsync, uint8_t{0});
  TAMB_STORE(flags->active_slowsync, uint8_t{0});
  TAMB_STORE(flags->sync_poll, uint8_t{0});
  TAMB_STORE(flags->sync_poll_new, uint8_t{0});
  flags->sync_cb_set = 0;
  flags->timebase_cb_set = 0;
}

TAMB_API void tamb_transport_activate(tamb_engine_t *engine, tamb_client_internal_t *client) {
  if (TAMB_LOAD(client->control->slowsync)) {
    TAMB_CHECK_AS(!TAMB_LOAD(client->control->active_slowsync),
                  "!client->control->active_slowsync");
    sync_client_count_in(engine->control, client->control);
    sync_client_poll(engine, client->control);
  }
  if (TAMB_LOAD(client->control->timebase_master)) {
    TAMB_STORE(client->control->timebase_new, uint8_t{1});
  }
}

TAMB_API void tamb_transport_client_exit(tamb_engine_t *engine, tamb_client_internal_t *client) {
  tamb_client_control_t *flags = client->control;
  if (client == engine->timebase_client) {
    if (flags->exiting) {
      timebase_flags_clear(flags);
      engine->timebase_client = nullptr;
      ENGINE_TRACE(engine, "timebase master exit");
    }
    current_position_change(engine->control, [](tamb_position_t *current) { current->valid = 0; });
    engine->control->pending_position.valid = 0;
  }
  if (TAMB_LOAD(flags->slowsync)) {
    if (TAMB_LOAD(flags->active_slowsync)) tamb_sync_poll_deactivate(engine, flags);
    if (flags->exiting) TAMB_STORE(flags->slowsync, uint8_t{0});
  }
}

}  // extern "C"
