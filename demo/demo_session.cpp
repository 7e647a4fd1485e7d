// SPDX-License-Identifier: MIT
// A session across processes: this process is the server, three forked processes are its
// clients. Two producers write audio and MIDI, one of them keeps the bars and beats as
// timebase master; a consumer, which the transport waits for before it rolls, checks every
// cycle's mix and hears of a property another client sets.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "demo.h"
#include "kit.h"
#include "kit_cycle.h"
#include "kit_remote.h"
#include "kit_session.h"
#include "kit_store.h"
#include "tamb/tamb.h"

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kFrames = 256;
constexpr uint64_t kCycles = 300;

// When the second producer, standing in for a control surface, moves the transport.
constexpr kit::TransportScript kScript = {.start_at = 10,
                                          .restart_at = 230,
                                          .stop_at = 200,
                                          .locate_at = 120,
                                          .locate_frame = 10 * kRate};
constexpr uint64_t kPropertyAt = 40;

// Exact in float, so the consumer can compare sums bit for bit.
using kit::session_sample;
// Each producer sends a note at its own place in the cycle and a controller at frame 0.
void WriteEvents(void *buffer, int producer, uint64_t cycle) {
  uint8_t tag = static_cast<uint8_t>(cycle & 0x7f);
  uint8_t control[3] = {static_cast<uint8_t>(0xb0 | producer), 7, tag};
  uint8_t note[3] = {static_cast<uint8_t>(0x90 | producer), 60, tag};
  tamb_midi_clear_buffer(buffer);
  tamb_midi_event_write(buffer, 0, control, sizeof control);
  tamb_midi_event_write(buffer, producer == 0 ? 64 + cycle % 128 : 128, note, sizeof note);
}

// What the client processes report; each field has one writer.
struct Shared {
  uint64_t produced[2];
  uint64_t sums_checked, sum_faults;
  uint64_t events_merged, event_faults;
  uint64_t sync_calls, notices;
  char seen[96];
};

int Producer(kit::RemoteClient &remote, int index, Shared *shared) {
  alarm(60);  // an orphan never outlives the demo for long
  tamb_client_t *client = remote.handle();
  kit::SessionPorts ports = kit::session_ports(client, true);
  if (!ports.ok()) return 2;
  if (index == 0 && tamb_set_timebase_callback(client, 0, kit::session_timebase, nullptr) != 0) {
    return 3;
  }
  auto process = [&](uint64_t cycle, tamb_nframes_t nframes) {
    auto *out = static_cast<float *>(tamb_port_get_buffer(ports.audio, nframes));
    for (uint32_t i = 0; i < nframes; ++i) out[i] = session_sample(index, cycle, i);
    WriteEvents(tamb_port_get_buffer(ports.midi, nframes), index, cycle);
    if (index == 1) kit::session_transport(client, kScript, cycle);
    shared->produced[index] = cycle;
  };
  auto idle = [&](uint64_t cycle, tamb_nframes_t) {
    if (index == 0 && cycle == kPropertyAt) {
      tamb_set_property(client, client->control->uuid, TAMB_METADATA_PRETTY_NAME,
                        "Producer A (timebase)", nullptr);
    }
  };
  return remote.serve(process, idle) ? 0 : 4;
}

// Ready on every second call: the transport waits a cycle for it each time it starts.
int Sync(tamb_transport_state_t, tamb_position_t *, void *arg) {
  auto *shared = static_cast<Shared *>(arg);
  return ++shared->sync_calls % 2 == 0;
}

void Notice(tamb_uuid_t subject, const char *key, tamb_property_change_t, void *arg) {
  auto *shared = static_cast<Shared *>(arg);
  ++shared->notices;
  kit::session_read_property(subject, key, shared->seen, sizeof shared->seen);
}

int Consumer(kit::RemoteClient &remote, Shared *shared) {
  alarm(60);
  tamb_client_t *client = remote.handle();
  kit::SessionPorts ports = kit::session_ports(client, false);
  if (!ports.ok()) return 2;
  if (tamb_set_sync_callback(client, Sync, shared) != 0 ||
      tamb_set_property_change_callback(client, Notice, shared) != 0) {
    return 3;
  }
  auto process = [&](uint64_t cycle, tamb_nframes_t nframes) {
    auto *in = static_cast<const float *>(tamb_port_get_buffer(ports.audio, nframes));
    bool sums = in != nullptr;
    for (uint32_t i = 0; sums && i < nframes; ++i) {
      sums = in[i] == session_sample(0, cycle, i) + session_sample(1, cycle, i);
    }
    ++shared->sums_checked;
    shared->sum_faults += !sums;
    // Both producers' controllers at frame 0, then the two notes in time order.
    void *events = tamb_port_get_buffer(ports.midi, nframes);
    uint32_t count = tamb_midi_get_event_count(events);
    bool merged = count == 4;
    tamb_nframes_t last = 0;
    for (uint32_t e = 0; e < count; ++e) {
      tamb_midi_event_t event;
      merged = merged && tamb_midi_event_get(&event, events, e) == 0 && event.time >= last &&
               event.buffer[2] == (cycle & 0x7f);
      last = event.time;
    }
    shared->events_merged += count;
    shared->event_faults += !merged;
  };
  return remote.serve(process) ? 0 : 4;
}

void show_session() {
  printf(
      "This process is the server; three forked processes are its clients. They attach the\n"
      "engine control block, their own control block and the port buffers by registry index,\n"
      "send requests over a socket, and run each cycle when the server wakes them.\n"
      "%u Hz, %u frames a cycle, %lu cycles.\n\n",
      kRate, kFrames, static_cast<unsigned long>(kCycles));
  fflush(stdout);
  kit::ServerDir dir("/tmp/tamb-demo-session-");
  if (dir.path().empty()) {
    printf("  cannot make a directory for the metadata store\n");
    return;
  }
  kit::SharedRecord<Shared> record;
  Shared *shared = record.get();
  if (shared == nullptr) return;

  try {
    kit::Server server(64, kFrames);
    server.set_sample_rate(kRate);
    kit::metadata_relay_to(&server);
    kit::RemoteHost remote(server);
    for (int p = 0; p < 2; ++p) {
      remote.spawn(p == 0 ? "producer_a" : "producer_b",
                   [=](kit::RemoteClient &client) { return Producer(client, p, shared); });
    }
    remote.spawn("consumer", [=](kit::RemoteClient &client) { return Consumer(client, shared); });
    int ready = remote.wait_ready();
    for (int m = 0; m < 3; ++m) {
      if (remote.alive(m)) server.activate(remote.client(m));
    }
    int connected = kit::session_connect(remote, {"producer_a", "producer_b"}, "consumer");
    printf(
        "  %d client processes ready, %d connections; producer_a is timebase master,\n"
        "  consumer a slow-sync client\n\n",
        ready, connected);

    const tamb_control_t *control = server.control();
    std::vector<std::string> visited = {kit::transport_state_name(control->transport_state)};
    int32_t state = control->transport_state;
    for (uint64_t cycle = 1; cycle <= kCycles; ++cycle) {
      remote.run(static_cast<tamb_time_t>(cycle * kFrames * 1000000ull / kRate));
      const tamb_position_t &position = control->current_position;
      if (control->transport_state != state) {
        printf("  cycle %3lu  %-8s -> %-8s frame %7u\n", static_cast<unsigned long>(cycle),
               kit::transport_state_name(state),
               kit::transport_state_name(control->transport_state), position.frame);
        state = control->transport_state;
        visited.push_back(kit::transport_state_name(state));
      }
      if (cycle % 50 == 0) {
        printf("  cycle %3lu  %-8s frame %7u  bar %3d beat %d  mix checked %lu, wrong %lu\n",
               static_cast<unsigned long>(cycle), kit::transport_state_name(state), position.frame,
               (position.valid & TAMB_POSITION_BBT) ? position.bar : 0,
               (position.valid & TAMB_POSITION_BBT) ? position.beat : 0,
               static_cast<unsigned long>(shared->sums_checked),
               static_cast<unsigned long>(shared->sum_faults));
      }
      fflush(stdout);
    }
    uint64_t notices = remote.notices();
    remote.finish();
    kit::metadata_relay_to(nullptr);

    std::string states;
    for (const std::string &name : visited) states += (states.empty() ? "" : " > ") + name;
    printf("\n  summary\n");
    printf("    cycles          %lu\n", static_cast<unsigned long>(remote.cycles()));
    printf("    transport       %s\n", states.c_str());
    printf("    events merged   %lu (%lu cycles out of order or incomplete)\n",
           static_cast<unsigned long>(shared->events_merged),
           static_cast<unsigned long>(shared->event_faults));
    printf("    sums checked    %lu (%lu wrong)\n",
           static_cast<unsigned long>(shared->sums_checked),
           static_cast<unsigned long>(shared->sum_faults));
    printf("    sync callbacks  %lu\n", static_cast<unsigned long>(shared->sync_calls));
    printf("    property        consumer read \"%s\" set by producer_a\n", shared->seen);
    printf("    notices         %lu relayed, %lu heard by the consumer\n",
           static_cast<unsigned long>(notices), static_cast<unsigned long>(shared->notices));
    for (const kit::RemoteHost::Removal &end : remote.removals()) {
      printf("    %-15s %s, exit status %d\n", end.name.c_str(), end.reason.c_str(), end.status);
    }
  } catch (const std::exception &e) {
    printf("  the session failed: %s\n", e.what());
  }
  kit::metadata_relay_to(nullptr);
}

TAMB_DEMO_CHAPTER(2000, "A session across processes", show_session);

}  // namespace
