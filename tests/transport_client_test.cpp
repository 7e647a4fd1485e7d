// SPDX-License-Identifier: MIT
// The client's side of time and transport against the stand-in server's control block: frame
// and time conversions on the frame timer, position requests, the per-cycle callbacks, the
// registrations and the older interface.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "kit.h"
#include "kit_cycle.h"
#include "shared_word.h"
#include "support.h"
#include "tamb/tamb.h"

namespace {

std::atomic<tamb_time_t> fake_now{0};
tamb_time_t FakeClock() { return fake_now.load(); }

// What the per-cycle callbacks saw.
struct Calls {
  int count = 0;
  int result = 0;  // what the sync callback answers
  tamb_transport_state_t state = TAMB_TRANSPORT_STOPPED;
  tamb_position_t *position = nullptr;
  tamb_nframes_t nframes = 0;
  int new_position = -1;
  uint32_t rate = 0;
};

int SyncCallback(tamb_transport_state_t state, tamb_position_t *position, void *arg) {
  auto *calls = static_cast<Calls *>(arg);
  ++calls->count;
  calls->state = state;
  calls->position = position;
  return calls->result;
}

void TimebaseCallback(tamb_transport_state_t state, tamb_nframes_t nframes,
                      tamb_position_t *position, int new_position, void *arg) {
  auto *calls = static_cast<Calls *>(arg);
  ++calls->count;
  calls->state = state;
  calls->nframes = nframes;
  calls->position = position;
  calls->new_position = new_position;
}

int SampleRateCallback(uint32_t rate, void *arg) {
  auto *calls = static_cast<Calls *>(arg);
  ++calls->count;
  calls->rate = rate;
  return 0;
}

class Transport : public testing::Test {
 protected:
  void SetUp() override {
    hooks::log_set_echo(false);
    hooks::log_clear();
    kit::registrations_clear();
    control_ = server_.control();
    control_->transport_cmd = TAMB_TRANSPORT_CMD_STOP;
    control_->previous_cmd = TAMB_TRANSPORT_CMD_STOP;
    control_->position_id_counter = 1;
    control_->current_position.frame_rate = 48000;
    control_->current_position.usecs = 5000000;
    client_ = &server_.add_client("transport")->handle;
    fake_now = 5000000;
    _tamb_get_microseconds = FakeClock;
  }

  void TearDown() override {
    kit::registrations_remove();
    _tamb_get_microseconds = nullptr;
  }

  void SetTimer(tamb_nframes_t frame, tamb_time_t start, tamb_time_t next, int initialized = 1) {
    tamb_frame_timer_t timer{};
    timer.cycle_start_frame = frame;
    timer.cycle_start_usecs = start;
    timer.next_cycle_usecs = next;
    timer.period_usecs = static_cast<float>(next - start);
    timer.initialized = initialized;
    kit::frame_timer_write(control_, timer);
  }

  tamb_position_t Requested() const { return control_->requested_position; }

  kit::Server server_{16, 1024};
  tamb_control_t *control_ = nullptr;
  tamb_client_t *client_ = nullptr;
};

using TransportDeathTest = Transport;

// ---- Time and frames ----------------------------------------------------------------------

TEST_F(Transport, EmptyFrameTimerConvertsToZeroAndLeavesCycleTimesUntouched) {
  SetTimer(1000, 2000000, 2002048, 0);
  EXPECT_EQ(tamb_time_to_frames(client_, 2001000), 0u);
  EXPECT_EQ(tamb_frames_to_time(client_, 1500), 0u);
  tamb_nframes_t frames = 7;
  tamb_time_t usecs = 8, next = 9;
  float period = 10;
  EXPECT_EQ(tamb_get_cycle_times(client_, &frames, &usecs, &next, &period), 1);
  EXPECT_EQ(frames, 7u);
  EXPECT_EQ(usecs, 8u);
  EXPECT_EQ(next, 9u);
  EXPECT_EQ(period, 10.0f);

  SetTimer(1000, 2000000, 2002048);
  EXPECT_EQ(tamb_get_cycle_times(client_, &frames, &usecs, &next, &period), 0);
  EXPECT_EQ(frames, 1000u);
  EXPECT_EQ(usecs, 2000000u);
  EXPECT_EQ(next, 2002048u);
  EXPECT_EQ(period, 2048.0f);
}

// 1024 frames in 2048 microseconds: two microseconds per frame, so half a frame is exact.
TEST_F(Transport, TimeToFramesRoundsToTheNearestFrameHalvesUp) {
  SetTimer(1000, 2000000, 2002048);
  EXPECT_EQ(tamb_time_to_frames(client_, 2000000), 1000u);
  EXPECT_EQ(tamb_time_to_frames(client_, 2000001), 1001u);  // half a frame rounds up
  EXPECT_EQ(tamb_time_to_frames(client_, 2000002), 1001u);
  EXPECT_EQ(tamb_time_to_frames(client_, 2002048), 2024u);
  EXPECT_EQ(tamb_time_to_frames(client_, 1999999), 1000u);  // -0.5 frame rounds up to 0
  EXPECT_EQ(tamb_time_to_frames(client_, 1999998), 999u);
  EXPECT_EQ(tamb_time_to_frames(client_, 1999997), 999u);
  fake_now = 2000100;
  EXPECT_EQ(tamb_frame_time(client_), 1050u);
  EXPECT_EQ(tamb_last_frame_time(client_), 1000u);
}

TEST_F(Transport, FramesToTimeMapsTheCycleOntoItsMicroseconds) {
  SetTimer(1000, 2000000, 2002048);
  EXPECT_EQ(tamb_frames_to_time(client_, 1000), 2000000u);
  EXPECT_EQ(tamb_frames_to_time(client_, 1000 + 1024), 2002048u);
  EXPECT_EQ(tamb_frames_to_time(client_, 1001), 2000002u);
  EXPECT_EQ(tamb_frames_to_time(client_, 999), 1999998u);
  EXPECT_LT(tamb_frames_to_time(client_, 999), 2000000u);
}

TEST_F(Transport, ConversionsWrapWithTheFrameCounter) {
  const tamb_nframes_t start = 0xfffffc00;  // 1024 frames before the counter wraps
  SetTimer(start, 2000000, 2002048);
  EXPECT_EQ(tamb_time_to_frames(client_, 2002048 + 20), 10u);
  EXPECT_EQ(tamb_frames_to_time(client_, 10), 2002048u + 20);
  // A frame up to 2^31 behind the cycle start lies in the past, even across the wrap.
  SetTimer(5, 2000000, 2002048);
  EXPECT_EQ(tamb_frames_to_time(client_, 0xfffffffb), 2000000u - 20);
  // Far from the cycle the frame count keeps wrapping instead of overflowing: 2^39 + 1
  // frames on is one frame on, modulo 2^32.
  EXPECT_EQ(tamb_time_to_frames(client_, 2000000 + (uint64_t{1} << 40) + 2), 6u);
}

// A zero-length cycle or buffer carries no rate; converting with it would divide by zero and
// turn infinity into an integer.
TEST_F(Transport, DegenerateFrameTimerConvertsToTheCycleStart) {
  SetTimer(1000, 2000000, 2000000);
  EXPECT_EQ(tamb_time_to_frames(client_, 2000000), 1000u);
  EXPECT_EQ(tamb_time_to_frames(client_, 2500000), 1000u);
  EXPECT_EQ(tamb_time_to_frames(client_, 1500000), 1000u);
  EXPECT_EQ(tamb_frames_to_time(client_, 1500), 2000000u);

  SetTimer(1000, 2000000, 2002048);
  control_->buffer_size = 0;
  EXPECT_EQ(tamb_frames_to_time(client_, 1500), 2000000u);
  EXPECT_EQ(tamb_frames_to_time(client_, 500), 2000000u);
  EXPECT_EQ(tamb_time_to_frames(client_, 2001000), 1000u);

  // A cycle of one microsecond and a huge buffer: 2^62 * (2^32 - 1) frames, 0 modulo 2^32.
  control_->buffer_size = 0xffffffff;
  SetTimer(1000, 2000000, 2000001);
  EXPECT_EQ(tamb_time_to_frames(client_, 2000000 + (uint64_t{1} << 62)), 1000u);
  // The time of a frame so far away is cut to the largest distance instead.
  SetTimer(1000, 2000000, 2000000 + (uint64_t{1} << 62));
  control_->buffer_size = 1;
  EXPECT_EQ(tamb_frames_to_time(client_, 1000 + 4), uint64_t{2000000} + INT64_MAX);
}

TEST_F(Transport, FramesSinceCycleStartCountsAtTheSampleRate) {
  control_->current_position.usecs = 1000000;
  fake_now = 1001000;
  EXPECT_EQ(tamb_frames_since_cycle_start(client_), 48u);
  fake_now = 1000000 + 21333;
  EXPECT_EQ(tamb_frames_since_cycle_start(client_), 1023u);
  // A clock behind the cycle start (another process's clock source) counts no frames.
  fake_now = 999000;
  EXPECT_EQ(tamb_frames_since_cycle_start(client_), 0u);
  EXPECT_EQ(tamb_get_sample_rate(client_), 48000u);
}

TEST_F(Transport, SampleRateCallbackIsCalledAtOnceAndRefusedOnAnActiveClient) {
  Calls calls;
  EXPECT_EQ(tamb_set_sample_rate_callback(client_, SampleRateCallback, &calls), 0);
  EXPECT_EQ(calls.count, 1);
  EXPECT_EQ(calls.rate, 48000u);
  EXPECT_EQ(client_->control->sample_rate_cb_set, 1);
  EXPECT_EQ(client_->sample_rate_arg, &calls);

  EXPECT_EQ(tamb_set_sample_rate_callback(client_, nullptr, nullptr), 0);
  EXPECT_EQ(calls.count, 1);
  EXPECT_EQ(client_->control->sample_rate_cb_set, 0);
  EXPECT_EQ(client_->sample_rate_callback, nullptr);

  client_->control->active = 1;
  EXPECT_EQ(tamb_set_sample_rate_callback(client_, SampleRateCallback, &calls), -1);
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "You cannot set callbacks on an active client."));
  EXPECT_EQ(calls.count, 1);
  EXPECT_EQ(client_->sample_rate_callback, nullptr);
  EXPECT_EQ(client_->control->sample_rate_cb_set, 0);
}

// ---- Positions ----------------------------------------------------------------------------

TEST_F(Transport, UniqueIdsCountUpAndAreSignExtended) {
  EXPECT_EQ(tamb_generate_unique_id(control_), 1u);
  EXPECT_EQ(tamb_generate_unique_id(control_), 2u);
  EXPECT_EQ(control_->position_id_counter, 3u);
  control_->position_id_counter = 0x80000000;
  EXPECT_EQ(tamb_generate_unique_id(control_), 0xffffffff80000000u);
}

TEST_F(Transport, QueryCopiesTheCurrentPositionAndReturnsTheState) {
  tamb_position_t &current = control_->current_position;
  current.head_id = current.tail_id = 42;
  current.frame = 4800;
  current.valid = TAMB_POSITION_BBT;
  current.bar = 3;
  current.beats_per_minute = 120;
  current.extra[55] = 0x5a;
  control_->transport_state = TAMB_TRANSPORT_STARTING;
  tamb_position_t copy;
  memset(&copy, 0xee, sizeof copy);
  EXPECT_EQ(tamb_transport_query(client_, &copy), TAMB_TRANSPORT_STARTING);
  EXPECT_EQ(memcmp(&copy, &current, sizeof copy), 0);
  control_->transport_state = TAMB_TRANSPORT_ROLLING;
  EXPECT_EQ(tamb_transport_query(client_, nullptr), TAMB_TRANSPORT_ROLLING);
}

// A reader that meets a writer midway waits for it instead of taking half a record.
TEST_F(Transport, QueryWaitsForAWriterToFinish) {
  tamb_position_t &current = control_->current_position;
  current.head_id = 8;
  current.tail_id = 7;
  current.frame = 1;
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    TAMB_STORE(current.frame, 2u);
    __atomic_store_n(TAMB_WORD(current.tail_id), uint64_t{8}, __ATOMIC_RELEASE);
  });
  tamb_position_t copy;
  tamb_transport_query(client_, &copy);
  writer.join();
  EXPECT_EQ(copy.head_id, 8u);
  EXPECT_EQ(copy.tail_id, 8u);
  EXPECT_EQ(copy.frame, 2u);
}

TEST_F(Transport, CurrentFrameAdvancesWithTheClockOnlyWhileRolling) {
  tamb_position_t &current = control_->current_position;
  current.frame = 96000;
  current.usecs = 5000000;
  fake_now = 5001000;
  control_->transport_state = TAMB_TRANSPORT_STOPPED;
  EXPECT_EQ(tamb_get_current_transport_frame(client_), 96000u);
  control_->transport_state = TAMB_TRANSPORT_STARTING;
  EXPECT_EQ(tamb_get_current_transport_frame(client_), 96000u);
  control_->transport_state = TAMB_TRANSPORT_ROLLING;
  EXPECT_EQ(tamb_get_current_transport_frame(client_), 96048u);
  fake_now = 5002000;
  EXPECT_EQ(tamb_get_current_transport_frame(client_), 96096u);
  current.frame = 0xffffffff;
  EXPECT_EQ(tamb_get_current_transport_frame(client_), 95u);
  fake_now = 4000000;
  EXPECT_EQ(tamb_get_current_transport_frame(client_), 0xffffffffu);
}

// A request as the client writes it: write id in both guards, the current usecs and rate.
testing::AssertionResult Stamped(const tamb_position_t &p, uint64_t id, tamb_time_t usecs,
                                 uint32_t rate) {
  if (p.head_id == id && p.tail_id == id && p.usecs == usecs && p.frame_rate == rate) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "ids " << p.head_id << "/" << p.tail_id << ", usecs "
                                     << p.usecs << ", rate " << p.frame_rate;
}

TEST_F(Transport, LocateRequestsAFrameWithoutMusicalFields) {
  control_->current_position.usecs = 777;
  control_->requested_position.bar = 9;
  control_->requested_position.extra[3] = 9;
  EXPECT_EQ(tamb_transport_locate(client_, 48000), 0);
  tamb_position_t requested = Requested();
  EXPECT_TRUE(Stamped(requested, 1, 777, 48000));
  EXPECT_EQ(requested.frame, 48000u);
  EXPECT_EQ(requested.valid, 0u);
  EXPECT_EQ(requested.bar, 0);
  EXPECT_EQ(requested.extra[3], 0);

  EXPECT_EQ(tamb_transport_locate(client_, 0), 0);
  EXPECT_EQ(Requested().head_id, 2u);
  EXPECT_EQ(Requested().frame, 0u);
}

TEST_F(Transport, RepositionKeepsTheCallersFieldsAndRejectsUnknownValidBits) {
  tamb_position_t position{};
  position.head_id = position.tail_id = 999;
  position.usecs = 1;
  position.frame_rate = 1;
  position.frame = 12345;
  position.valid = TAMB_POSITION_BBT;
  position.bar = 3;
  position.beat = 2;
  position.tick = 100;
  position.beats_per_minute = 140;
  position.extra[0] = 0xab;
  EXPECT_EQ(tamb_transport_reposition(client_, &position), 0);
  tamb_position_t requested = Requested();
  EXPECT_TRUE(Stamped(requested, 1, 5000000, 48000));
  EXPECT_EQ(requested.frame, 12345u);
  EXPECT_EQ(requested.valid, uint32_t{TAMB_POSITION_BBT});
  EXPECT_EQ(requested.bar, 3);
  EXPECT_EQ(requested.beat, 2);
  EXPECT_EQ(requested.tick, 100);
  EXPECT_EQ(requested.beats_per_minute, 140.0);
  EXPECT_EQ(requested.extra[0], 0xab);
  EXPECT_EQ(position.head_id, 999u) << "the caller's record is read only";

  position.valid = 0x1f0;
  EXPECT_EQ(tamb_transport_reposition(client_, &position), 0);
  EXPECT_EQ(Requested().head_id, 2u);

  for (uint32_t valid : {0x1u, 0x2u, 0x8u, 0x200u, 0x10u | 0x200u, 0x80000000u}) {
    position.valid = valid;
    EXPECT_EQ(tamb_transport_reposition(client_, &position), EINVAL) << valid;
  }
  EXPECT_EQ(tamb_transport_reposition(client_, nullptr), EINVAL);
  EXPECT_EQ(Requested().head_id, 2u);
  EXPECT_EQ(Requested().valid, 0x1f0u);
  EXPECT_EQ(control_->position_id_counter, 3u) << "a refused request takes no id";
}

// ---- Per-cycle callbacks --------------------------------------------------------------------

TEST_F(Transport, SyncCallbackRunsWhilePolledAndReportsReadyOnce) {
  Calls calls;
  client_->sync_callback = SyncCallback;
  client_->sync_arg = &calls;
  tamb_client_control_t *own = client_->control;
  control_->transport_state = TAMB_TRANSPORT_STARTING;
  control_->sync_remain = 2;

  own->sync_poll = 1;
  tamb_call_sync_client(client_);
  EXPECT_EQ(calls.count, 0) << "not an active slow-sync client";

  own->active_slowsync = 1;
  own->sync_poll = 0;
  tamb_call_sync_client(client_);
  EXPECT_EQ(calls.count, 0) << "no poll and no new position";

  own->sync_poll = 1;
  own->sync_poll_new = 1;
  tamb_call_sync_client(client_);
  EXPECT_EQ(calls.count, 1);
  EXPECT_EQ(calls.state, TAMB_TRANSPORT_STARTING);
  EXPECT_EQ(calls.position, &control_->current_position);
  EXPECT_EQ(own->sync_poll, 1) << "not ready: stays in the poll";
  EXPECT_EQ(own->sync_poll_new, 0);
  EXPECT_EQ(control_->sync_remain, 2);

  tamb_call_sync_client(client_);
  EXPECT_EQ(calls.count, 2);
  calls.result = 1;
  tamb_call_sync_client(client_);
  EXPECT_EQ(calls.count, 3);
  EXPECT_EQ(own->sync_poll, 0);
  EXPECT_EQ(control_->sync_remain, 1);

  // A new position calls it again, but a client already counted as ready counts no more.
  control_->new_position = 1;
  tamb_call_sync_client(client_);
  EXPECT_EQ(calls.count, 4);
  EXPECT_EQ(control_->sync_remain, 1);

  control_->new_position = 0;
  own->sync_poll_new = 1;
  tamb_call_sync_client(client_);
  EXPECT_EQ(calls.count, 5);
  EXPECT_EQ(own->sync_poll_new, 0);
}

TEST_F(Transport, TimebaseCallbackRunsForTheMasterWhileRollingOrOnANewPosition) {
  Calls calls;
  client_->timebase_callback = TimebaseCallback;
  client_->timebase_arg = &calls;
  tamb_client_control_t *own = client_->control;
  own->timebase_master = 1;
  own->timebase_cb_set = 1;
  control_->transport_state = TAMB_TRANSPORT_STOPPED;

  tamb_call_timebase_master(client_);
  EXPECT_EQ(calls.count, 0) << "stopped, nothing new";

  own->timebase_new = 1;
  tamb_call_timebase_master(client_);
  EXPECT_EQ(calls.count, 1);
  EXPECT_EQ(calls.new_position, 1);
  EXPECT_EQ(calls.nframes, 1024u);
  EXPECT_EQ(calls.position, &control_->pending_position);
  EXPECT_EQ(own->timebase_new, 0);

  control_->pending_is_new = 1;
  tamb_call_timebase_master(client_);
  EXPECT_EQ(calls.count, 2);
  EXPECT_EQ(calls.new_position, 1);

  control_->pending_is_new = 0;
  control_->transport_state = TAMB_TRANSPORT_ROLLING;
  tamb_call_timebase_master(client_);
  EXPECT_EQ(calls.count, 3);
  EXPECT_EQ(calls.new_position, 0);
  EXPECT_EQ(calls.state, TAMB_TRANSPORT_ROLLING);

  // The role went to another client: the callback is dropped at the next cycle.
  own->timebase_master = 0;
  tamb_call_timebase_master(client_);
  EXPECT_EQ(calls.count, 3);
  EXPECT_EQ(client_->timebase_callback, nullptr);
  EXPECT_EQ(client_->timebase_arg, nullptr);
  EXPECT_EQ(own->timebase_cb_set, 0);
}

TEST_F(Transport, PerCycleCallbacksWithoutACallbackDoNothing) {
  tamb_client_control_t *own = client_->control;
  own->active_slowsync = 1;
  own->sync_poll = 1;
  own->sync_poll_new = 1;
  own->timebase_master = 1;
  own->timebase_new = 1;
  control_->sync_remain = 1;
  control_->transport_state = TAMB_TRANSPORT_ROLLING;
  tamb_call_sync_client(client_);
  tamb_call_timebase_master(client_);
  EXPECT_EQ(own->sync_poll, 1);
  EXPECT_EQ(own->sync_poll_new, 1);
  EXPECT_EQ(control_->sync_remain, 1);
  EXPECT_EQ(own->timebase_new, 1);
}

TEST_F(Transport, CycleDriverWritesTheFrameTimerAndRunsTheCallbacks) {
  Calls calls;
  kit::CycleDriver driver(server_);
  kit::Client *second = server_.add_client("second");
  driver.add(second);
  second->handle.timebase_callback = TimebaseCallback;
  second->handle.timebase_arg = &calls;
  second->handle.control->timebase_master = 1;
  second->handle.control->active = 1;  // the driver runs active clients only
  control_->transport_state = TAMB_TRANSPORT_ROLLING;
  EXPECT_DOUBLE_EQ(driver.period_usecs(), 1024 * 1000000.0 / 48000);
  for (int cycle = 0; cycle < 3; ++cycle) driver.run(1000000 + cycle * 21333);
  EXPECT_EQ(calls.count, 3);
  tamb_nframes_t frames;
  tamb_time_t usecs, next;
  float period;
  ASSERT_EQ(tamb_get_cycle_times(client_, &frames, &usecs, &next, &period), 0);
  EXPECT_EQ(frames, 2048u);
  EXPECT_EQ(usecs, 1042666u);
  EXPECT_EQ(next, 1042666u + 21333);
  EXPECT_FLOAT_EQ(period, 21333.334f);
  EXPECT_EQ(control_->frame_timer.head_guard, 3u);
  EXPECT_EQ(control_->frame_timer.tail_guard, 3u);
}

// ---- Registrations ------------------------------------------------------------------------

TEST_F(Transport, TimebaseRegistrationSendsItsRequestAndKeepsTheCallbackOnSuccessOnly) {
  Calls calls;
  kit::registrations_answer(EBUSY);
  EXPECT_EQ(tamb_set_timebase_callback(client_, 1, TimebaseCallback, &calls), EBUSY);
  EXPECT_EQ(client_->timebase_callback, nullptr);
  EXPECT_EQ(client_->control->timebase_cb_set, 0);

  kit::registrations_answer(0);
  EXPECT_EQ(tamb_set_timebase_callback(client_, 0, TimebaseCallback, &calls), 0);
  EXPECT_EQ(client_->timebase_callback, TimebaseCallback);
  EXPECT_EQ(client_->timebase_arg, &calls);
  EXPECT_EQ(client_->control->timebase_cb_set, 1);

  kit::registrations_answer(EINVAL);
  EXPECT_EQ(tamb_release_timebase(client_), EINVAL);
  EXPECT_EQ(client_->timebase_callback, TimebaseCallback);
  EXPECT_EQ(client_->control->timebase_cb_set, 1);
  kit::registrations_answer(0);
  EXPECT_EQ(tamb_release_timebase(client_), 0);
  EXPECT_EQ(client_->timebase_callback, nullptr);
  EXPECT_EQ(client_->timebase_arg, nullptr);
  EXPECT_EQ(client_->control->timebase_cb_set, 0);

  auto requests = kit::registrations_received();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].type, TAMB_REQ_TIMEBASE_SET);
  EXPECT_EQ(requests[0].body.timebase.client_id, client_->control->uuid);
  EXPECT_EQ(requests[0].body.timebase.conditional, 1);
  EXPECT_EQ(requests[1].body.timebase.conditional, 0);
  EXPECT_EQ(requests[3].type, TAMB_REQ_TIMEBASE_RELEASE);
  EXPECT_EQ(requests[3].body.client_id, client_->control->uuid);
}

TEST_F(Transport, SyncRegistrationSendsSetOrResetAndKeepsTheCallbackOnSuccessOnly) {
  Calls calls;
  kit::registrations_answer(EINVAL);
  EXPECT_EQ(tamb_set_sync_callback(client_, SyncCallback, &calls), EINVAL);
  EXPECT_EQ(client_->sync_callback, nullptr);
  EXPECT_EQ(client_->control->sync_cb_set, 0);

  kit::registrations_answer(0);
  EXPECT_EQ(tamb_set_sync_callback(client_, SyncCallback, &calls), 0);
  EXPECT_EQ(client_->sync_callback, SyncCallback);
  EXPECT_EQ(client_->sync_arg, &calls);
  EXPECT_EQ(client_->control->sync_cb_set, 1);

  EXPECT_EQ(tamb_set_sync_callback(client_, nullptr, &calls), 0);
  EXPECT_EQ(client_->sync_callback, nullptr);
  EXPECT_EQ(client_->control->sync_cb_set, 1);

  auto requests = kit::registrations_received();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].type, TAMB_REQ_SYNC_CLIENT_SET);
  EXPECT_EQ(requests[1].body.client_id, client_->control->uuid);
  EXPECT_EQ(requests[2].type, TAMB_REQ_SYNC_CLIENT_RESET);
  EXPECT_EQ(requests[2].body.client_id, client_->control->uuid);
}

TEST_F(Transport, SyncTimeoutIsSentAndItsResultReturnedUnchanged) {
  kit::registrations_answer(0);
  EXPECT_EQ(tamb_set_sync_timeout(client_, 0x123456789abcdefu), 0);
  kit::registrations_answer(EINVAL);
  EXPECT_EQ(tamb_set_sync_timeout(client_, 5), EINVAL);
  auto requests = kit::registrations_received();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].type, TAMB_REQ_SYNC_TIMEOUT_SET);
  EXPECT_EQ(requests[0].body.timeout, 0x123456789abcdefu);
  // Without a handler the server refuses the request as unknown.
  kit::registrations_remove();
  EXPECT_EQ(tamb_set_sync_timeout(client_, 5), ENOSYS);
}

// ---- Older interface ------------------------------------------------------------------------

// The only test in this binary that calls the older entry points outside a death test, so its
// first calls are the process's first.
TEST_F(Transport, OlderInterfaceReportsOncePerProcessAndTakeoverEveryCall) {
  tamb_position_t &current = control_->current_position;
  current.frame = 4800;
  current.usecs = 123;
  current.valid = 0;
  current.bar = 4;
  control_->transport_state = TAMB_TRANSPORT_ROLLING;
  tamb_transport_info_t info;
  memset(&info, 0, sizeof info);
  info.bar = -1;
  tamb_get_transport_info(client_, &info);
  EXPECT_EQ(info.frame_rate, 48000u);
  EXPECT_EQ(info.usecs, 123u);
  EXPECT_EQ(info.frame, 4800u);
  EXPECT_EQ(info.transport_state, TAMB_TRANSPORT_ROLLING);
  EXPECT_EQ(info.valid, 0x3u);
  EXPECT_EQ(info.bar, -1) << "musical fields are copied only when valid";

  current.valid = TAMB_POSITION_BBT | 0x20;
  current.beat = 2;
  current.tick = 7;
  current.bar_start_tick = 1920;
  current.beats_per_bar = 3;
  current.beat_type = 8;
  current.ticks_per_beat = 480;
  current.beats_per_minute = 90;
  tamb_get_transport_info(client_, &info);
  EXPECT_EQ(info.valid, 0x33u);
  EXPECT_EQ(info.bar, 4);
  EXPECT_EQ(info.beat, 2);
  EXPECT_EQ(info.tick, 7);
  EXPECT_EQ(info.bar_start_tick, 1920);
  EXPECT_EQ(info.beats_per_bar, 3);
  EXPECT_EQ(info.beat_type, 8);
  EXPECT_EQ(info.ticks_per_beat, 480);
  EXPECT_EQ(info.beats_per_minute, 90);

  tamb_transport_info_t unchanged = info;
  tamb_set_transport_info(client_, &info);
  tamb_set_transport_info(client_, &info);
  EXPECT_EQ(memcmp(&info, &unchanged, sizeof info), 0);
  EXPECT_EQ(tamb_engine_takeover_timebase(client_), ENOSYS);
  EXPECT_EQ(tamb_engine_takeover_timebase(client_), ENOSYS);

  size_t deprecated = 0, unsupported = 0, takeover = 0;
  for (const hooks::Message &message : hooks::log_messages()) {
    deprecated += message.text == "tamb_get_transport_info() is deprecated.";
    unsupported += message.text == "tamb_set_transport_info() no longer supported.";
    takeover += message.text == "tamb_engine_takeover_timebase() is no longer supported.";
  }
  EXPECT_EQ(deprecated, 1u);
  EXPECT_EQ(unsupported, 1u);
  EXPECT_EQ(takeover, 2u);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 4u);
}

// ---- Fatal paths --------------------------------------------------------------------------

TEST_F(TransportDeathTest, TransportInfoFromAnotherThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  hooks::log_set_echo(true);
  tamb_transport_info_t info;
  EXPECT_DEATH(
      {
        std::thread other([&] { tamb_get_transport_info(client_, &info); });
        other.join();
      },
      "tamb_get_transport_info\\(\\) is deprecated\\.\n.*Invalid thread for "
      "tamb_get_transport_info\\(\\)\\.");
}

TEST_F(TransportDeathTest, FrameTimerThatStaysTornAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  hooks::log_set_echo(true);
  SetTimer(1000, 2000000, 2002048);
  control_->frame_timer.tail_guard = 2;
  EXPECT_DEATH(tamb_time_to_frames(client_, 2000000), "hung in loop copying position A");
}

TEST_F(TransportDeathTest, PositionThatStaysTornAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  hooks::log_set_echo(true);
  control_->current_position.head_id = 3;
  control_->current_position.tail_id = 2;
  tamb_position_t copy;
  EXPECT_DEATH(tamb_transport_query(client_, &copy), "hung in loop copying position B");
  EXPECT_DEATH(tamb_transport_copy_position(&control_->current_position, &copy),
               "hung in loop copying position B");
}

// ---- Real time ----------------------------------------------------------------------------

TEST_F(Transport, RealTimeCallsAllocateNothing) {
  if (!support::HeapCounter::available()) GTEST_SKIP() << "sanitizer build owns the heap";
  SetTimer(1000, 2000000, 2002048);
  Calls sync_calls, timebase_calls;
  client_->sync_callback = SyncCallback;
  client_->sync_arg = &sync_calls;
  client_->timebase_callback = TimebaseCallback;
  client_->timebase_arg = &timebase_calls;
  client_->control->active_slowsync = 1;
  client_->control->sync_poll = 1;
  client_->control->timebase_master = 1;
  control_->transport_state = TAMB_TRANSPORT_ROLLING;
  _tamb_get_microseconds = tamb_get_microseconds_from_system;

  support::HeapCounter counter;
  tamb_position_t position;
  tamb_nframes_t frames;
  tamb_time_t usecs, next;
  float period;
  for (int i = 0; i < 100; ++i) {
    tamb_transport_query(client_, &position);
    tamb_get_current_transport_frame(client_);
    tamb_get_cycle_times(client_, &frames, &usecs, &next, &period);
    tamb_time_to_frames(client_, 2001000);
    tamb_frames_to_time(client_, 1500);
    tamb_frame_time(client_);
    tamb_last_frame_time(client_);
    tamb_frames_since_cycle_start(client_);
    tamb_get_sample_rate(client_);
    tamb_get_time();
    tamb_call_sync_client(client_);
    tamb_call_timebase_master(client_);
  }
  EXPECT_EQ(counter.calls(), 0u);
  EXPECT_EQ(sync_calls.count, 100);
  EXPECT_EQ(timebase_calls.count, 100);
}

}  // namespace
