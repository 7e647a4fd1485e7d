// SPDX-License-Identifier: MIT
// Transport sessions end to end: a stand-in server whose engine ends every cycle, clients that
// start, stop and locate through the client interface, and a timebase master and slow-sync
// clients registered by request, driven cycle by cycle as a server's process thread would.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine_checks.h"
#include "kit.h"
#include "kit_cycle.h"
#include "shared_word.h"
#include "support.h"
#include "tamb/tamb.h"

namespace {

using Trace = std::vector<std::string>;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kFrames = 1024;
constexpr tamb_time_t kCycleUsecs = 21333;

constexpr auto kStopped = TAMB_TRANSPORT_STOPPED;
constexpr auto kRolling = TAMB_TRANSPORT_ROLLING;
constexpr auto kStarting = TAMB_TRANSPORT_STARTING;

// A slow-sync client that reports ready from its ready_at-th call on (never when 0).
struct Sync {
  int ready_at = 0;
  int calls = 0;
  tamb_transport_state_t state = kStopped;
  tamb_nframes_t frame = 0;
};

int SyncAnswer(tamb_transport_state_t state, tamb_position_t *position, void *arg) {
  auto *sync = static_cast<Sync *>(arg);
  ++sync->calls;
  sync->state = state;
  sync->frame = position->frame;
  return sync->ready_at != 0 && sync->calls >= sync->ready_at;
}

// A timebase master in 4/4 with 1920 ticks per beat at its own tempo.
struct Meter {
  double bpm;
  int calls = 0;
  int new_calls = 0;
};

struct Bbt {
  int32_t bar, beat, tick;
};

Bbt BbtAt(tamb_nframes_t frame, double bpm) {
  auto per_beat = static_cast<uint64_t>(kRate * 60 / bpm);
  uint64_t beats = frame / per_beat;
  return {static_cast<int32_t>(beats / 4 + 1), static_cast<int32_t>(beats % 4 + 1),
          static_cast<int32_t>(frame % per_beat * 1920 / per_beat)};
}

void MeterFill(tamb_transport_state_t, tamb_nframes_t, tamb_position_t *position, int new_position,
               void *arg) {
  auto *meter = static_cast<Meter *>(arg);
  ++meter->calls;
  meter->new_calls += new_position != 0;
  Bbt bbt = BbtAt(position->frame, meter->bpm);
  position->valid = TAMB_POSITION_BBT;
  position->bar = bbt.bar;
  position->beat = bbt.beat;
  position->tick = bbt.tick;
  position->bar_start_tick = (bbt.bar - 1) * 4 * 1920.0;
  position->beats_per_bar = 4;
  position->beat_type = 4;
  position->ticks_per_beat = 1920;
  position->beats_per_minute = meter->bpm;
}

class Session : public testing::Test {
 protected:
  void SetUp() override {
    if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
    server_ = support::quiet_server(16, kFrames, kRate);
    server_->engine()->verbose = 1;
    app_ = Join("app", [this](tamb_nframes_t) {
      if (!during_) return;
      std::function<void()> action = std::move(during_);
      during_ = nullptr;
      action();
    });
  }

  // A client that the server activates and whose process cycles the driver runs.
  kit::Client *Join(const char *name, kit::Process process = {}) {
    kit::Client *client = server_->add_client(name);
    server_->activate(client);
    members_.emplace_back(client, std::move(process));
    Redrive();
    return client;
  }

  void Remove(kit::Client *client) {
    std::erase_if(members_, [client](const auto &member) { return member.first == client; });
    Redrive();
    server_->remove_client(client);
  }

  static tamb_client_t *H(kit::Client *client) { return &client->handle; }

  // A client that joins and answers the slow-sync polls with sync; a refused registration
  // fails the test.
  kit::Client *JoinSlow(const char *name, Sync *sync) {
    kit::Client *client = Join(name);
    EXPECT_EQ(tamb_set_sync_callback(H(client), SyncAnswer, sync), 0) << name;
    return client;
  }

  // One process cycle; the trace lines of its cycle end.
  Trace Cycle() {
    hooks::log_clear();
    driver_->run(now_);
    now_ += kCycleUsecs;
    return support::engine_traces();
  }

  // Runs the action inside the next cycle, on the process thread, before the cycle end.
  void During(std::function<void()> action) { during_ = std::move(action); }

  tamb_transport_state_t State() { return tamb_transport_query(H(app_), nullptr); }

  tamb_position_t Position() {
    tamb_position_t position;
    tamb_transport_query(H(app_), &position);
    return position;
  }

  tamb_control_t *Control() { return server_->control(); }
  tamb_engine_t *Engine() { return server_->engine(); }

  std::unique_ptr<kit::Server> server_;
  kit::Client *app_ = nullptr;

 private:
  // The driver keeps the clients it was given; a removed client must leave it first.
  void Redrive() {
    driver_ = std::make_unique<kit::CycleDriver>(*server_);
    for (auto &[client, process] : members_) driver_->add(client, process);
  }

  std::unique_ptr<kit::CycleDriver> driver_;
  std::vector<std::pair<kit::Client *, kit::Process>> members_;
  std::function<void()> during_;
  tamb_time_t now_ = 1000000;
};

// ---- Start, stop, locate ------------------------------------------------------------------

TEST_F(Session, StartWithoutSlowSyncClientsRollsAtTheNextCycleEnd) {
  EXPECT_EQ(Cycle(), Trace{});
  EXPECT_EQ(State(), kStopped);
  tamb_transport_start(H(app_));
  EXPECT_EQ(State(), kStopped) << "nothing moves before the cycle end";
  EXPECT_EQ(Cycle(), (Trace{"transport command: START", "transport Rolling"}));
  EXPECT_EQ(State(), kRolling);
  EXPECT_EQ(Position().frame, 0u);
  for (tamb_nframes_t n = 1; n <= 4; ++n) {
    Cycle();
    EXPECT_EQ(Position().frame, n * kFrames);
    EXPECT_EQ(Position().frame_rate, kRate);
  }

  tamb_transport_start(H(app_));
  EXPECT_EQ(Cycle(), Trace{}) << "a second start changes nothing";
  EXPECT_EQ(Position().frame, 5 * kFrames);

  tamb_transport_stop(H(app_));
  EXPECT_EQ(Cycle(), (Trace{"transport command: STOP", "transport Stopped"}));
  EXPECT_EQ(State(), kStopped);
  tamb_transport_stop(H(app_));
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(Cycle(), Trace{});
    EXPECT_EQ(Position().frame, 6 * kFrames);
  }
}

TEST_F(Session, LocateWhileRollingWaitsOneCycleInPendingAndIsNewForOneCycle) {
  tamb_transport_start(H(app_));
  Cycle();
  Cycle();
  During([this] { tamb_transport_locate(H(app_), 480000); });
  EXPECT_EQ(Cycle(), Trace{"new transport position: 480000, id=0x1"});
  EXPECT_EQ(Position().frame, 2 * kFrames);
  EXPECT_EQ(Control()->pending_is_new, 1);
  EXPECT_EQ(Control()->new_position, 0);

  EXPECT_EQ(Cycle(), Trace{});
  EXPECT_EQ(Position().frame, 480000u);
  EXPECT_EQ(static_cast<int32_t>(Position().head_id), 1) << "the request's id in the low half";
  EXPECT_EQ(Control()->new_position, 1);
  EXPECT_EQ(Control()->pending_position.frame, 480000 + kFrames);
  EXPECT_EQ(State(), kRolling);

  Cycle();
  EXPECT_EQ(Position().frame, 480000 + kFrames);
  EXPECT_EQ(Control()->new_position, 0);
}

TEST_F(Session, TwoLocatesInOneCycleTakeTheLastCompleteWrite) {
  kit::Client *other = Join("other");
  During([&] {
    tamb_transport_locate(H(app_), 1000);
    tamb_transport_locate(H(other), 2000);
  });
  EXPECT_EQ(Cycle(), Trace{"new transport position: 2000, id=0x2"});
  EXPECT_EQ(Control()->last_request_id, 2u);
  Cycle();
  EXPECT_EQ(Position().frame, 2000u);
  EXPECT_EQ(State(), kStopped) << "a locate moves a stopped transport without starting it";
  EXPECT_EQ(Cycle(), Trace{});
  EXPECT_EQ(Position().frame, 2000u);
}

// ---- Sync polls ---------------------------------------------------------------------------

// 1024 frames at 48 kHz count as 21333 us: 93 of them leave 16031 of the two seconds, less
// than the 94th needs.
TEST_F(Session, SyncPollTimesOutAtThe94thCycleEndAfterTheOneThatStartedIt) {
  Sync never;
  kit::Client *slow = Join("slow");
  ASSERT_EQ(tamb_set_sync_callback(H(slow), SyncAnswer, &never), 0);
  tamb_transport_start(H(app_));
  EXPECT_EQ(Cycle(), (Trace{"transport command: START",
                            "transport Starting, sync poll of 1 clients for 2.000000 secs"}));
  int calls = never.calls;
  for (int end = 1; end <= 93; ++end) {
    ASSERT_EQ(Cycle(), Trace{}) << "cycle end " << end;
    ASSERT_EQ(State(), kStarting) << "cycle end " << end;
    ASSERT_EQ(Position().frame, 0u);
  }
  EXPECT_EQ(Control()->sync_time_left, 16031u);
  EXPECT_EQ(Cycle(),
            (Trace{"transport sync timeout", "transport Rolling, 0.000000 sec left for poll"}));
  EXPECT_EQ(State(), kRolling);
  EXPECT_EQ(never.calls - calls, 94) << "called in every cycle of the poll";
  EXPECT_EQ(never.state, kStarting);

  // The late client is still asked until it is ready; the transport rolls on meanwhile.
  Cycle();
  EXPECT_EQ(Position().frame, kFrames);
  EXPECT_EQ(never.calls - calls, 95);
  EXPECT_EQ(never.state, kRolling);
  never.ready_at = never.calls + 1;
  Cycle();
  EXPECT_EQ(Control()->sync_remain, 0);
  Cycle();
  EXPECT_EQ(never.calls - calls, 96);
  EXPECT_TRUE(support::engine_invariants(Engine()));
}

TEST_F(Session, SyncTimeoutRequestShortensTheNextPoll) {
  Sync never;
  kit::Client *slow = Join("slow");
  ASSERT_EQ(tamb_set_sync_callback(H(slow), SyncAnswer, &never), 0);
  hooks::log_clear();
  EXPECT_EQ(tamb_set_sync_timeout(H(slow), 100000), 0);
  EXPECT_EQ(support::engine_traces(), Trace{"new sync timeout: 0.100000 secs"});
  tamb_transport_start(H(app_));
  EXPECT_EQ(Cycle(), (Trace{"transport command: START",
                            "transport Starting, sync poll of 1 clients for 0.100000 secs"}));
  for (int end = 1; end <= 4; ++end) Cycle();
  EXPECT_EQ(State(), kStarting);
  EXPECT_EQ(Cycle(),
            (Trace{"transport sync timeout", "transport Rolling, 0.000000 sec left for poll"}));
}

TEST_F(Session, LocateWhileRollingWithASlowSyncClientHoldsTheFrameUntilItIsReady) {
  Sync sync{.ready_at = 1};
  kit::Client *slow = Join("slow");
  ASSERT_EQ(tamb_set_sync_callback(H(slow), SyncAnswer, &sync), 0);
  tamb_transport_start(H(app_));
  EXPECT_EQ(Cycle(), (Trace{"transport command: START",
                            "transport Starting, sync poll of 1 clients for 2.000000 secs"}));
  EXPECT_EQ(Cycle(), Trace{"transport Rolling, 2.000000 sec left for poll"});
  Cycle();
  EXPECT_EQ(State(), kRolling);
  EXPECT_EQ(Position().frame, kFrames);

  sync = Sync{.ready_at = 3};
  During([this] { tamb_transport_locate(H(app_), 96000); });
  EXPECT_EQ(Cycle(), Trace{"new transport position: 96000, id=0x1"});
  EXPECT_EQ(State(), kRolling);
  EXPECT_EQ(Cycle(), Trace{"transport Starting, sync poll of 1 clients for 2.000000 secs"});
  EXPECT_EQ(State(), kStarting);
  EXPECT_EQ(Control()->new_position, 1);
  for (int call = 1; call <= 2; ++call) {
    EXPECT_EQ(Cycle(), Trace{});
    EXPECT_EQ(sync.calls, call);
    EXPECT_EQ(sync.frame, 96000u) << "the client sees the new position";
    EXPECT_EQ(State(), kStarting);
    EXPECT_EQ(Position().frame, 96000u);
  }
  EXPECT_EQ(Cycle(), Trace{"transport Rolling, 1.957334 sec left for poll"});
  EXPECT_EQ(sync.calls, 3);
  EXPECT_EQ(Position().frame, 96000u);
  Cycle();
  EXPECT_EQ(Position().frame, 96000 + kFrames);
  EXPECT_EQ(sync.calls, 3) << "a ready client is left alone";
  EXPECT_TRUE(support::engine_invariants(Engine()));
}

TEST_F(Session, StopDuringAPollHaltsIt) {
  Sync never;
  kit::Client *slow = Join("slow");
  ASSERT_EQ(tamb_set_sync_callback(H(slow), SyncAnswer, &never), 0);
  tamb_transport_start(H(app_));
  Cycle();
  for (int n = 0; n < 3; ++n) Cycle();
  tamb_transport_stop(H(app_));
  EXPECT_EQ(Cycle(), (Trace{"transport command: STOP", "transport Stopped",
                            "sync poll halted with 1 clients and 1.914668 secs remaining"}));
  EXPECT_EQ(State(), kStopped);
  EXPECT_EQ(Control()->sync_remain, 0);
  EXPECT_EQ(Control()->sync_time_left, 0u);
  EXPECT_EQ(slow->handle.control->sync_poll, 0);
  int calls = never.calls;
  Cycle();
  EXPECT_EQ(never.calls, calls) << "no poll, no call";
  EXPECT_TRUE(support::engine_invariants(Engine()));
}

TEST_F(Session, SlowSyncClientsReadyOnDifferentCyclesRollWhenTheLastIsReady) {
  Sync a, b, c;
  JoinSlow("a", &a);
  JoinSlow("b", &b);
  JoinSlow("c", &c);
  ASSERT_FALSE(HasFailure());
  tamb_transport_start(H(app_));
  EXPECT_EQ(Cycle(), (Trace{"transport command: START",
                            "transport Starting, sync poll of 3 clients for 2.000000 secs"}));
  a = Sync{.ready_at = 2};
  b = Sync{.ready_at = 5};
  c = Sync{.ready_at = 3};
  const int32_t remain[] = {3, 2, 1, 1};
  for (int cycle = 1; cycle <= 4; ++cycle) {
    EXPECT_EQ(Cycle(), Trace{});
    EXPECT_EQ(State(), kStarting);
    EXPECT_EQ(Control()->sync_remain, remain[cycle - 1]) << "after cycle " << cycle;
    EXPECT_TRUE(support::engine_invariants(Engine()));
  }
  EXPECT_EQ(Cycle(), Trace{"transport Rolling, 1.914668 sec left for poll"});
  EXPECT_EQ(State(), kRolling);
  EXPECT_EQ(a.calls, 2);
  EXPECT_EQ(b.calls, 5);
  EXPECT_EQ(c.calls, 3);
}

TEST_F(Session, SlowSyncClientJoiningWhileRollingMakesTheTransportWaitForIt) {
  tamb_transport_start(H(app_));
  Cycle();
  Cycle();
  Sync late{.ready_at = 2};
  kit::Client *joiner = Join("late");
  hooks::log_clear();
  ASSERT_EQ(tamb_set_sync_callback(H(joiner), SyncAnswer, &late), 0);
  EXPECT_EQ(support::engine_traces(),
            (Trace{"force transport state to Starting", "polling sync client late"}));
  EXPECT_EQ(State(), kStarting) << "at once, not at the cycle end";
  EXPECT_EQ(Cycle(), Trace{});
  tamb_nframes_t held = Position().frame;
  EXPECT_EQ(held, 2 * kFrames);
  EXPECT_EQ(Cycle(), Trace{"transport Rolling, 1.978667 sec left for poll"});
  EXPECT_EQ(Position().frame, held);
  Cycle();
  EXPECT_EQ(Position().frame, held + kFrames);

  // A registered client that is activated while rolling does the same.
  Sync again{.ready_at = 1};
  kit::Client *idle = server_->add_client("idle");
  ASSERT_EQ(tamb_set_sync_callback(H(idle), SyncAnswer, &again), 0);
  EXPECT_EQ(State(), kRolling) << "an inactive client only registers";
  server_->activate(idle);
  EXPECT_EQ(State(), kStarting);
  server_->deactivate(idle);
  EXPECT_TRUE(support::engine_invariants(Engine()));
}

TEST_F(Session, SlowSyncClientLeavingMidPollLetsThePollEndWithoutIt) {
  Sync quick{.ready_at = 1};
  Sync never;
  Sync gone;
  JoinSlow("quick", &quick);
  kit::Client *cn = JoinSlow("never", &never);
  kit::Client *cg = JoinSlow("gone", &gone);
  ASSERT_FALSE(HasFailure());
  tamb_transport_start(H(app_));
  Cycle();
  EXPECT_EQ(Cycle(), Trace{});
  EXPECT_EQ(Control()->sync_remain, 2);

  hooks::log_clear();
  ASSERT_EQ(tamb_set_sync_callback(H(cn), nullptr, nullptr), 0);
  EXPECT_EQ(support::engine_traces(), Trace{"sync poll interrupted for client never"});
  EXPECT_EQ(Control()->sync_remain, 1);
  EXPECT_EQ(Cycle(), Trace{});
  EXPECT_EQ(State(), kStarting);

  Remove(cg);
  EXPECT_EQ(Control()->sync_remain, 0);
  EXPECT_EQ(Control()->sync_clients, 1);
  EXPECT_EQ(Cycle(), Trace{"transport Rolling, 1.957334 sec left for poll"});
  EXPECT_EQ(State(), kRolling);
  EXPECT_TRUE(support::engine_invariants(Engine()));

  // Deactivated mid-poll, a client keeps its registration and is polled again when it returns.
  Sync back;
  ASSERT_EQ(tamb_set_sync_callback(H(cn), SyncAnswer, &back), 0);
  EXPECT_EQ(State(), kStarting);
  server_->deactivate(cn);
  EXPECT_EQ(Cycle(), Trace{"transport Rolling, 2.000000 sec left for poll"});
  server_->activate(cn);
  EXPECT_EQ(State(), kStarting);
  EXPECT_EQ(Control()->sync_remain, 1);
  EXPECT_TRUE(support::engine_invariants(Engine()));
}

// ---- Timebase master ----------------------------------------------------------------------

testing::AssertionResult CarriesBbt(const tamb_position_t &position, double bpm) {
  if (!(position.valid & TAMB_POSITION_BBT)) return testing::AssertionFailure() << "no BBT";
  Bbt want = BbtAt(position.frame, bpm);
  if (position.beats_per_minute != bpm || position.bar != want.bar || position.beat != want.beat ||
      position.tick != want.tick) {
    return testing::AssertionFailure()
           << "frame " << position.frame << ": " << position.bar << "|" << position.beat << "|"
           << position.tick << " at " << position.beats_per_minute << " bpm, not " << want.bar
           << "|" << want.beat << "|" << want.tick << " at " << bpm;
  }
  return testing::AssertionSuccess();
}

TEST_F(Session, TimebaseMasterFillsEveryCycleUntilAnUnconditionalRequestTakesTheRole) {
  Meter alpha_meter{120};
  Meter beta_meter{90};
  kit::Client *alpha = Join("alpha");
  kit::Client *beta = Join("beta");
  hooks::log_clear();
  ASSERT_EQ(tamb_set_timebase_callback(H(alpha), 0, MeterFill, &alpha_meter), 0);
  EXPECT_EQ(support::engine_traces(), Trace{"new timebase master: alpha"});
  tamb_transport_start(H(app_));
  During([this] { tamb_transport_locate(H(app_), 47000); });
  for (int cycle = 1; cycle <= 12; ++cycle) {
    Cycle();
    EXPECT_TRUE(CarriesBbt(Position(), 120)) << "cycle " << cycle;
  }
  EXPECT_EQ(alpha_meter.calls, 12);
  EXPECT_EQ(alpha_meter.new_calls, 2) << "on becoming master and for the located position";
  EXPECT_EQ(Position().frame, 47000 + 10 * kFrames);

  hooks::log_clear();
  EXPECT_EQ(tamb_set_timebase_callback(H(beta), 1, MeterFill, &beta_meter), EBUSY);
  EXPECT_EQ(support::engine_traces(),
            (Trace{"conditional timebase for beta failed", " alpha is already the master"}));
  EXPECT_EQ(H(beta)->timebase_callback, nullptr);
  Cycle();
  EXPECT_TRUE(CarriesBbt(Position(), 120));

  EXPECT_EQ(tamb_set_timebase_callback(H(beta), 0, MeterFill, &beta_meter), 0);
  EXPECT_EQ(alpha->handle.control->timebase_master, 0);
  EXPECT_NE(H(alpha)->timebase_callback, nullptr) << "until alpha's next cycle";
  Cycle();
  EXPECT_EQ(H(alpha)->timebase_callback, nullptr);
  EXPECT_EQ(alpha->handle.control->timebase_cb_set, 0);
  EXPECT_EQ(alpha_meter.calls, 13);
  EXPECT_EQ(beta_meter.calls, 1);
  EXPECT_EQ(beta_meter.new_calls, 1);
  EXPECT_TRUE(CarriesBbt(Position(), 90));
  Cycle();
  EXPECT_TRUE(CarriesBbt(Position(), 90));
  EXPECT_EQ(alpha_meter.calls, 13);
}

TEST_F(Session, TimebaseMasterResignsIsDeactivatedAndRemoved) {
  Meter meter{120};
  kit::Client *alpha = Join("alpha");
  kit::Client *beta = Join("beta");
  ASSERT_EQ(tamb_set_timebase_callback(H(alpha), 0, MeterFill, &meter), 0);
  tamb_transport_start(H(app_));
  Cycle();
  Cycle();
  EXPECT_TRUE(CarriesBbt(Position(), 120));

  hooks::log_clear();
  EXPECT_EQ(tamb_release_timebase(H(alpha)), 0);
  EXPECT_EQ(support::engine_traces(), Trace{"alpha resigned as timebase master"});
  EXPECT_EQ(Control()->pending_position.valid, 0u);
  Cycle();
  EXPECT_EQ(Position().valid, 0u) << "nobody fills the musical fields";
  EXPECT_EQ(tamb_release_timebase(H(alpha)), EINVAL);

  ASSERT_EQ(tamb_set_timebase_callback(H(alpha), 1, MeterFill, &meter), 0);
  Cycle();
  EXPECT_TRUE(CarriesBbt(Position(), 120));

  server_->deactivate(alpha);
  EXPECT_EQ(Control()->current_position.valid, 0u);
  EXPECT_EQ(Control()->pending_position.valid, 0u);
  EXPECT_EQ(Engine()->timebase_client, &alpha->internal) << "still the master";
  int calls = meter.calls;
  Cycle();
  EXPECT_EQ(Position().valid, 0u);
  EXPECT_EQ(meter.calls, calls);
  EXPECT_EQ(tamb_set_timebase_callback(H(beta), 1, MeterFill, &meter), EBUSY);

  server_->activate(alpha);
  int news = meter.new_calls;
  Cycle();
  EXPECT_EQ(meter.new_calls, news + 1) << "told of a new position on its return";
  EXPECT_TRUE(CarriesBbt(Position(), 120));

  hooks::log_clear();
  Remove(alpha);
  EXPECT_EQ(support::engine_traces(), Trace{"timebase master exit"});
  EXPECT_EQ(Engine()->timebase_client, nullptr);
  EXPECT_EQ(Control()->current_position.valid, 0u);
  Cycle();
  EXPECT_EQ(Position().valid, 0u);
  EXPECT_EQ(tamb_set_timebase_callback(H(beta), 1, MeterFill, &meter), 0);
}

// ---- Concurrency --------------------------------------------------------------------------

// A reposition whose every field, the 56 extra bytes included, holds the same number.
void Encode(tamb_position_t *position, uint32_t k) {
  memset(position, 0, sizeof *position);
  position->frame = k;
  position->valid = TAMB_POSITION_BBT;
  position->bar = position->beat = position->tick = static_cast<int32_t>(k);
  position->bar_start_tick = position->ticks_per_beat = position->beats_per_minute = k;
  position->beats_per_bar = position->beat_type = static_cast<float>(k);
  uint64_t wide = k;
  for (size_t at = 0; at < sizeof position->extra; at += sizeof wide) {
    memcpy(position->extra + at, &wide, sizeof wide);
  }
}

// True when the position is one client's write whole: a locate (valid 0, nothing but the
// frame besides the time and rate) or an encoded reposition.
bool Whole(const tamb_position_t &p) {
  if (p.head_id != p.tail_id) return false;
  const auto *bytes = reinterpret_cast<const uint8_t *>(&p);
  if (p.valid == 0) {
    for (size_t at = offsetof(tamb_position_t, valid); at < offsetof(tamb_position_t, tail_id);
         ++at) {
      if (bytes[at] != 0) return false;
    }
    return true;
  }
  tamb_position_t want;
  Encode(&want, p.frame);
  size_t from = offsetof(tamb_position_t, valid);
  return memcmp(bytes + from, reinterpret_cast<const uint8_t *>(&want) + from,
                offsetof(tamb_position_t, tail_id) - from) == 0;
}

uint32_t XorShift(uint32_t *state) {
  *state ^= *state << 13;
  *state ^= *state >> 17;
  *state ^= *state << 5;
  return *state;
}

// Ready three times in four, so that polls end often enough for every state to come up.
int CoinAnswer(tamb_transport_state_t, tamb_position_t *, void *arg) {
  return XorShift(static_cast<uint32_t *>(arg)) % 4 != 0;
}

TEST_F(Session, RandomLocatesAndCommandsKeepTheInvariantsAndNeverTearARequest) {
  Engine()->verbose = 0;
  // XorShift stays at 0 once there, so every state starts odd.
  std::mt19937_64 seeds(support::test_seed());
  auto xorshift_state = [&seeds] { return static_cast<uint32_t>(seeds()) | 1; };
  uint32_t coins[4];
  for (int i = 0; i < 4; ++i) {
    coins[i] = xorshift_state();
    kit::Client *slow = Join(("slow" + std::to_string(i)).c_str());
    ASSERT_EQ(tamb_set_sync_callback(H(slow), CoinAnswer, &coins[i]), 0);
  }
  Meter meter{120};
  ASSERT_EQ(tamb_set_timebase_callback(H(Join("master")), 0, MeterFill, &meter), 0);

  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (uint32_t t = 0; t < 4; ++t) {
    tamb_client_t *client = H(server_->add_client(("writer" + std::to_string(t)).c_str()));
    writers.emplace_back([client, t, random = xorshift_state(), &done]() mutable {
      tamb_position_t position;
      for (uint32_t n = 0; !done.load(std::memory_order_relaxed); ++n) {
        if (t < 3 && n % 2 == 0) {
          tamb_transport_locate(client, XorShift(&random));
        } else if (t < 3) {
          Encode(&position, (t << 20) | (n & 0xfffff));
          tamb_transport_reposition(client, &position);
        } else {
          (XorShift(&random) % 3 ? tamb_transport_start : tamb_transport_stop)(client);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::this_thread::yield();
      }
    });
  }

  uint64_t cycles = 0, taken = 0, repositions = 0, torn = 0, broken = 0, bad_state = 0;
  uint64_t midway = 0;  // cycle ends that began while a client was writing its request
  uint64_t seen[4] = {};
  std::string first_break;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < deadline || cycles < 2000) {
    const tamb_control_t *control = Control();
    midway += TAMB_LOAD(control->requested_position.head_id) !=
              TAMB_LOAD(control->requested_position.tail_id);
    Cycle();
    ++cycles;
    int32_t state = control->transport_state;
    if (state == kStopped || state == kRolling || state == kStarting) {
      ++seen[state];
    } else {
      ++bad_state;
    }
    testing::AssertionResult invariants = support::engine_invariants(Engine());
    if (!invariants && broken++ == 0) first_break = invariants.message();
    if (control->pending_is_new) {
      ++taken;
      const tamb_position_t &pending = control->pending_position;
      repositions += pending.valid != 0;
      if (!Whole(pending) || pending.head_id != control->last_request_id) ++torn;
    }
  }
  done = true;
  for (std::thread &writer : writers) writer.join();

  EXPECT_EQ(broken, 0u) << first_break;
  EXPECT_EQ(torn, 0u) << "of " << taken << " requests taken";
  EXPECT_EQ(bad_state, 0u);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);
  EXPECT_GE(cycles, 2000u);
  EXPECT_GT(repositions, 0u);
  EXPECT_GT(taken - repositions, 0u) << "no locate was taken";
  EXPECT_GT(seen[kStopped], 0u);
  EXPECT_GT(seen[kRolling], 0u);
  EXPECT_GT(seen[kStarting], 0u);
  printf(
      "  %lu cycles (%lu begun mid-write), %lu requests taken (%lu repositions), states "
      "S/R/St: %lu/%lu/%lu\n",
      static_cast<unsigned long>(cycles), static_cast<unsigned long>(midway),
      static_cast<unsigned long>(taken), static_cast<unsigned long>(repositions),
      static_cast<unsigned long>(seen[kStopped]), static_cast<unsigned long>(seen[kRolling]),
      static_cast<unsigned long>(seen[kStarting]));
}

}  // namespace
