// SPDX-License-Identifier: MIT
// The transport engine's cycle end, the one transport step in every server cycle, against a copy
// of one position record: the least a cycle end that promotes a position can cost. Its idle step
// and the start of a sync poll are also swept against the slow-sync clients present.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kit.h"
#include "ratio.h"
#include "tamb/tamb.h"

namespace {

// Near the most clients a server can hold: each client control block takes one of the registry's
// 256 entries, and the engine control block and the two port types' buffers take three more.
constexpr int slow_sync_max = 250;

// A rolling transport at 48 kHz, 1024 frames per cycle, with slow_sync active slow-sync clients
// that have reported ready, and a quiet engine as a server runs it.
struct Rig {
  kit::Server server{16, 1024};
  tamb_engine_t *engine = server.engine();
  tamb_control_t *control = server.control();
  std::vector<kit::Client *> clients;

  explicit Rig(int slow_sync) {
    server.set_sample_rate(48000);
    engine->verbose = 0;
    for (int i = 0; i < slow_sync; ++i) {
      kit::Client *client = server.add_client(("slow" + std::to_string(i)).c_str());
      server.activate(client);
      tamb_transport_client_set_sync(engine, client->internal.control->uuid);
      clients.push_back(client);
    }
    control->transport_cmd = TAMB_TRANSPORT_CMD_START;
    tamb_transport_cycle_end(engine);
    report_ready();
    tamb_transport_cycle_end(engine);
  }

  // What each client's process thread does once its sync callback says it is ready.
  void report_ready() {
    for (kit::Client *client : clients) {
      if (client->internal.control->sync_poll != 0) {
        client->internal.control->sync_poll = 0;
        --control->sync_remain;
      }
    }
  }
};

// Benchmarks need a server; without a private IPC namespace there is none.
std::unique_ptr<Rig> open_rig(benchmark::State &state, int slow_sync) {
  if (!kit::ipc_namespace_enter_private(nullptr)) {
    state.SkipWithError("no private System V IPC namespace: run as root or allow user namespaces");
    return nullptr;
  }
  hooks::log_set_echo(false);
  try {
    return std::make_unique<Rig>(slow_sync);
  } catch (const std::exception &e) {
    state.SkipWithError(e.what());
    return nullptr;
  }
}

// A rolling transport with nothing new: the step every cycle end takes most of the time. It
// looks at no client, so the slow-sync clients present should not change its cost.
void BM_CycleEndIdle(benchmark::State &state) {
  auto rig = open_rig(state, static_cast<int>(state.range(0)));
  if (!rig) return;
  const uint32_t frame = rig->control->current_position.frame;
  for (auto _ : state) {
    tamb_transport_cycle_end(rig->engine);
    benchmark::ClobberMemory();
  }
  const uint64_t advanced = uint64_t{rig->control->buffer_size} * state.iterations();
  if (rig->control->transport_state != TAMB_TRANSPORT_ROLLING ||
      rig->control->current_position.frame != static_cast<uint32_t>(frame + advanced)) {
    state.SkipWithError("not rolling");
  }
}
BENCHMARK(BM_CycleEndIdle)->RangeMultiplier(4)->Range(1, 128)->Arg(slow_sync_max);

// Every cycle end meets a request it has not taken yet: the guarded copy of 136 bytes on top.
// A client's locate would cost its own side too; here only the ids change.
void BM_CycleEndNewRequest(benchmark::State &state) {
  auto rig = open_rig(state, 0);
  if (!rig) return;
  tamb_position_t &requested = rig->control->requested_position;
  uint64_t id = 1;
  for (auto _ : state) {
    requested.head_id = requested.tail_id = ++id;
    tamb_transport_cycle_end(rig->engine);
    benchmark::ClobberMemory();
  }
  if (rig->control->last_request_id != id) state.SkipWithError("requests were not taken");
}
BENCHMARK(BM_CycleEndNewRequest);

// A start command while stopped with slow-sync clients: the engine walks them all to start the
// poll. Resetting the state and the last command costs two stores.
void BM_CycleEndPollStart(benchmark::State &state) {
  const int slow_sync = static_cast<int>(state.range(0));
  auto rig = open_rig(state, slow_sync);
  if (!rig) return;
  tamb_control_t *control = rig->control;
  for (auto _ : state) {
    control->transport_state = TAMB_TRANSPORT_STOPPED;
    control->previous_cmd = TAMB_TRANSPORT_CMD_STOP;
    tamb_transport_cycle_end(rig->engine);
    benchmark::ClobberMemory();
  }
  if (control->transport_state != TAMB_TRANSPORT_STARTING || control->sync_remain != slow_sync) {
    state.SkipWithError("no poll of every slow-sync client started");
  }
}
BENCHMARK(BM_CycleEndPollStart)->RangeMultiplier(4)->Range(1, 128)->Arg(slow_sync_max);

// What starting a poll cannot avoid: the same walk of the engine's client list written inline,
// one flag read and one stored in each client's control block. Every block is a segment of its
// own, so each client costs a page and a line on the same cache set; past a few dozen clients
// the walk pays for the processor's address translation and cache conflicts, not for work.
void BM_ClientWalkBaseline(benchmark::State &state) {
  const int slow_sync = static_cast<int>(state.range(0));
  auto rig = open_rig(state, slow_sync);
  if (!rig) return;
  int32_t count = 0;
  for (auto _ : state) {
    count = 0;
    for (tamb_slist_t *node = rig->engine->clients; node != nullptr; node = node->next) {
      tamb_client_control_t *client = static_cast<tamb_client_internal_t *>(node->data)->control;
      if (client->active_slowsync) {
        // The value the flag already has: the engine's count of polled clients stays true.
        client->sync_poll = 0;
        ++count;
      }
    }
    benchmark::ClobberMemory();
  }
  if (count != slow_sync) state.SkipWithError("the walk missed clients");
}
BENCHMARK(BM_ClientWalkBaseline)->RangeMultiplier(4)->Range(1, 128)->Arg(slow_sync_max);

void BM_PositionMemcpyBaseline(benchmark::State &state) {
  auto rig = open_rig(state, 0);
  if (!rig) return;
  tamb_control_t *control = rig->control;
  for (auto _ : state) {
    memcpy(&control->current_position, &control->pending_position, sizeof(tamb_position_t));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PositionMemcpyBaseline);

TAMB_RATIO_GOAL("engine: cycle end idle vs 136-byte memcpy", "BM_CycleEndIdle/1",
                "BM_PositionMemcpyBaseline", 3);
TAMB_RATIO("engine: cycle end with a new request vs 136-byte memcpy", "BM_CycleEndNewRequest",
           "BM_PositionMemcpyBaseline");
TAMB_RATIO("engine: cycle end starting a poll of 16 vs 136-byte memcpy", "BM_CycleEndPollStart/16",
           "BM_PositionMemcpyBaseline");

TAMB_SWEEP("engine: idle cycle end against slow-sync clients", "BM_CycleEndIdle", 0, "client");
TAMB_SWEEP("engine: cycle end starting a poll against slow-sync clients", "BM_CycleEndPollStart", 1,
           "client");
TAMB_SWEEP_BASELINE("engine: baseline walk of the slow-sync clients' control blocks",
                    "BM_ClientWalkBaseline", 1, "client");
TAMB_RATIO("engine: cycle end starting a poll of 250 vs walking their blocks",
           "BM_CycleEndPollStart/250", "BM_ClientWalkBaseline/250");

}  // namespace
