// SPDX-License-Identifier: MIT
// The library's share of a cycle in a session across processes, as a user runs one: this process
// is the server and 16 forked processes are its clients. Each client has two audio outputs, two
// audio inputs and one MIDI port, an output on even clients and an input on odd ones. Every input
// is fed by two to four outputs of other clients, so every client mixes audio in every cycle and
// every MIDI input merges several sources.
//
// The figure is the library's own time per cycle: the engine's cycle start and end in this
// process plus, in each client, its buffer lookups (with the mixdowns they run), its MIDI writes
// or reads and a transport query. Each process times those calls alone, between its own work
// (writing samples, checking what it read), and writes the time into a table that all share.
// The server wakes one client at a time, as a real graph runs, so the processes never compete
// for a core with each other; a client preempted by something else on the machine is counted.
//
// The figure counts only from a session that really ran: each client checks every mix, every
// merge and every transport query against what its sources wrote, and the figure is an error
// when one was wrong or a client failed.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit.h"
#include "kit_remote.h"
#include "kit_session.h"
#include "ratio.h"
#include "report.h"
#include "tamb/tamb.h"

namespace {

using tamb_bench::format;

constexpr int kClients = 16;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kFrames = 64;
constexpr uint64_t kWarmup = 100;  // cycles run and checked but not counted
constexpr uint64_t kCycles = 10000;
constexpr uint64_t kAllCycles = kWarmup + kCycles;
constexpr double kPeriodUs = kFrames * 1e6 / kRate;
constexpr double kGoalPercent = 2;
constexpr int kEvents = 3;      // per MIDI output and cycle
constexpr int kMaxSources = 4;  // per input
constexpr int kMaxEvents = kEvents * kMaxSources;
constexpr uint32_t kPortCapacity = 128;
constexpr unsigned kOrphanSeconds = 120;  // a client left behind never outlives the run long
constexpr auto kSessionLimit = std::chrono::seconds(90);
constexpr int kRealTimePriority = 20;

// ---- The graph ----------------------------------------------------------------------------

// An audio output: its client and which of its two outputs.
struct Output {
  int client;
  int port;
};

// Inputs take 2, 3 or 4 sources in turn; the steps of 3 and 4 (and 7 between a client's two
// inputs) never reach the client itself and never repeat a source within one input.
int audio_fan_in(int client, int input) { return 2 + (2 * client + input) % 3; }

Output audio_source(int client, int input, int k) {
  return {(client + 1 + 7 * input + 3 * k) % kClients, (client + k) % 2};
}

bool has_midi_output(int client) { return client % 2 == 0; }

int midi_fan_in(int client) { return 2 + (client / 2) % 3; }

int midi_source(int client, int k) { return (client + 1 + 4 * k) % kClients; }

// Clients run in the order they were spawned. A source that runs before the reader has written
// this cycle; one that runs after it still holds the previous cycle (cycle 0 is written at
// setup), as in any graph with feedback.
uint64_t cycle_written(int source, int reader, uint64_t cycle) {
  return source < reader ? cycle : cycle - 1;
}

float sample(Output output, uint64_t cycle, uint32_t frame) {
  return kit::session_sample(2 * output.client + output.port, cycle, frame);
}

// Event k of a source's cycle: times non-decreasing in k, data naming source, k and cycle.
tamb_nframes_t event_time(int source, uint64_t cycle, int k) {
  if (k == 0) return 0;
  if (k == 1) return static_cast<tamb_nframes_t>((source + cycle) % (kFrames / 2));
  return static_cast<tamb_nframes_t>(kFrames / 2 + (5 * source + cycle) % (kFrames / 2));
}

void event_data(int source, uint64_t cycle, int k, uint8_t data[3]) {
  data[0] = static_cast<uint8_t>(0x90 | source);
  data[1] = static_cast<uint8_t>(k);
  data[2] = static_cast<uint8_t>(cycle & 0x7f);
}

std::string client_name(int client) {
  char name[16];
  std::snprintf(name, sizeof name, "client_%02d", client);
  return name;
}

// ---- What the processes share -------------------------------------------------------------

// A client's checks; its process is the only writer.
struct Checks {
  uint64_t mixes, mix_faults;
  uint64_t merges, merge_faults;
  uint64_t queries, query_faults, rolling;
};

struct Table {
  uint32_t ns[kAllCycles + 1][kClients];  // by cycle (from 1) and client
  uint8_t preempted[kAllCycles + 1][kClients];
  Checks checks[kClients];
  bool real_time[kClients + 1];  // by client, then the server
};

uint64_t now_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

long involuntary_switches() {
  rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nivcsw;
}

// ---- Real time ---------------------------------------------------------------------------

// What an audio thread asks for before its first cycle: first-in-first-out scheduling above every
// ordinary process, so that a build or a shell on the same machine waits for the cycle rather
// than the cycle for them. Where the system refuses (no privilege, a container), the session
// runs as it can and says so. (The clients' memory is not locked: they are forks of this
// process, and locking its whole image in sixteen copies costs more than it shows.)
bool real_time_enter() {
  sched_param param{};
  param.sched_priority = kRealTimePriority;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

void real_time_leave() {
  sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

// ---- A client process ---------------------------------------------------------------------

// What the library handed a client in one cycle.
struct Cycle {
  const float *in[2];
  float *out[2];
  void *midi;
  uint32_t count, lost;
  tamb_midi_event_t events[kMaxEvents];
  tamb_transport_state_t state;
  tamb_position_t position;
};

class SessionClient {
 public:
  SessionClient(kit::RemoteClient &remote, int index, Table *table)
      : remote_(remote), client_(remote.handle()), index_(index), table_(table) {}

  int run() {
    alarm(kOrphanSeconds);
    table_->real_time[index_] = real_time_enter();
    tamb_port_set_funcs();
    if (!register_ports()) return 2;
    // Cycle 0, for the clients that run before this one in cycle 1.
    Cycle first{};
    for (int o = 0; o < 2; ++o) {
      first.out[o] = static_cast<float *>(tamb_port_get_buffer(out_[o], kFrames));
    }
    first.midi = tamb_port_get_buffer(midi_, kFrames);
    if (first.out[0] == nullptr || first.out[1] == nullptr || first.midi == nullptr) return 3;
    fill_outputs(first, 0, kFrames);
    if (has_midi_output(index_)) write_events(first.midi, 0);
    if (index_ == 0) tamb_transport_start(client_);
    bool served =
        remote_.serve([this](uint64_t cycle, tamb_nframes_t nframes) { process(cycle, nframes); });
    return served ? 0 : 4;
  }

 private:
  bool register_ports() {
    const char *audio = tamb_builtin_port_types[0].type_name;
    const char *midi = tamb_builtin_port_types[1].type_name;
    for (int p = 0; p < 2; ++p) {
      std::string n = std::to_string(p + 1);
      in_[p] = tamb_port_register(client_, ("in_" + n).c_str(), audio, TAMB_PORT_IS_INPUT, 0);
      out_[p] = tamb_port_register(client_, ("out_" + n).c_str(), audio, TAMB_PORT_IS_OUTPUT, 0);
      if (in_[p] == nullptr || out_[p] == nullptr) return false;
    }
    bool out = has_midi_output(index_);
    midi_ = tamb_port_register(client_, out ? "midi_out" : "midi_in", midi,
                               out ? TAMB_PORT_IS_OUTPUT : TAMB_PORT_IS_INPUT, 0);
    return midi_ != nullptr;
  }

  void process(uint64_t cycle, tamb_nframes_t nframes) {
    Cycle now{};
    long switches = involuntary_switches();
    uint64_t begun = now_ns();
    library_calls(now, cycle, nframes);
    uint64_t took = now_ns() - begun;
    if (cycle <= kAllCycles) {
      table_->ns[cycle][index_] = static_cast<uint32_t>(std::min<uint64_t>(took, UINT32_MAX));
      table_->preempted[cycle][index_] = involuntary_switches() != switches;
    }
    fill_outputs(now, cycle, nframes);
    check_mixes(now, cycle, nframes);
    if (!has_midi_output(index_)) check_merge(now, cycle);
    check_query(now, nframes);
  }

  // Everything timed: nothing here but the calls a client's process thread makes.
  void library_calls(Cycle &now, uint64_t cycle, tamb_nframes_t nframes) {
    for (int p = 0; p < 2; ++p) {
      now.in[p] = static_cast<const float *>(tamb_port_get_buffer(in_[p], nframes));
      now.out[p] = static_cast<float *>(tamb_port_get_buffer(out_[p], nframes));
    }
    now.midi = tamb_port_get_buffer(midi_, nframes);
    if (now.midi != nullptr && has_midi_output(index_)) {
      write_events(now.midi, cycle);
    } else if (now.midi != nullptr) {
      now.count = tamb_midi_get_event_count(now.midi);
      now.lost = tamb_midi_get_lost_event_count(now.midi);
      for (uint32_t e = 0; e < std::min<uint32_t>(now.count, kMaxEvents); ++e) {
        if (tamb_midi_event_get(&now.events[e], now.midi, e) != 0) now.events[e].buffer = nullptr;
      }
    }
    now.state = tamb_transport_query(client_, &now.position);
  }

  // The first event through reserve, the others through write.
  void write_events(void *buffer, uint64_t cycle) {
    uint8_t data[3];
    tamb_midi_clear_buffer(buffer);
    event_data(index_, cycle, 0, data);
    if (uint8_t *room =
            tamb_midi_event_reserve(buffer, event_time(index_, cycle, 0), sizeof data)) {
      std::memcpy(room, data, sizeof data);
    }
    for (int k = 1; k < kEvents; ++k) {
      event_data(index_, cycle, k, data);
      tamb_midi_event_write(buffer, event_time(index_, cycle, k), data, sizeof data);
    }
  }

  void fill_outputs(const Cycle &now, uint64_t cycle, tamb_nframes_t nframes) {
    for (int o = 0; o < 2; ++o) {
      if (now.out[o] == nullptr) continue;
      for (uint32_t i = 0; i < nframes; ++i) now.out[o][i] = sample({index_, o}, cycle, i);
    }
  }

  void check_mixes(const Cycle &now, uint64_t cycle, tamb_nframes_t nframes) {
    Checks &checks = table_->checks[index_];
    for (int p = 0; p < 2; ++p) {
      bool right = now.in[p] != nullptr;
      for (uint32_t i = 0; right && i < nframes; ++i) {
        float expected = 0;
        for (int k = 0; k < audio_fan_in(index_, p); ++k) {
          Output source = audio_source(index_, p, k);
          expected += sample(source, cycle_written(source.client, index_, cycle), i);
        }
        right = now.in[p][i] == expected;
      }
      ++checks.mixes;
      checks.mix_faults += !right;
    }
  }

  // Every source's events exactly once, in time order, none lost.
  void check_merge(const Cycle &now, uint64_t cycle) {
    Checks &checks = table_->checks[index_];
    int sources = midi_fan_in(index_);
    bool right = now.midi != nullptr && now.lost == 0 &&
                 now.count == static_cast<uint32_t>(sources * kEvents);
    int seen[kMaxSources][kEvents] = {};
    tamb_nframes_t last = 0;
    for (uint32_t e = 0; right && e < now.count; ++e) {
      const tamb_midi_event_t &event = now.events[e];
      right = event.buffer != nullptr && event.size == 3 && event.time >= last;
      last = event.time;
      bool known = false;
      for (int s = 0; right && !known && s < sources; ++s) {
        int source = midi_source(index_, s);
        uint64_t written = cycle_written(source, index_, cycle);
        for (int k = 0; !known && k < kEvents; ++k) {
          uint8_t data[3];
          event_data(source, written, k, data);
          known = event.time == event_time(source, written, k) &&
                  std::memcmp(event.buffer, data, sizeof data) == 0;
          if (known) ++seen[s][k];
        }
      }
      right = right && known;
    }
    for (int s = 0; right && s < sources; ++s) {
      for (int k = 0; k < kEvents; ++k) right = right && seen[s][k] == 1;
    }
    ++checks.merges;
    checks.merge_faults += !right;
  }

  // Once rolling, the transport moves one cycle's frames per cycle at the session's rate.
  void check_query(const Cycle &now, tamb_nframes_t nframes) {
    Checks &checks = table_->checks[index_];
    bool rolling = now.state == TAMB_TRANSPORT_ROLLING;
    bool right = now.position.frame_rate == kRate;
    if (rolling && was_rolling_) right = right && now.position.frame == last_frame_ + nframes;
    was_rolling_ = rolling;
    last_frame_ = now.position.frame;
    ++checks.queries;
    checks.query_faults += !right;
    checks.rolling += rolling;
  }

  kit::RemoteClient &remote_;
  tamb_client_t *client_;
  int index_;
  Table *table_;
  tamb_port_t *in_[2] = {};
  tamb_port_t *out_[2] = {};
  tamb_port_t *midi_ = nullptr;
  bool was_rolling_ = false;
  tamb_nframes_t last_frame_ = 0;
};

// ---- The server ---------------------------------------------------------------------------

std::string removals_text(const kit::RemoteHost &remote) {
  std::string text;
  for (const kit::RemoteHost::Removal &end : remote.removals()) {
    if (end.reason == "finished" && end.status == 0) continue;
    text += (text.empty() ? "" : "; ") + end.name + " " + end.reason + ", exit status " +
            std::to_string(end.status);
  }
  return text;
}

// Connects every input to its sources, counting them in *made; an error text, or "".
std::string connect_graph(kit::RemoteHost &remote, int *made) {
  auto connect = [&](const std::string &from, const std::string &to) {
    int result = remote.connect(from.c_str(), to.c_str());
    if (result != 0) return "cannot connect " + from + " to " + to + ": " + std::strerror(result);
    ++*made;
    return std::string();
  };
  std::string error;
  for (int c = 0; c < kClients && error.empty(); ++c) {
    std::string sink = client_name(c);
    for (int p = 0; p < 2 && error.empty(); ++p) {
      for (int k = 0; k < audio_fan_in(c, p) && error.empty(); ++k) {
        Output source = audio_source(c, p, k);
        error = connect(client_name(source.client) + ":out_" + std::to_string(source.port + 1),
                        sink + ":in_" + std::to_string(p + 1));
      }
    }
    for (int k = 0; !has_midi_output(c) && k < midi_fan_in(c) && error.empty(); ++k) {
      error = connect(client_name(midi_source(c, k)) + ":midi_out", sink + ":midi_in");
    }
  }
  return error;
}

// Runs the session into table and engine_ns (by cycle); an error text, or "" when every cycle
// ran and every client ended well.
std::string run_session(Table *table, std::vector<uint64_t> *engine_ns, int *connections,
                        double *seconds) {
  kit::Server server(kPortCapacity, kFrames);
  server.set_sample_rate(kRate);
  kit::RemoteHost remote(server);
  for (int c = 0; c < kClients; ++c) {
    remote.spawn(client_name(c).c_str(), [c, table](kit::RemoteClient &client) {
      return SessionClient(client, c, table).run();
    });
  }
  int ready = remote.wait_ready();
  if (ready != kClients) {
    remote.finish();
    return std::to_string(ready) + " of " + std::to_string(kClients) +
           " clients started: " + removals_text(remote);
  }
  for (int c = 0; c < kClients; ++c) server.activate(remote.client(c));
  std::string error = connect_graph(remote, connections);

  table->real_time[kClients] = real_time_enter();
  auto begun = std::chrono::steady_clock::now();
  engine_ns->assign(kAllCycles + 1, 0);
  for (uint64_t cycle = 1; cycle <= kAllCycles && error.empty(); ++cycle) {
    if (remote.run(static_cast<tamb_time_t>(cycle * kFrames * 1000000 / kRate)) != 0) {
      error = "a client was removed in cycle " + std::to_string(cycle);
    } else if (std::chrono::steady_clock::now() - begun > kSessionLimit) {
      error = "the session took too long: " + std::to_string(cycle) + " cycles in " +
              std::to_string(kSessionLimit.count()) + " s";
    }
    (*engine_ns)[cycle] = remote.engine_ns();
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  real_time_leave();
  remote.finish();
  std::string ends = removals_text(remote);
  if (!ends.empty()) error += (error.empty() ? "" : ": ") + ends;
  return error;
}

// Whether every client checked everything in every cycle and found it right.
std::string check_session(const Table &table) {
  std::string error;
  auto expect = [&](int c, const char *what, uint64_t checked, uint64_t faults, uint64_t want) {
    if (checked == want && faults == 0) return;
    error += (error.empty() ? "" : "; ") + client_name(c) + ": " + std::to_string(faults) + " of " +
             std::to_string(checked) + " " + what + " wrong, " + std::to_string(want) + " expected";
  };
  for (int c = 0; c < kClients; ++c) {
    const Checks &checks = table.checks[c];
    expect(c, "mixes", checks.mixes, checks.mix_faults, 2 * kAllCycles);
    expect(c, "merges", checks.merges, checks.merge_faults, has_midi_output(c) ? 0 : kAllCycles);
    expect(c, "transport queries", checks.queries, checks.query_faults, kAllCycles);
    // The transport starts in cycle 1 and is rolling a cycle or two later.
    if (checks.rolling + 3 < kAllCycles) {
      error += (error.empty() ? "" : "; ") + client_name(c) + ": the transport rolled in only " +
               std::to_string(checks.rolling) + " cycles";
    }
    for (uint64_t cycle = 1; cycle <= kAllCycles; ++cycle) {
      if (table.ns[cycle][c] != 0) continue;
      error += (error.empty() ? "" : "; ") + client_name(c) + " reported no time for cycle " +
               std::to_string(cycle);
      break;
    }
  }
  return error;
}

// What one pair of clock reads adds to a timed section.
double clock_cost_ns() {
  std::vector<uint64_t> costs(1001);
  for (uint64_t &cost : costs) {
    uint64_t begun = now_ns();
    cost = now_ns() - begun;
  }
  std::nth_element(costs.begin(), costs.begin() + 500, costs.end());
  return static_cast<double>(costs[500]);
}

double percentile(const std::vector<double> &sorted, double share) {
  size_t rank = static_cast<size_t>(share * static_cast<double>(sorted.size()) + 0.999999);
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

// Cycles in which one process's calls took far longer than they usually do. On a shared or
// virtual machine that is an interrupt or the host taking the core inside a timed section more
// often than it is the library; shown beside the figure, never taken out of it.
constexpr double kStallFactor = 10;

tamb_bench::Figure summarise(const Table &table, const std::vector<uint64_t> &engine_ns,
                             int connections, double seconds) {
  std::vector<double> sections, engine;
  for (uint64_t cycle = kWarmup + 1; cycle <= kAllCycles; ++cycle) {
    engine.push_back(static_cast<double>(engine_ns[cycle]) / 1000);
    for (int c = 0; c < kClients; ++c) sections.push_back(table.ns[cycle][c] / 1000.0);
  }
  std::sort(sections.begin(), sections.end());
  std::sort(engine.begin(), engine.end());
  double section_median = percentile(sections, 0.5);

  std::vector<double> totals, steady;
  double preempted = 0;
  for (uint64_t cycle = kWarmup + 1; cycle <= kAllCycles; ++cycle) {
    double total = static_cast<double>(engine_ns[cycle]) / 1000;
    bool stalled = false, switched = false;
    for (int c = 0; c < kClients; ++c) {
      double section = table.ns[cycle][c] / 1000.0;
      total += section;
      switched = switched || table.preempted[cycle][c];
      stalled = stalled || table.preempted[cycle][c] || section > kStallFactor * section_median;
    }
    totals.push_back(total);
    if (!stalled) steady.push_back(total);
    preempted += switched;
  }
  std::sort(totals.begin(), totals.end());
  std::sort(steady.begin(), steady.end());
  double median = percentile(totals, 0.5);
  double p99 = percentile(totals, 0.99);
  double max = totals.back();
  double share = 100 / kPeriodUs;
  double stalls = static_cast<double>(totals.size() - steady.size());
  double steady_p99 = steady.empty() ? 0 : percentile(steady, 0.99);
  int real_time = 0;
  for (bool entered : table.real_time) real_time += entered;

  tamb_bench::Figure figure;
  figure.lines = {
      format("%d client processes, each 2 audio in, 2 audio out and a MIDI out (even) or in (odd)",
             kClients),
      format("%d connections, every input fed by 2-4 outputs of other clients", connections),
      format("%llu cycles of %u frames at %u Hz (period %.2f us), back to back after %llu "
             "warm-up cycles; %.1f s",
             static_cast<unsigned long long>(kCycles), kFrames, kRate, kPeriodUs,
             static_cast<unsigned long long>(kWarmup), seconds),
      format("library time per cycle: median %.2f us %.2f%%   p99 %.2f us %.2f%%   max %.2f us "
             "%.2f%%",
             median, median * share, p99, p99 * share, max, max * share),
      format("engine cycle start and end median %.2f us, one client's calls median %.2f us; "
             "clock reads add %.2f us",
             percentile(engine, 0.5), section_median, clock_cost_ns() * (kClients + 2) / 1000),
      format("%.0f cycles had one process's calls stall (>%.0fx their median, %.0f preempted); "
             "p99 without them %.2f us %.2f%%",
             stalls, kStallFactor, preempted, steady_p99, steady_p99 * share),
      "every mix, MIDI merge and transport query of every cycle was checked and right",
      format("scheduling: %d of %d processes first-in-first-out at priority %d, as audio threads "
             "run",
             real_time, kClients + 1, kRealTimePriority),
  };
  figure.values = {{"median_us", median},
                   {"p99_us", p99},
                   {"max_us", max},
                   {"median_share_percent", median * share},
                   {"p99_share_percent", p99 * share},
                   {"max_share_percent", max * share},
                   {"engine_median_us", percentile(engine, 0.5)},
                   {"client_median_us", section_median},
                   {"stalled_cycles", stalls},
                   {"preempted_cycles", preempted},
                   {"p99_without_stalls_us", steady_p99},
                   {"real_time_processes", real_time}};
  figure.goal = kGoalPercent;
  figure.goal_value = "p99_share_percent";
  return figure;
}

tamb_bench::Figure session_cycle_figure() {
  tamb_bench::Figure figure;
  std::string why;
  if (!kit::ipc_namespace_enter_private(&why)) {
    figure.error = "no private System V IPC namespace: " + why;
    return figure;
  }
  kit::ServerDir dir("/tmp/tamb-bench-session-");
  kit::SharedRecord<Table> record;
  if (dir.path().empty() || record.get() == nullptr) {
    figure.error = "cannot make the server directory or the shared table";
    return figure;
  }
  std::vector<uint64_t> engine_ns;
  int connections = 0;
  double seconds = 0;
  try {
    figure.error = run_session(record.get(), &engine_ns, &connections, &seconds);
  } catch (const std::exception &e) {
    figure.error = std::string("the session failed: ") + e.what();
  }
  if (figure.error.empty()) figure.error = check_session(*record.get());
  if (!figure.error.empty()) return figure;
  return summarise(*record.get(), engine_ns, connections, seconds);
}

}  // namespace

TAMB_FIGURE("session: library time per cycle, 16 client processes", session_cycle_figure);
