// SPDX-License-Identifier: MIT
// The transport engine driven directly on a stand-in server's engine: every row of the cycle
// end's state table, the steps around it (promotion, poll progress, takeover), the timebase and
// slow-sync handlers, the client hooks, the real-time promises and the fatal paths.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine_checks.h"
#include "kit.h"
#include "shared_word.h"
#include "support.h"
#include "tamb/tamb.h"

namespace {

using Trace = std::vector<std::string>;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kFrames = 1024;
constexpr uint64_t kTimeout = 2000000;  // the default sync timeout

constexpr int32_t kStopped = TAMB_TRANSPORT_STOPPED;
constexpr int32_t kRolling = TAMB_TRANSPORT_ROLLING;
constexpr int32_t kStarting = TAMB_TRANSPORT_STARTING;
constexpr int32_t kStart = TAMB_TRANSPORT_CMD_START;
constexpr int32_t kStop = TAMB_TRANSPORT_CMD_STOP;

class Engine : public testing::Test {
 protected:
  void SetUp() override {
    if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
    server_ = support::quiet_server(16, kFrames, kRate);
    engine_ = server_->engine();
    control_ = server_->control();
    engine_->verbose = 1;
  }

  kit::Client *Add(const char *name, bool active = true) {
    kit::Client *client = server_->add_client(name);
    if (active) server_->activate(client);
    return client;
  }

  // An active client registered for slow sync: counted in sync_clients and polled.
  kit::Client *AddSlow(const char *name) {
    kit::Client *client = Add(name);
    EXPECT_EQ(tamb_transport_client_set_sync(engine_, Id(client)), 0);
    return client;
  }

  // The client's callback reported ready, as tamb_call_sync_client does it.
  void Ready(kit::Client *client) {
    client->internal.control->sync_poll = 0;
    control_->sync_remain = control_->sync_remain - 1;
  }

  static tamb_uuid_t Id(kit::Client *client) { return client->internal.control->uuid; }
  static tamb_client_control_t *Flags(kit::Client *client) { return client->internal.control; }

  // One cycle end; the trace lines it produced.
  Trace End() {
    hooks::log_clear();
    tamb_transport_cycle_end(engine_);
    return support::engine_traces();
  }

  // A client's locate or reposition as it lands in the control block.
  void Request(uint64_t id, tamb_nframes_t frame) {
    tamb_position_t &r = control_->requested_position;
    memset(&r, 0, sizeof r);
    r.head_id = r.tail_id = id;
    r.frame = frame;
  }

  std::unique_ptr<kit::Server> server_;
  tamb_engine_t *engine_ = nullptr;
  tamb_control_t *control_ = nullptr;
};

using EngineDeathTest = Engine;

// ---- The state table ----------------------------------------------------------------------

const char *const kCmdStart = "transport command: START";
const char *const kCmdStop = "transport command: STOP";
const char *const kPoll = "transport Starting, sync poll of 1 clients for 2.000000 secs";
const char *const kRoll = "transport Rolling";
const char *const kHalt = "transport Stopped";

// The command a cycle end finds, as previous_cmd and transport_cmd.
enum class Cmd { none, again, start, stop, seven };

struct Command {
  int32_t previous, current;
  const char *name;
};

Command CommandOf(Cmd cmd) {
  switch (cmd) {
    case Cmd::none:
      return {kStop, kStop, "no command"};
    case Cmd::again:
      return {kStart, kStart, "START given again"};
    case Cmd::start:
      return {kStop, kStart, "new START"};
    case Cmd::stop:
      return {kStart, kStop, "new STOP"};
    case Cmd::seven:
      return {kStop, 7, "new command 7"};
  }
  return {};
}

// One row: the state the poll step leaves, the command, the new-position flag the promotion
// sets, whether one active slow-sync client exists, and how many polled clients are still not
// ready; then what the cycle end must leave and log.
struct Row {
  int32_t state;
  Cmd cmd;
  bool new_position;
  bool slow;
  int32_t remain;
  int32_t state_after;
  bool advance;
  int32_t remain_after;
  Trace trace;
};

const char *const kPollHalted = "sync poll halted with 1 clients and 1.978667 secs remaining";
const char *const kLateHalted = "sync poll halted with 1 clients and 0.000000 secs remaining";

// A poll that waits gets one cycle (21333 us) off its two seconds before the table acts; a late
// client still polled while rolling outlived a poll that timed out. The poll step rolls a poll
// with nobody left before the table is consulted, so Starting without slow-sync clients meets
// the table only with a remaining count that no client backs (the last two rows); the rows act
// without looking at it.
// clang-format off
const Row kRows[] = {
  // state     command      new pos slow   remain  state after advance remain  trace
  {kStopped,  Cmd::start,  false, true,  0,  kStarting, false, 1, {kCmdStart, kPoll}},
  {kStopped,  Cmd::start,  true,  true,  0,  kStarting, false, 1, {kCmdStart, kPoll}},
  {kStopped,  Cmd::start,  false, false, 0,  kRolling,  true,  0, {kCmdStart, kRoll}},
  {kStopped,  Cmd::start,  true,  false, 0,  kRolling,  true,  0, {kCmdStart, kRoll}},
  {kStopped,  Cmd::none,   false, false, 0,  kStopped,  false, 0, {}},
  {kStopped,  Cmd::none,   true,  true,  0,  kStopped,  false, 0, {}},
  {kStopped,  Cmd::again,  false, true,  0,  kStopped,  false, 0, {}},
  {kStopped,  Cmd::stop,   false, false, 0,  kStopped,  false, 0, {kCmdStop}},
  {kStopped,  Cmd::seven,  false, true,  0,  kStopped,  false, 0, {kCmdStop}},

  {kRolling,  Cmd::stop,   false, false, 0,  kStopped,  false, 0, {kCmdStop, kHalt}},
  {kRolling,  Cmd::stop,   false, true,  1,  kStopped,  false, 0, {kCmdStop, kHalt, kLateHalted}},
  {kRolling,  Cmd::stop,   true,  true,  0,  kStopped,  false, 0, {kCmdStop, kHalt}},
  {kRolling,  Cmd::again,  true,  true,  0,  kStarting, false, 1, {kPoll}},
  {kRolling,  Cmd::start,  true,  true,  0,  kStarting, false, 1, {kCmdStart, kPoll}},
  {kRolling,  Cmd::again,  true,  false, 0,  kRolling,  true,  0, {}},
  {kRolling,  Cmd::again,  false, true,  0,  kRolling,  true,  0, {}},
  {kRolling,  Cmd::start,  false, false, 0,  kRolling,  true,  0, {kCmdStart}},
  {kRolling,  Cmd::seven,  false, true,  0,  kRolling,  true,  0, {kCmdStop}},

  {kStarting, Cmd::stop,   false, true,  1,  kStopped,  false, 0, {kCmdStop, kHalt, kPollHalted}},
  {kStarting, Cmd::stop,   true,  true,  1,  kStopped,  false, 0, {kCmdStop, kHalt, kPollHalted}},
  {kStarting, Cmd::again,  true,  true,  1,  kStarting, false, 1, {kPoll}},
  {kStarting, Cmd::again,  false, true,  1,  kStarting, false, 1, {}},
  {kStarting, Cmd::start,  false, true,  1,  kStarting, false, 1, {kCmdStart}},
  {kStarting, Cmd::seven,  false, true,  1,  kStarting, false, 1, {kCmdStop}},
  {kStarting, Cmd::again,  true,  false, 1,  kRolling,  true,  1, {kRoll}},
  {kStarting, Cmd::again,  false, false, 1,  kStarting, false, 1, {}},
};
// clang-format on

TEST_F(Engine, EveryRowOfTheStateTableSetsItsStateFrameAndTrace) {
  for (const Row &row : kRows) {
    Command command = CommandOf(row.cmd);
    SCOPED_TRACE(testing::Message()
                 << "state " << row.state << ", " << command.name << ", new position "
                 << row.new_position << ", slow-sync " << row.slow << ", remaining " << row.remain);
    server_.reset();
    SetUp();
    kit::Client *slow = nullptr;
    if (row.slow) {
      slow = AddSlow("slow");
      if (row.remain == 0) Ready(slow);
    } else {
      control_->sync_remain = row.remain;
    }
    control_->sync_time_left = row.remain != 0 && row.state == kStarting ? kTimeout : 0;
    control_->transport_state = row.state;
    control_->previous_cmd = command.previous;
    control_->transport_cmd = command.current;
    control_->pending_is_new = row.new_position;
    control_->current_position.frame = 4000;
    control_->next_frame = 5000;

    EXPECT_EQ(End(), row.trace);
    EXPECT_EQ(control_->transport_state, row.state_after);
    EXPECT_EQ(control_->previous_cmd, command.current);
    EXPECT_EQ(control_->new_position, row.new_position ? 1 : 0);
    EXPECT_EQ(control_->current_position.frame, 5000u);
    tamb_nframes_t next = row.advance ? 5000 + kFrames : 5000;
    EXPECT_EQ(control_->pending_position.frame, next);
    EXPECT_EQ(control_->next_frame, next);
    EXPECT_EQ(control_->sync_remain, row.remain_after);
    if (slow != nullptr) {
      EXPECT_EQ(Flags(slow)->sync_poll, row.remain_after);
      EXPECT_TRUE(support::engine_invariants(engine_));
    }
    if (row.state_after == kStopped && row.remain != 0) {
      EXPECT_EQ(control_->sync_time_left, 0u) << "a halted poll has no time left";
    }
    if (std::find(row.trace.begin(), row.trace.end(), kPoll) != row.trace.end()) {
      EXPECT_EQ(control_->sync_time_left, kTimeout) << "a new poll has the whole timeout";
    }
  }
}

TEST_F(Engine, InvalidStateIsReportedOnEveryCycleEndAndLeftAlone) {
  for (int32_t state : {2, 7, -1}) {
    SCOPED_TRACE(state);
    for (uint8_t verbose : {1, 0}) {
      engine_->verbose = verbose;
      AddSlow(verbose ? "verbose" : "quiet");
      control_->transport_state = state;
      control_->previous_cmd = kStop;
      control_->transport_cmd = kStart;
      control_->pending_is_new = 1;
      control_->next_frame = 5000;
      hooks::log_clear();
      tamb_transport_cycle_end(engine_);
      tamb_transport_cycle_end(engine_);
      std::string text = "invalid TAMB transport state: " + std::to_string(state);
      ASSERT_EQ(hooks::log_count(hooks::Level::error), 2u);
      EXPECT_TRUE(hooks::log_has(hooks::Level::error, text));
      EXPECT_EQ(support::engine_traces(), verbose ? Trace{kCmdStart} : Trace{});
      EXPECT_EQ(control_->transport_state, state);
      EXPECT_EQ(control_->previous_cmd, kStart) << "the command is taken, though nothing acts";
      EXPECT_EQ(control_->next_frame, 5000u);
      EXPECT_EQ(control_->pending_position.frame, 5000u);
      EXPECT_EQ(control_->sync_time_left, kTimeout) << "no poll progress outside Starting";
    }
  }
}

// ---- Promotion, poll progress, takeover ---------------------------------------------------

TEST_F(Engine, CycleEndPromotesThePendingPositionWithTheCyclesTimeRateAndFrame) {
  tamb_position_t &pending = control_->pending_position;
  pending.head_id = pending.tail_id = 41;
  pending.usecs = 1;
  pending.frame_rate = 1;
  pending.frame = 1;  // what a timebase master may have written; next_frame wins
  pending.valid = TAMB_POSITION_BBT;
  pending.bar = 3;
  pending.beats_per_minute = 140;
  memset(pending.extra, 0xab, sizeof pending.extra);
  control_->next_frame = 96000;
  control_->pending_is_new = 1;
  control_->last_request_id = 41;
  control_->requested_position.head_id = 41;
  const tamb_position_t &current = control_->current_position;
  uint64_t before = current.head_id;
  tamb_transport_cycle_start(engine_, 7000000);
  EXPECT_EQ(current.usecs, 7000000u);
  uint64_t started = current.head_id;
  EXPECT_NE(started, before) << "a reader spanning the write must see new guards";
  EXPECT_EQ(current.tail_id, started);

  tamb_transport_cycle_end(engine_);
  EXPECT_NE(current.head_id, started);
  EXPECT_EQ(current.tail_id, current.head_id);
  EXPECT_EQ(current.head_id & 0xffffffffu, 41u) << "the position's id in the low half";
  EXPECT_EQ(current.head_id >> 32, (started >> 32) + 1) << "one more write";
  EXPECT_EQ(current.usecs, 7000000u);
  EXPECT_EQ(current.frame_rate, kRate);
  EXPECT_EQ(current.frame, 96000u);
  EXPECT_EQ(current.valid, uint32_t{TAMB_POSITION_BBT});
  EXPECT_EQ(current.bar, 3);
  EXPECT_EQ(current.beats_per_minute, 140);
  EXPECT_EQ(current.extra[0], 0xab);
  EXPECT_EQ(current.extra[55], 0xab);
  EXPECT_EQ(control_->new_position, 1);
  EXPECT_EQ(pending.usecs, 7000000u);
  EXPECT_EQ(pending.frame_rate, kRate);

  tamb_transport_cycle_end(engine_);
  EXPECT_EQ(control_->new_position, 0) << "new for exactly one cycle";
}

TEST_F(Engine, WaitingPollCountsDownWholeCycleMicrosecondsAndTimesOut) {
  kit::Client *slow = AddSlow("slow");
  control_->transport_state = kStarting;

  control_->sync_time_left = kTimeout;
  EXPECT_EQ(End(), Trace{});
  EXPECT_EQ(control_->sync_time_left, kTimeout - 21333);

  control_->sync_time_left = 21334;
  End();
  EXPECT_EQ(control_->sync_time_left, 1u);
  EXPECT_EQ(control_->transport_state, kStarting);
  EXPECT_EQ(End(),
            (Trace{"transport sync timeout", "transport Rolling, 0.000000 sec left for poll"}));
  EXPECT_EQ(control_->transport_state, kRolling);

  // A cycle exactly as long as what is left ends the poll too; late clients stay polled.
  control_->transport_state = kStarting;
  control_->sync_time_left = 21333;
  EXPECT_EQ(End(),
            (Trace{"transport sync timeout", "transport Rolling, 0.000000 sec left for poll"}));
  EXPECT_EQ(control_->transport_state, kRolling);
  EXPECT_EQ(control_->sync_time_left, 0u);
  EXPECT_EQ(control_->sync_remain, 1);
  EXPECT_EQ(Flags(slow)->sync_poll, 1);
  EXPECT_EQ(control_->next_frame, 2 * kFrames) << "rolling from the cycle end that rolls";

  // 1024 frames at 44100 Hz last 23219.95 us, counted as 23219.
  server_->set_sample_rate(44100);
  control_->transport_state = kStarting;
  control_->sync_time_left = kTimeout;
  End();
  EXPECT_EQ(control_->sync_time_left, kTimeout - 23219);

  // 8192 frames times 1000000 overflows 32 bits: 170666 us at 48 kHz.
  server_->set_sample_rate(kRate);
  control_->buffer_size = 8192;
  control_->sync_time_left = kTimeout;
  End();
  EXPECT_EQ(control_->sync_time_left, kTimeout - 170666);
}

TEST_F(Engine, PollWithEveryClientReadyRollsAndAdvancesAtOnce) {
  kit::Client *slow = AddSlow("slow");
  Ready(slow);
  control_->transport_state = kStarting;
  control_->sync_time_left = 1500000;
  control_->next_frame = 2048;
  EXPECT_EQ(End(), Trace{"transport Rolling, 1.500000 sec left for poll"});
  EXPECT_EQ(control_->transport_state, kRolling);
  EXPECT_EQ(control_->sync_time_left, 1500000u);
  EXPECT_EQ(control_->next_frame, 2048 + kFrames);
}

// Without a sample rate a cycle has no length: the poll cannot be timed, and rather than
// divide by zero or keep the transport waiting for good it ends as timed out.
TEST_F(Engine, PollWithoutSampleRateEndsAtOnceAsTimedOut) {
  kit::Client *slow = AddSlow("slow");
  server_->set_sample_rate(0);
  control_->transport_state = kStarting;
  control_->sync_time_left = kTimeout;
  EXPECT_EQ(End(),
            (Trace{"transport sync timeout", "transport Rolling, 0.000000 sec left for poll"}));
  EXPECT_EQ(control_->transport_state, kRolling);
  EXPECT_EQ(control_->sync_time_left, 0u);
  EXPECT_EQ(Flags(slow)->sync_poll, 1) << "the late client is still called";
  EXPECT_TRUE(support::engine_invariants(engine_));
}

TEST_F(Engine, RequestedPositionIsTakenOnceAndWaitsACycleInPending) {
  control_->transport_state = kRolling;
  control_->next_frame = 1024;
  Request(0x2a, 480000);
  memset(control_->requested_position.extra, 0x5c, sizeof control_->requested_position.extra);
  control_->requested_position.valid = 0x20;

  EXPECT_EQ(End(), Trace{"new transport position: 480000, id=0x2a"});
  EXPECT_EQ(control_->current_position.frame, 1024u);
  EXPECT_EQ(control_->pending_is_new, 1);
  EXPECT_EQ(control_->last_request_id, 0x2au);
  EXPECT_EQ(control_->next_frame, 480000u) << "the request replaces the advanced frame";
  EXPECT_EQ(
      memcmp(&control_->pending_position, &control_->requested_position, sizeof(tamb_position_t)),
      0);

  EXPECT_EQ(End(), Trace{}) << "the same id is not taken again";
  EXPECT_EQ(control_->current_position.frame, 480000u);
  EXPECT_EQ(static_cast<int32_t>(control_->current_position.head_id), 0x2a);
  EXPECT_EQ(control_->current_position.valid, 0x20u);
  EXPECT_EQ(control_->current_position.frame_rate, kRate) << "the engine's rate, not the request's";
  EXPECT_EQ(control_->new_position, 1);
  EXPECT_EQ(control_->pending_is_new, 0);
  EXPECT_EQ(control_->next_frame, 480000 + kFrames);

  End();
  EXPECT_EQ(control_->new_position, 0);
  EXPECT_EQ(control_->current_position.frame, 480000 + kFrames);
}

// A client died between the head and tail stores of its request. The cycle ends go on without
// waiting, leave the half-written record alone and report it once when it outlasts the sync
// timeout; the next complete request is taken as usual.
TEST_F(Engine, HalfWrittenRequestNeverHoldsUpACycleEndAndIsReportedOnce) {
  control_->transport_state = kRolling;
  Request(7, 480000);
  control_->requested_position.tail_id = 6;
  tamb_time_t now = 1000000;
  constexpr int kCycles = 2 * kTimeout / 21333 + 2;
  for (int i = 0; i < kCycles; ++i, now += 21333) {
    tamb_transport_cycle_start(engine_, now);
    tamb_transport_cycle_end(engine_);
    ASSERT_EQ(control_->pending_is_new, 0) << "cycle " << i;
  }
  EXPECT_EQ(control_->last_request_id, 0u);
  EXPECT_EQ(control_->current_position.frame, (kCycles - 1) * kFrames) << "still rolling";
  std::vector<hooks::Message> errors;
  for (const hooks::Message &m : hooks::log_messages()) {
    if (m.level == hooks::Level::error) errors.push_back(m);
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].text,
            "requested position 0x7 half written for 2.005302 secs; waiting for a complete one");

  Request(9, 96000);
  tamb_transport_cycle_start(engine_, now);
  EXPECT_EQ(End(), Trace{"new transport position: 96000, id=0x9"});
  EXPECT_EQ(control_->last_request_id, 9u);
  EXPECT_EQ(control_->next_frame, 96000u);
}

TEST_F(Engine, FrameWrapsAtTwoToTheThirtyTwo) {
  control_->transport_state = kRolling;
  control_->next_frame = 0xffffff00u;
  End();
  EXPECT_EQ(control_->next_frame, 0x300u);
}

// ---- Initialisation and sample rate ------------------------------------------------------

TEST_F(Engine, InitialisationRestoresEveryTransportFieldAndDropsTheMaster) {
  kit::Client *master = Add("master");
  ASSERT_EQ(tamb_timebase_set(engine_, Id(master), 0), 0);
  memset(control_, 0x5a, offsetof(tamb_control_t, frame_timer));
  control_->buffer_size = 256;

  EXPECT_EQ(tamb_transport_init(engine_), 0);
  EXPECT_EQ(engine_->timebase_client, nullptr);
  EXPECT_EQ(control_->transport_state, kStopped);
  EXPECT_EQ(control_->transport_cmd, kStop);
  EXPECT_EQ(control_->previous_cmd, kStop);
  const tamb_position_t zero{};
  for (const tamb_position_t *p :
       {&control_->current_position, &control_->pending_position, &control_->requested_position}) {
    EXPECT_EQ(memcmp(p, &zero, sizeof zero), 0);
  }
  EXPECT_EQ(control_->last_request_id, 0u);
  EXPECT_EQ(control_->position_id_counter, 1u);
  EXPECT_EQ(control_->new_position, 0);
  EXPECT_EQ(control_->pending_is_new, 0);
  EXPECT_EQ(control_->next_frame, 0u);
  EXPECT_EQ(control_->sync_clients, 0);
  EXPECT_EQ(control_->sync_remain, 0);
  EXPECT_EQ(control_->sync_timeout, kTimeout);
  EXPECT_EQ(control_->sync_time_left, 0u);
  EXPECT_EQ(control_->buffer_size, 256u) << "the server's own field";

  uint64_t guard = control_->current_position.head_id;
  EXPECT_EQ(tamb_set_sample_rate(engine_, 96000), 0);
  EXPECT_EQ(control_->current_position.frame_rate, 96000u);
  EXPECT_NE(control_->current_position.head_id, guard) << "written under a new guard";
  EXPECT_EQ(control_->current_position.tail_id, control_->current_position.head_id);
  EXPECT_EQ(control_->pending_position.frame_rate, 96000u);
  EXPECT_EQ(control_->requested_position.frame_rate, 0u);
}

// ---- Timebase master ----------------------------------------------------------------------

TEST_F(Engine, ConditionalTimebaseRequestsNeverTakeTheRoleFromAnotherMaster) {
  kit::Client *a = Add("alpha");
  kit::Client *b = Add("beta");
  hooks::log_clear();
  EXPECT_EQ(tamb_timebase_set(engine_, Id(a), 1), 0);
  EXPECT_EQ(engine_->timebase_client, &a->internal);
  EXPECT_EQ(Flags(a)->timebase_master, 1);
  EXPECT_EQ(Flags(a)->timebase_new, 1);
  Flags(a)->timebase_new = 0;  // its first timebase run took the flag

  EXPECT_EQ(tamb_timebase_set(engine_, Id(a), 1), 0);
  EXPECT_EQ(Flags(a)->timebase_new, 0) << "a conditional request from the master changes nothing";

  EXPECT_EQ(tamb_timebase_set(engine_, Id(b), 1), EBUSY);
  EXPECT_EQ(engine_->timebase_client, &a->internal);
  EXPECT_EQ(Flags(a)->timebase_master, 1);
  EXPECT_EQ(Flags(b)->timebase_master, 0);
  EXPECT_EQ(support::engine_traces(),
            (Trace{"new timebase master: alpha", " alpha was already timebase master:",
                   "conditional timebase for beta failed", " alpha is already the master"}));
}

TEST_F(Engine, UnconditionalTimebaseRequestTakesTheRoleAndRenewsTheMaster) {
  kit::Client *a = Add("alpha");
  kit::Client *b = Add("beta");
  ASSERT_EQ(tamb_timebase_set(engine_, Id(a), 0), 0);
  hooks::log_clear();

  EXPECT_EQ(tamb_timebase_set(engine_, Id(b), 0), 0);
  EXPECT_EQ(engine_->timebase_client, &b->internal);
  EXPECT_EQ(Flags(a)->timebase_master, 0);
  EXPECT_EQ(Flags(a)->timebase_new, 0);
  EXPECT_EQ(Flags(b)->timebase_master, 1);
  EXPECT_EQ(Flags(b)->timebase_new, 1);

  Flags(b)->timebase_new = 0;
  EXPECT_EQ(tamb_timebase_set(engine_, Id(b), 0), 0);
  EXPECT_EQ(Flags(b)->timebase_master, 1);
  EXPECT_EQ(Flags(b)->timebase_new, 1) << "an active master is told of a new position again";
  EXPECT_EQ(support::engine_traces(),
            (Trace{"new timebase master: beta", "new timebase master: beta"}));
}

TEST_F(Engine, InactiveMasterIsAnnouncedOnlyAtActivation) {
  kit::Client *idle = Add("idle", false);
  EXPECT_EQ(tamb_timebase_set(engine_, Id(idle), 0), 0);
  EXPECT_EQ(Flags(idle)->timebase_master, 1);
  EXPECT_EQ(Flags(idle)->timebase_new, 0);
  server_->activate(idle);
  EXPECT_EQ(Flags(idle)->timebase_new, 1);
}

TEST_F(Engine, UnknownClientsAndNonMastersAreRefusedWithoutChange) {
  kit::Client *a = Add("alpha");
  kit::Client *b = Add("beta");
  ASSERT_EQ(tamb_timebase_set(engine_, Id(a), 0), 0);
  control_->pending_position.valid = TAMB_POSITION_BBT;
  hooks::log_clear();

  tamb_uuid_t gone = (tamb_uuid_t{2} << 32) | 9999;
  EXPECT_EQ(tamb_timebase_set(engine_, gone, 0), EINVAL);
  EXPECT_EQ(tamb_timebase_reset(engine_, gone), EINVAL);
  EXPECT_EQ(tamb_timebase_reset(engine_, Id(b)), EINVAL);
  EXPECT_EQ(tamb_transport_client_set_sync(engine_, gone), EINVAL);
  EXPECT_EQ(tamb_transport_client_reset_sync(engine_, gone), EINVAL);
  EXPECT_EQ(tamb_transport_client_reset_sync(engine_, Id(b)), EINVAL) << "not a slow-sync client";
  EXPECT_EQ(support::engine_traces(), Trace{" 9999 no longer exists"});
  EXPECT_EQ(engine_->timebase_client, &a->internal);
  EXPECT_EQ(control_->pending_position.valid, uint32_t{TAMB_POSITION_BBT});
  EXPECT_EQ(control_->sync_clients, 0);
  EXPECT_TRUE(support::engine_invariants(engine_));
}

TEST_F(Engine, ResigningMasterClearsTheRoleAndThePendingMusicalFields) {
  kit::Client *a = Add("alpha");
  ASSERT_EQ(tamb_timebase_set(engine_, Id(a), 0), 0);
  control_->pending_position.valid = TAMB_POSITION_BBT;
  control_->current_position.valid = TAMB_POSITION_BBT;
  hooks::log_clear();
  EXPECT_EQ(tamb_timebase_reset(engine_, Id(a)), 0);
  EXPECT_EQ(engine_->timebase_client, nullptr);
  EXPECT_EQ(Flags(a)->timebase_master, 0);
  EXPECT_EQ(Flags(a)->timebase_new, 0);
  EXPECT_EQ(control_->pending_position.valid, 0u);
  EXPECT_EQ(control_->current_position.valid, uint32_t{TAMB_POSITION_BBT}) << "until promotion";
  EXPECT_EQ(support::engine_traces(), Trace{"alpha resigned as timebase master"});
  EXPECT_EQ(tamb_timebase_reset(engine_, Id(a)), EINVAL);
}

TEST_F(Engine, DeactivatedMasterKeepsTheRoleAndRemovedMasterLosesIt) {
  kit::Client *a = Add("alpha");
  ASSERT_EQ(tamb_timebase_set(engine_, Id(a), 0), 0);
  control_->pending_position.valid = TAMB_POSITION_BBT;
  control_->current_position.valid = TAMB_POSITION_BBT;
  hooks::log_clear();

  server_->deactivate(a);
  EXPECT_EQ(control_->pending_position.valid, 0u);
  EXPECT_EQ(control_->current_position.valid, 0u);
  EXPECT_EQ(engine_->timebase_client, &a->internal);
  EXPECT_EQ(Flags(a)->timebase_master, 1);
  EXPECT_EQ(support::engine_traces(), Trace{});

  Flags(a)->timebase_new = 0;
  server_->activate(a);
  EXPECT_EQ(Flags(a)->timebase_new, 1) << "re-announced at its next activation";

  // The hook alone, as the server calls it before it drops the client's record.
  control_->current_position.valid = TAMB_POSITION_BBT;
  Flags(a)->exiting = 1;
  Flags(a)->active = 0;
  tamb_transport_client_exit(engine_, &a->internal);
  EXPECT_EQ(engine_->timebase_client, nullptr);
  EXPECT_EQ(Flags(a)->timebase_master, 0);
  EXPECT_EQ(Flags(a)->timebase_new, 0);
  EXPECT_EQ(control_->current_position.valid, 0u);
  EXPECT_EQ(support::engine_traces(), Trace{"timebase master exit"});

  // Another client's exit leaves the positions alone.
  kit::Client *b = Add("beta");
  control_->current_position.valid = TAMB_POSITION_BBT;
  server_->deactivate(b);
  EXPECT_EQ(control_->current_position.valid, uint32_t{TAMB_POSITION_BBT});
}

// ---- Slow-sync clients --------------------------------------------------------------------

TEST_F(Engine, RegisteringAnActiveSlowSyncClientPollsItAndMakesARollingTransportWait) {
  kit::Client *a = Add("alpha");
  control_->sync_timeout = 500000;
  hooks::log_clear();
  EXPECT_EQ(tamb_transport_client_set_sync(engine_, Id(a)), 0);
  EXPECT_EQ(support::engine_traces(), Trace{"polling sync client alpha"});
  EXPECT_EQ(control_->transport_state, kStopped) << "stopped stays stopped";
  EXPECT_EQ(Flags(a)->slowsync, 1);
  EXPECT_EQ(Flags(a)->active_slowsync, 1);
  EXPECT_EQ(Flags(a)->sync_poll, 1);
  EXPECT_EQ(Flags(a)->sync_poll_new, 1);
  EXPECT_EQ(control_->sync_clients, 1);
  EXPECT_EQ(control_->sync_remain, 1);
  EXPECT_EQ(control_->sync_time_left, 500000u);
  EXPECT_TRUE(support::engine_invariants(engine_));

  // Again while still polled: counted once.
  EXPECT_EQ(tamb_transport_client_set_sync(engine_, Id(a)), 0);
  EXPECT_EQ(control_->sync_clients, 1);
  EXPECT_EQ(control_->sync_remain, 1);

  // Again after it reported ready, while rolling: polled anew and the transport waits.
  Ready(a);
  Flags(a)->sync_poll_new = 0;
  control_->transport_state = kRolling;
  control_->sync_time_left = 3;
  hooks::log_clear();
  EXPECT_EQ(tamb_transport_client_set_sync(engine_, Id(a)), 0);
  EXPECT_EQ(support::engine_traces(),
            (Trace{"force transport state to Starting", "polling sync client alpha"}));
  EXPECT_EQ(control_->transport_state, kStarting);
  EXPECT_EQ(Flags(a)->sync_poll, 1);
  EXPECT_EQ(Flags(a)->sync_poll_new, 1);
  EXPECT_EQ(control_->sync_remain, 1);
  EXPECT_EQ(control_->sync_time_left, 500000u);
  EXPECT_TRUE(support::engine_invariants(engine_));
}

TEST_F(Engine, InactiveClientOnlyRecordsItsSlowSyncRegistrationUntilActivation) {
  kit::Client *idle = Add("idle", false);
  control_->transport_state = kRolling;
  hooks::log_clear();
  EXPECT_EQ(tamb_transport_client_set_sync(engine_, Id(idle)), 0);
  EXPECT_EQ(Flags(idle)->slowsync, 1);
  EXPECT_EQ(Flags(idle)->active_slowsync, 0);
  EXPECT_EQ(Flags(idle)->sync_poll, 0);
  EXPECT_EQ(control_->sync_clients, 0);
  EXPECT_EQ(control_->transport_state, kRolling);
  EXPECT_EQ(support::engine_traces(), Trace{});

  server_->activate(idle);
  EXPECT_EQ(support::engine_traces(),
            (Trace{"force transport state to Starting", "polling sync client idle"}));
  EXPECT_EQ(Flags(idle)->active_slowsync, 1);
  EXPECT_EQ(Flags(idle)->sync_poll, 1);
  EXPECT_EQ(Flags(idle)->sync_poll_new, 1);
  EXPECT_EQ(control_->sync_clients, 1);
  EXPECT_EQ(control_->sync_remain, 1);
  EXPECT_EQ(control_->sync_time_left, kTimeout);
  EXPECT_EQ(control_->transport_state, kStarting);
  EXPECT_TRUE(support::engine_invariants(engine_));

  // Unregistered while inactive: only the registration goes.
  server_->deactivate(idle);
  hooks::log_clear();
  EXPECT_EQ(tamb_transport_client_reset_sync(engine_, Id(idle)), 0);
  EXPECT_EQ(Flags(idle)->slowsync, 0);
  EXPECT_EQ(support::engine_traces(), Trace{});
  server_->activate(idle);
  EXPECT_EQ(control_->sync_clients, 0);
  EXPECT_TRUE(support::engine_invariants(engine_));
}

TEST_F(Engine, LeavingSlowSyncClientsDropOutOfTheRunningPoll) {
  kit::Client *a = AddSlow("alpha");
  kit::Client *b = AddSlow("beta");
  kit::Client *c = AddSlow("gamma");
  Ready(c);
  ASSERT_EQ(control_->sync_remain, 2);
  hooks::log_clear();

  EXPECT_EQ(tamb_transport_client_reset_sync(engine_, Id(a)), 0);
  EXPECT_EQ(Flags(a)->slowsync, 0);
  EXPECT_EQ(Flags(a)->active_slowsync, 0);
  EXPECT_EQ(Flags(a)->sync_poll, 0);
  EXPECT_EQ(Flags(a)->sync_poll_new, 0);
  EXPECT_EQ(control_->sync_remain, 1);
  EXPECT_EQ(control_->sync_clients, 2);

  // Deactivation keeps the registration; activation polls the client again.
  server_->deactivate(b);
  EXPECT_EQ(Flags(b)->slowsync, 1);
  EXPECT_EQ(Flags(b)->active_slowsync, 0);
  EXPECT_EQ(control_->sync_remain, 0);
  EXPECT_EQ(control_->sync_clients, 1);

  // A client that already reported ready leaves without a message.
  server_->deactivate(c);
  EXPECT_EQ(control_->sync_clients, 0);
  EXPECT_EQ(support::engine_traces(), (Trace{"sync poll interrupted for client alpha",
                                             "sync poll interrupted for client beta"}));
  EXPECT_TRUE(support::engine_invariants(engine_));

  server_->activate(b);
  EXPECT_EQ(control_->sync_remain, 1);
  EXPECT_EQ(control_->sync_clients, 1);
  server_->remove_client(b);
  EXPECT_EQ(control_->sync_remain, 0);
  EXPECT_EQ(control_->sync_clients, 0);
  EXPECT_TRUE(support::engine_invariants(engine_));
}

TEST_F(Engine, SyncTimeoutAppliesToTheNextPollOnly) {
  AddSlow("alpha");
  ASSERT_EQ(control_->sync_time_left, kTimeout);
  hooks::log_clear();
  EXPECT_EQ(tamb_transport_set_sync_timeout(engine_, 250000), 0);
  EXPECT_EQ(support::engine_traces(), Trace{"new sync timeout: 0.250000 secs"});
  EXPECT_EQ(control_->sync_timeout, 250000u);
  EXPECT_EQ(control_->sync_time_left, kTimeout);
  control_->transport_cmd = kStart;
  End();
  EXPECT_EQ(control_->sync_time_left, 250000u);

  // The field straddles a cache line and is stored in pieces: every byte must land, in order.
  const uint64_t every_byte = 0x0123456789abcdefu;
  tamb_transport_set_sync_timeout(engine_, every_byte);
  uint8_t stored[8];
  memcpy(stored, reinterpret_cast<const char *>(control_) + 446, sizeof stored);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(stored[i], static_cast<uint8_t>(every_byte >> (8 * i)));
  EXPECT_EQ(tamb::sync_timeout_load(control_), every_byte);
}

TEST_F(Engine, NewClientHasEveryTransportFlagCleared) {
  kit::Client *a = Add("alpha");
  tamb_client_control_t *flags = Flags(a);
  flags->timebase_master = flags->timebase_new = flags->slowsync = flags->active_slowsync = 1;
  flags->sync_poll = flags->sync_poll_new = flags->sync_cb_set = flags->timebase_cb_set = 1;
  flags->sample_rate_cb_set = flags->property_cb_set = 1;
  tamb_transport_client_new(&a->internal);
  EXPECT_EQ(flags->timebase_master + flags->timebase_new + flags->slowsync +
                flags->active_slowsync + flags->sync_poll + flags->sync_poll_new +
                flags->sync_cb_set + flags->timebase_cb_set,
            0);
  EXPECT_EQ(flags->active, 1);
  EXPECT_EQ(flags->sample_rate_cb_set, 1);
  EXPECT_EQ(flags->property_cb_set, 1);
  EXPECT_STREQ(flags->name, "alpha");
}

TEST_F(Engine, QuietEngineLogsNothingButStillReportsAnInvalidState) {
  engine_->verbose = 0;
  kit::Client *a = AddSlow("alpha");
  ASSERT_EQ(tamb_timebase_set(engine_, Id(a), 0), 0);
  tamb_transport_set_sync_timeout(engine_, 100000);
  control_->transport_cmd = kStart;
  for (int cycle = 0; cycle < 8; ++cycle) tamb_transport_cycle_end(engine_);
  EXPECT_EQ(control_->transport_state, kRolling) << "the poll timed out";
  Request(9, 100);
  tamb_transport_cycle_end(engine_);
  control_->transport_cmd = kStop;
  tamb_transport_cycle_end(engine_);
  server_->remove_client(a);
  EXPECT_EQ(hooks::log_count(hooks::Level::trace), 0u);
  control_->transport_state = 2;
  tamb_transport_cycle_end(engine_);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 1u);
}

// ---- Real time ----------------------------------------------------------------------------

// Every kind of cycle end: start with a poll of 16 clients, waiting, ready, locates while
// rolling and starting, timeout, stop with a halted poll, and the invalid state report.
void CycleThroughEveryStep(tamb_engine_t *engine, std::vector<kit::Client *> &slow) {
  tamb_control_t *control = engine->control;
  tamb_time_t now = 1000000;
  auto cycle = [&] {
    tamb_transport_cycle_start(engine, now);
    tamb_transport_cycle_end(engine);
    now += 21333;
  };
  control->transport_cmd = kStart;
  cycle();
  cycle();
  for (kit::Client *client : slow) {
    client->internal.control->sync_poll = 0;
    --control->sync_remain;
  }
  cycle();
  uint64_t id = control->last_request_id + 1;
  control->requested_position.head_id = control->requested_position.tail_id = id;
  cycle();
  cycle();
  for (int i = 0; i < 100; ++i) cycle();
  control->transport_cmd = kStop;
  cycle();
  control->transport_state = 2;
  cycle();
  control->transport_state = kStopped;
  // A request left half written for longer than the sync timeout: reported once, meanwhile.
  control->requested_position.head_id = id + 1;
  for (int i = 0; i < 100; ++i) cycle();
  control->requested_position.tail_id = id + 1;
  cycle();
}

TEST_F(Engine, CycleFunctionsMakeNoHeapCalls) {
  if (!support::HeapCounter::available()) GTEST_SKIP() << "sanitizer build owns the heap";
  std::vector<kit::Client *> slow;
  for (int i = 0; i < 16; ++i) slow.push_back(AddSlow(("slow" + std::to_string(i)).c_str()));
  for (uint8_t verbose : {0, 1}) {
    engine_->verbose = verbose;
    hooks::log_clear();
    uint64_t calls;
    {
      support::HeapCounter counter;
      CycleThroughEveryStep(engine_, slow);
      calls = counter.calls();
    }
    EXPECT_EQ(calls, 0u) << "verbose " << int{verbose};
    EXPECT_GT(hooks::log_messages().size(), 0u);
  }
}

// If a cycle function took the client lock in any mode, it would wait here for a holder that
// only lets go after the cycles ran.
TEST_F(Engine, CycleFunctionsRunWhileTheClientLockIsHeldForWriting) {
  std::vector<kit::Client *> slow;
  for (int i = 0; i < 16; ++i) slow.push_back(AddSlow(("slow" + std::to_string(i)).c_str()));
  std::promise<void> locked;
  std::promise<void> release;
  std::thread holder([&] {
    pthread_rwlock_wrlock(&engine_->client_lock);
    locked.set_value();
    release.get_future().wait();
    pthread_rwlock_unlock(&engine_->client_lock);
  });
  locked.get_future().wait();
  auto cycles = std::async(std::launch::async, [&] { CycleThroughEveryStep(engine_, slow); });
  bool finished = cycles.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  release.set_value();
  holder.join();
  cycles.wait();
  EXPECT_TRUE(finished) << "a cycle function waited for the client lock";
  EXPECT_EQ(control_->transport_state, kStopped);
}

TEST_F(Engine, RegistrationHandlersWaitForTheClientLock) {
  kit::Client *a = Add("alpha");
  std::promise<void> locked;
  std::promise<void> release;
  std::thread reader([&] {
    pthread_rwlock_rdlock(&engine_->client_lock);
    locked.set_value();
    release.get_future().wait();
    pthread_rwlock_unlock(&engine_->client_lock);
  });
  locked.get_future().wait();
  EXPECT_EQ(tamb_transport_set_sync_timeout(engine_, 300000), 0) << "takes no lock";
  auto handler = std::async(std::launch::async, [&] {
    return tamb_transport_client_set_sync(engine_, Id(a)) + tamb_timebase_set(engine_, Id(a), 0) +
           tamb_timebase_reset(engine_, Id(a)) + tamb_transport_client_reset_sync(engine_, Id(a));
  });
  EXPECT_EQ(handler.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(Flags(a)->slowsync, 0);
  release.set_value();
  reader.join();
  EXPECT_EQ(handler.get(), 0);
  EXPECT_TRUE(support::engine_invariants(engine_));
}

// ---- Fatal paths --------------------------------------------------------------------------

TEST_F(EngineDeathTest, HandlerThatCannotTakeTheClientLockAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  hooks::log_set_echo(true);
  kit::Client *a = Add("alpha");
  tamb_uuid_t id = Id(a);
  // The lock is already this thread's, so taking it again fails with EDEADLK.
  auto relock = [&](auto handler) {
    pthread_rwlock_wrlock(&engine_->client_lock);
    handler();
  };
  const char *message = "cannot take the engine's client lock";
  EXPECT_DEATH(relock([&] { tamb_timebase_set(engine_, id, 0); }), message);
  EXPECT_DEATH(relock([&] { tamb_timebase_reset(engine_, id); }), message);
  EXPECT_DEATH(relock([&] { tamb_transport_client_set_sync(engine_, id); }), message);
  EXPECT_DEATH(relock([&] { tamb_transport_client_reset_sync(engine_, id); }), message);
}

TEST_F(EngineDeathTest, BrokenCountingInvariantsStopTheServer) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  kit::Client *a = AddSlow("alpha");
  EXPECT_DEATH(
      {
        control_->sync_clients = 2;
        control_->transport_cmd = kStart;
        tamb_transport_cycle_end(engine_);
      },
      "tamb_sync_poll_start: Assertion `sync_count == engine->control->sync_clients' failed\\.");
  EXPECT_DEATH(
      {
        control_->transport_state = kStarting;
        control_->sync_remain = 2;
        control_->transport_cmd = kStop;
        control_->previous_cmd = kStart;
        tamb_transport_cycle_end(engine_);
      },
      "tamb_sync_poll_stop: Assertion `poll_count == engine->control->sync_remain' failed\\.");
  EXPECT_DEATH(
      {
        control_->sync_clients = 0;
        tamb_transport_client_reset_sync(engine_, Id(a));
      },
      "tamb_sync_poll_deactivate: Assertion `engine->control->sync_clients >= 0' failed\\.");
  EXPECT_DEATH(tamb_transport_activate(engine_, &a->internal),
               "tamb_transport_activate: Assertion `!client->control->active_slowsync' failed\\.");
}

}  // namespace

namespace {

int always_ready(tamb_transport_state_t, tamb_position_t *, void *) { return 1; }

// A client reporting ready on its process thread while the server drops and re-registers it:
// both sides clear sync_poll, and only the side that clears it may count the client out of
// sync_remain, or the count drops below the polled clients and the next stop aborts.
TEST_F(Engine, ReadyReportRacingARemovalCountsTheClientOutOnce) {
  engine_->verbose = 0;
  kit::Client *slow = AddSlow("slow");
  slow->handle.sync_callback = always_ready;
  tamb_uuid_t id = Id(slow);
  std::atomic<bool> done{false};
  std::atomic<int32_t> lowest{0};
  std::thread client([&] {
    while (!done.load(std::memory_order_relaxed)) {
      tamb_call_sync_client(&slow->handle);
      int32_t remain = TAMB_LOAD(control_->sync_remain);
      if (remain < lowest.load()) lowest.store(remain);
    }
  });
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(tamb_transport_client_reset_sync(engine_, id), 0);
    ASSERT_EQ(tamb_transport_client_set_sync(engine_, id), 0);
  }
  done.store(true);
  client.join();
  EXPECT_EQ(lowest.load(), 0);
  EXPECT_TRUE(support::engine_invariants(engine_));
}

// The same meeting at its one dangerous instant: the client's write that clears its sync_poll
// after the callback answered ready is stopped at its instruction, and the server drops the
// client from the poll right then.
TEST_F(Engine, RemovalAtTheInstantOfAReadyReportCountsTheClientOutOnce) {
  if (!support::traps_atomic_writes)
    GTEST_SKIP() << "ThreadSanitizer makes the atomic clear itself; a trap on it would hang";
  engine_->verbose = 0;
  kit::Client *slow = AddSlow("slow");
  AddSlow("other");
  ASSERT_EQ(control_->sync_remain, 2);
  std::optional<support::WriteTrap> trap;
  // The client's next write into its control block after the callback is that clear.
  std::function<void()> arm = [&] {
    trap.emplace(&slow->handle.control->sync_poll,
                 [&] { EXPECT_EQ(tamb_transport_client_reset_sync(engine_, Id(slow)), 0); });
    ASSERT_TRUE(trap->armed());
  };
  slow->handle.sync_arg = &arm;
  slow->handle.sync_callback = [](tamb_transport_state_t, tamb_position_t *, void *arg) {
    (*static_cast<std::function<void()> *>(arg))();
    return 1;
  };
  tamb_call_sync_client(&slow->handle);
  ASSERT_TRUE(trap.has_value());
  EXPECT_TRUE(trap->fired());
  trap.reset();
  EXPECT_EQ(control_->sync_remain, 1) << "the other client is still polled";
  EXPECT_TRUE(support::engine_invariants(engine_));
}

// The server restarts a client's poll (a re-registration arrives on its request thread) while
// the client's sync callback is running. The callback ran before the restart, so the flag that
// announces it must outlive this run; clearing it after the callback returned would lose it.
TEST_F(Engine, PollRestartedWhileTheSyncCallbackRunsKeepsItsFlag) {
  kit::Client *slow = AddSlow("slow");
  struct Restart {
    tamb_engine_t *engine;
    tamb_uuid_t id;
    int runs = 0;
  } restart{engine_, Id(slow)};
  slow->handle.sync_arg = &restart;
  slow->handle.sync_callback = [](tamb_transport_state_t, tamb_position_t *, void *arg) {
    auto *r = static_cast<Restart *>(arg);
    if (r->runs++ == 0) {
      EXPECT_EQ(tamb_transport_client_set_sync(r->engine, r->id), 0);
    }
    return 0;
  };
  tamb_call_sync_client(&slow->handle);
  EXPECT_EQ(TAMB_LOAD(Flags(slow)->sync_poll_new), 1);
  tamb_call_sync_client(&slow->handle);
  EXPECT_EQ(restart.runs, 2);
  EXPECT_EQ(TAMB_LOAD(Flags(slow)->sync_poll_new), 0);
  EXPECT_TRUE(support::engine_invariants(engine_));
}

}  // namespace
