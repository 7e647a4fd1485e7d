// SPDX-License-Identifier: MIT
// The stand-in server's side of the transport as far as the transport client needs it: answers
// to the timebase and slow-sync registrations, and a process-cycle driver that keeps the frame
// timer.
#ifndef TAMB_TESTKIT_KIT_TRANSPORT_H
#define TAMB_TESTKIT_KIT_TRANSPORT_H

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "kit.h"

namespace kit {

// ---- Registrations ------------------------------------------------------------------------

// Answers the timebase and slow-sync registrations (request types 5, 12, 13, 14 and 15) with
// result, keeping a copy of each request, until the transport engine handles them itself.
void registrations_answer(int result);

// Removes those handlers: the requests fail again as unknown ones.
void registrations_remove();

// The registration requests received since the last clear, oldest first, as the server saw
// them.
std::vector<tamb_request_t> registrations_received();

void registrations_clear();

// ---- Frame timer and process cycles -------------------------------------------------------

// Writes timer's fields into the control block's frame timer by the guard rule: a new head
// guard first, then the fields, then the tail guard made equal to the head. pace, when given,
// runs after each of the first three fields, to widen the window a reader may land in.
void frame_timer_write(tamb_control_t *control, const tamb_frame_timer_t &timer,
                       void (*pace)() = nullptr);

// Starts a cycle's frame timer at start and frame: the next cycle is due one period of
// buffer_size frames at the current position's sample rate later. Returns that period in
// microseconds (0 while the rate is 0).
double frame_timer_start_cycle(tamb_control_t *control, tamb_time_t start, tamb_nframes_t frame);

// "Stopped", "Rolling", "Starting" or "?".
const char *transport_state_name(int32_t state);

// A client's own work in a cycle, given the cycle's frame count.
using Process = std::function<void(tamb_nframes_t nframes)>;

// Runs process cycles for a server and the clients added to it.
class CycleDriver {
 public:
  explicit CycleDriver(Server &server) : server_(server) {}

  // A client whose process thread this driver stands in for, with its process callback.
  void add(Client *client, Process process = {}) {
    clients_.push_back({client, std::move(process)});
  }

  // One process cycle beginning at start: the engine's cycle start, the frame timer (the
  // first cycle starts at frame 0, each further one buffer_size frames on; the next cycle is
  // due one period of buffer_size frames at the current position's sample rate later), then
  // for every added client that is active its per-cycle transport callbacks and its process
  // callback, and last the engine's cycle end.
  void run(tamb_time_t start);

  // Microseconds per cycle at the current sample rate; 0 while the rate is 0.
  double period_usecs() const;

 private:
  struct Member {
    Client *client;
    Process process;
  };

  Server &server_;
  std::vector<Member> clients_;
  tamb_nframes_t next_frame_ = 0;
};

}  // namespace kit

#endif
