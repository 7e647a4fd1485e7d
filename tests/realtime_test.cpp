// SPDX-License-Identifier: MIT
// What a process thread does is real-time safe, proven by tools over a realistic cycle: one
// server engine and four clients (a timebase master, a slow-sync client, a source that moves the
// transport and a mixer), audio and MIDI ports with none, one and three connections, every time
// query and conversion on every client, locates and repositions while rolling and the engine's
// tracing on for part of the run. The same 10,000 cycles run under RealtimeSanitizer (clang with
// -fsanitize=realtime), under a seccomp filter that traps every system call, and under the heap
// and lock counters. Each proof also shows that it can fail: a writer that stalls midway makes
// the guarded copy sleep, and that sleep is what the tools catch.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine_checks.h"
#include "kit.h"
#include "kit_cycle.h"
#include "shared_word.h"
#include "support.h"
#include "tamb/tamb.h"

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#define REALTIME_SANITIZER 1
#endif
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer) || __has_feature(realtime_sanitizer)
#define SANITIZER_OWNS_INTERCEPTS 1
#endif
#if __has_feature(thread_sanitizer)
#define THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(TAMB_SANITIZE)
#define SANITIZER_OWNS_INTERCEPTS 1
#endif
#if defined(__SANITIZE_THREAD__)
#define THREAD_SANITIZER 1
#endif

#if defined(REALTIME_SANITIZER)
#include <sanitizer/rtsan_interface.h>

// The runtime's entry points for a real-time context; the installed header declares only the
// disabler.
extern "C" void __rtsan_realtime_enter();
extern "C" void __rtsan_realtime_exit();
#endif

namespace {

// ---- Lock counter ---------------------------------------------------------------------------
//
// Counts the calling thread's pthread mutex and rwlock acquisitions by standing in for their
// entry points in this binary, as the heap counter does for the allocator: the library's calls
// resolve here first. A sanitizer's runtime defines these names itself (RealtimeSanitizer
// reports them), so there it is left out.

__thread uint64_t lock_calls = 0;

}  // namespace

#if !defined(SANITIZER_OWNS_INTERCEPTS)
namespace {

// The C library's own entry point, looked up on first use: other initialisers may lock before
// this file's run.
template <typename Function>
Function Real(std::atomic<Function> *slot, const char *name) {
  Function real = slot->load(std::memory_order_relaxed);
  if (real == nullptr) {
    real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    slot->store(real, std::memory_order_relaxed);
  }
  return real;
}

#define LOCK_COUNTED(name, type)                       \
  extern "C" int name(type *lock) noexcept {           \
    static std::atomic<int (*)(type *)> real{nullptr}; \
    ++lock_calls;                                      \
    return Real(&real, #name)(lock);                   \
  }

}  // namespace

LOCK_COUNTED(pthread_mutex_lock, pthread_mutex_t)
LOCK_COUNTED(pthread_mutex_trylock, pthread_mutex_t)
LOCK_COUNTED(pthread_rwlock_rdlock, pthread_rwlock_t)
LOCK_COUNTED(pthread_rwlock_wrlock, pthread_rwlock_t)
LOCK_COUNTED(pthread_rwlock_tryrdlock, pthread_rwlock_t)
LOCK_COUNTED(pthread_rwlock_trywrlock, pthread_rwlock_t)
#endif

namespace {

constexpr bool kLockCounterAvailable =
#if defined(SANITIZER_OWNS_INTERCEPTS)
    false;
#else
    true;
#endif

// ---- Real-time context ----------------------------------------------------------------------

// Marks the lifetime of the object as a real-time context for RealtimeSanitizer: an allocation,
// a lock or a blocking call inside it is reported. Nothing in other builds.
class RealtimeScope {
 public:
  RealtimeScope() {
#if defined(REALTIME_SANITIZER)
    __rtsan_realtime_enter();
#endif
  }
  ~RealtimeScope() {
#if defined(REALTIME_SANITIZER)
    __rtsan_realtime_exit();
#endif
  }
  RealtimeScope(const RealtimeScope &) = delete;
  RealtimeScope &operator=(const RealtimeScope &) = delete;
};

// Silences RealtimeSanitizer for the lifetime of the object; nothing in other builds.
#if defined(REALTIME_SANITIZER)
using SanitizerQuiet = __rtsan::ScopedDisabler;
#else
struct SanitizerQuiet {};
#endif

// ---- The scenario ---------------------------------------------------------------------------

constexpr uint32_t kRate = 48000;
constexpr uint32_t kFrames = 256;
constexpr int kCycles = 10000;
// The cycle's length in microseconds, as the frame timer holds it.
constexpr double kPeriodUsecs = kFrames * 1e6 / kRate;

// The transport's schedule, in cycles: start, a locate or a reposition every kMoveEvery cycles
// while rolling (locates and repositions take turns), a stop and a restart near the end, and the
// engine's tracing on for a stretch in the middle.
constexpr int kStartAt = 5;
constexpr int kMoveEvery = 200;
constexpr int kStopAt = 9450;
constexpr int kRestartAt = 9550;
constexpr int kTraceFrom = 3000;
constexpr int kTraceTo = 5000;

// The slow-sync client is ready on the third call of every poll.
constexpr int kSyncCalls = 3;

constexpr double kBpm = 120;
constexpr double kTicksPerBeat = 1920;

// Requests the schedule makes: one every kMoveEvery cycles from kMoveEvery on.
constexpr int kRequests = (kCycles - 1) / kMoveEvery;
// Polls: one per start and one per relocation while rolling.
constexpr int kPolls = 2 + kRequests;
// Trace lines per relocation: the request taken, the poll started, the poll ended.
constexpr int kTracesPerMove = 3;

// Musical position of a frame in 4/4 at kBpm, as the timebase master computes it.
struct Bbt {
  int32_t bar, beat, tick;
};

Bbt BbtAt(tamb_nframes_t frame) {
  auto per_beat = static_cast<uint64_t>(kRate * 60 / kBpm);
  uint64_t beats = frame / per_beat;
  return {static_cast<int32_t>(beats / 4 + 1), static_cast<int32_t>(beats % 4 + 1),
          static_cast<int32_t>(static_cast<double>(frame % per_beat) * kTicksPerBeat /
                               static_cast<double>(per_beat))};
}

// The three sources' MIDI events per cycle: (time, size) of source k's event j. Source 1's
// second event is longer than four bytes and lives out of line. Sources 0 and 1 share times, so
// the merge must keep them in connection order.
struct EventShape {
  tamb_nframes_t time;
  uint16_t size;
};
constexpr int kEventsPerSource = 2;
constexpr EventShape kEvents[3][kEventsPerSource] = {
    {{0, 3}, {100, 3}}, {{0, 3}, {100, 6}}, {{50, 3}, {kFrames - 1, 3}}};

// The bytes of source k's event j in cycle n; size is 3 or 6.
void EventBytes(int k, int j, int n, uint16_t size, uint8_t *out) {
  auto low = static_cast<uint8_t>(n & 0x7f);
  if (size == 3) {
    out[0] = static_cast<uint8_t>(0x90 | k);
    out[1] = static_cast<uint8_t>(j);
    out[2] = low;
    return;
  }
  const uint8_t sysex[6] = {0xf0,
                            static_cast<uint8_t>(k),
                            static_cast<uint8_t>(j),
                            low,
                            static_cast<uint8_t>((n >> 7) & 0x7f),
                            0xf7};
  memcpy(out, sysex, sizeof sysex);
}

// Source k's sample f in cycle n: distinct per source, cycle and frame, and exact in sums of
// three, so a mix can be compared for equality.
float Sample(int k, int n, tamb_nframes_t f) {
  return static_cast<float>((k + 1) * 2048 + n % 1024) + static_cast<float>(f) * 0.25f;
}

// A server and four clients, set up as a real session is before its first cycle; Run then does
// only what process threads do. Every check inside the cycles notes a failure in fixed fields
// (a count, the cycle and a literal), so that checking costs the cycle nothing the proofs look
// for; Verdict reads them afterwards.
class Scenario {
 public:
  enum Member { kMaster, kSlow, kSynth, kMixer, kMembers };

  Scenario();
  ~Scenario() = default;
  Scenario(const Scenario &) = delete;
  Scenario &operator=(const Scenario &) = delete;

  // Runs cycles process cycles; the first one starts at the clock's current reading.
  void Run(int cycles);

  // What went wrong in the cycles run so far, checked against the schedule when all kCycles
  // ran; empty when everything held.
  std::string Verdict() const;

  tamb_client_t *client(Member m) { return &clients_[m]->handle; }
  tamb_control_t *control() { return server_->control(); }
  tamb_nframes_t last_cycle_frame() const { return (cycle_ - 1) * kFrames; }

 private:
  void Cycle();
  void Process(Member m, tamb_nframes_t nframes);
  void Observe(Member m);
  void Track(const tamb_position_t &position, tamb_transport_state_t state);
  void Produce(int k, tamb_nframes_t nframes);
  void Command();
  void Consume(tamb_nframes_t nframes);
  bool MidiHolds(void *buffer, const int (*expect)[2], uint32_t count);

  // Notes a failed check: its text (a literal), how often and first when, for a few kinds.
  void Check(bool ok, const char *what) {
    if (ok) return;
    for (Failure &failure : failures_) {
      if (failure.what == nullptr) failure = {what, 0, cycle_};
      if (failure.what == what) {
        ++failure.count;
        return;
      }
    }
    ++failures_untold_;
  }

  static int SyncAnswer(tamb_transport_state_t state, tamb_position_t *position, void *arg);
  static void TimebaseFill(tamb_transport_state_t state, tamb_nframes_t nframes,
                           tamb_position_t *position, int new_position, void *arg);

  std::unique_ptr<kit::Server> server_;
  std::unique_ptr<kit::CycleDriver> driver_;
  kit::Client *clients_[kMembers] = {};
  tamb_port_t *audio_out_[3] = {};
  tamb_port_t *midi_out_[3] = {};
  // The mixer's inputs with no, one and three connections.
  tamb_port_t *audio_in_[3] = {};
  tamb_port_t *midi_in_[3] = {};
  // The buffers the mixer must be handed: silence, the connected output's own buffer (through
  // the mixer's attachment), the mix buffer.
  void *audio_expect_[3] = {};
  void *midi_expect_[3] = {};
  // (source, event) pairs of the merge of all three sources, in the order it must produce.
  int merged_[3 * kEventsPerSource][2] = {};
  int source_one_[kEventsPerSource][2] = {};

  int cycle_ = 0;
  tamb_time_t start_ = 0;

  // What the first client saw this cycle; the others must see the same.
  tamb_position_t seen_{};
  tamb_transport_state_t seen_state_ = TAMB_TRANSPORT_STOPPED;
  tamb_nframes_t previous_frame_ = 0;
  tamb_transport_state_t previous_state_ = TAMB_TRANSPORT_STOPPED;

  tamb_nframes_t requested_frame_ = 0;
  int requested_at_ = -1;  // cycle of the request not yet seen; -1: none
  int requests_ = 0;
  int arrivals_ = 0;
  int advanced_ = 0;  // cycles whose position is one cycle on from the previous one
  int starting_entries_ = 0;
  int rolling_cycles_ = 0;
  int stopped_cycles_ = 0;

  int sync_calls_in_poll_ = 0;
  int sync_ready_ = 0;
  int timebase_calls_ = 0;
  int timebase_new_ = 0;

  struct Failure {
    const char *what;
    int count;
    int first_cycle;
  };
  Failure failures_[8] = {};
  int failures_untold_ = 0;
};

Scenario::Scenario() {
  server_ = support::quiet_server(32, kFrames, kRate);
  tamb_port_set_funcs();
  const char *names[kMembers] = {"master", "slow", "synth", "mixer"};
  for (int m = 0; m < kMembers; ++m) clients_[m] = server_->add_client(names[m]);

  auto reg = [](kit::Client *c, const char *name, const char *type, unsigned long flags) {
    tamb_port_t *port = tamb_port_register(&c->handle, name, type, flags, 0);
    if (port == nullptr) throw std::runtime_error(std::string("cannot register ") + name);
    return port;
  };
  for (int k = 0; k < 3; ++k) {
    audio_out_[k] = reg(clients_[k], "out", TAMB_PORT_TYPE_AUDIO, TAMB_PORT_IS_OUTPUT);
    midi_out_[k] = reg(clients_[k], "events", TAMB_PORT_TYPE_MIDI, TAMB_PORT_IS_OUTPUT);
  }
  const char *in_names[3][2] = {
      {"none", "events_none"}, {"one", "events_one"}, {"three", "events_three"}};
  for (int i = 0; i < 3; ++i) {
    audio_in_[i] = reg(clients_[kMixer], in_names[i][0], TAMB_PORT_TYPE_AUDIO, TAMB_PORT_IS_INPUT);
    midi_in_[i] = reg(clients_[kMixer], in_names[i][1], TAMB_PORT_TYPE_MIDI, TAMB_PORT_IS_INPUT);
  }
  auto connect = [this](tamb_port_t *out, tamb_port_t *in) {
    if (server_->connect(out->shared->id, in->shared->id) != 0) {
      throw std::runtime_error(std::string("cannot connect ") + tamb_port_name(out));
    }
  };
  connect(audio_out_[0], audio_in_[1]);
  connect(midi_out_[1], midi_in_[1]);
  for (int k = 0; k < 3; ++k) {
    connect(audio_out_[k], audio_in_[2]);
    connect(midi_out_[k], midi_in_[2]);
  }

  tamb_client_t *mixer = &clients_[kMixer]->handle;
  auto *audio_segment = static_cast<char *>(mixer->port_segment[0].address);
  auto *midi_segment = static_cast<char *>(mixer->port_segment[1].address);
  audio_expect_[0] = audio_segment + control()->port_types[0].silence_offset;
  audio_expect_[1] = audio_segment + audio_out_[0]->shared->offset;
  audio_expect_[2] = audio_in_[2]->mix_buffer;
  midi_expect_[0] = midi_segment + control()->port_types[1].silence_offset;
  midi_expect_[1] = midi_segment + midi_out_[1]->shared->offset;
  midi_expect_[2] = midi_in_[2]->mix_buffer;

  // The merge: by time, equal times in connection order (sources 0, 1, 2).
  int n = 0;
  for (tamb_nframes_t time = 0; time < kFrames; ++time) {
    for (int k = 0; k < 3; ++k) {
      for (int j = 0; j < kEventsPerSource; ++j) {
        if (kEvents[k][j].time == time) {
          merged_[n][0] = k;
          merged_[n++][1] = j;
        }
      }
    }
  }
  for (int j = 0; j < kEventsPerSource; ++j) {
    source_one_[j][0] = 1;
    source_one_[j][1] = j;
  }

  if (tamb_set_timebase_callback(client(kMaster), 0, TimebaseFill, this) != 0 ||
      tamb_set_sync_callback(client(kSlow), SyncAnswer, this) != 0) {
    throw std::runtime_error("the server refused the timebase or slow-sync registration");
  }
  driver_ = std::make_unique<kit::CycleDriver>(*server_);
  for (int m = 0; m < kMembers; ++m) {
    server_->activate(clients_[m]);
    driver_->add(clients_[m],
                 [this, m](tamb_nframes_t nframes) { Process(static_cast<Member>(m), nframes); });
  }
  hooks::log_clear();
}

void Scenario::Run(int cycles) {
  for (int i = 0; i < cycles; ++i) Cycle();
}

void Scenario::Cycle() {
  server_->engine()->verbose = cycle_ >= kTraceFrom && cycle_ < kTraceTo;
  start_ = tamb_get_time();
  driver_->run(start_);
  ++cycle_;
}

void Scenario::Process(Member m, tamb_nframes_t nframes) {
  Check(nframes == kFrames, "process callback: cycle length");
  Observe(m);
  if (m != kMixer) Produce(m, nframes);
  if (m == kSynth) Command();
  if (m == kMixer) Consume(nframes);
}

// Every query and conversion a client makes, checked against the cycle the driver started.
void Scenario::Observe(Member m) {
  tamb_client_t *c = client(m);
  tamb_position_t position;
  tamb_transport_state_t state = tamb_transport_query(c, &position);
  tamb_nframes_t transport_frame = tamb_get_current_transport_frame(c);
  tamb_nframes_t cycle_frame = 0;
  tamb_time_t cycle_usecs = 0;
  tamb_time_t next_usecs = 0;
  float period = 0;
  Check(tamb_get_cycle_times(c, &cycle_frame, &cycle_usecs, &next_usecs, &period) == 0,
        "cycle times: none");
  auto frame = static_cast<tamb_nframes_t>(cycle_) * kFrames;
  Check(cycle_frame == frame && cycle_usecs == start_, "cycle times: frame or start");
  Check(next_usecs - cycle_usecs == static_cast<tamb_time_t>(kPeriodUsecs + 0.5) &&
            period == static_cast<float>(kPeriodUsecs),
        "cycle times: period");
  Check(tamb_last_frame_time(c) == frame, "last frame time");
  Check(tamb_time_to_frames(c, cycle_usecs) == frame, "time to frames: cycle start");
  Check(tamb_time_to_frames(c, next_usecs) == frame + kFrames, "time to frames: next cycle");
  Check(tamb_frames_to_time(c, frame) == cycle_usecs, "frames to time: cycle start");
  Check(tamb_frames_to_time(c, frame + kFrames) == next_usecs, "frames to time: next cycle");
  // The clock reads no earlier than the cycle's start, which was read from it.
  Check(tamb_frame_time(c) >= frame, "frame time before the cycle");
  // A clock read as behind the cycle's start would wrap the count to nearly 2^32.
  Check(tamb_frames_since_cycle_start(c) < UINT32_MAX / 2, "frames since cycle start");
  Check(tamb_get_sample_rate(c) == kRate, "sample rate");
  Check(position.frame_rate == kRate && position.usecs == start_, "position: rate or time");
  Check(position.head_id == position.tail_id, "position: torn copy");
  if (state == TAMB_TRANSPORT_ROLLING) {
    Check(transport_frame >= position.frame, "current transport frame behind the position");
  } else {
    Check(transport_frame == position.frame, "current transport frame moved while standing");
  }
  // From the second cycle on every position carries the master's musical fields, repositions
  // included: it fills them for the pending position in every cycle that matters.
  if (cycle_ >= 2) {
    Bbt want = BbtAt(position.frame);
    Check((position.valid & TAMB_POSITION_BBT) != 0 && position.bar == want.bar &&
              position.beat == want.beat && position.tick == want.tick &&
              position.beats_per_minute == kBpm,
          "musical fields");
  }
  if (m == kMaster) {
    Track(position, state);
    return;
  }
  Check(state == seen_state_ && position.frame == seen_.frame && position.head_id == seen_.head_id,
        "clients disagree on the position");
}

// The transport's course, cycle by cycle: the position stays, moves on by one cycle, or jumps
// to the frame last requested, exactly two cycle ends after the request.
void Scenario::Track(const tamb_position_t &position, tamb_transport_state_t state) {
  seen_ = position;
  seen_state_ = state;
  if (cycle_ > 0) {
    if (requested_at_ >= 0 && position.frame == requested_frame_) {
      Check(cycle_ - requested_at_ == 2, "requested frame arrived late");
      ++arrivals_;
      requested_at_ = -1;
    } else if (position.frame == previous_frame_ + kFrames) {
      ++advanced_;
    } else {
      Check(position.frame == previous_frame_, "transport frame jumped");
    }
    if (state == TAMB_TRANSPORT_STARTING && previous_state_ != TAMB_TRANSPORT_STARTING) {
      ++starting_entries_;
    }
  }
  rolling_cycles_ += state == TAMB_TRANSPORT_ROLLING;
  stopped_cycles_ += state == TAMB_TRANSPORT_STOPPED;
  previous_frame_ = position.frame;
  previous_state_ = state;
}

void Scenario::Produce(int k, tamb_nframes_t nframes) {
  auto *samples = static_cast<float *>(tamb_port_get_buffer(audio_out_[k], nframes));
  void *events = tamb_port_get_buffer(midi_out_[k], nframes);
  Check(samples != nullptr && events != nullptr, "output buffer");
  if (samples == nullptr || events == nullptr) return;
  for (tamb_nframes_t f = 0; f < nframes; ++f) samples[f] = Sample(k, cycle_, f);
  tamb_midi_clear_buffer(events);
  for (int j = 0; j < kEventsPerSource; ++j) {
    const EventShape &shape = kEvents[k][j];
    uint8_t data[6];
    EventBytes(k, j, cycle_, shape.size, data);
    if (shape.size <= 4) {
      Check(tamb_midi_event_write(events, shape.time, data, shape.size) == 0, "MIDI write");
    } else {
      uint8_t *space = tamb_midi_event_reserve(events, shape.time, shape.size);
      Check(space != nullptr, "MIDI reserve");
      if (space != nullptr) memcpy(space, data, shape.size);
    }
  }
}

// The synth moves the transport from its process thread, as a client's sequencer would.
void Scenario::Command() {
  tamb_client_t *c = client(kSynth);
  if (cycle_ == kStartAt || cycle_ == kRestartAt) tamb_transport_start(c);
  if (cycle_ == kStopAt) tamb_transport_stop(c);
  if (cycle_ < kMoveEvery || cycle_ % kMoveEvery != 0) return;
  tamb_nframes_t target = 1000000 + static_cast<tamb_nframes_t>(cycle_) * 14;
  if (cycle_ / kMoveEvery % 2 == 1) {
    Check(tamb_transport_locate(c, target) == 0, "locate");
  } else {
    // Musical fields the master must replace with its own.
    tamb_position_t request{};
    request.frame = target;
    request.valid = TAMB_POSITION_BBT;
    request.bar = 999;
    request.beat = 9;
    request.beats_per_minute = 33;
    Check(tamb_transport_reposition(c, &request) == 0, "reposition");
  }
  requested_frame_ = target;
  requested_at_ = cycle_;
  ++requests_;
}

void Scenario::Consume(tamb_nframes_t nframes) {
  const float *audio[3];
  void *midi[3];
  for (int i = 0; i < 3; ++i) {
    audio[i] = static_cast<const float *>(tamb_port_get_buffer(audio_in_[i], nframes));
    midi[i] = tamb_port_get_buffer(midi_in_[i], nframes);
    Check(audio[i] == audio_expect_[i], "audio input: wrong buffer");
    Check(midi[i] == midi_expect_[i], "MIDI input: wrong buffer");
    if (audio[i] != audio_expect_[i] || midi[i] != midi_expect_[i]) return;
  }
  bool silent = true, copied = true, mixed = true;
  for (tamb_nframes_t f = 0; f < nframes; ++f) {
    float a = Sample(0, cycle_, f), b = Sample(1, cycle_, f), c = Sample(2, cycle_, f);
    silent &= audio[0][f] == 0.0f;
    copied &= audio[1][f] == a;
    mixed &= audio[2][f] == a + b + c;
  }
  Check(silent, "audio input without connections: not silent");
  Check(copied, "audio input with one connection: samples");
  Check(mixed, "audio input with three connections: mix");
  Check(tamb_midi_get_event_count(midi[0]) == 0, "MIDI input without connections: events");
  Check(MidiHolds(midi[1], source_one_, kEventsPerSource),
        "MIDI input with one connection: events");
  Check(MidiHolds(midi[2], merged_, 3 * kEventsPerSource),
        "MIDI input with three connections: merge");
}

bool Scenario::MidiHolds(void *buffer, const int (*expect)[2], uint32_t count) {
  if (tamb_midi_get_event_count(buffer) != count || tamb_midi_get_lost_event_count(buffer) != 0) {
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    int k = expect[i][0], j = expect[i][1];
    const EventShape &shape = kEvents[k][j];
    uint8_t data[6];
    EventBytes(k, j, cycle_, shape.size, data);
    tamb_midi_event_t event;
    if (tamb_midi_event_get(&event, buffer, i) != 0 || event.time != shape.time ||
        event.size != shape.size || memcmp(event.buffer, data, shape.size) != 0) {
      return false;
    }
  }
  return true;
}

int Scenario::SyncAnswer(tamb_transport_state_t state, tamb_position_t *, void *arg) {
  auto *self = static_cast<Scenario *>(arg);
  if (state != TAMB_TRANSPORT_STARTING) {
    self->sync_calls_in_poll_ = 0;
    return 1;
  }
  if (++self->sync_calls_in_poll_ < kSyncCalls) return 0;
  self->sync_calls_in_poll_ = 0;
  ++self->sync_ready_;
  return 1;
}

void Scenario::TimebaseFill(tamb_transport_state_t, tamb_nframes_t nframes,
                            tamb_position_t *position, int new_position, void *arg) {
  auto *self = static_cast<Scenario *>(arg);
  self->Check(nframes == kFrames, "timebase callback: cycle length");
  ++self->timebase_calls_;
  self->timebase_new_ += new_position != 0;
  Bbt bbt = BbtAt(position->frame);
  position->valid = TAMB_POSITION_BBT;
  position->bar = bbt.bar;
  position->beat = bbt.beat;
  position->tick = bbt.tick;
  position->bar_start_tick = (bbt.bar - 1) * 4 * kTicksPerBeat;
  position->beats_per_bar = 4;
  position->beat_type = 4;
  position->ticks_per_beat = kTicksPerBeat;
  position->beats_per_minute = kBpm;
}

std::string Scenario::Verdict() const {
  std::string out;
  auto note = [&out](const std::string &line) { out += line + "\n"; };
  for (const Failure &failure : failures_) {
    if (failure.what == nullptr) break;
    note(std::string(failure.what) + ": failed " + std::to_string(failure.count) +
         " times from cycle " + std::to_string(failure.first_cycle));
  }
  if (failures_untold_ != 0) note(std::to_string(failures_untold_) + " failures of other checks");
  if (cycle_ < kCycles) return out;
  auto expect = [&note](const char *what, long got, long want) {
    if (got != want) {
      note(std::string(what) + ": " + std::to_string(got) + ", expected " + std::to_string(want));
    }
  };
  expect("requests made", requests_, kRequests);
  expect("requested frames that arrived", arrivals_, kRequests);
  expect("sync polls begun", starting_entries_, kPolls);
  expect("sync polls the slow client ended", sync_ready_, kPolls);
  expect("new positions the master was told of", timebase_new_, 1 + kRequests);
  expect("engine trace lines", static_cast<long>(support::engine_traces().size()),
         kTracesPerMove * ((kTraceTo - kTraceFrom) / kMoveEvery));
  // Stopped until the cycle after the start command and from the cycle after the stop command
  // to the one after the restart; a poll lasts the slow client's kSyncCalls cycles; the first
  // cycle rolling after a poll still plays its frame, and the cycle after the stop command has
  // moved on once more.
  constexpr int stopped = kStartAt + 1 + kRestartAt - kStopAt;
  constexpr int rolling = kCycles - stopped - kPolls * kSyncCalls;
  expect("cycles stopped", stopped_cycles_, stopped);
  expect("cycles rolling", rolling_cycles_, rolling);
  expect("cycles the transport moved on", advanced_, rolling - kPolls + 1);
  // In every rolling cycle, and in the first, when it became master.
  expect("cycles the timebase master ran", timebase_calls_, rolling + 1);
  return out;
}

// ---- Stalled writers ------------------------------------------------------------------------
//
// A writer that stopped midway through a record the process thread reads or writes: its head
// guard moved, its tail not yet. The guarded copy then retries and sleeps, the only sleep a
// process thread may take. The tests end the stall from the reader's own thread (a timer signal,
// or the trap of the sleep itself), so the reader never nears the copy's abort budget however
// busy the machine is.

struct Stall {
  const char *record;
  void (*open)(tamb_control_t *control);
  void (*close)(tamb_control_t *control);
  // The process-thread call that meets the record; true when it got the record whole.
  bool (*meet)(Scenario &scenario);
};

// A writer's first step, moving the head guard off the tail, and its last, bringing the tail to
// the head.
#define STALL_OPEN(head, tail, step)                                              \
  [](tamb_control_t *control) {                                                   \
    __atomic_store_n(TAMB_WORD(control->head), TAMB_LOAD(control->tail) + (step), \
                     __ATOMIC_RELEASE);                                           \
  }
#define STALL_CLOSE(head, tail)                                                             \
  [](tamb_control_t *control) {                                                             \
    __atomic_store_n(TAMB_WORD(control->tail), TAMB_LOAD(control->head), __ATOMIC_RELEASE); \
  }

[[maybe_unused]] const Stall kStalls[] = {
    {"frame timer", STALL_OPEN(frame_timer.head_guard, frame_timer.tail_guard, 1u),
     STALL_CLOSE(frame_timer.head_guard, frame_timer.tail_guard),
     [](Scenario &scenario) {
       tamb_nframes_t frame = 0;
       tamb_time_t start = 0, next = 0;
       float period = 0;
       return tamb_get_cycle_times(scenario.client(Scenario::kMixer), &frame, &start, &next,
                                   &period) == 0 &&
              frame == scenario.last_cycle_frame();
     }},
    // The engine's next write moves the count in the high half of the guard.
    {"current position", STALL_OPEN(current_position.head_id, current_position.tail_id, 1ull << 32),
     STALL_CLOSE(current_position.head_id, current_position.tail_id),
     [](Scenario &scenario) {
       tamb_position_t position;
       tamb_transport_query(scenario.client(Scenario::kMixer), &position);
       return position.head_id == position.tail_id &&
              position.frame == scenario.control()->current_position.frame;
     }},
    // Another client's locate, claimed under its id and not yet closed.
    {"requested position",
     STALL_OPEN(requested_position.head_id, requested_position.tail_id, 12345u),
     STALL_CLOSE(requested_position.head_id, requested_position.tail_id),
     [](Scenario &scenario) {
       const tamb_position_t &requested = scenario.control()->requested_position;
       return tamb_transport_locate(scenario.client(Scenario::kMixer), 777) == 0 &&
              requested.frame == 777 && requested.head_id == requested.tail_id;
     }},
};

// The stall that a signal handler ends, at most once.
std::atomic<const Stall *> stall_pending{nullptr};
tamb_control_t *stall_control = nullptr;

[[maybe_unused]] void StallEnd() {
  if (const Stall *stall = stall_pending.exchange(nullptr)) stall->close(stall_control);
}

// ---- RealtimeSanitizer ----------------------------------------------------------------------

#if defined(REALTIME_SANITIZER)

// Ends a child with its verdict: status 0 when empty, else the text on standard error and
// status 3.
[[noreturn]] void ChildExit(const std::string &verdict) {
  if (!verdict.empty()) fprintf(stderr, "%s\n", verdict.c_str());
  fflush(stderr);
  _exit(verdict.empty() ? 0 : 3);
}

// The suppressions beside this file; the sanitizer reads them at start-up, so the children
// that need them are started afresh with them in their environment.
std::string SuppressionsPath() {
  std::string file = __FILE__;
  return file.substr(0, file.rfind('/') + 1) + "rtsan.supp";
}

// Runs all cycles inside one real-time context and exits with the verdict.
[[noreturn]] void SanitizedScenario() {
  std::string verdict;
  try {
    Scenario scenario;
    {
      RealtimeScope realtime;
      scenario.Run(kCycles);
    }
    verdict = scenario.Verdict();
  } catch (const std::exception &e) {
    verdict = std::string("set-up failed: ") + e.what();
  }
  ChildExit(verdict);
}

// Allocates inside a real-time context: the sanitizer must stop the process.
[[noreturn]] void SanitizedAllocation() {
  static void *volatile sink;
  {
    RealtimeScope realtime;
    sink = malloc(64);
  }
  free(sink);
  ChildExit("");
}

// Meets a stalled writer of the stall's record inside a real-time context; a timer signal to
// this thread ends the stall 5 ms later. Exits 0 when the call slept and got the record.
[[noreturn]] void SanitizedStall(const Stall &stall) {
  std::string verdict;
  try {
    Scenario scenario;
    scenario.Run(10);
    stall_control = scenario.control();
    struct sigaction action = {};
    action.sa_handler = [](int) { StallEnd(); };
    sigaction(SIGUSR2, &action, nullptr);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGUSR2;
    event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
    timer_t timer;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) throw std::runtime_error("timer");
    const itimerspec in_5ms{{0, 0}, {0, 5000000}};
    // A reader preempted for longer than the stall before its first try never meets it; that
    // shows as no voluntary switch (no sleep), and the stall is repeated.
    bool slept = false, whole = false;
    for (int attempt = 0; attempt < 5 && !slept; ++attempt) {
      rusage before, after;
      getrusage(RUSAGE_THREAD, &before);
      stall.open(stall_control);
      stall_pending = &stall;
      timer_settime(timer, 0, &in_5ms, nullptr);
      {
        RealtimeScope realtime;
        whole = stall.meet(scenario);
      }
      getrusage(RUSAGE_THREAD, &after);
      slept = after.ru_nvcsw > before.ru_nvcsw;
    }
    timer_delete(timer);
    if (!slept) verdict = "the reader never slept";
    if (!whole) verdict += std::string(" the reader did not get the ") + stall.record;
  } catch (const std::exception &e) {
    verdict = std::string("set-up failed: ") + e.what();
  }
  ChildExit(verdict);
}

bool ExitedCleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
bool Stopped(int status) { return !ExitedCleanly(status); }

// The suppressions name functions, so the reports need symbols. The sanitizer looks for the
// symbolizer of its own release (llvm-symbolizer-22), which a machine with clang but without
// that release's LLVM tools lacks; any llvm-symbolizer reads the binaries' symbols. Empty when
// there is none.
std::string Symbolizer() {
  const std::string names[] = {"llvm-symbolizer-" + std::to_string(__clang_major__),
                               "llvm-symbolizer"};
  const char *path = getenv("PATH");
  for (const std::string &name : names) {
    std::string dirs = path != nullptr ? path : "/usr/bin";
    for (size_t at = 0; at <= dirs.size();) {
      size_t end = std::min(dirs.find(':', at), dirs.size());
      std::string candidate = dirs.substr(at, end - at) + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
      at = end + 1;
    }
  }
  return "";
}

// Sets the options of the sanitizer in children started afresh, strict or with the suppressions.
void SanitizerOptions(bool suppressions) {
  std::string options = "halt_on_error=true";
  if (suppressions) options += ":suppressions=" + SuppressionsPath();
  std::string symbolizer = Symbolizer();
  if (!symbolizer.empty()) options += ":external_symbolizer_path=" + symbolizer;
  setenv("RTSAN_OPTIONS", options.c_str(), 1);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
}

#endif

// ---- System-call audit ----------------------------------------------------------------------
//
// A seccomp filter on the audited thread alone traps every system call but the return from the
// trap's handler and the thread's exit. The handler records the call's number, makes it fail
// with ENOSYS and makes none itself. The filter cannot be removed, so the audit ends with the
// thread, in a child process of its own.

#if defined(__x86_64__) && !defined(THREAD_SANITIZER)
#define SYSCALL_AUDIT 1
#else
constexpr const char *kNoAudit =
    "the audit knows x86-64 only, and cannot run under ThreadSanitizer, whose handling of the "
    "trap's signal makes system calls of its own that the filter then kills the process for";
#endif

#if defined(SYSCALL_AUDIT)

struct ChildReport {
  int status;
  std::string text;
};

// Runs body in a forked child; what it writes to *text comes back with its exit status.
ChildReport RunInChild(const std::function<int(std::string *text)> &body) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, "pipe: " + std::string(strerror(errno))};
  int status = support::run_in_child([&] {
    close(fds[0]);
    std::string text;
    int code = body(&text);
    // The pipe holds far more than a report; the parent reads it once the child has ended.
    ssize_t written = write(fds[1], text.data(), text.size());
    close(fds[1]);
    return written == static_cast<ssize_t>(text.size()) ? code : 2;
  });
  close(fds[1]);
  std::string text;
  char buf[4096];
  ssize_t got;
  while ((got = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(got));
  close(fds[0]);
  return {status, text};
}

constexpr int kTrappedMax = 64;
std::atomic<bool> audit_armed{false};
std::atomic<int> trapped_count{0};
int trapped[kTrappedMax];

void OnTrap(int, siginfo_t *info, void *context) {
  static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RAX] = -ENOSYS;
  if (!audit_armed.load(std::memory_order_relaxed)) return;
  int n = trapped_count.fetch_add(1, std::memory_order_relaxed);
  if (n < kTrappedMax) trapped[n] = info->si_syscall;
  StallEnd();
}

// Names of the calls a process thread could plausibly make; others are shown by number.
constexpr struct {
  int number;
  const char *name;
} kSyscallNames[] = {
    {SYS_read, "read"},
    {SYS_write, "write"},
    {SYS_openat, "openat"},
    {SYS_close, "close"},
    {SYS_mmap, "mmap"},
    {SYS_munmap, "munmap"},
    {SYS_mprotect, "mprotect"},
    {SYS_madvise, "madvise"},
    {SYS_brk, "brk"},
    {SYS_futex, "futex"},
    {SYS_nanosleep, "nanosleep"},
    {SYS_clock_nanosleep, "clock_nanosleep"},
    {SYS_clock_gettime, "clock_gettime"},
    {SYS_gettimeofday, "gettimeofday"},
    {SYS_sched_yield, "sched_yield"},
    {SYS_getpid, "getpid"},
    {SYS_gettid, "gettid"},
    {SYS_rt_sigprocmask, "rt_sigprocmask"},
    {SYS_ioctl, "ioctl"},
    {SYS_shmat, "shmat"},
    {SYS_shmdt, "shmdt"},
    {SYS_shmget, "shmget"},
    {SYS_shmctl, "shmctl"},
};

const char *SyscallName(int number) {
  for (const auto &entry : kSyscallNames) {
    if (entry.number == number) return entry.name;
  }
  return "?";
}

bool IsSleep(int number) { return number == SYS_nanosleep || number == SYS_clock_nanosleep; }

// Installs the filter on the calling thread only; clock_gettime passes too when allow_clock.
bool FilterInstall(bool allow_clock, std::string *why) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rt_sigreturn, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, allow_clock ? SYS_clock_gettime : ~0u, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    *why = std::string("no_new_privs refused: ") + strerror(errno);
    return false;
  }
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0) {
    *why = std::string("seccomp filter refused: ") + strerror(errno);
    return false;
  }
  return true;
}

// What one audit found: the trapped calls' numbers, or why it could not run.
struct Audit {
  bool ran = false;
  std::string why;
  std::vector<int> calls;

  std::string Names() const {
    std::string out;
    for (int call : calls) {
      out += (out.empty() ? "" : ", ") + std::string(SyscallName(call)) + " (" +
             std::to_string(call) + ")";
    }
    return out;
  }
};

// Runs body on a new thread under the filter; the calling thread stays free of it. Once per
// process.
Audit Audited(bool allow_clock, const std::function<void()> &body) {
  struct sigaction action = {};
  action.sa_sigaction = OnTrap;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGSYS, &action, nullptr);
  trapped_count = 0;
  Audit audit;
  std::thread thread([&] {
    // RealtimeSanitizer's reports need system calls; whether the thread's work is real-time
    // safe otherwise is its own proof.
    [[maybe_unused]] SanitizerQuiet quiet;
    if (!FilterInstall(allow_clock, &audit.why)) return;
    audit_armed = true;
    body();
    audit_armed = false;
    audit.ran = true;
    // The end of a thread makes system calls of its own, in the C library and in a sanitizer's
    // runtime, which would fail here. The thread ends at once instead; the kernel still wakes
    // the join. What it leaves behind goes with the process, which starts no further thread.
    syscall(SYS_exit, 0);
  });
  thread.join();
  int n = std::min(trapped_count.load(), kTrappedMax);
  audit.calls.assign(trapped, trapped + n);
  return audit;
}

// True when reading the clock is a system call here (a clock source the vDSO cannot read, such
// as a machine whose kernel clock is the HPET or the ACPI timer). Reading the clock is allowed
// on a process thread; the audit then lets that one call pass and says so. Asked in a process
// of its own: a sanitizer's runtime cannot start a thread after one that ended unannounced.
bool ClockIsASystemCall() {
  return support::run_in_child([] {
           Audit probe = Audited(false, [] { tamb_get_time(); });
           return probe.ran && !probe.calls.empty() ? 1 : 0;
         }) == 1;
}

#endif

class Realtime : public testing::Test {
 protected:
  void SetUp() override {
    if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
  }
};

// ---- Tests: RealtimeSanitizer ---------------------------------------------------------------

// No suppressions: the cycles must not even sleep. The allocation first shows that a report
// does stop a child here (the sanitizer sees the allocator, which the heap counter would
// otherwise take over).
TEST_F(Realtime, SanitizerFindsNothingUnsafeInTenThousandCycles) {
#if defined(REALTIME_SANITIZER)
  SanitizerOptions(false);
  EXPECT_EXIT(SanitizedAllocation(), Stopped, "unsafe function `malloc`");
  EXPECT_EXIT(SanitizedScenario(), ExitedCleanly, "");
#else
  GTEST_SKIP() << "built without -fsanitize=realtime (clang only)";
#endif
}

// A stalled writer makes each guarded copy sleep: reported without the suppressions, allowed
// with them.
TEST_F(Realtime, SanitizerReportsTheStalledCopySleepUnlessSuppressed) {
#if defined(REALTIME_SANITIZER)
  if (Symbolizer().empty()) GTEST_SKIP() << "no llvm-symbolizer: the suppressions need symbols";
  for (const Stall &stall : kStalls) {
    SCOPED_TRACE(stall.record);
    SanitizerOptions(false);
    EXPECT_EXIT(SanitizedStall(stall), Stopped, "unsafe function `usleep`");
    SanitizerOptions(true);
    EXPECT_EXIT(SanitizedStall(stall), ExitedCleanly, "");
  }
#else
  GTEST_SKIP() << "built without -fsanitize=realtime (clang only)";
#endif
}

// ---- Tests: system-call audit ---------------------------------------------------------------

#if defined(SYSCALL_AUDIT)
constexpr int kSkipped = support::child_skipped;
#endif

TEST_F(Realtime, TenThousandCyclesMakeNoSystemCall) {
#if defined(SYSCALL_AUDIT)
  ChildReport report = RunInChild([](std::string *text) {
    bool allow_clock = ClockIsASystemCall();
    std::unique_ptr<Scenario> scenario;
    try {
      scenario = std::make_unique<Scenario>();
    } catch (const std::exception &e) {
      *text = std::string("set-up failed: ") + e.what();
      return 1;
    }
    Audit audit = Audited(allow_clock, [&] { scenario->Run(kCycles); });
    if (!audit.ran) {
      *text = audit.why;
      return kSkipped;
    }
    *text = scenario->Verdict();
    if (!audit.calls.empty()) {
      *text += std::to_string(audit.calls.size()) + " system calls: " + audit.Names();
    }
    if (allow_clock) printf("  note: clock_gettime is a system call on this machine\n");
    return text->empty() ? 0 : 1;
  });
  if (report.status == kSkipped) GTEST_SKIP() << report.text;
  EXPECT_EQ(report.status, 0) << report.text;
#else
  GTEST_SKIP() << kNoAudit;
#endif
}

// The audit can fail: a stalled writer makes each guarded copy sleep, and the sleep is trapped
// (the trap also ends the stall).
TEST_F(Realtime, SyscallAuditCatchesTheSleepAfterAStalledWriter) {
#if defined(SYSCALL_AUDIT)
  for (const Stall &stall : kStalls) {
    SCOPED_TRACE(stall.record);
    ChildReport report = RunInChild([&stall](std::string *text) {
      bool allow_clock = ClockIsASystemCall();
      Scenario scenario;
      scenario.Run(10);
      stall_control = scenario.control();
      stall.open(stall_control);
      stall_pending = &stall;
      bool whole = false;
      Audit audit = Audited(allow_clock, [&] { whole = stall.meet(scenario); });
      if (!audit.ran) {
        *text = audit.why;
        return kSkipped;
      }
      *text = audit.Names();
      bool sleeps_only = !audit.calls.empty();
      for (int call : audit.calls) sleeps_only &= IsSleep(call);
      return sleeps_only && whole ? 0 : 1;
    });
    if (report.status == kSkipped) GTEST_SKIP() << report.text;
    EXPECT_EQ(report.status, 0) << "trapped: " << report.text;
  }
#else
  GTEST_SKIP() << kNoAudit;
#endif
}

// ---- Tests: heap and locks ------------------------------------------------------------------

TEST_F(Realtime, TenThousandCyclesNeitherAllocateNorLock) {
  if (!support::HeapCounter::available() || !kLockCounterAvailable) {
    GTEST_SKIP() << "a sanitizer's runtime owns the allocator and the locks";
  }
  Scenario scenario;
  // The counter sees a lock taken inside the library: the port's connection lock.
  uint64_t locks = lock_calls;
  tamb_port_connected_to(tamb_port_by_name(scenario.client(Scenario::kMixer), "mixer:one"),
                         "master:out");
  EXPECT_GT(lock_calls, locks) << "the lock counter sees no lock";

  support::HeapCounter heap;
  locks = lock_calls;
  scenario.Run(kCycles);
  EXPECT_EQ(heap.calls(), 0u);
  EXPECT_EQ(lock_calls - locks, 0u);
  EXPECT_EQ(scenario.Verdict(), "");
}

}  // namespace
