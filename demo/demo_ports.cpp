// SPDX-License-Identifier: MIT
// Demo chapter: two clients exchange one cycle of audio and MIDI through their ports.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

#include "demo.h"
#include "kit.h"
#include "tamb/midi.h"
#include "tamb/port.h"

namespace {

const char *const audio = TAMB_PORT_TYPE_AUDIO;
const char *const midi = TAMB_PORT_TYPE_MIDI;
constexpr tamb_nframes_t frames = 64;

tamb_port_t *must(tamb_port_t *port, const char *name) {
  if (port == nullptr) throw std::runtime_error(std::string("cannot register ") + name);
  return port;
}

void link(kit::Server &server, const tamb_port_t *output, const tamb_port_t *input) {
  if (server.connect(output->shared->id, input->shared->id) != 0) {
    throw std::runtime_error(std::string("cannot connect ") + tamb_port_name(output));
  }
}

void show_event(const tamb_midi_event_t &event) {
  // Each sequencer plays on its own channel, which is how the mixer can tell them apart.
  int channel = event.buffer[0] & 0x0f;
  std::string bytes;
  for (uint64_t i = 0; i < event.size; ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, " %02x", event.buffer[i]);
    bytes += hex;
  }
  printf("    frame %2u  %-12s from synth:seq_%d\n", event.time, bytes.c_str(), channel + 1);
}

void run_cycle(kit::Server &server) {
  kit::Client *synth = server.add_client("synth");
  kit::Client *mixer = server.add_client("mixer");
  tamb_port_set_funcs();
  tamb_port_t *lead =
      must(tamb_port_register(&synth->handle, "lead", audio, TAMB_PORT_IS_OUTPUT, 0), "lead");
  tamb_port_t *pad =
      must(tamb_port_register(&synth->handle, "pad", audio, TAMB_PORT_IS_OUTPUT, 0), "pad");
  tamb_port_t *seq[2] = {
      must(tamb_port_register(&synth->handle, "seq_1", midi, TAMB_PORT_IS_OUTPUT, 0), "seq_1"),
      must(tamb_port_register(&synth->handle, "seq_2", midi, TAMB_PORT_IS_OUTPUT, 0), "seq_2")};
  tamb_port_t *bus =
      must(tamb_port_register(&mixer->handle, "bus", audio, TAMB_PORT_IS_INPUT, 0), "bus");
  tamb_port_t *monitor =
      must(tamb_port_register(&mixer->handle, "monitor", audio, TAMB_PORT_IS_INPUT, 0), "monitor");
  tamb_port_t *spare =
      must(tamb_port_register(&mixer->handle, "spare", audio, TAMB_PORT_IS_INPUT, 0), "spare");
  tamb_port_t *notes =
      must(tamb_port_register(&mixer->handle, "notes", midi, TAMB_PORT_IS_INPUT, 0), "notes");

  link(server, lead, bus);
  link(server, pad, bus);
  link(server, lead, monitor);
  link(server, seq[1], notes);
  link(server, seq[0], notes);
  printf(
      "  synth registers lead, pad, seq_1, seq_2; mixer registers bus, monitor, spare, notes.\n");
  for (tamb_port_t *input : {bus, monitor, spare, notes}) {
    const char **names = tamb_port_get_connections(input);
    printf("  %-13s <-", tamb_port_name(input));
    for (size_t i = 0; names != nullptr && names[i] != nullptr; ++i) printf(" %s", names[i]);
    printf("%s\n", names == nullptr ? " (nothing)" : "");
    free(static_cast<void *>(names));
  }

  // The synth's process callback writes its outputs in place, in shared memory.
  auto *lead_samples = static_cast<float *>(tamb_port_get_buffer(lead, frames));
  auto *pad_samples = static_cast<float *>(tamb_port_get_buffer(pad, frames));
  for (tamb_nframes_t f = 0; f < frames; ++f) {
    lead_samples[f] = 0.125f * static_cast<float>(f % 8);
    pad_samples[f] = 0.5f;
  }
  const uint8_t on_1[3] = {0x90, 60, 100}, off_1[3] = {0x80, 60, 0};
  const uint8_t on_2[3] = {0x91, 67, 80}, cc_2[3] = {0xb1, 7, 90}, off_2[3] = {0x81, 67, 0};
  void *seq_1 = tamb_port_get_buffer(seq[0], frames);
  void *seq_2 = tamb_port_get_buffer(seq[1], frames);
  tamb_midi_event_write(seq_1, 0, on_1, 3);
  tamb_midi_event_write(seq_1, 32, off_1, 3);
  tamb_midi_event_write(seq_2, 0, on_2, 3);
  tamb_midi_event_write(seq_2, 16, cc_2, 3);
  tamb_midi_event_write(seq_2, 32, off_2, 3);

  // The mixer's process callback reads its inputs.
  auto *mixed = static_cast<float *>(tamb_port_get_buffer(bus, frames));
  printf("\n  one cycle of %u frames, audio (kernels: %s):\n", frames, hooks::kernels_width());
  printf("    frame    lead  +   pad  =   bus\n");
  for (tamb_nframes_t f = 0; f < 4; ++f) {
    printf("    %5u  %6.3f  %6.3f  %6.3f\n", f, lead_samples[f], pad_samples[f], mixed[f]);
  }
  auto *heard = static_cast<float *>(tamb_port_get_buffer(monitor, frames));
  auto *quiet = static_cast<float *>(tamb_port_get_buffer(spare, frames));
  bool in_place = heard == reinterpret_cast<float *>(
                               static_cast<char *>(mixer->handle.port_segment[0].address) +
                               lead->shared->offset);
  printf("  monitor has one source: it reads lead's own buffer in place (%s; frame 3: %.3f)\n",
         in_place ? "same address" : "A COPY", heard[3]);
  printf("  spare has none: it reads the shared silent buffer (frame 3: %.3f)\n", quiet[3]);

  void *merged = tamb_port_get_buffer(notes, frames);
  printf(
      "\n  MIDI merged into notes, in time order; equal times keep the order of notes'\n"
      "  connection list (seq_2 was connected first):\n");
  tamb_midi_event_t event;
  for (uint32_t i = 0; tamb_midi_event_get(&event, merged, i) == 0; ++i) show_event(event);
}

void show_ports() {
  printf(
      "A port is a typed endpoint with one buffer per cycle in shared memory. An output\n"
      "writes its own buffer; an input reads the silent buffer, its single source's buffer,\n"
      "or a mix of all its sources: samples added for audio, events merged for MIDI.\n\n");
  try {
    hooks::log_set_echo(false);
    kit::Server server(16, frames);
    run_cycle(server);
  } catch (const std::exception &e) {
    printf("  cannot run the chapter: %s\n", e.what());
  }
  hooks::log_set_echo(true);
}

TAMB_DEMO_CHAPTER(50, "Ports and buffers", show_ports);

}  // namespace
