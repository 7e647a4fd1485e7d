// SPDX-License-Identifier: MIT
#include "kit_cycle.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "shared_word.h"
#include "tamb/playhead_server.h"

namespace kit {
namespace {

constexpr int32_t registration_types[] = {TAMB_REQ_TIMEBASE_SET, TAMB_REQ_TIMEBASE_RELEASE,
                                          TAMB_REQ_SYNC_CLIENT_SET, TAMB_REQ_SYNC_CLIENT_RESET,
                                          TAMB_REQ_SYNC_TIMEOUT_SET};

std::atomic<int> registration_result{0};
std::mutex registrations_lock;
std::vector<tamb_request_t> registrations;

int registration_handle(tamb_client_t *, tamb_request_t *request, void *) {
  {
    std::lock_guard<std::mutex> guard(registrations_lock);
    registrations.push_back(*request);
  }
  return registration_result.load();
}

}  // namespace

void registrations_answer(int result) {
  registration_result.store(result);
  for (int32_t type : registration_types) hooks::request_set_handler(type, registration_handle);
}

void registrations_remove() {
  for (int32_t type : registration_types) hooks::request_set_handler(type, nullptr);
}

std::vector<tamb_request_t> registrations_received() {
  std::lock_guard<std::mutex> guard(registrations_lock);
  return registrations;
}

void registrations_clear() {
  std::lock_guard<std::mutex> guard(registrations_lock);
  registrations.clear();
}

void frame_timer_write(tamb_control_t *control, const tamb_frame_timer_t &timer, void (*pace)()) {
  tamb_frame_timer_t *shared = &control->frame_timer;
  uint32_t guard = TAMB_LOAD(shared->head_guard) + 1;
  TAMB_STORE(shared->head_guard, guard);
  std::atomic_thread_fence(std::memory_order_release);
  // Clients also read the frame alone, without the guards.
  TAMB_STORE(shared->cycle_start_frame, timer.cycle_start_frame);
  if (pace != nullptr) pace();
  shared->cycle_start_usecs = timer.cycle_start_usecs;
  if (pace != nullptr) pace();
  shared->next_cycle_usecs = timer.next_cycle_usecs;
  if (pace != nullptr) pace();
  shared->period_usecs = timer.period_usecs;
  shared->initialized = timer.initialized;
  memcpy(shared->writer_state, timer.writer_state, sizeof shared->writer_state);
  __atomic_store_n(TAMB_WORD(shared->tail_guard), guard, __ATOMIC_RELEASE);
}

namespace {

double period_of(const tamb_control_t *control) {
  uint32_t rate = control->current_position.frame_rate;
  return rate == 0 ? 0.0 : control->buffer_size * 1000000.0 / rate;
}

}  // namespace

double frame_timer_start_cycle(tamb_control_t *control, tamb_time_t start, tamb_nframes_t frame) {
  double period = period_of(control);
  tamb_frame_timer_t timer{};
  timer.cycle_start_frame = frame;
  timer.cycle_start_usecs = start;
  timer.next_cycle_usecs = start + static_cast<tamb_time_t>(std::lround(period));
  timer.period_usecs = static_cast<float>(period);
  timer.initialized = 1;
  frame_timer_write(control, timer);
  return period;
}

const char *transport_state_name(int32_t state) {
  switch (state) {
    case TAMB_TRANSPORT_STOPPED:
      return "Stopped";
    case TAMB_TRANSPORT_ROLLING:
      return "Rolling";
    case TAMB_TRANSPORT_STARTING:
      return "Starting";
    default:
      return "?";
  }
}

double CycleDriver::period_usecs() const { return period_of(server_.engine()->control); }

void CycleDriver::run(tamb_time_t start) {
  tamb_control_t *control = server_.control();
  tamb_transport_cycle_start(server_.engine(), start);
  frame_timer_start_cycle(control, start, next_frame_);
  next_frame_ += control->buffer_size;
  for (Member &member : clients_) {
    if (!member.client->handle.control->active) continue;
    tamb_call_sync_client(&member.client->handle);
    tamb_call_timebase_master(&member.client->handle);
    if (member.process) member.process(control->buffer_size);
  }
  tamb_transport_cycle_end(server_.engine());
}

}  // namespace kit
