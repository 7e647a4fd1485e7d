// Buffer lookup and the audio mixdown through a real server's shared memory, each against what
// it cannot beat: the lookup against reading a pointer plus an offset, the mixdown against
// copying the same bytes, and the portable kernels against the host's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit.h"
#include "ratio.h"
#include "tamb/port.h"

namespace {

const char *const audio = TAMB_PORT_TYPE_AUDIO;
constexpr uint32_t frames = 1024;

// A producer with `sources` audio outputs holding distinct samples and a consumer with an input
// connected to all of them, one connected to the first only, and one connected to nothing.
struct Studio {
  explicit Studio(int sources) : server(64, frames) {
    synth = server.add_client("synth");
    mixer = server.add_client("mixer");
    bus = must(tamb_port_register(&mixer->handle, "bus", audio, TAMB_PORT_IS_INPUT, 0));
    single = must(tamb_port_register(&mixer->handle, "single", audio, TAMB_PORT_IS_INPUT, 0));
    idle = must(tamb_port_register(&mixer->handle, "idle", audio, TAMB_PORT_IS_INPUT, 0));
    for (int s = 0; s < sources; ++s) {
      std::string name = "out_" + std::to_string(s);
      outs.push_back(
          must(tamb_port_register(&synth->handle, name.c_str(), audio, TAMB_PORT_IS_OUTPUT, 0)));
      auto *samples = static_cast<float *>(tamb_port_get_buffer(outs.back(), frames));
      for (uint32_t f = 0; f < frames; ++f) samples[f] = static_cast<float>(s + 1) * 0.25f;
      if (server.connect(outs.back()->shared->id, bus->shared->id) != 0) {
        throw std::runtime_error("cannot connect " + name);
      }
    }
    if (server.connect(outs.front()->shared->id, single->shared->id) != 0) {
      throw std::runtime_error("cannot connect the single input");
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
  tamb_port_t *single;
  tamb_port_t *idle;
  std::vector<tamb_port_t *> outs;
};

std::unique_ptr<Studio> open_studio(benchmark::State &state, int sources) {
  if (!kit::ipc_namespace_enter_private(nullptr)) {
    state.SkipWithError("no private System V IPC namespace: run as root or allow user namespaces");
    return nullptr;
  }
  hooks::log_set_echo(false);
  try {
    return std::make_unique<Studio>(sources);
  } catch (const std::exception &e) {
    state.SkipWithError(e.what());
    return nullptr;
  }
}

// Every lookup goes through the exported function, as a client's process thread calls it.
void get_buffer_loop(benchmark::State &state, tamb_port_t *port) {
  for (auto _ : state) {
    void *buffer = tamb_port_get_buffer(port, frames);
    benchmark::DoNotOptimize(buffer);
  }
}

void BM_PortGetBufferOutput(benchmark::State &state) {
  auto studio = open_studio(state, 1);
  if (studio) get_buffer_loop(state, studio->outs.front());
}
BENCHMARK(BM_PortGetBufferOutput);

void BM_PortGetBufferUnconnected(benchmark::State &state) {
  auto studio = open_studio(state, 1);
  if (studio) get_buffer_loop(state, studio->idle);
}
BENCHMARK(BM_PortGetBufferUnconnected);

void BM_PortGetBufferSingleConnection(benchmark::State &state) {
  auto studio = open_studio(state, 1);
  if (studio) get_buffer_loop(state, studio->single);
}
BENCHMARK(BM_PortGetBufferSingleConnection);

// The floor of any zero-copy lookup in a shared library: an out-of-line call that reads the
// segment's address through the object and adds the record's offset. noipa keeps the compiler
// from seeing that the call has no effect and lifting it out of the loop.
__attribute__((noipa)) void *pointer_plus_offset(tamb_port_t *port, tamb_nframes_t) {
  return static_cast<char *>(*port->type_segment) + port->shared->offset;
}

void BM_PointerPlusOffsetBaseline(benchmark::State &state) {
  auto studio = open_studio(state, 1);
  if (!studio) return;
  tamb_port_t *port = studio->outs.front();
  for (auto _ : state) {
    void *buffer = pointer_plus_offset(port, frames);
    benchmark::DoNotOptimize(buffer);
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

TAMB_RATIO("ports: get_buffer of an output vs pointer+offset", "BM_PortGetBufferOutput",
           "BM_PointerPlusOffsetBaseline");
TAMB_RATIO("ports: get_buffer unconnected input vs pointer+offset", "BM_PortGetBufferUnconnected",
           "BM_PointerPlusOffsetBaseline");
TAMB_RATIO("ports: get_buffer one connection vs pointer+offset", "BM_PortGetBufferSingleConnection",
           "BM_PointerPlusOffsetBaseline");
TAMB_RATIO("ports: mixdown 8x1024 host kernels vs 8 memcpy (goal 1.3)", "BM_AudioMixdown/8",
           "BM_MemcpyBaseline/8");
TAMB_RATIO("ports: mixdown 8x1024 portable vs host kernels (goal 1.5)", "BM_AudioMixdownPortable/8",
           "BM_AudioMixdown/8");

}  // namespace
