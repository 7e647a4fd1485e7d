// SPDX-License-Identifier: MIT
// Lock-free exchange under contention: writer threads rewrite a shared position or the frame
// timer as fast as they can while reader threads copy it. Every body is derived from its id,
// so a copy that mixes two writes is recognised; not one may be accepted.
#include "guarded_copy.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kit.h"
#include "kit_cycle.h"
#include "support.h"
#include "tamb/tamb.h"

// A writer of a shared record waits for another through usleep. This binary takes that call
// over: while a test sets on_sleep, each sleep runs one step of the other writers instead, on
// the waiting thread, so that they move at exact points of the wait.
//
// While threads contend, each sleep lasts at least shortest_sleep_usecs. A reader gives up, and
// aborts the process, once a writer has stayed midway through 1000 of its sleeps, some 20 ms;
// on a loaded machine the scheduler may stop a live writer midway for longer than that. The
// contention tests check that no copy is torn, not that budget; stretched, it still ends a
// real hang, within a few seconds.
namespace {
std::atomic<std::function<void()> *> on_sleep{nullptr};
std::atomic<useconds_t> shortest_sleep_usecs{0};
}  // namespace

extern "C" int usleep(useconds_t usecs) {
  if (std::function<void()> *step = on_sleep.load()) {
    (*step)();
    return 0;
  }
  usecs = std::max(usecs, shortest_sleep_usecs.load());
  timespec time{static_cast<time_t>(usecs / 1000000), static_cast<long>(usecs % 1000000) * 1000};
  return nanosleep(&time, nullptr);
}

namespace {

// Each test reads until it reaches its target or kLongest has passed; fewer reads than the
// target's tenth means the machine gave the test no time at all. Sanitizers slow reads down.
struct Reads {
  uint64_t target;
  uint64_t minimum;
};
#if defined(__SANITIZE_ADDRESS__)
constexpr Reads kReads{400000, 40000};
constexpr Reads kEngineReads{1000000, 100000};
#else
constexpr Reads kReads{4000000, 400000};
constexpr Reads kEngineReads{10000000, 1000000};
#endif
constexpr auto kShortest = std::chrono::milliseconds(300);
constexpr auto kLongest = std::chrono::seconds(30);

constexpr uint32_t kRate = 48000;
constexpr tamb_time_t kUsecs = 777777;

// The body a reposition with this id carries; a locate carries only frame.
void FillBody(uint64_t id, tamb_position_t *position) {
  position->frame = static_cast<uint32_t>(id * 7);
  position->valid = TAMB_POSITION_BBT | 0x20;
  position->bar = static_cast<int32_t>(id);
  position->beat = static_cast<int32_t>(id + 1);
  position->tick = static_cast<int32_t>(id + 2);
  position->bar_start_tick = static_cast<double>(id) * 0.5;
  position->beats_per_bar = static_cast<float>(id % 1000);
  position->beat_type = static_cast<float>(id % 16);
  position->ticks_per_beat = static_cast<double>(id) + 0.25;
  position->beats_per_minute = static_cast<double>(id) * 2;
  for (size_t i = 0; i < sizeof position->extra; ++i) {
    position->extra[i] = static_cast<uint8_t>(id + i);
  }
}

// Odd ids are locates, even ids repositions (see LocateAndRepositionWriter).
bool BodyMatchesId(const tamb_position_t &copy) {
  uint64_t id = copy.head_id;
  tamb_position_t expected;
  memset(&expected, 0, sizeof expected);
  if (id % 2 == 0) {
    FillBody(id, &expected);
  } else {
    expected.frame = static_cast<uint32_t>(id * 7);
  }
  expected.head_id = expected.tail_id = id;
  expected.usecs = kUsecs;
  expected.frame_rate = kRate;
  return memcmp(&copy, &expected, sizeof copy) == 0;
}

// A short, varying rest between writes: readers then start both inside and between writes,
// and a reader that straddles the start of a write is the one a wrong guard order fools.
void Rest(uint64_t n) {
  for (uint64_t i = 0; i < n % 16; ++i) __builtin_ia32_pause();
}

// The frame timer's writer with a pause after each field: the stand-in's own writer stores
// five fields in a few nanoseconds, too quickly for a reader to land in the middle often.
void SlowTimerWrite(tamb_control_t *control, const tamb_frame_timer_t &timer) {
  kit::frame_timer_write(control, timer, [] { __builtin_ia32_pause(); });
}

struct Totals {
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> torn{0};
  std::atomic<uint64_t> changes{0};  // reads that saw a newer write than the previous read
};

// Keeps thread on one processor, so that the writer and the readers run side by side rather
// than by turns whenever the machine lets them run at all.
void Pin(std::thread &thread, unsigned cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(thread.native_handle(), sizeof set, &set);
}

// Runs the writer and the readers until enough reads are made; read_one returns false for a
// torn copy and reports the id it saw.
void Contend(const std::function<void(const std::atomic<bool> &)> &writer,
             const std::function<bool(uint64_t *id)> &read_one, Totals *totals,
             Reads reads = kReads) {
  constexpr useconds_t kPatientSleepUsecs = 2000;
  shortest_sleep_usecs = kPatientSleepUsecs;
  std::atomic<bool> stop{false};
  std::thread writer_thread([&] { writer(stop); });
  unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
  if (cpus > 1) Pin(writer_thread, 0);
  std::vector<std::thread> readers;
  for (unsigned i = 0; i < std::max(1u, cpus - 1); ++i) {
    readers.emplace_back([&] {
      uint64_t torn = 0, changes = 0, last = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 1024; ++i) {
          uint64_t id = 0;
          torn += !read_one(&id);
          changes += id != last;
          last = id;
        }
        totals->reads += 1024;
      }
      totals->torn += torn;
      totals->changes += changes;
    });
    if (cpus > 1) Pin(readers.back(), 1 + i % (cpus - 1));
  }
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed >= kLongest || (elapsed >= kShortest && totals->reads >= reads.target)) break;
  }
  stop = true;
  writer_thread.join();
  for (std::thread &reader : readers) reader.join();
  shortest_sleep_usecs = 0;
}

void Report(const char *what, const Totals &totals, Reads reads = kReads) {
  testing::Test::RecordProperty("reads", std::to_string(totals.reads.load()));
  testing::Test::RecordProperty("torn_accepted", std::to_string(totals.torn.load()));
  printf("%s: %lu reads (%lu saw a new write), %lu torn copies accepted\n", what,
         totals.reads.load(), totals.changes.load(), totals.torn.load());
  EXPECT_EQ(totals.torn.load(), 0u);
  EXPECT_GE(totals.reads.load(), reads.minimum);
  EXPECT_GT(totals.changes.load(), 0u) << "the writer never ran";
}

class GuardedCopy : public testing::Test {
 protected:
  void SetUp() override {
    control_ = server_.control();
    control_->position_id_counter = 1;
    control_->current_position.usecs = kUsecs;
    control_->current_position.frame_rate = kRate;
    client_ = &server_.add_client("stress")->handle;
  }

  // A reader that queries the current position and checks the copy with whole.
  std::function<bool(uint64_t *id)> QueryReader(bool (*whole)(const tamb_position_t &)) {
    return [this, whole](uint64_t *id) {
      tamb_position_t copy;
      tamb_transport_query(client_, &copy);
      *id = copy.head_id;
      return whole(copy);
    };
  }

  kit::Server server_{16, 1024};
  tamb_control_t *control_ = nullptr;
  tamb_client_t *client_ = nullptr;
};

// Clients locate and reposition; the engine reads requested_position with the exported copy.
TEST_F(GuardedCopy, RequestedPositionIsNeverReadTorn) {
  auto writer = [&](const std::atomic<bool> &stop) {
    tamb_position_t position;
    while (!stop.load(std::memory_order_relaxed)) {
      // The only caller that takes ids, so the next one is known in advance.
      uint64_t id = control_->position_id_counter;
      if (id % 2 == 1) {
        tamb_transport_locate(client_, static_cast<uint32_t>(id * 7));
      } else {
        memset(&position, 0, sizeof position);
        FillBody(id, &position);
        tamb_transport_reposition(client_, &position);
      }
      Rest(id);
    }
  };
  // Start from a complete write so that every accepted copy has a body to check.
  tamb_transport_locate(client_, 7);
  Totals totals;
  Contend(
      writer,
      [&](uint64_t *id) {
        tamb_position_t copy;
        tamb_transport_copy_position(&control_->requested_position, &copy);
        *id = copy.head_id;
        return BodyMatchesId(copy);
      },
      &totals);
  Report("requested_position", totals);
}

// A writer publishes current_position by the guard rule, through the exported copy and by
// hand; clients query it.
TEST_F(GuardedCopy, QueriedPositionIsNeverTorn) {
  auto publish = [&](uint64_t id) {
    tamb_position_t position;
    memset(&position, 0, sizeof position);
    if (id % 2 == 0) FillBody(id, &position);
    if (id % 2 == 1) position.frame = static_cast<uint32_t>(id * 7);
    position.head_id = position.tail_id = id;
    position.usecs = kUsecs;
    position.frame_rate = kRate;
    tamb_transport_copy_position(&position, &control_->current_position);
    Rest(id);
  };
  publish(1);
  auto writer = [&](const std::atomic<bool> &stop) {
    for (uint64_t id = 2; !stop.load(std::memory_order_relaxed); ++id) publish(id);
  };
  Totals totals;
  Contend(writer, QueryReader(BodyMatchesId), &totals);
  Report("current_position", totals);
}

// The server rewrites the frame timer, through the stand-in's writer and by hand; clients read
// the cycle times. Every field follows from the cycle's frame.
TEST_F(GuardedCopy, FrameTimerIsNeverReadTorn) {
  auto writer = [&](const std::atomic<bool> &stop) {
    tamb_frame_timer_t timer{};
    timer.initialized = 1;
    for (uint64_t n = 1; !stop.load(std::memory_order_relaxed); ++n) {
      timer.cycle_start_frame = static_cast<uint32_t>(n);
      timer.cycle_start_usecs = n * 3;
      timer.next_cycle_usecs = n * 3 + 1000 + n % 7;
      timer.period_usecs = static_cast<float>(n % 4096);
      if (n % 2 == 0) {
        kit::frame_timer_write(control_, timer);
      } else {
        SlowTimerWrite(control_, timer);
      }
      Rest(n);
    }
  };
  tamb_frame_timer_t first{};
  first.initialized = 1;
  first.next_cycle_usecs = 1000;
  kit::frame_timer_write(control_, first);
  Totals totals;
  Contend(
      writer,
      [&](uint64_t *id) {
        tamb_nframes_t frame;
        tamb_time_t usecs, next;
        float period;
        if (tamb_get_cycle_times(client_, &frame, &usecs, &next, &period) != 0) return false;
        *id = usecs;
        return usecs % 3 == 0 && static_cast<uint32_t>(usecs / 3) == frame &&
               next == usecs + 1000 + (usecs / 3) % 7 &&
               period == static_cast<float>((usecs / 3) % 4096);
      },
      &totals);
  Report("frame_timer", totals);
}

// ---- The engine's own writes ----------------------------------------------------------------

// What a timebase master would write into the pending position in cycle n: every field and
// every byte of extra follows from n.
void FillMusical(uint32_t n, tamb_position_t *position) {
  position->valid = TAMB_POSITION_BBT;
  position->bar = static_cast<int32_t>(n);
  position->beat = static_cast<int32_t>(n % 4);
  position->tick = static_cast<int32_t>(n % 1920);
  position->bar_start_tick = n * 7680.0;
  position->beats_per_bar = static_cast<float>(n % 9);
  position->beat_type = static_cast<float>(n % 5);
  position->ticks_per_beat = n + 0.5;
  position->beats_per_minute = n * 0.25;
  for (size_t i = 0; i < sizeof position->extra; ++i) {
    position->extra[i] = static_cast<uint8_t>(n + i);
  }
}

constexpr tamb_time_t kCycleUsecs = 1000;

// A copy of current_position is whole when its musical fields all come from one cycle n and
// its time is that cycle's start or the next one's (the engine stores each cycle's start time
// before it promotes that cycle's position).
bool CurrentIsWhole(const tamb_position_t &copy) {
  auto n = static_cast<uint32_t>(copy.bar);
  tamb_position_t want = copy;
  FillMusical(n, &want);
  return memcmp(&want, &copy, sizeof copy) == 0 && copy.head_id == copy.tail_id &&
         (copy.usecs == n * kCycleUsecs || copy.usecs == (n + 1) * kCycleUsecs);
}

// The engine runs cycles back to back, a timebase master filling every pending position, while
// clients query the current one on other threads.
TEST_F(GuardedCopy, EngineCyclesNeverTearAQueriedPosition) {
  tamb_engine_t *engine = server_.engine();
  uint32_t n = 1;
  auto cycle = [&] {
    tamb_transport_cycle_start(engine, n * kCycleUsecs);
    FillMusical(n, &control_->pending_position);
    tamb_transport_cycle_end(engine);
    ++n;
  };
  cycle();
  auto writer = [&](const std::atomic<bool> &stop) {
    while (!stop.load(std::memory_order_relaxed)) cycle();
  };
  Totals totals;
  Contend(writer, QueryReader(CurrentIsWhole), &totals, kEngineReads);
  Report("current_position under engine cycles", totals, kEngineReads);
}

// ---- Concurrent and dying writers of a request ------------------------------------------------

// A reposition of writer w whose every body field holds w's number for this write.
void EncodeRequest(uint32_t w, uint32_t n, tamb_position_t *position) {
  uint32_t k = w << 24 | (n & 0xffffff);
  memset(position, 0, sizeof *position);
  position->frame = k;
  position->valid = TAMB_POSITION_BBT | 0x20u << w;
  position->bar = position->beat = position->tick = static_cast<int32_t>(k);
  position->bar_start_tick = position->ticks_per_beat = position->beats_per_minute = k;
  position->beats_per_bar = position->beat_type = static_cast<float>(k);
  for (size_t i = 0; i < sizeof position->extra; ++i) {
    position->extra[i] = static_cast<uint8_t>(w);
  }
}

bool RequestIsOneWriters(const tamb_position_t &p) {
  uint32_t w = p.frame >> 24;
  tamb_position_t want;
  EncodeRequest(w, p.frame, &want);
  size_t from = offsetof(tamb_position_t, frame);
  return w < 4 && p.head_id == p.tail_id &&
         memcmp(reinterpret_cast<const char *>(&p) + from,
                reinterpret_cast<const char *>(&want) + from,
                offsetof(tamb_position_t, tail_id) - from) == 0;
}

// Four clients reposition in a loop while the engine ends cycles: every request the engine
// takes over is one client's write whole.
TEST_F(GuardedCopy, FourWritersNeverMixATakenRequest) {
  tamb_engine_t *engine = server_.engine();
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> mixed_seen{0};
  std::vector<std::thread> writers;
  for (uint32_t w = 0; w < 4; ++w) {
    tamb_client_t *client = &server_.add_client(("writer" + std::to_string(w)).c_str())->handle;
    // Each writer also reads the record back as the engine would find it right after its own
    // write: on two processors the engine seldom runs at the moment two writes interleave.
    writers.emplace_back([this, client, w, &stop, &mixed_seen] {
      tamb_position_t position, copy;
      for (uint32_t n = 0; !stop.load(std::memory_order_relaxed); ++n) {
        EncodeRequest(w, n, &position);
        tamb_transport_reposition(client, &position);
        tamb_transport_copy_position(&control_->requested_position, &copy);
        if (!RequestIsOneWriters(copy)) mixed_seen.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  uint64_t cycles = 0, taken = 0, mixed = 0;
  bool seen[4] = {};
  auto start = std::chrono::steady_clock::now();
  // Until every writer got a request through as well: on two processors one writer may not
  // have run at all by the time the others made 200,000 requests.
  auto all_seen = [&] { return seen[0] && seen[1] && seen[2] && seen[3]; };
  while ((taken < 200000 || !all_seen()) &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    for (int i = 0; i < 64; ++i, ++cycles) {
      tamb_transport_cycle_end(engine);
      if (!control_->pending_is_new) continue;
      const tamb_position_t &pending = control_->pending_position;
      ++taken;
      if (!RequestIsOneWriters(pending) || pending.head_id != control_->last_request_id) {
        ++mixed;
      } else {
        seen[pending.frame >> 24] = true;
      }
    }
  }
  stop = true;
  for (std::thread &writer : writers) writer.join();
  printf("%lu cycle ends took %lu requests, %lu mixed; writers saw %lu mixed records\n",
         static_cast<unsigned long>(cycles), static_cast<unsigned long>(taken),
         static_cast<unsigned long>(mixed), static_cast<unsigned long>(mixed_seen.load()));
  EXPECT_EQ(mixed, 0u) << "of " << taken << " requests taken";
  EXPECT_EQ(mixed_seen.load(), 0u);
  EXPECT_GT(taken, 1000u);
  EXPECT_TRUE(all_seen()) << "a writer never got through";
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);
}

// A client process locating in a loop is killed at a random moment, many times. Whatever it
// left in requested_position, the engine's cycle ends go on without waiting or aborting, the
// next client's locate gets through (taking over a record left half written) and is the
// request the engine takes.
TEST_F(GuardedCopy, ClientKilledMidRequestNeverStopsTheEngineOrLaterRequests) {
  tamb_engine_t *engine = server_.engine();
  server_.set_sample_rate(kRate);
  std::mt19937_64 random(support::test_seed());
  int midway = 0;
  constexpr int kKills = 100;
  tamb_time_t now = 1000000;
  for (int kill_at = 0; kill_at < kKills; ++kill_at) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (uint32_t frame = 0;; ++frame) tamb_transport_locate(client_, frame);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 2000));
    kill(child, SIGKILL);
    ASSERT_EQ(support::wait_for(child), 128 + SIGKILL);
    const tamb_position_t &requested = control_->requested_position;
    midway += requested.head_id != requested.tail_id;

    for (int i = 0; i < 3; ++i, now += 21333) {
      tamb_transport_cycle_start(engine, now);
      tamb_transport_cycle_end(engine);
    }
    uint32_t frame = 0x40000000u + static_cast<uint32_t>(kill_at);
    ASSERT_EQ(tamb_transport_locate(client_, frame), 0);
    uint64_t id = requested.head_id;
    EXPECT_EQ(requested.tail_id, id);
    tamb_transport_cycle_start(engine, now);
    tamb_transport_cycle_end(engine);
    now += 21333;
    EXPECT_EQ(control_->pending_is_new, 1) << "kill " << kill_at;
    EXPECT_EQ(control_->last_request_id, id);
    EXPECT_EQ(control_->pending_position.frame, frame);
    EXPECT_EQ(control_->pending_position.valid, 0u);
  }
  printf("%d of %d kills left the request half written\n", midway, kKills);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u) << "no stall lasted a sync timeout";
}

// ---- Writers meeting at exact moments --------------------------------------------------------

// A control block whose requested_position straddles two pages: the head guard ends the first,
// the body and the tail guard start the second. A write trap on the second page stops a writer
// right after it took the head.
class SplitControl {
 public:
  SplitControl() {
    void *memory =
        mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    memory_ = static_cast<char *>(memory);
    control = reinterpret_cast<tamb_control_t *>(memory_ + page_ -
                                                 offsetof(tamb_control_t, requested_position) -
                                                 offsetof(tamb_position_t, usecs));
  }
  ~SplitControl() {
    if (memory_ != nullptr) munmap(memory_, 2 * page_);
  }
  tamb_control_t *control = nullptr;

 private:
  size_t page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  char *memory_ = nullptr;
};

constexpr int kBudget = tamb::sleeps_max;  // sleeps on one head before a writer counts as dead

struct Meeting {
  const char *what;
  bool copy;               // the writer copies a whole position in rather than locating
  bool overtaken;          // once no one holds the record, another writer writes it whole
                           // between the writer's head and its body
  std::vector<int> holds;  // writers holding the record first, one after the other: for how
                           // many of the writer's sleeps each holds it
};

// A writer (id 1, frame 4242) of requested_position meets the others at the moments that
// matter: a holder lets go and the next one claims just as the writer gives up on the first, or
// another writer overwrites the record between the writer's head and its body. Every sleep of
// the writer moves the others one step, so each meeting happens at its exact point. The writer
// must wait out every live holder and, once it returns, have left its own write whole.
TEST(PositionWriters, WaitOutLiveHoldersAndWriteAgainWhenOvertaken) {
  constexpr int kBrief = kBudget * 3 / 5;
  const Meeting meetings[] = {
      {"live holders in a row, each briefer than the budget", false, false, {kBrief, kBrief}},
      {"another claims as the stalled holder is given up", false, false, {kBudget, 10}},
      {"a locate overtaken between its claim and its body", false, true, {1}},
      {"a copy overtaken between its head and its body", true, true, {}},
  };
  for (const Meeting &meeting : meetings) {
    SCOPED_TRACE(meeting.what);
    SplitControl split;
    ASSERT_NE(split.control, nullptr);
    tamb_position_t *record = &split.control->requested_position;
    split.control->position_id_counter = 1;
    tamb_client_t writer;
    memset(&writer, 0, sizeof writer);
    writer.engine_control = split.control;

    std::optional<support::WriteTrap> trap;
    auto overtake = [&] {
      if (!meeting.overtaken) return;
      trap.emplace(reinterpret_cast<char *>(record) + offsetof(tamb_position_t, usecs), [record] {
        tamb_position_t other;
        memset(&other, 0, sizeof other);
        other.head_id = other.tail_id = other.frame = 2001;
        tamb_transport_copy_position(&other, record);
      });
      ASSERT_TRUE(trap->armed());
    };
    // Holder 1001 holds the record from the start; as each lets go, the next one claims it.
    size_t holder = 0;
    int held = 0;
    if (!meeting.holds.empty()) {
      record->head_id = 1001;
      record->tail_id = 1000;
    }
    std::function<void()> step = [&] {
      if (holder == meeting.holds.size() || ++held < meeting.holds[holder]) return;
      record->tail_id = 1001 + holder;
      held = 0;
      if (++holder < meeting.holds.size()) {
        record->head_id = 1001 + holder;
      } else {
        overtake();
      }
    };
    if (meeting.holds.empty()) overtake();

    on_sleep = &step;
    if (meeting.copy) {
      tamb_position_t mine;
      memset(&mine, 0, sizeof mine);
      mine.head_id = mine.tail_id = 1;
      mine.frame = 4242;
      tamb_transport_copy_position(&mine, record);
    } else {
      tamb_transport_locate(&writer, 4242);
    }
    on_sleep = nullptr;
    EXPECT_EQ(holder, meeting.holds.size())
        << "the write went ahead while writer " << 1001 + holder << " held the record";
    EXPECT_EQ(trap.has_value() && trap->fired(), meeting.overtaken);
    trap.reset();
    EXPECT_EQ(record->head_id, 1u);
    EXPECT_EQ(record->tail_id, 1u);
    EXPECT_EQ(record->frame, 4242u);
  }
}

}  // namespace
