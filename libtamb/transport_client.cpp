// SPDX-License-Identifier: MIT
// The client's side of time and of the transport.
//
// Positions and the frame timer are read through guarded copies (guarded_copy.h); a client
// writes requested_position the same way, with a fresh id from the control block's atomic
// counter in both guards. Registrations are requests to the server. Fields that the engine
// changes while clients run (the state, the current position's time and rate, the command) are
// read and written with single atomic accesses of their packed members.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "guarded_copy.h"
#include "nonblocking.h"
#include "outside.h"
#include "tamb/clock.h"
#include "tamb/transport.h"
#include "time_units.h"

namespace {

constexpr const char *hung_frame_timer = "hung in loop copying position A";
constexpr const char *hung_position = "hung in loop copying position B";

// Set until the first call of each older entry point in the process has reported.
std::atomic<bool> get_info_first_call{true};
std::atomic<bool> set_info_first_call{true};

// A reading before the process chose its clock takes the system clock.
tamb_time_t clock_now() TAMB_NONBLOCKING {
  tamb_clock_function_t clock = _tamb_get_microseconds;
  // The clock sources read a counter or the vDSO's clock.
  return clock != nullptr ? TAMB_NONBLOCKING_EXEMPT(clock()) : tamb_get_microseconds_from_system();
}

tamb_frame_timer_t frame_timer_read(const tamb_control_t *control) TAMB_NONBLOCKING {
  tamb_frame_timer_t timer;
  tamb::guarded_copy<tamb_frame_timer_t, tamb::frame_timer_try_read>(&control->frame_timer, &timer,
                                                                     hung_frame_timer);
  return timer;
}

// An integral value reduced modulo 2^32, as frame counts wrap. The fmod path is exact and only
// taken far outside any real cycle, where a plain conversion would be undefined.
tamb_nframes_t frames_modulo(double frames) {
  if (!(std::fabs(frames) < 0x1p63)) frames = std::fmod(frames, 0x1p32);
  return static_cast<tamb_nframes_t>(static_cast<int64_t>(frames));
}

// Frames played in elapsed microseconds at rate, estimated in single precision.
tamb_nframes_t frames_in(uint64_t elapsed, uint32_t rate) {
  float frames = static_cast<float>(rate) / static_cast<float>(tamb::usecs_per_sec) *
                 static_cast<float>(elapsed);
  return frames_modulo(std::trunc(static_cast<double>(frames)));
}

uint32_t current_rate(const tamb_control_t *control) {
  return TAMB_LOAD(control->current_position.frame_rate);
}

tamb_time_t cycle_start_time(const tamb_control_t *control) {
  return TAMB_LOAD(control->current_position.usecs);
}

tamb_transport_state_t transport_state(const tamb_control_t *control) {
  return static_cast<tamb_transport_state_t>(TAMB_LOAD(control->transport_state));
}

// Waits until this writer holds the shared record. Another writer holds it for the time of
// one copy; a writer that stays on one head for the whole budget of a guarded copy has died
// midway (or stalls like a dead one), and the record is taken over from it.
[[gnu::noinline]] void position_claim_wait(tamb_position_t *shared, uint64_t id) {
  uint64_t stalled = 0;
  int tries = 0;
  int sleeps = 0;
  for (;;) {
    uint64_t head;
    if (tamb::position_try_claim(shared, id, &head)) return;
    if (head != stalled) {
      stalled = head;
      tries = sleeps = 0;
    }
    if (++tries < tamb::tries_per_sleep) continue;
    tries = 0;
    usleep(tamb::sleep_usecs);
    if (++sleeps < tamb::sleeps_max) continue;
    if (tamb::position_take_over(shared, stalled, id)) return;
    sleeps = 0;
  }
}

// Writes position whole into the shared record: claimed, body, then the tail guard. A writer
// that finds its claim taken over (it stalled as long as a dead one) writes again, so that a
// write that returned is one that completed.
void position_write(tamb_position_t *shared, const tamb_position_t *position) TAMB_NONBLOCKING {
  uint64_t id = position->head_id;
  do {
    uint64_t head;
    // Waits, with bounded sleeps, only while another writer holds the record.
    if (!tamb::position_try_claim(shared, id, &head)) {
      TAMB_NONBLOCKING_EXEMPT(position_claim_wait(shared, id));
    }
    tamb::body_copy(reinterpret_cast<char *>(shared) + tamb::position_body_offset,
                    reinterpret_cast<const char *>(position) + tamb::position_body_offset,
                    tamb::position_body_size);
    std::atomic_thread_fence(std::memory_order_seq_cst);
  } while (TAMB_LOAD(shared->head_id) != id);
  tamb::position_write_close(shared, id);
}

[[gnu::noinline, gnu::cold]] tamb_transport_state_t query_wait(
    const tamb_control_t *control, tamb_position_t *position) TAMB_NONBLOCKING {
  TAMB_NONBLOCKING_EXEMPT(tamb::guarded_copy_wait<tamb_position_t, tamb::position_try_read>(
      &control->current_position, position, hung_position));
  std::atomic_thread_fence(std::memory_order_acquire);
  return transport_state(control);
}

// Gives the position a fresh id and the current cycle's time and rate, and writes it into
// requested_position, where the engine picks it up at the end of the cycle. Writers of the
// record exclude each other, so the engine only ever finds a body that one of them wrote.
void position_request(tamb_control_t *control, tamb_position_t *position) TAMB_NONBLOCKING {
  position->usecs = cycle_start_time(control);
  position->frame_rate = current_rate(control);
  uint64_t id = tamb_generate_unique_id(control);
  position->head_id = id;
  position->tail_id = id;
  position_write(&control->requested_position, position);
}

int request_client_id(tamb_client_t *client, tamb_request_type_t type) {
  tamb_request_t request;
  memset(&request, 0, sizeof request);
  request.type = type;
  request.body.client_id = client->control->uuid;
  return tamb::request_send(client, &request);
}

// What the engine accepted: the callback and its argument, and whether one is set.
void timebase_callback_keep(tamb_client_t *client, tamb_timebase_callback_t callback, void *arg,
                            uint8_t set) {
  client->timebase_callback = callback;
  client->timebase_arg = arg;
  client->control->timebase_cb_set = set;
}

[[gnu::always_inline]] inline tamb_transport_state_t query(const tamb_client_t *client,
                                                           tamb_position_t *position) {
  const tamb_control_t *control = client->engine_control;
  // The first try nearly always succeeds; the retries are a tail call, so the usual path
  // saves no register.
  if (position != nullptr && !tamb::position_try_read(&control->current_position, position)) {
    return query_wait(control, position);
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  return transport_state(control);
}

}  // namespace

TAMB_WIDE_MOVES_EXPORT(tamb_transport_state_t, tamb_transport_query,
                       (const tamb_client_t *client, tamb_position_t *position), (client, position),
                       query)

extern "C" {

// ---- Time and frames ------------------------------------------------------------------------

TAMB_API tamb_time_t tamb_get_time(void) { return clock_now(); }

TAMB_API tamb_nframes_t tamb_frames_since_cycle_start(const tamb_client_t *client) {
  const tamb_control_t *control = client->engine_control;
  tamb_time_t now = clock_now();
  tamb_time_t start = cycle_start_time(control);
  // A clock that reads earlier than the cycle's start (another process's clock source) would
  // wrap the unsigned difference into an enormous count.
  if (now < start) return 0;
  return frames_in(now - start, current_rate(control));
}

TAMB_API int tamb_get_cycle_times(const tamb_client_t *client, tamb_nframes_t *current_frames,
                                  tamb_time_t *current_usecs, tamb_time_t *next_usecs,
                                  float *period_usecs) {
  tamb_frame_timer_t timer = frame_timer_read(client->engine_control);
  if (timer.initialized == 0) return 1;
  *current_frames = timer.cycle_start_frame;
  *current_usecs = timer.cycle_start_usecs;
  *next_usecs = timer.next_cycle_usecs;
  *period_usecs = timer.period_usecs;
  return 0;
}

TAMB_API tamb_nframes_t tamb_time_to_frames(const tamb_client_t *client, tamb_time_t usecs) {
  const tamb_control_t *control = client->engine_control;
  tamb_frame_timer_t timer = frame_timer_read(control);
  if (timer.initialized == 0) return 0;
  auto elapsed = static_cast<int64_t>(usecs - timer.cycle_start_usecs);
  auto period = static_cast<int64_t>(timer.next_cycle_usecs - timer.cycle_start_usecs);
  // A cycle of no length says nothing about the rate; every time belongs to its first frame.
  if (period == 0) return timer.cycle_start_frame;
  double frames =
      static_cast<double>(elapsed) / static_cast<double>(period) * TAMB_LOAD(control->buffer_size) +
      0.5;
  return timer.cycle_start_frame + frames_modulo(std::floor(frames));
}

TAMB_API tamb_nframes_t tamb_frame_time(const tamb_client_t *client) {
  return tamb_time_to_frames(client, clock_now());
}

TAMB_API tamb_nframes_t tamb_last_frame_time(const tamb_client_t *client) {
  return TAMB_LOAD(client->engine_control->frame_timer.cycle_start_frame);
}

TAMB_API tamb_time_t tamb_frames_to_time(const tamb_client_t *client, tamb_nframes_t frame) {
  const tamb_control_t *control = client->engine_control;
  tamb_frame_timer_t timer = frame_timer_read(control);
  if (timer.initialized == 0) return 0;
  auto offset = static_cast<int32_t>(frame - timer.cycle_start_frame);
  auto period = static_cast<int64_t>(timer.next_cycle_usecs - timer.cycle_start_usecs);
  uint32_t buffer_size = TAMB_LOAD(control->buffer_size);
  // Without a cycle length in frames there is no rate to convert with.
  if (buffer_size == 0) return timer.cycle_start_usecs;
  double usecs =
      std::floor(static_cast<double>(offset) * static_cast<double>(period) / buffer_size + 0.5);
  // Only a frame timer holding nonsense yields more than 2^63 microseconds; such a distance is
  // cut to the largest one, where a conversion would be undefined.
  int64_t distance = usecs >= 0x1p63   ? INT64_MAX
                     : usecs < -0x1p63 ? INT64_MIN
                                       : static_cast<int64_t>(usecs);
  return timer.cycle_start_usecs + static_cast<uint64_t>(distance);
}

TAMB_API uint32_t tamb_get_sample_rate(const tamb_client_t *client) {
  return current_rate(client->engine_control);
}

TAMB_API int tamb_set_sample_rate_callback(tamb_client_t *client,
                                           tamb_sample_rate_callback_t callback, void *arg) {
  if (client->control->active) {
    TAMB_ERROR("You cannot set callbacks on an active client.");
    return -1;
  }
  client->sample_rate_arg = arg;
  client->sample_rate_callback = callback;
  client->control->sample_rate_cb_set = callback != nullptr;
  if (callback != nullptr) callback(current_rate(client->engine_control), arg);
  return 0;
}

// ---- Transport --------------------------------------------------------------------------------

TAMB_API uint64_t tamb_generate_unique_id(tamb_control_t *control) {
  uint32_t counter =
      __atomic_fetch_add(TAMB_WORD(control->position_id_counter), 1u, __ATOMIC_SEQ_CST);
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(counter)));
}

TAMB_API void tamb_transport_copy_position(const tamb_position_t *from, tamb_position_t *to) {
  tamb::guarded_copy<tamb_position_t, tamb::position_try_copy>(from, to, hung_position);
}

TAMB_API tamb_nframes_t tamb_get_current_transport_frame(const tamb_client_t *client) {
  tamb_position_t position;
  if (tamb_transport_query(client, &position) != TAMB_TRANSPORT_ROLLING) return position.frame;
  tamb_time_t now = clock_now();
  // A clock behind the position's cycle (another process's clock source) adds nothing.
  if (now < position.usecs) return position.frame;
  return position.frame + frames_in(now - position.usecs, position.frame_rate);
}

TAMB_API int tamb_transport_locate(tamb_client_t *client, tamb_nframes_t frame) {
  // With valid 0 no reader looks at the other fields; zero keeps stack bytes out of shared
  // memory.
  tamb_position_t position;
  memset(&position, 0, sizeof position);
  position.frame = frame;
  position.valid = 0;
  position_request(client->engine_control, &position);
  return 0;
}

TAMB_API int tamb_transport_reposition(tamb_client_t *client, const tamb_position_t *position) {
  if (position == nullptr) return EINVAL;
  tamb_position_t request;
  memcpy(&request, position, sizeof request);
  if ((request.valid & ~uint32_t{TAMB_POSITION_BBT | TAMB_POSITION_EXTRA_MASK}) != 0) {
    return EINVAL;
  }
  position_request(client->engine_control, &request);
  return 0;
}

TAMB_API void tamb_transport_start(tamb_client_t *client) {
  TAMB_STORE(client->engine_control->transport_cmd, TAMB_TRANSPORT_CMD_START);
}

TAMB_API void tamb_transport_stop(tamb_client_t *client) {
  TAMB_STORE(client->engine_control->transport_cmd, TAMB_TRANSPORT_CMD_STOP);
}

TAMB_API int tamb_set_sync_callback(tamb_client_t *client, tamb_sync_callback_t callback,
                                    void *arg) {
  int result = request_client_id(
      client, callback != nullptr ? TAMB_REQ_SYNC_CLIENT_SET : TAMB_REQ_SYNC_CLIENT_RESET);
  if (result != 0) return result;
  client->sync_callback = callback;
  client->sync_arg = arg;
  // "Was set" at some time, also by a withdrawal: the flag records that the client took part.
  client->control->sync_cb_set = 1;
  return 0;
}

TAMB_API int tamb_set_sync_timeout(tamb_client_t *client, tamb_time_t timeout) {
  tamb_request_t request;
  memset(&request, 0, sizeof request);
  request.type = TAMB_REQ_SYNC_TIMEOUT_SET;
  request.body.timeout = timeout;
  return tamb::request_send(client, &request);
}

TAMB_API int tamb_set_timebase_callback(tamb_client_t *client, int conditional,
                                        tamb_timebase_callback_t callback, void *arg) {
  tamb_request_t request;
  memset(&request, 0, sizeof request);
  request.type = TAMB_REQ_TIMEBASE_SET;
  request.body.timebase.client_id = client->control->uuid;
  request.body.timebase.conditional = conditional;
  int result = tamb::request_send(client, &request);
  if (result == 0) timebase_callback_keep(client, callback, arg, 1);
  return result;
}

TAMB_API int tamb_release_timebase(tamb_client_t *client) {
  int result = request_client_id(client, TAMB_REQ_TIMEBASE_RELEASE);
  if (result == 0) timebase_callback_keep(client, nullptr, nullptr, 0);
  return result;
}

TAMB_API void tamb_call_sync_client(tamb_client_t *client) {
  tamb_client_control_t *own = client->control;
  tamb_control_t *control = client->engine_control;
  // The engine changes these flags from its request handlers while this runs: every access is
  // a single atomic one.
  if (!TAMB_LOAD(own->active_slowsync)) return;
  if (!TAMB_LOAD(control->new_position) && !TAMB_LOAD(own->sync_poll) &&
      !TAMB_LOAD(own->sync_poll_new))
    return;
  if (client->sync_callback == nullptr) return;
  // sync_poll_new tells that a poll (re)started since the callback last ran. It is cleared as
  // the callback starts, not after it: a poll that the engine restarts while the callback runs
  // then keeps its flag for the next cycle instead of losing it to a late clear.
  TAMB_STORE(own->sync_poll_new, uint8_t{0});
  // The client's own callback keeps the process thread's rules or breaks them itself.
  int ready = TAMB_NONBLOCKING_EXEMPT(client->sync_callback(
      transport_state(control), &control->current_position, client->sync_arg));
  // The flag is claimed with one exchange, as the server does when it drops the client from
  // the poll, so that of a ready report and a removal at the same moment only one counts the
  // client out. Slow-sync clients may run their cycles in parallel; a plain decrement could
  // lose one of two simultaneous ones and leave the poll waiting for a client that is ready.
  if (ready != 0 && __atomic_exchange_n(TAMB_WORD(own->sync_poll), 0, __ATOMIC_ACQ_REL) != 0) {
    __atomic_fetch_sub(TAMB_WORD(control->sync_remain), 1, __ATOMIC_RELAXED);
  }
}

TAMB_API void tamb_call_timebase_master(tamb_client_t *client) {
  tamb_client_control_t *own = client->control;
  tamb_control_t *control = client->engine_control;
  // The engine's request handlers change the role's flags while this runs.
  if (!TAMB_LOAD(own->timebase_master)) {
    client->timebase_callback = nullptr;
    client->timebase_arg = nullptr;
    TAMB_STORE(own->timebase_cb_set, uint8_t{0});
    return;
  }
  if (client->timebase_callback == nullptr) return;
  tamb_transport_state_t state = transport_state(control);
  int new_position;
  // Taken with one exchange: a handler that sets the flag again meanwhile is not undone.
  if (TAMB_LOAD(own->timebase_new) &&
      __atomic_exchange_n(TAMB_WORD(own->timebase_new), 0, __ATOMIC_RELAXED) != 0) {
    new_position = 1;
  } else {
    new_position = TAMB_LOAD(control->pending_is_new);
    if (state != TAMB_TRANSPORT_ROLLING && new_position == 0) return;
  }
  TAMB_NONBLOCKING_EXEMPT(client->timebase_callback(state, TAMB_LOAD(control->buffer_size),
                                                    &control->pending_position, new_position,
                                                    client->timebase_arg));
}

// ---- Older interface ----------------------------------------------------------------------

TAMB_API int tamb_engine_takeover_timebase(tamb_client_t *) {
  TAMB_ERROR("tamb_engine_takeover_timebase() is no longer supported.");
  return ENOSYS;
}

TAMB_API void tamb_get_transport_info(tamb_client_t *client, tamb_transport_info_t *info) {
  if (get_info_first_call.exchange(false)) TAMB_ERROR("tamb_get_transport_info() is deprecated.");
  if (!pthread_equal(pthread_self(), client->process_thread)) {
    TAMB_ERROR("Invalid thread for tamb_get_transport_info().");
    abort();
  }
  const tamb_control_t *control = client->engine_control;
  const tamb_position_t &position = control->current_position;
  info->frame_rate = position.frame_rate;
  info->usecs = position.usecs;
  info->valid = position.valid | TAMB_TRANSPORT_INFO_STATE | TAMB_TRANSPORT_INFO_POSITION;
  info->transport_state = TAMB_LOAD(control->transport_state);
  info->frame = position.frame;
  if ((position.valid & TAMB_POSITION_BBT) == 0) return;
  info->bar = position.bar;
  info->beat = position.beat;
  info->tick = position.tick;
  info->bar_start_tick = position.bar_start_tick;
  info->beats_per_bar = position.beats_per_bar;
  info->beat_type = position.beat_type;
  info->ticks_per_beat = position.ticks_per_beat;
  info->beats_per_minute = position.beats_per_minute;
}

TAMB_API void tamb_set_transport_info(tamb_client_t *, tamb_transport_info_t *) {
  if (set_info_first_call.exchange(false)) {
    TAMB_ERROR("tamb_set_transport_info() no longer supported.");
  }
}

}  // extern "C"
