// SPDX-License-Identifier: MIT
// Demo chapter: the clock, the frame timer with its conversions, and position requests.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "demo.h"
#include "kit.h"
#include "kit_cycle.h"
#include "tamb/tamb.h"

namespace {

// The smallest step between two different readings of the process clock.
tamb_time_t smallest_step() {
  tamb_time_t smallest = ~tamb_time_t{0};
  tamb_time_t last = _tamb_get_microseconds();
  for (int changes = 0; changes < 20;) {
    tamb_time_t now = _tamb_get_microseconds();
    if (now == last) continue;
    if (now - last < smallest) smallest = now - last;
    last = now;
    ++changes;
  }
  return smallest;
}

void show_clock() {
  hooks::log_clear();
  hooks::log_set_echo(false);
  tamb_set_clock_source(TAMB_CLOCK_HPET);
  hooks::log_set_echo(true);
  bool hpet = _tamb_get_microseconds != tamb_clock_function_t{tamb_get_microseconds_from_system};
  if (hpet) {
    printf("  asked for the HPET: its counter is mapped and read without a system call\n");
  } else {
    std::vector<hooks::Message> messages = hooks::log_messages();
    printf("  asked for the HPET: \"%s\"\n  so the process falls back to the system clock\n",
           messages.empty() ? "?" : messages.back().text.c_str());
  }
  printf("  clock source in use: %s\n",
         tamb_clock_source_name(hpet ? TAMB_CLOCK_HPET : TAMB_CLOCK_SYSTEM));
  timespec resolution;
  clock_getres(CLOCK_MONOTONIC, &resolution);
  printf(
      "  CLOCK_MONOTONIC resolution %ld ns; readings are whole microseconds, smallest step\n"
      "  seen between two readings: %lu us\n",
      resolution.tv_nsec, static_cast<unsigned long>(smallest_step()));
}

void show_cycles(kit::Server &server, tamb_client_t *client) {
  kit::CycleDriver driver(server);
  double period = driver.period_usecs();
  printf("\n  %u frames per cycle at %u Hz: one cycle every %.3f us\n",
         server.control()->buffer_size, tamb_get_sample_rate(client), period);
  printf("  %-6s %-10s %-12s %-12s %-22s %s\n", "cycle", "frame", "start (us)", "next (us)",
         "mid-cycle time->frame", "frame->time");
  tamb_time_t origin = tamb_get_time();
  for (int cycle = 0; cycle < 4; ++cycle) {
    driver.run(origin + static_cast<tamb_time_t>(std::llround(cycle * period)));
    tamb_nframes_t frame;
    tamb_time_t start, next;
    float filtered;
    tamb_get_cycle_times(client, &frame, &start, &next, &filtered);
    tamb_time_t middle = start + (next - start) / 2;
    tamb_nframes_t middle_frame = tamb_time_to_frames(client, middle);
    printf("  %-6d %-10u %-12lu %-12lu %6lu -> %-12u %u -> %lu\n", cycle, frame,
           static_cast<unsigned long>(start - origin), static_cast<unsigned long>(next - origin),
           static_cast<unsigned long>(middle - origin), middle_frame, middle_frame,
           static_cast<unsigned long>(tamb_frames_to_time(client, middle_frame) - origin));
  }
}

void print_request(tamb_control_t *control, const char *what) {
  // What the engine does at the end of a cycle: a guarded copy of the request.
  tamb_position_t seen;
  tamb_transport_copy_position(&control->requested_position, &seen);
  printf("  %-34s id %lu, frame %u, valid 0x%x", what, static_cast<unsigned long>(seen.head_id),
         seen.frame, seen.valid);
  if (seen.valid & TAMB_POSITION_BBT) {
    printf(", bar %d beat %d tick %d at %.0f bpm", seen.bar, seen.beat, seen.tick,
           seen.beats_per_minute);
  }
  printf("\n");
}

void show_requests(tamb_control_t *control, tamb_client_t *client) {
  printf("\n  a client asks for a new position; a reader sees it whole:\n");
  tamb_transport_locate(client, 48000);
  print_request(control, "locate to frame 48000:");
  tamb_position_t position{};
  position.frame = 96000;
  position.valid = TAMB_POSITION_BBT;
  position.bar = 3;
  position.beat = 1;
  position.tick = 0;
  position.beats_per_bar = 4;
  position.beat_type = 4;
  position.ticks_per_beat = 1920;
  position.beats_per_minute = 120;
  tamb_transport_reposition(client, &position);
  print_request(control, "reposition to bar 3:");
  position.valid = 0x1;
  int refused = tamb_transport_reposition(client, &position);
  printf("  a reposition with the unknown valid bit 0x1 is refused with %d\n", refused);
  print_request(control, "and the request stays:");
}

void show_time_and_transport() {
  printf(
      "All times come from one process-wide microsecond clock. The server writes the frame\n"
      "timer once per cycle; clients convert between times and frames from a guarded copy of\n"
      "it, and ask for transport positions by writing a guarded record the engine picks up.\n\n");
  show_clock();

  kit::Server server(16, 256);
  tamb_control_t *control = server.control();
  control->current_position.frame_rate = 48000;
  control->position_id_counter = 1;
  tamb_client_t *client = &server.add_client("demo")->handle;
  show_cycles(server, client);
  show_requests(control, client);
}

TAMB_DEMO_CHAPTER(60, "Clock, frame timer and transport requests", show_time_and_transport);

}  // namespace
