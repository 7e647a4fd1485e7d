// SPDX-License-Identifier: MIT
// MIDI buffers written by another process: reads, stores and the merge of an input's
// connections over arbitrary buffer bytes.
//
// Input: one control byte, then up to three 2048-byte buffers (a short last one is padded with
// zeros). Control bits 0-1 pick how many buffers the merge takes (1-3), bit 2 pads the input
// with 64 empty connections so that the merge takes its scanning path instead of the cursors,
// bit 3 detaches the second connection's segment.
//
// The first buffer is also read and written on its own. A lone buffer has only its header to
// say how large it is, so its buffer_size is capped at the real 2048 bytes first; the merge
// gets the sources untouched, because it bounds them by the port type's size.
#include <tamb/control.h>
#include <tamb/midi.h>
#include <tamb/shm.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kMidiSize = 2048;
constexpr tamb_nframes_t kFrames = 256;
constexpr int32_t kOffset = 64;  // where a port's buffer starts in its segment
constexpr int kPadding = 64;

// Fails loudly: the driver and libFuzzer both keep the input that got here.
void check(bool condition) {
  if (!condition) abort();
}

bool inside(const uint8_t *base, size_t size, const uint8_t *at, uint64_t length) {
  return at >= base && at <= base + size && length <= static_cast<uint64_t>(base + size - at);
}

// Every event index a reader could ask for, plus the first ones past the count.
void read_all(uint8_t *buffer) {
  const uint32_t count = tamb_midi_get_event_count(buffer);
  const uint32_t limit = count < kMidiSize ? count + 2 : kMidiSize;
  tamb_midi_event_t event;
  for (uint32_t i = 0; i < limit; ++i) {
    if (tamb_midi_event_get(&event, buffer, i) != 0) continue;
    check(i < count);
    check(inside(buffer, kMidiSize, event.buffer, event.size));
  }
  tamb_midi_event_get(&event, buffer, UINT32_MAX);
  tamb_midi_get_lost_event_count(buffer);
}

// Stores into a buffer of foreign bytes: what is stored must read back as written.
void store_into(uint8_t *buffer) {
  auto *info = reinterpret_cast<tamb_midi_buffer_info_t *>(buffer);
  static const uint8_t data[16] = {0xf0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xf7};
  for (uint64_t size : {uint64_t{3}, uint64_t{16}, uint64_t{1}, uint64_t{5}}) {
    tamb_midi_max_event_size(buffer);
    const tamb_nframes_t time = info->cycle_frames != 0 ? info->cycle_frames - 1 : 0;
    const uint32_t before = info->event_count;
    if (tamb_midi_event_write(buffer, time, data, size) != 0) continue;
    check(info->event_count == before + 1);
    tamb_midi_event_t event;
    check(tamb_midi_event_get(&event, buffer, before) == 0);
    check(event.time == time && event.size == size);
    check(inside(buffer, kMidiSize, event.buffer, size));
    check(memcmp(event.buffer, data, size) == 0);
  }
  uint8_t *space = tamb_midi_event_reserve(buffer, 0, 2);
  if (space != nullptr) check(inside(buffer, kMidiSize, space, 2));
}

// A MIDI input whose connections are the fuzz buffers, each at an offset into a segment of its
// own that is exactly as large as the port type says, so that AddressSanitizer sees any read
// past a source.
void merge(const std::vector<std::vector<uint8_t>> &buffers, bool pad, bool detach) {
  const int sources = static_cast<int>(buffers.size()) + (pad ? kPadding : 0);
  std::unique_ptr<tamb_control_t, void (*)(void *)> control(
      static_cast<tamb_control_t *>(calloc(1, TAMB_CONTROL_SIZE(sources + 1))), free);
  check(control != nullptr);
  tamb_port_type_info_t &midi = control->port_types[1];
  strcpy(midi.type_name, TAMB_PORT_TYPE_MIDI);
  midi.size_factor = -1;
  midi.fixed_size = kMidiSize;

  std::vector<std::unique_ptr<uint8_t[]>> segments;
  std::vector<void *> addresses(sources);
  std::vector<tamb_port_t> ports(sources + 1);
  std::vector<tamb_slist_t> nodes(sources);
  for (int i = 0; i < sources; ++i) {
    segments.emplace_back(new uint8_t[kOffset + kMidiSize]);
    uint8_t *buffer = segments.back().get() + kOffset;
    if (i < static_cast<int>(buffers.size())) {
      memcpy(buffer, buffers[i].data(), kMidiSize);
    } else {
      tamb_midi_buffer_init(buffer, kMidiSize, kFrames);
    }
    addresses[i] = segments.back().get();
    control->port_table[i].offset = kOffset;
    control->port_table[i].flags = TAMB_PORT_IS_OUTPUT;
    ports[i].type_segment = &addresses[i];
    ports[i].type_info = &midi;
    ports[i].shared = &control->port_table[i];
    nodes[i] = {&ports[i], i + 1 < sources ? &nodes[i + 1] : nullptr};
  }
  if (detach && sources > 1) addresses[1] = TAMB_SHM_NOT_ATTACHED;

  std::unique_ptr<uint8_t[]> mix(new uint8_t[kMidiSize]);
  tamb_midi_buffer_init(mix.get(), kMidiSize, kFrames);
  tamb_port_t &in = ports[sources];
  in.type_info = &midi;
  in.shared = &control->port_table[sources];
  in.shared->flags = TAMB_PORT_IS_INPUT;
  in.mix_buffer = mix.get();
  in.functions = tamb_builtin_midi_functions;
  in.connections = &nodes[0];

  tamb_midi_port_mixdown(&in, kFrames);

  // The merge is in time order and every event it wrote reads back from inside the output.
  const uint32_t count = tamb_midi_get_event_count(mix.get());
  tamb_nframes_t last = 0;
  for (uint32_t i = 0; i < count; ++i) {
    tamb_midi_event_t event;
    check(tamb_midi_event_get(&event, mix.get(), i) == 0);
    check(event.time >= last && event.time < kFrames && event.size != 0);
    check(inside(mix.get(), kMidiSize, event.buffer, event.size));
    last = event.time;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  ++data;
  --size;
  const size_t wanted = 1 + (control & 3) % 3;
  std::vector<std::vector<uint8_t>> buffers;
  for (size_t i = 0; i < wanted && (i == 0 || i * kMidiSize < size); ++i) {
    std::vector<uint8_t> buffer(kMidiSize, 0);
    if (i * kMidiSize < size) {
      memcpy(buffer.data(), data + i * kMidiSize,
             std::min<size_t>(kMidiSize, size - i * kMidiSize));
    }
    buffers.push_back(std::move(buffer));
  }

  merge(buffers, (control & 4) != 0, (control & 8) != 0);

  // An exactly-sized heap block: AddressSanitizer reports any access past its end.
  std::unique_ptr<uint8_t[]> lone(new uint8_t[kMidiSize]);
  memcpy(lone.get(), buffers[0].data(), kMidiSize);
  auto *info = reinterpret_cast<tamb_midi_buffer_info_t *>(lone.get());
  if (info->buffer_size > kMidiSize) info->buffer_size = kMidiSize;
  read_all(lone.get());
  store_into(lone.get());
  read_all(lone.get());
  tamb_midi_clear_buffer(lone.get());
  check(tamb_midi_get_event_count(lone.get()) == 0);
  return 0;
}
