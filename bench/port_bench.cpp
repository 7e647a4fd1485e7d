// SPDX-License-Identifier: MIT
// Buffer lookup and the audio mixdown through a real server's shared memory, each against what
// it cannot beat: the lookup against reading a pointer plus an offset, the mixdown against
// copying the same bytes, and the portable kernels against the host's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <immintrin.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "hooks.h"
#include "kit.h"
#include "log_capture.h"
#include "ratio.h"
#include "tamb/midi.h"
#include "tamb/port.h"

namespace {

const char *const audio = TAMB_PORT_TYPE_AUDIO;
constexpr uint32_t frames = 1024;
constexpr int lookup_ports = 16;

// A producer with `sources` outputs of one type holding distinct data and a consumer with an
// input connected to all of them, one connected to the first only, and one connected to nothing.
// A MIDI output holds one note-on at a frame of its own.
struct Studio {
  Studio(int sources, const char *type) : server(128, frames) {
    synth = server.add_client("synth");
    mixer = server.add_client("mixer");
    bus = must(tamb_port_register(&mixer->handle, "bus", type, TAMB_PORT_IS_INPUT, 0));
    for (int i = 0; i < lookup_ports; ++i) {
      std::string n = std::to_string(i);
      singles.push_back(must(tamb_port_register(&mixer->handle, ("single_" + n).c_str(), type,
                                                TAMB_PORT_IS_INPUT, 0)));
      idles.push_back(must(
          tamb_port_register(&mixer->handle, ("idle_" + n).c_str(), type, TAMB_PORT_IS_INPUT, 0)));
    }
    for (int s = 0; s < sources; ++s) {
      std::string name = "out_" + std::to_string(s);
      outs.push_back(
          must(tamb_port_register(&synth->handle, name.c_str(), type, TAMB_PORT_IS_OUTPUT, 0)));
      void *buffer = tamb_port_get_buffer(outs.back(), frames);
      if (type == audio) {
        auto *samples = static_cast<float *>(buffer);
        for (uint32_t f = 0; f < frames; ++f) samples[f] = static_cast<float>(s + 1) * 0.25f;
      } else {
        const uint8_t note_on[3] = {0x90, static_cast<uint8_t>(s), 0x40};
        tamb_midi_clear_buffer(buffer);
        if (tamb_midi_event_write(buffer, static_cast<tamb_nframes_t>(s * 7 % frames), note_on,
                                  sizeof note_on) != 0) {
          throw std::runtime_error("cannot write an event into " + name);
        }
      }
      if (server.connect(outs.back()->shared->id, bus->shared->id) != 0) {
        throw std::runtime_error("cannot connect " + name);
      }
    }
    for (size_t i = 0; i < singles.size(); ++i) {
      if (server.connect(outs[i % outs.size()]->shared->id, singles[i]->shared->id) != 0) {
        throw std::runtime_error("cannot connect a single input");
      }
    }
    tamb_port_set_funcs();
  }

  static tamb_port_t *must(tamb_port_t *port) {
    if (port == nullptr) throw std::runtime_error("cannot register a port");
    return port;
  }

  kit::Server server;
  kit::Client *synth;
  kit::Client *mixer;
  tamb_port_t *bus;
  std::vector<tamb_port_t *> singles;  // each connected to one output
  std::vector<tamb_port_t *> idles;    // connected to nothing
  std::vector<tamb_port_t *> outs;
};

std::unique_ptr<Studio> open_studio(benchmark::State &state, int sources,
                                    const char *type = audio) {
  if (!kit::ipc_namespace_enter_private(nullptr)) {
    state.SkipWithError("no private System V IPC namespace: run as root or allow user namespaces");
    return nullptr;
  }
  hooks::log_set_echo(false);
  try {
    return std::make_unique<Studio>(sources, type);
  } catch (const std::exception &e) {
    state.SkipWithError(e.what());
    return nullptr;
  }
}

// Every lookup goes through the exported function, as a client's process thread calls it, over
// lookup_ports ports in turn: one port's place in memory moved a 2 ns lookup by a quarter from
// one process to the next. An iteration is one lookup of each.
void get_buffer_loop(benchmark::State &state, const std::vector<tamb_port_t *> &ports) {
  for (auto _ : state) {
    for (tamb_port_t *port : ports) {
      void *buffer = tamb_port_get_buffer(port, frames);
      benchmark::DoNotOptimize(buffer);
    }
  }
}

void BM_PortGetBufferOutput(benchmark::State &state) {
  auto studio = open_studio(state, lookup_ports);
  if (studio) get_buffer_loop(state, studio->outs);
}
BENCHMARK(BM_PortGetBufferOutput);

void BM_PortGetBufferUnconnected(benchmark::State &state) {
  auto studio = open_studio(state, 1);
  if (studio) get_buffer_loop(state, studio->idles);
}
BENCHMARK(BM_PortGetBufferUnconnected);

void BM_PortGetBufferSingleConnection(benchmark::State &state) {
  auto studio = open_studio(state, lookup_ports);
  if (studio) get_buffer_loop(state, studio->singles);
}
BENCHMARK(BM_PortGetBufferSingleConnection);

// The floor of any zero-copy lookup in a shared library: an out-of-line call that reads the
// segment's address through the object and adds the record's offset. noipa keeps the compiler
// from seeing that the call has no effect and lifting it out of the loop; clang has no noipa,
// but does not lift a call past the memory clobber of DoNotOptimize.
#if defined(__clang__)
#define BENCH_OPAQUE __attribute__((noinline))
#else
#define BENCH_OPAQUE __attribute__((noipa))
#endif
BENCH_OPAQUE void *pointer_plus_offset(tamb_port_t *port, tamb_nframes_t) {
  return static_cast<char *>(*port->type_segment) + port->shared->offset;
}

void BM_PointerPlusOffsetBaseline(benchmark::State &state) {
  auto studio = open_studio(state, lookup_ports);
  if (!studio) return;
  for (auto _ : state) {
    for (tamb_port_t *port : studio->outs) {
      void *buffer = pointer_plus_offset(port, frames);
      benchmark::DoNotOptimize(buffer);
    }
  }
}
BENCHMARK(BM_PointerPlusOffsetBaseline);

// The whole lookup of an input with several connections: one copy and sources - 1 mixes.
void mixdown_loop(benchmark::State &state, Studio &studio) {
  for (auto _ : state) {
    void *buffer = tamb_port_get_buffer(studio.bus, frames);
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * frames * sizeof(float));
}

void BM_AudioMixdown(benchmark::State &state) {
  auto studio = open_studio(state, static_cast<int>(state.range(0)));
  if (studio) mixdown_loop(state, *studio);
}
BENCHMARK(BM_AudioMixdown)->Arg(8);

// The same with the mix buffer 64 bytes past a page boundary, where a plain malloc may put it:
// each source load then shares its low 12 address bits with a store to the mix two vectors back.
void BM_AudioMixdownOffPage(benchmark::State &state) {
  auto studio = open_studio(state, static_cast<int>(state.range(0)));
  if (!studio) return;
  constexpr size_t past = 64;
  void *memory = nullptr;
  if (posix_memalign(&memory, 4096, 2 * 4096) != 0) {
    state.SkipWithError("out of memory");
    return;
  }
  void *saved = studio->bus->mix_buffer;
  studio->bus->mix_buffer = static_cast<char *>(memory) + past;
  mixdown_loop(state, *studio);
  studio->bus->mix_buffer = saved;
  free(memory);
}
BENCHMARK(BM_AudioMixdownOffPage)->Arg(8);

// The library's own kernels, chosen when the host reports no processor features.
void BM_AudioMixdownPortable(benchmark::State &state) {
  auto studio = open_studio(state, static_cast<int>(state.range(0)));
  if (!studio) return;
  int32_t saved = cpu_type;
  cpu_type = 0;
  tamb_port_set_funcs();
  mixdown_loop(state, *studio);
  cpu_type = saved;
  tamb_port_set_funcs();
}
BENCHMARK(BM_AudioMixdownPortable)->Arg(8);

// The same source buffers copied one after another into the same mix buffer.
void BM_MemcpyBaseline(benchmark::State &state) {
  auto studio = open_studio(state, static_cast<int>(state.range(0)));
  if (!studio) return;
  std::vector<const void *> sources;
  for (tamb_port_t *out : studio->outs) sources.push_back(tamb_port_get_buffer(out, frames));
  void *mix = studio->bus->mix_buffer;
  for (auto _ : state) {
    for (const void *source : sources) memcpy(mix, source, frames * sizeof(float));
    benchmark::DoNotOptimize(mix);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * frames * sizeof(float));
}
BENCHMARK(BM_MemcpyBaseline)->Arg(8);

// What the mixdown cannot beat: the copy and the adds written inline with plain vector
// intrinsics, as wide as the host kernels run, over private memory laid out as a port segment
// (the silent buffer, then one buffer per port, each a page of 1024 samples) with the mix
// buffer in the page after the sources.
struct PrivateSegment {
  explicit PrivateSegment(int sources) : bytes((sources + 2) * page) {
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("cannot map private memory");
    base = static_cast<char *>(memory);
    for (int s = 0; s < sources; ++s) {
      auto *samples = reinterpret_cast<float *>(base + (s + 1) * page);
      for (uint32_t f = 0; f < frames; ++f) samples[f] = static_cast<float>(s + 1) * 0.25f;
    }
    mix = reinterpret_cast<float *>(base + (sources + 1) * page);
  }
  ~PrivateSegment() { munmap(base, bytes); }
  const float *source(int s) const {
    return reinterpret_cast<const float *>(base + (s + 1) * page);
  }

  static constexpr size_t page = frames * sizeof(float);
  size_t bytes;
  char *base;
  float *mix;
};

__attribute__((target("avx2"))) void limit_mix_avx2(const PrivateSegment &segment, int sources) {
  float *mix = segment.mix;
  const float *first = segment.source(0);
  for (uint32_t i = 0; i < frames; i += 8) _mm256_storeu_ps(mix + i, _mm256_loadu_ps(first + i));
  for (int s = 1; s < sources; ++s) {
    const float *source = segment.source(s);
    for (uint32_t i = 0; i < frames; i += 8) {
      _mm256_storeu_ps(mix + i,
                       _mm256_add_ps(_mm256_loadu_ps(mix + i), _mm256_loadu_ps(source + i)));
    }
  }
}

void limit_mix_sse(const PrivateSegment &segment, int sources) {
  float *mix = segment.mix;
  const float *first = segment.source(0);
  for (uint32_t i = 0; i < frames; i += 4) _mm_storeu_ps(mix + i, _mm_loadu_ps(first + i));
  for (int s = 1; s < sources; ++s) {
    const float *source = segment.source(s);
    for (uint32_t i = 0; i < frames; i += 4) {
      _mm_storeu_ps(mix + i, _mm_add_ps(_mm_loadu_ps(mix + i), _mm_loadu_ps(source + i)));
    }
  }
}

void BM_MixdownLimit(benchmark::State &state) {
  int sources = static_cast<int>(state.range(0));
  PrivateSegment segment(sources);
  bool avx2 = std::strcmp(hooks::kernels_width(), "avx2") == 0;
  for (auto _ : state) {
    if (avx2) {
      limit_mix_avx2(segment, sources);
    } else {
      limit_mix_sse(segment, sources);
    }
    benchmark::DoNotOptimize(segment.mix);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * sources * frames * sizeof(float));
}
BENCHMARK(BM_MixdownLimit)->RangeMultiplier(2)->Range(2, 64);

// Lookup of the input connected to every output against the number of connections, audio and
// MIDI: one connection hands out the output's own buffer, two and more are mixed down.
void BM_PortLookupAudio(benchmark::State &state) {
  auto studio = open_studio(state, static_cast<int>(state.range(0)));
  if (studio) mixdown_loop(state, *studio);
}
BENCHMARK(BM_PortLookupAudio)->RangeMultiplier(2)->Range(1, 64);

void BM_PortLookupMidi(benchmark::State &state) {
  auto studio = open_studio(state, static_cast<int>(state.range(0)), TAMB_PORT_TYPE_MIDI);
  if (!studio) return;
  for (auto _ : state) {
    void *buffer = tamb_port_get_buffer(studio->bus, frames);
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
  void *merged = tamb_port_get_buffer(studio->bus, frames);
  if (tamb_midi_get_event_count(merged) != static_cast<uint32_t>(state.range(0))) {
    state.SkipWithError("the merged buffer lost events");
  }
}
BENCHMARK(BM_PortLookupMidi)->RangeMultiplier(2)->Range(1, 64);

TAMB_RATIO("ports: get_buffer of an output vs pointer+offset", "BM_PortGetBufferOutput",
           "BM_PointerPlusOffsetBaseline");
TAMB_RATIO("ports: get_buffer unconnected input vs pointer+offset", "BM_PortGetBufferUnconnected",
           "BM_PointerPlusOffsetBaseline");
TAMB_RATIO("ports: get_buffer one connection vs pointer+offset", "BM_PortGetBufferSingleConnection",
           "BM_PointerPlusOffsetBaseline");
TAMB_RATIO_GOAL("ports: mixdown 8x1024 host kernels vs its limit", "BM_AudioMixdown/8",
                "BM_MixdownLimit/8", 1.15);
TAMB_RATIO("ports: mixdown 8x1024 host kernels vs 8 memcpy", "BM_AudioMixdown/8",
           "BM_MemcpyBaseline/8");
TAMB_RATIO("ports: mixdown limit 8x1024 vs 8 memcpy", "BM_MixdownLimit/8", "BM_MemcpyBaseline/8");
TAMB_RATIO("ports: mixdown 8x1024 mix 64 bytes past a page vs on one", "BM_AudioMixdownOffPage/8",
           "BM_AudioMixdown/8");
// The host's add is the same loop as the portable one at the same width, and its copy the same
// memcpy: equal within what a ratio resolves, which is what the goal allows.
TAMB_RATIO_GOAL("ports: mixdown 8x1024 host vs portable kernels", "BM_AudioMixdown/8",
                "BM_AudioMixdownPortable/8", 1.05);
TAMB_SWEEP_FROM("ports: audio lookup with mixdown against connections", "BM_PortLookupAudio", 1,
                "connection", 2);
TAMB_SWEEP_BASELINE("ports: the audio mixdown's limit against connections", "BM_MixdownLimit", 1,
                    "connection");
TAMB_RATIO("ports: mixdown 64x1024 host kernels vs its limit", "BM_PortLookupAudio/64",
           "BM_MixdownLimit/64");
TAMB_SWEEP_FROM("ports: MIDI lookup with mixdown against connections", "BM_PortLookupMidi", 1,
                "connection", 2);

}  // namespace
