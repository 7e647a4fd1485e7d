// SPDX-License-Identifier: MIT
// Demo chapter: the server's transport engine through a short session with a timebase master
// and two slow-sync clients, one of them slow to get ready.
#include <cstdio>
#include <string>
#include <vector>

#include "demo.h"
#include "kit.h"
#include "kit_cycle.h"
#include "tamb/tamb.h"

namespace {

constexpr uint32_t rate = 48000;
constexpr uint32_t frames = 1024;
constexpr double bpm = 120;
constexpr uint32_t frames_per_beat = static_cast<uint32_t>(rate * 60 / bpm);

// What the clients did during the cycle being shown.
std::string happened;

void note(const std::string &what) { happened += (happened.empty() ? "" : "; ") + what; }

// The sequencer is the timebase master: 4/4 at 120 bpm, 1920 ticks per beat.
void sequencer_timebase(tamb_transport_state_t, tamb_nframes_t, tamb_position_t *position,
                        int new_position, void *) {
  uint32_t beats = position->frame / frames_per_beat;
  position->valid = TAMB_POSITION_BBT;
  position->bar = static_cast<int32_t>(beats / 4 + 1);
  position->beat = static_cast<int32_t>(beats % 4 + 1);
  position->tick =
      static_cast<int32_t>(uint64_t{position->frame % frames_per_beat} * 1920 / frames_per_beat);
  position->bar_start_tick = (position->bar - 1) * 4 * 1920.0;
  position->beats_per_bar = 4;
  position->beat_type = 4;
  position->ticks_per_beat = 1920;
  position->beats_per_minute = bpm;
  if (new_position) note("sequencer fills a new position");
}

// A slow-sync client that needs `needed` cycles of a poll before it is ready; outside a poll it
// has nothing to prepare.
struct Syncer {
  const char *name;
  int needed;
  int calls = 0;
};

int syncer_ready(tamb_transport_state_t state, tamb_position_t *, void *arg) {
  auto *syncer = static_cast<Syncer *>(arg);
  bool ready = state != TAMB_TRANSPORT_STARTING || ++syncer->calls >= syncer->needed;
  note(std::string(syncer->name) + (ready ? " ready" : " waits ") +
       (ready ? "" : std::to_string(syncer->calls) + "/" + std::to_string(syncer->needed)));
  if (ready) syncer->calls = 0;
  return ready;
}

void print_trace() {
  for (const hooks::Message &m : hooks::log_messages()) {
    if (m.level == hooks::Level::trace) printf("%14sengine: %s\n", "", m.text.c_str());
  }
  hooks::log_clear();
}

void show_engine() {
  printf(
      "The server ends every cycle with the transport engine: it makes the position prepared\n"
      "during the cycle current, waits for slow-sync clients, acts on start and stop, advances\n"
      "the frame and takes over a requested position. Here a sequencer is timebase master and\n"
      "fills in bar|beat|tick; a recorder and a tape machine must be ready before the\n"
      "transport rolls, and the tape needs four cycles for that. %u frames per cycle at %u Hz.\n\n",
      frames, rate);

  hooks::log_set_echo(false);
  kit::Server server(16, frames);
  hooks::log_set_echo(true);
  server.set_sample_rate(rate);
  server.engine()->verbose = 1;
  kit::CycleDriver driver(server);
  kit::Client *clients[3];
  const char *names[3] = {"sequencer", "recorder", "tape"};
  for (int i = 0; i < 3; ++i) {
    clients[i] = server.add_client(names[i]);
    server.activate(clients[i]);
    driver.add(clients[i]);
  }
  tamb_client_t *sequencer = &clients[0]->handle;
  Syncer recorder{"recorder", 1};
  Syncer tape{"tape", 4};
  hooks::log_clear();
  tamb_set_timebase_callback(sequencer, 0, sequencer_timebase, nullptr);
  tamb_set_sync_callback(&clients[1]->handle, syncer_ready, &recorder);
  tamb_set_sync_callback(&clients[2]->handle, syncer_ready, &tape);
  printf("  the clients register:\n");
  print_trace();

  printf("\n  %-6s %-9s %-8s %-14s during the cycle\n", "cycle", "state", "frame", "bar|beat|tick");
  const uint32_t bar_5 = 4 * 4 * frames_per_beat;
  tamb_time_t now = tamb_get_time();
  for (int cycle = 0; cycle < 19; ++cycle) {
    happened.clear();
    if (cycle == 1) {
      tamb_transport_start(sequencer);
      note("sequencer starts");
    } else if (cycle == 9) {
      tamb_transport_locate(sequencer, bar_5);
      note("sequencer locates to bar 5");
    } else if (cycle == 17) {
      tamb_transport_stop(sequencer);
      note("sequencer stops");
    }
    driver.run(now);
    now += static_cast<tamb_time_t>(driver.period_usecs());
    tamb_position_t position;
    tamb_transport_state_t state = tamb_transport_query(sequencer, &position);
    char bbt[32] = "-";
    if (position.valid & TAMB_POSITION_BBT) {
      snprintf(bbt, sizeof bbt, "%d|%d|%d", position.bar, position.beat, position.tick);
    }
    char row[64];
    snprintf(row, sizeof row, "  %-6d %-9s %-8u %-14s ", cycle, kit::transport_state_name(state),
             position.frame, bbt);
    std::string line = row + happened;
    printf("%s\n", line.substr(0, line.find_last_not_of(' ') + 1).c_str());
    print_trace();
  }
  printf(
      "\n  A start or a new position waits in Starting until every slow-sync client is ready\n"
      "  (or %.1f s have passed); the frame stands still meanwhile and moves on by %u frames\n"
      "  from the cycle end that rolls.\n",
      static_cast<double>(server.control()->sync_timeout) / 1e6, frames);
}

TAMB_DEMO_CHAPTER(70, "Transport engine", show_engine);

}  // namespace
