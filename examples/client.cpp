// SPDX-License-Identifier: MIT
// A small C++ client of libtamb that needs no running server: two output ports whose buffers
// live in one block of the aligned pool, and an input connected to both, whose audio and MIDI
// mixdowns the library computes as it would in a process cycle. Exits 0 when every check passed.
#include <tamb/tamb.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <span>

namespace {

int failures = 0;

void check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    ++failures;
  }
}

constexpr tamb_nframes_t frames = 64;
constexpr int32_t midi_size = 2048;

// Two output ports of one client; their buffers sit at their offsets in a shared segment, as
// the server lays them out.
struct Sources {
  std::array<tamb_port_shared_t, 2> records{};
  std::array<tamb_port_t, 2> ports{};
  std::array<tamb_slist_t, 2> nodes{};

  Sources(void **segment, tamb_port_type_info_t *type, int32_t buffer_bytes) {
    for (int i = 0; i < 2; ++i) {
      records[i].offset = i * buffer_bytes;
      records[i].id = static_cast<uint32_t>(i);
      records[i].uuid = tamb_port_uuid_generate(records[i].id);
      records[i].flags = TAMB_PORT_IS_OUTPUT;
      std::snprintf(records[i].name, sizeof records[i].name, "example:out_%d", i + 1);
      ports[i].type_segment = segment;
      ports[i].type_info = type;
      ports[i].shared = &records[i];
      nodes[i].data = &ports[i];
      nodes[i].next = i == 0 ? &nodes[1] : nullptr;
    }
  }

  void *buffer(int i) const {
    return static_cast<char *>(*ports[i].type_segment) + records[i].offset;
  }
};

// An input whose mixdown the library writes into mix.
tamb_port_t input_of(Sources &sources, tamb_port_type_info_t *type, void *mix) {
  tamb_port_t input{};
  input.type_info = type;
  input.mix_buffer = mix;
  input.connections = &sources.nodes[0];
  return input;
}

void audio(void *segment) {
  tamb_port_type_info_t *type = &tamb_builtin_port_types[0];
  const auto bytes = static_cast<int32_t>(tamb_port_type_buffer_size(type, frames));
  Sources sources(&segment, type, bytes);
  for (int i = 0; i < 2; ++i) {
    std::span<float> samples(static_cast<float *>(sources.buffer(i)), frames);
    for (tamb_nframes_t f = 0; f < frames; ++f) samples[f] = (i + 1) * 0.25f * (f % 4);
  }

  alignas(64) std::array<float, frames> mix{};
  tamb_port_set_funcs();
  tamb_port_t input = input_of(sources, type, mix.data());
  tamb_get_port_functions(0)->mixdown(&input, frames);

  bool sums = true;
  for (tamb_nframes_t f = 0; f < frames; ++f) sums = sums && mix[f] == 0.75f * (f % 4);
  std::printf("audio: %u frames of \"%s\" (%d bytes each) mixed, frame 3 = %.2f\n", frames,
              type->type_name, bytes, mix[3]);
  check(sums, "the audio mixdown is the sum of the outputs");
}

void midi(void *segment) {
  tamb_port_type_info_t *type = &tamb_builtin_port_types[1];
  const auto bytes = static_cast<int32_t>(tamb_port_type_buffer_size(type, frames));
  check(bytes == midi_size, "a MIDI buffer has a fixed size");
  Sources sources(&segment, type, bytes);
  const tamb_port_functions_t *functions = tamb_get_port_functions(1);
  // Notes on the first output, a clock tick on the second, interleaved in time.
  for (int i = 0; i < 2; ++i) functions->buffer_init(sources.buffer(i), bytes, frames);
  for (uint8_t t = 0; t < 4; ++t) {
    const std::array<uint8_t, 3> note{0x90, static_cast<uint8_t>(60 + t), 100};
    const std::array<uint8_t, 1> tick{0xf8};
    tamb_midi_event_write(sources.buffer(0), t * 10u, note.data(), note.size());
    tamb_midi_event_write(sources.buffer(1), t * 10u + 5, tick.data(), tick.size());
  }

  alignas(64) std::array<uint8_t, midi_size> mix{};
  functions->buffer_init(mix.data(), mix.size(), frames);
  tamb_port_t input = input_of(sources, type, mix.data());
  functions->mixdown(&input, frames);

  const uint32_t count = tamb_midi_get_event_count(mix.data());
  bool ordered = count == 8;
  tamb_nframes_t last = 0;
  for (uint32_t i = 0; i < count; ++i) {
    tamb_midi_event_t event;
    ordered = ordered && tamb_midi_event_get(&event, mix.data(), i) == 0 && event.time >= last;
    ordered = ordered && event.buffer[0] == (i % 2 == 0 ? 0x90 : 0xf8);
    last = event.time;
  }
  std::printf("MIDI: %u events merged from %s and %s, last at frame %u\n", count,
              sources.records[0].name, sources.records[1].name, last);
  check(ordered, "the MIDI mixdown holds every event in time order");
  check(tamb_midi_get_lost_event_count(mix.data()) == 0, "the MIDI mixdown loses nothing");
}

}  // namespace

int main() {
  // One block of the pool holds both outputs' buffers of either type.
  void *segment = tamb_pool_alloc(2 * midi_size);
  if (segment == nullptr) {
    std::fprintf(stderr, "out of memory\n");
    return 1;
  }
  audio(segment);
  midi(segment);
  tamb_pool_release(segment);
  std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks failed");
  return failures == 0 ? 0 : 1;
}
