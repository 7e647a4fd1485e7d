// SPDX-License-Identifier: MIT
// The MIDI mixdown against a binary-heap merge of the same events into a plain array, and how
// its cost grows with the sources merged and with the events each of them sends.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>
#include <random>
#include <vector>

#include "ratio.h"
#include "tamb/midi.h"

namespace {

constexpr tamb_nframes_t frames = 1024;
constexpr uint32_t midi_size = 2048;
constexpr int default_events = 64;

// What one source sends in a cycle: ordinary 3-byte channel messages at sorted random times,
// many of them shared with other sources.
struct PlainEvent {
  uint16_t time;
  uint16_t size;
  uint8_t data[4];
};

using Sources = std::vector<std::vector<PlainEvent>>;

Sources MakeSources(int sources, int events_per_source) {
  std::mt19937 random(static_cast<uint32_t>(sources));
  Sources all(sources);
  for (auto &events : all) {
    for (int i = 0; i < events_per_source; ++i) {
      const auto time = static_cast<uint16_t>(random() % frames);
      events.push_back({time, 3, {0x90, static_cast<uint8_t>(random() % 128), 0x40, 0}});
    }
    std::sort(events.begin(), events.end(),
              [](const PlainEvent &a, const PlainEvent &b) { return a.time < b.time; });
  }
  return all;
}

size_t EventTotal(const Sources &sources) {
  size_t total = 0;
  for (const auto &events : sources) total += events.size();
  return total;
}

// A MIDI input connected to every source, the sources' buffers side by side in one segment as
// the server lays them out. The mix buffer holds every event, so that the whole merge runs
// rather than stopping where a 2048-byte one would be full.
struct Input {
  explicit Input(const Sources &sources)
      : segment(sources.size() * midi_size),
        address(segment.data()),
        records(sources.size()),
        ports(sources.size()),
        nodes(sources.size()),
        mix(sizeof(tamb_midi_buffer_info_t) + 8 * EventTotal(sources) + 64) {
    std::strcpy(midi_type.type_name, TAMB_PORT_TYPE_MIDI);
    midi_type.size_factor = -1;
    midi_type.fixed_size = midi_size;
    for (size_t s = 0; s < sources.size(); ++s) {
      records[s].offset = static_cast<int32_t>(s * midi_size);
      records[s].flags = TAMB_PORT_IS_OUTPUT;
      ports[s].type_segment = &address;
      ports[s].type_info = &midi_type;
      ports[s].shared = &records[s];
      nodes[s] = {&ports[s], s + 1 < sources.size() ? &nodes[s + 1] : nullptr};
      uint8_t *buffer = segment.data() + records[s].offset;
      tamb_midi_buffer_init(buffer, midi_size, frames);
      for (const PlainEvent &event : sources[s]) {
        tamb_midi_event_write(buffer, event.time, event.data, event.size);
      }
    }
    tamb_midi_buffer_init(mix.data(), mix.size(), frames);
    port.type_info = &midi_type;
    port.mix_buffer = mix.data();
    port.connections = nodes.data();
  }

  tamb_port_type_info_t midi_type = {};
  std::vector<uint8_t> segment;
  void *address;
  std::vector<tamb_port_shared_t> records;
  std::vector<tamb_port_t> ports;
  std::vector<tamb_slist_t> nodes;
  std::vector<uint8_t> mix;
  tamb_port_t port = {};
};

// One mixdown per iteration; items are the events merged.
void RunMixdown(benchmark::State &state, int sources, int events_per_source) {
  Input input(MakeSources(sources, events_per_source));
  for (auto _ : state) {
    tamb_midi_port_mixdown(&input.port, frames);
    benchmark::ClobberMemory();
  }
  const auto expected = static_cast<uint32_t>(sources * events_per_source);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * expected);
  if (tamb_midi_get_event_count(input.mix.data()) != expected ||
      tamb_midi_get_lost_event_count(input.mix.data()) != 0) {
    state.SkipWithError("the mixdown lost events");
  }
}

// Sources sending 64 events each. Lists of up to 256 sources and longer ones are merged in
// different ways, so the sizes reach past that on both sides.
void BM_MidiMixdown(benchmark::State &state) {
  RunMixdown(state, static_cast<int>(state.range(0)), default_events);
}
BENCHMARK(BM_MidiMixdown)
    ->RangeMultiplier(2)
    ->Range(2, 256)
    ->Arg(65)
    ->Arg(96)
    ->Arg(192)
    ->Arg(257)
    ->Arg(384);

// 16 sources sending from 1 event each to the 253 their 2048-byte buffers hold.
void BM_MidiMixdownEvents(benchmark::State &state) {
  RunMixdown(state, static_cast<int>(state.range(1)), static_cast<int>(state.range(0)));
}
BENCHMARK(BM_MidiMixdownEvents)->ArgsProduct({{1, 4, 16, 64, 253}, {16}});

// The same merge order (time, then source position) with std::priority_queue over storage
// reserved once; the output is a plain array of the events.
void BM_HeapMergeBaseline(benchmark::State &state) {
  const int sources = static_cast<int>(state.range(0));
  const Sources events = MakeSources(sources, default_events);
  std::vector<uint32_t> storage;
  storage.reserve(sources);
  std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> heap(std::greater<>{},
                                                                            std::move(storage));
  std::vector<PlainEvent> out(EventTotal(events));
  std::vector<int> next(sources);
  for (auto _ : state) {
    for (int s = 0; s < sources; ++s) {
      next[s] = 0;
      heap.push(uint32_t{events[s][0].time} << 8 | static_cast<uint32_t>(s));
    }
    size_t written = 0;
    while (!heap.empty()) {
      const uint32_t s = heap.top() & 0xff;
      heap.pop();
      out[written++] = events[s][next[s]];
      if (++next[s] < default_events) {
        heap.push(uint32_t{events[s][next[s]].time} << 8 | s);
      }
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_HeapMergeBaseline)->Arg(4)->Arg(16)->Arg(128);

TAMB_RATIO("midi: mixdown 4 x 64 events vs heap merge", "BM_MidiMixdown/4",
           "BM_HeapMergeBaseline/4");
TAMB_RATIO("midi: mixdown 16 x 64 events vs heap merge", "BM_MidiMixdown/16",
           "BM_HeapMergeBaseline/16");
TAMB_RATIO("midi: mixdown 128 x 64 events vs heap merge", "BM_MidiMixdown/128",
           "BM_HeapMergeBaseline/128");

// Each merged event replays one path of a tournament over the sources, so the work grows as
// sources x log(sources); it is held to linear growth all the same, which shows what that log
// factor, and the longer lists' way of merging, cost.
TAMB_SWEEP_NLOGN("midi: mixdown against sources (64 events each)", "BM_MidiMixdown", "source");
TAMB_SWEEP("midi: mixdown against events per source (16 sources)", "BM_MidiMixdownEvents", 1,
           "event per source");

}  // namespace
