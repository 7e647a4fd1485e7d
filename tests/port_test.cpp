// SPDX-License-Identifier: MIT
// Ports as a client sees them, against the host's server over real shared memory.
#include "tamb/port.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine_checks.h"
#include "kit.h"
#include "support.h"
#include "tamb/midi.h"

namespace {

const char *const audio = TAMB_PORT_TYPE_AUDIO;
const char *const midi = TAMB_PORT_TYPE_MIDI;
// The mixdown as a port's functions hold it: with clang the function itself is of a nonblocking
// type, which C++ does not compare with the plain pointer.
const decltype(tamb_port_functions_t::mixdown) kMixdown = tamb_audio_port_mixdown;

class Ports : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
    server_ = support::quiet_server(32, 64);
    synth_ = server_->add_client("synth");
    mixer_ = server_->add_client("mixer");
    tamb_port_set_funcs();
  }
  void TearDown() override {
    server_.reset();
    hooks::log_set_echo(true);
  }

  tamb_port_t *reg(kit::Client *client, const char *name, const char *type, unsigned long flags) {
    return support::register_port(client, name, type, flags);
  }

  // The synth's outputs a and b, both connected to the mixer's input in.
  struct Mixed {
    tamb_port_t *a, *b, *in;
  };
  void mix_two(Mixed *mixed) {
    mixed->a = reg(synth_, "a", audio, TAMB_PORT_IS_OUTPUT);
    mixed->b = reg(synth_, "b", audio, TAMB_PORT_IS_OUTPUT);
    mixed->in = reg(mixer_, "in", audio, TAMB_PORT_IS_INPUT);
    ASSERT_NE(mixed->in, nullptr);
    ASSERT_EQ(server_->connect(mixed->a->shared->id, mixed->in->shared->id), 0);
    ASSERT_EQ(server_->connect(mixed->b->shared->id, mixed->in->shared->id), 0);
  }

  static size_t list_length(const tamb_slist_t *list) {
    size_t n = 0;
    for (; list != nullptr; list = list->next) ++n;
    return n;
  }

  std::unique_ptr<kit::Server> server_;
  kit::Client *synth_ = nullptr;
  kit::Client *mixer_ = nullptr;
};

TEST_F(Ports, TypeTablesAndBufferSizes) {
  EXPECT_STREQ(tamb_builtin_port_types[0].type_name, "32 bit float mono audio");
  EXPECT_EQ(tamb_builtin_port_types[0].size_factor, 1);
  EXPECT_STREQ(tamb_builtin_port_types[1].type_name, "8 bit raw midi");
  EXPECT_EQ(tamb_builtin_port_types[1].size_factor, -1);
  EXPECT_EQ(tamb_builtin_port_types[1].fixed_size, 2048);
  EXPECT_EQ(tamb_builtin_port_types[2].type_name[0], '\0');

  EXPECT_EQ(tamb_port_type_buffer_size(&tamb_builtin_port_types[0], 1024), 4096u);
  EXPECT_EQ(tamb_port_type_buffer_size(&tamb_builtin_port_types[1], 1024), 2048u);
  EXPECT_EQ(tamb_port_type_buffer_size(&tamb_builtin_port_types[1], 7), 2048u);
  // 64-bit arithmetic: no wrap at 2^32 bytes.
  tamb_port_type_info_t wide = tamb_builtin_port_types[0];
  wide.size_factor = 2;
  EXPECT_EQ(tamb_port_type_buffer_size(&wide, 0x80000000u), 0x400000000ull);

  EXPECT_EQ(tamb_port_type_get_buffer_size(&synth_->handle, midi), 2048u);
  EXPECT_EQ(tamb_port_type_get_buffer_size(&synth_->handle, audio), 64u * 4);
  EXPECT_EQ(tamb_port_type_get_buffer_size(&synth_->handle, "8 bit raw MIDI"), 0u);
  EXPECT_EQ(tamb_port_type_get_buffer_size(&synth_->handle, ""), 0u);

  EXPECT_EQ(tamb_get_port_functions(0), &tamb_builtin_audio_functions);
  EXPECT_EQ(tamb_get_port_functions(1), &tamb_builtin_midi_functions);
  EXPECT_EQ(tamb_get_port_functions(2), nullptr);
  EXPECT_EQ(tamb_get_port_functions(-1), nullptr);
  EXPECT_EQ(tamb_builtin_NULL_functions.mixdown, nullptr);
  EXPECT_EQ(tamb_builtin_audio_functions.mixdown, kMixdown);
  EXPECT_EQ(tamb_builtin_midi_functions.buffer_init, tamb_midi_buffer_init);

  unsigned char bytes[16];
  memset(bytes, 0xab, sizeof bytes);
  tamb_generic_buffer_init(bytes, 12, 99);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(bytes[i], 0);
  EXPECT_EQ(bytes[12], 0xab);
}

TEST_F(Ports, RegistrationSendsTheRequestAndBuildsTheObject) {
  tamb_port_t *out = reg(synth_, "out_1", audio, TAMB_PORT_IS_OUTPUT | 0x100000000ul);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(tamb_port_name(out), "synth:out_1");
  EXPECT_STREQ(tamb_port_short_name(out), "out_1");
  EXPECT_EQ(tamb_port_short_name(out), tamb_port_name(out) + 6);
  EXPECT_EQ(tamb_port_flags(out), TAMB_PORT_IS_OUTPUT);
  EXPECT_STREQ(tamb_port_type(out), audio);
  EXPECT_EQ(tamb_port_uuid(out), tamb_port_uuid_generate(out->shared->id));
  EXPECT_EQ(out->shared->has_mixdown, 1);
  EXPECT_EQ(out->functions.mixdown, kMixdown);
  EXPECT_EQ(out->type_segment, &synth_->handle.port_segment[0].address);
  EXPECT_EQ(synth_->handle.own_ports->data, out);
  EXPECT_TRUE(tamb_port_is_mine(&synth_->handle, out));
  EXPECT_FALSE(tamb_port_is_mine(&mixer_->handle, out));

  tamb_port_t *second = reg(synth_, "out_2", audio, TAMB_PORT_IS_OUTPUT);
  EXPECT_EQ(synth_->handle.own_ports->data, second);  // newest first
  EXPECT_EQ(list_length(synth_->handle.own_ports), 2u);

  // The server refuses: no object, one message.
  EXPECT_EQ(tamb_port_register(&synth_->handle, "x", "no such type", 0, 0), nullptr);
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "cannot deliver port registration request"));
  EXPECT_EQ(list_length(synth_->handle.own_ports), 2u);

  EXPECT_EQ(tamb_port_unregister(&synth_->handle, second), 0);
  EXPECT_EQ(second->shared->in_use, 0);
  EXPECT_NE(tamb_port_unregister(&mixer_->handle, out), 0);  // not the mixer's port
}

int capture_register(tamb_client_t *, tamb_request_t *request, void *arg) {
  *static_cast<tamb_request_t *>(arg) = *request;
  return EPERM;
}

TEST_F(Ports, FullNameLimitAndTypeNameCut) {
  kit::Client *ten = server_->add_client("ten_chars_");
  std::string longest(244, 'p');
  tamb_port_t *port = reg(ten, longest.c_str(), audio, TAMB_PORT_IS_OUTPUT);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(strlen(tamb_port_name(port)), 255u);

  std::string too_long(245, 'p');
  uint64_t requests = hooks::request_count();
  EXPECT_EQ(tamb_port_register(&ten->handle, too_long.c_str(), audio, 0, 0), nullptr);
  EXPECT_EQ(hooks::request_count(), requests);  // refused before any request
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "\"ten_chars_:" + too_long +
                                                      "\" is too long to be used as a TAMB port "
                                                      "name.\nPlease use 255 characters or less."));

  tamb_request_t seen{};
  hooks::request_set_handler(TAMB_REQ_PORT_REGISTER, capture_register, &seen);
  std::string type40(40, 't');
  EXPECT_EQ(tamb_port_register(&ten->handle, "p", type40.c_str(), 0x3, 0x1000000200ul), nullptr);
  EXPECT_EQ(seen.type, TAMB_REQ_PORT_REGISTER);
  EXPECT_STREQ(seen.body.port.name, "ten_chars_:p");
  EXPECT_EQ(std::string(seen.body.port.type_name), std::string(31, 't'));
  EXPECT_EQ(seen.body.port.flags, 0x3u);
  EXPECT_EQ(seen.body.port.buffer_size, 0x200u);
  EXPECT_EQ(seen.body.port.client_id, ten->handle.control->uuid);
}

TEST_F(Ports, LookupsMakeOneObjectPerPortAndClient) {
  tamb_port_t *out = reg(synth_, "out_1", audio, TAMB_PORT_IS_OUTPUT);
  ASSERT_NE(out, nullptr);
  uint32_t id = out->shared->id;

  EXPECT_EQ(tamb_port_by_id(&synth_->handle, id), out);
  EXPECT_EQ(tamb_port_by_name(&synth_->handle, "synth:out_1"), out);
  EXPECT_EQ(synth_->handle.foreign_ports, nullptr);

  tamb_port_t *seen = tamb_port_by_name(&mixer_->handle, "synth:out_1");
  ASSERT_NE(seen, nullptr);
  EXPECT_NE(seen, out);
  EXPECT_EQ(seen->shared, out->shared);
  EXPECT_EQ(seen->functions.mixdown, nullptr);  // another client's port carries no functions
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "synth:out_1"), seen);
  EXPECT_EQ(tamb_port_by_id(&mixer_->handle, id), seen);
  EXPECT_EQ(list_length(mixer_->handle.foreign_ports), 1u);

  int made = -1;
  tamb_port_t *temporary = tamb_port_by_id_int(&mixer_->handle, id, &made);
  EXPECT_EQ(made, 1);
  EXPECT_NE(temporary, seen);
  free(temporary);
  made = -1;
  EXPECT_EQ(tamb_port_by_id_int(&synth_->handle, id, &made), out);
  EXPECT_EQ(made, 0);
  made = -1;
  EXPECT_EQ(tamb_port_by_id_int(&mixer_->handle, 31, &made), nullptr);  // not in use
  EXPECT_EQ(tamb_port_by_id_int(&mixer_->handle, 32, &made), nullptr);  // past capacity
  EXPECT_EQ(tamb_port_by_id_int(&mixer_->handle, ~0u, &made), nullptr);
  EXPECT_EQ(made, -1);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "synth:nothing"), nullptr);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, nullptr), nullptr);
}

// A port's objects outlive its unregistration; lookups must not hand them out again, least of
// all when the id now holds a port of another type whose buffer lies in another segment.
TEST_F(Ports, LookupsNeverReturnObjectsOfUnregisteredPorts) {
  tamb_port_t *out = reg(synth_, "out", audio, TAMB_PORT_IS_OUTPUT);
  ASSERT_NE(out, nullptr);
  uint32_t id = out->shared->id;
  tamb_port_t *seen = tamb_port_by_name(&mixer_->handle, "synth:out");
  ASSERT_NE(seen, nullptr);
  ASSERT_EQ(tamb_port_unregister(&synth_->handle, out), 0);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "synth:out"), nullptr);
  EXPECT_EQ(tamb_port_by_id(&mixer_->handle, id), nullptr);
  EXPECT_EQ(tamb_port_by_id(&synth_->handle, id), nullptr);

  tamb_port_t *notes = reg(mixer_, "notes", midi, TAMB_PORT_IS_OUTPUT);  // takes the same id
  ASSERT_NE(notes, nullptr);
  ASSERT_EQ(notes->shared->id, id);
  tamb_port_t *again = tamb_port_by_id(&synth_->handle, id);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again, out);
  EXPECT_STREQ(tamb_port_type(again), midi);
  EXPECT_EQ(tamb_port_get_buffer(again, 64),
            static_cast<char *>(synth_->handle.port_segment[1].address) + notes->shared->offset);
  EXPECT_EQ(tamb_port_by_id(&mixer_->handle, id), notes);  // the owner's own object
}

TEST_F(Ports, NamesAliasesAndTheAlsaMapping) {
  kit::Client *alsa = server_->add_client("alsa_pcm");
  tamb_port_t *capture = reg(alsa, "capture_1", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *playback = reg(alsa, "playback_2", audio, TAMB_PORT_IS_INPUT);
  ASSERT_NE(playback, nullptr);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "ALSA:capture_1")->shared, capture->shared);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "ALSA:playback_2")->shared, playback->shared);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "ALSA:captur"), nullptr);
  EXPECT_FALSE(tamb_port_name_equals(capture->shared, "alsa_pcm:captur"));

  EXPECT_EQ(tamb_port_set_alias(capture, "system:capture_1"), 0);
  EXPECT_EQ(tamb_port_set_alias(capture, "mic"), 0);
  EXPECT_EQ(tamb_port_set_alias(capture, "third"), -1);
  EXPECT_EQ(tamb_port_by_name(&synth_->handle, "mic")->shared, capture->shared);
  EXPECT_EQ(tamb_port_by_name(&synth_->handle, "system:capture_1")->shared, capture->shared);
  EXPECT_FALSE(tamb_port_name_equals(capture->shared, ""));

  char first[289] = "untouched";
  char second[289] = "";
  char *const buffers[2] = {first, second};
  EXPECT_EQ(tamb_port_get_aliases(capture, buffers), 2);
  EXPECT_STREQ(first, "system:capture_1");
  EXPECT_STREQ(second, "mic");
  EXPECT_EQ(tamb_port_unset_alias(capture, "system:capture_1"), 0);
  EXPECT_EQ(tamb_port_unset_alias(capture, "system:capture_1"), -1);
  strcpy(first, "untouched");
  EXPECT_EQ(tamb_port_get_aliases(capture, buffers), 1);
  EXPECT_STREQ(first, "untouched");  // positions are fixed
  EXPECT_STREQ(second, "mic");
  // With an alias slot free again, an empty name still names nothing set.
  EXPECT_TRUE(tamb_port_name_equals(capture->shared, "") == (capture->shared->alias1[0] == 0));

  std::string long_alias(300, 'a');
  EXPECT_EQ(tamb_port_set_alias(playback, long_alias.c_str()), 0);
  EXPECT_EQ(strlen(playback->shared->alias1), 288u);
}

TEST_F(Ports, RenameKeepsTheClientPartAndTellsTheServer) {
  tamb_port_t *out = reg(synth_, "out_1", audio, TAMB_PORT_IS_OUTPUT);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(tamb_port_rename(&synth_->handle, out, "lead"), 0);
  EXPECT_STREQ(tamb_port_name(out), "synth:lead");
  EXPECT_EQ(server_->last_rename().old_name, "synth:out_1");
  EXPECT_EQ(server_->last_rename().new_name, "lead");

  EXPECT_EQ(tamb_port_set_name(out, "synth:lead"), 0);  // the whole current name: no change
  EXPECT_STREQ(tamb_port_name(out), "synth:lead");
  EXPECT_EQ(tamb_port_rename(&synth_->handle, out, "synth:lead"), 0);
  EXPECT_EQ(server_->last_rename().old_name, "synth:lead");
  EXPECT_EQ(server_->last_rename().new_name, "synth:lead");

  std::string huge(400, 'n');
  EXPECT_EQ(tamb_port_rename(&synth_->handle, out, huge.c_str()), 0);
  EXPECT_EQ(strlen(tamb_port_name(out)), 287u);
  EXPECT_EQ(std::string(tamb_port_name(out), 6), "synth:");
  EXPECT_EQ(server_->last_rename().new_name, std::string(254, 'n'));
}

TEST_F(Ports, LatencyFiguresFollowTheDirection) {
  tamb_port_t *out = reg(synth_, "out", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *phys = reg(synth_, "phys", audio, TAMB_PORT_IS_OUTPUT | TAMB_PORT_IS_PHYSICAL);
  tamb_port_t *in = reg(synth_, "in", audio, TAMB_PORT_IS_INPUT | TAMB_PORT_IS_PHYSICAL);
  ASSERT_NE(in, nullptr);
  tamb_latency_range_t range;

  tamb_port_set_latency(out, 256);
  EXPECT_EQ(tamb_port_get_latency(out), 256u);
  tamb_port_get_latency_range(out, TAMB_LATENCY_CAPTURE, &range);
  EXPECT_EQ(range.min, 256u);
  EXPECT_EQ(range.max, 256u);
  tamb_port_get_latency_range(out, TAMB_LATENCY_PLAYBACK, &range);
  EXPECT_EQ(range.min, 0u);
  EXPECT_EQ(range.max, 0u);

  tamb_latency_range_t capture = {100, 201};
  tamb_port_set_latency_range(phys, TAMB_LATENCY_CAPTURE, &capture);
  EXPECT_EQ(tamb_port_get_latency(phys), 150u);
  tamb_port_set_latency_range(out, TAMB_LATENCY_CAPTURE, &capture);
  EXPECT_EQ(tamb_port_get_latency(out), 256u);  // not physical
  tamb_latency_range_t playback = {10, 20};
  tamb_port_set_latency_range(phys, TAMB_LATENCY_PLAYBACK, &playback);
  EXPECT_EQ(tamb_port_get_latency(phys), 150u);  // an output's playback end leaves it
  tamb_port_set_latency_range(in, static_cast<tamb_latency_mode_t>(7), &playback);
  EXPECT_EQ(tamb_port_get_latency(in), 15u);
  tamb_port_get_latency_range(in, static_cast<tamb_latency_mode_t>(7), &range);
  EXPECT_EQ(range.max, 20u);
  tamb_latency_range_t wrap = {0xffffffffu, 3};  // the sum wraps in 32 bits
  tamb_port_set_latency_range(in, TAMB_LATENCY_PLAYBACK, &wrap);
  EXPECT_EQ(tamb_port_get_latency(in), 1u);

  in->shared->total_latency = 77;
  EXPECT_EQ(tamb_port_get_total_latency(nullptr, in), 77u);
}

TEST_F(Ports, MonitorRequestsReachConnectedOutputs) {
  Mixed pair;
  ASSERT_NO_FATAL_FAILURE(mix_two(&pair));
  auto [a, b, in] = pair;

  EXPECT_EQ(tamb_port_request_monitor(in, 1), 0);
  EXPECT_EQ(in->shared->monitor_requests, 1);
  EXPECT_EQ(a->shared->monitor_requests, 1);
  EXPECT_EQ(b->shared->monitor_requests, 1);
  EXPECT_TRUE(tamb_port_monitoring_input(a));
  EXPECT_EQ(tamb_port_request_monitor(in, 0), 0);
  EXPECT_EQ(tamb_port_request_monitor(in, 0), 0);
  EXPECT_EQ(in->shared->monitor_requests, 0);
  EXPECT_EQ(a->shared->monitor_requests, 0);
  EXPECT_FALSE(tamb_port_monitoring_input(b));

  EXPECT_EQ(tamb_port_request_monitor(a, 1), 0);  // an output keeps it to itself
  EXPECT_EQ(in->shared->monitor_requests, 0);

  EXPECT_EQ(tamb_port_request_monitor_by_name(&mixer_->handle, "synth:b", 1), 0);
  EXPECT_EQ(b->shared->monitor_requests, 1);
  EXPECT_EQ(tamb_port_request_monitor_by_name(&mixer_->handle, "mixer:in", 1), 0);
  EXPECT_EQ(a->shared->monitor_requests, 1);  // by name: not passed on
  EXPECT_EQ(tamb_port_request_monitor_by_name(&mixer_->handle, "nobody", 1), -1);

  a->shared->monitor_requests = 3;
  EXPECT_EQ(tamb_port_ensure_monitor(a, 1), 0);
  EXPECT_EQ(a->shared->monitor_requests, 3);
  EXPECT_EQ(tamb_port_ensure_monitor(a, 0), 0);
  EXPECT_EQ(a->shared->monitor_requests, 0);
  EXPECT_EQ(tamb_port_ensure_monitor(a, 1), 0);
  EXPECT_EQ(a->shared->monitor_requests, 1);
  a->shared->monitor_requests = 255;
  tamb_port_request_monitor(a, 1);
  EXPECT_EQ(a->shared->monitor_requests, 0);  // 8-bit count wraps
}

// Disconnecting frees a node of the input's list while another thread passes monitor requests
// along it. The walk must never step on from a freed node (AddressSanitizer reports it when it
// does), and an output that stays connected sees every request and its release.
TEST_F(Ports, MonitorRequestsSurviveConcurrentDisconnects) {
  constexpr int churned = 4;
  tamb_port_t *outs[churned];
  for (int i = 0; i < churned; ++i) {
    outs[i] = reg(synth_, ("out_" + std::to_string(i)).c_str(), audio, TAMB_PORT_IS_OUTPUT);
    ASSERT_NE(outs[i], nullptr);
  }
  tamb_port_t *steady = reg(synth_, "steady", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *in = reg(mixer_, "in", audio, TAMB_PORT_IS_INPUT);
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(server_->connect(steady->shared->id, in->shared->id), 0);
  for (tamb_port_t *out : outs) ASSERT_EQ(server_->connect(out->shared->id, in->shared->id), 0);

  std::atomic<bool> stop{false};
  std::thread monitor([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      tamb_port_request_monitor(in, 1);
      tamb_port_request_monitor(in, 0);
    }
  });
  int failures = 0;
  for (int round = 0; round < 20000 && failures == 0; ++round) {
    uint32_t id = outs[round % churned]->shared->id;
    failures += server_->disconnect(id, in->shared->id) != 0;
    failures += server_->connect(id, in->shared->id) != 0;
  }
  stop = true;
  monitor.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(in->shared->monitor_requests, 0);
  EXPECT_EQ(steady->shared->monitor_requests, 0);
  EXPECT_EQ(tamb_port_connected(in), churned + 1);
}

// The state letter of a thread of this process ('S' while it sleeps), or 0 once it is gone.
char ThreadState(pid_t tid) {
  FILE *stat = fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "re");
  if (stat == nullptr) return 0;
  std::string line = support::read_all(stat);
  size_t name_end = line.rfind(')');
  return name_end != std::string::npos && name_end + 2 < line.size() ? line[name_end + 2] : 0;
}

// A connection change holds the input's connection lock while it edits the list, and a
// disconnection frees a node. Every walk over the list waits for the change: it sleeps on the
// lock, finishes once the change is done, and only then hands out what it found.
TEST_F(Ports, WalksOverTheConnectionsWaitForAChangeInProgress) {
  Mixed pair;
  ASSERT_NO_FATAL_FAILURE(mix_two(&pair));
  auto [a, b, in] = pair;
  struct Walk {
    const char *call;
    std::function<bool()> run;  // whether it found what the list holds
  };
  const Walk walks[] = {
      {"tamb_port_request_monitor",
       [&] {
         tamb_port_request_monitor(in, 1);
         bool passed_on = a->shared->monitor_requests == 1 && b->shared->monitor_requests == 1;
         tamb_port_request_monitor(in, 0);
         return passed_on;
       }},
      {"tamb_port_connected_to", [&] { return tamb_port_connected_to(in, "synth:b") == 1; }},
      {"tamb_port_get_connections",
       [&] {
         const char **names = tamb_port_get_connections(in);
         bool both = names != nullptr && names[0] == a->shared->name &&
                     names[1] == b->shared->name && names[2] == nullptr;
         free(static_cast<void *>(names));
         return both;
       }},
  };
  for (const Walk &walk : walks) {
    SCOPED_TRACE(walk.call);
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    bool found = false;
    pthread_mutex_lock(&in->connection_lock);
    std::thread walker([&] {
      tid = gettid();
      found = walk.run();
      done = true;
    });
    while (tid == 0) std::this_thread::yield();
    while (!done && ThreadState(tid) != 'S') std::this_thread::yield();
    EXPECT_FALSE(done) << "it walked the list while a change held the lock";
    pthread_mutex_unlock(&in->connection_lock);
    walker.join();
    EXPECT_TRUE(found);
  }
}

TEST_F(Ports, BufferLookupIsZeroCopyAndMixesInListOrder) {
  tamb_port_t *outs[3];
  for (int i = 0; i < 3; ++i) {
    outs[i] = reg(synth_, ("out_" + std::to_string(i)).c_str(), audio, TAMB_PORT_IS_OUTPUT);
    ASSERT_NE(outs[i], nullptr);
  }
  tamb_port_t *one = reg(mixer_, "one", audio, TAMB_PORT_IS_INPUT);
  tamb_port_t *three = reg(mixer_, "three", audio, TAMB_PORT_IS_INPUT);
  tamb_port_t *idle = reg(mixer_, "idle", audio, TAMB_PORT_IS_INPUT);
  tamb_port_t *idle2 = reg(mixer_, "idle2", audio, TAMB_PORT_IS_INPUT);
  ASSERT_NE(idle2, nullptr);

  char *segment = static_cast<char *>(synth_->handle.port_segment[0].address);
  EXPECT_EQ(tamb_port_get_buffer(outs[0], 64), segment + outs[0]->shared->offset);
  void *silence = tamb_port_get_buffer(idle, 64);
  EXPECT_EQ(silence, static_cast<char *>(mixer_->handle.port_segment[0].address) +
                         mixer_->handle.engine_control->port_types[0].silence_offset);
  EXPECT_EQ(tamb_port_get_buffer(idle2, 64), silence);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(static_cast<float *>(silence)[i], 0.0f);

  for (int i = 0; i < 3; ++i) {
    float *samples = static_cast<float *>(tamb_port_get_buffer(outs[i], 64));
    for (int f = 0; f < 64; ++f) samples[f] = static_cast<float>((i + 1) * 1000 + f) * 0.5f;
  }
  ASSERT_EQ(server_->connect(outs[1]->shared->id, one->shared->id), 0);
  // The mixer's own view of the output's buffer, through its own attachment.
  float *seen = static_cast<float *>(tamb_port_get_buffer(one, 64));
  EXPECT_EQ(seen,
            reinterpret_cast<float *>(static_cast<char *>(mixer_->handle.port_segment[0].address) +
                                      outs[1]->shared->offset));
  EXPECT_EQ(seen[5], (2000 + 5) * 0.5f);

  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(server_->connect(outs[i]->shared->id, three->shared->id), 0);
  ASSERT_NE(three->mix_buffer, nullptr);
  // On a page boundary, as the port segments are: no load of a source shares its low address bits
  // with a store to the mix still in flight.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(three->mix_buffer) % 4096, 0u);
  float *mixed = static_cast<float *>(tamb_port_get_buffer(three, 64));
  EXPECT_EQ(mixed, three->mix_buffer);
  for (int f = 0; f < 64; ++f) {
    float expect = static_cast<float>(1000 + f) * 0.5f;
    expect += static_cast<float>(2000 + f) * 0.5f;
    expect += static_cast<float>(3000 + f) * 0.5f;
    ASSERT_EQ(mixed[f], expect) << f;
  }
}

TEST_F(Ports, TiesAreFollowedAndLoopsEnd) {
  tamb_port_t *a = reg(synth_, "a", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *b = reg(synth_, "b", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *in = reg(synth_, "in", audio, TAMB_PORT_IS_INPUT);
  tamb_port_t *other = reg(mixer_, "other", audio, TAMB_PORT_IS_OUTPUT);
  ASSERT_NE(other, nullptr);

  EXPECT_EQ(tamb_port_tie(a, other), -1);
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "cannot tie ports not owned by the same client"));
  EXPECT_EQ(tamb_port_tie(a, in), -1);
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "cannot tie an input port"));
  EXPECT_EQ(tamb_port_untie(b), -1);
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "port \"synth:b\" is not tied"));

  EXPECT_EQ(tamb_port_tie(a, b), 0);
  EXPECT_EQ(tamb_port_get_buffer(b, 64), tamb_port_get_buffer(a, 64));
  // An input connected to the tied output hands out the tie's buffer.
  ASSERT_EQ(server_->connect(b->shared->id, in->shared->id), 0);
  EXPECT_EQ(tamb_port_get_buffer(in, 64), tamb_port_get_buffer(a, 64));

  EXPECT_EQ(tamb_port_tie(b, a), 0);  // a loop: a -> b -> a
  hooks::log_clear();
  EXPECT_EQ(tamb_port_get_buffer(a, 64), nullptr);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 1u);
  EXPECT_EQ(tamb_port_untie(a), 0);
  EXPECT_EQ(tamb_port_get_buffer(b, 64), tamb_port_get_buffer(a, 64));
}

TEST_F(Ports, MissingMixBufferOrMixdownOrSegmentGiveNull) {
  Mixed pair;
  ASSERT_NO_FATAL_FAILURE(mix_two(&pair));
  auto [a, b, in] = pair;

  void *mix = in->mix_buffer;
  in->mix_buffer = nullptr;
  EXPECT_EQ(tamb_port_get_buffer(in, 64), nullptr);
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "internal tamb error: mix_buffer not allocated"));
  in->mix_buffer = mix;

  in->functions = tamb_builtin_NULL_functions;  // a type without mixdown is never mixed
  EXPECT_EQ(tamb_port_get_buffer(in, 64), nullptr);
  in->functions = tamb_builtin_audio_functions;
  EXPECT_EQ(tamb_port_get_buffer(in, 64), in->mix_buffer);

  void *address = synth_->handle.port_segment[0].address;
  synth_->handle.port_segment[0].address = TAMB_SHM_NOT_ATTACHED;
  hooks::log_clear();
  EXPECT_EQ(tamb_port_get_buffer(a, 64), nullptr);
  a->type_segment = nullptr;
  EXPECT_EQ(tamb_port_get_buffer(a, 64), nullptr);
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);
  a->type_segment = &synth_->handle.port_segment[0].address;
  synth_->handle.port_segment[0].address = address;

  // The input's side: the mixer's own attachment is gone, and with it every source buffer.
  auto *mixed = static_cast<float *>(in->mix_buffer);
  for (int f = 0; f < 64; ++f) mixed[f] = 1.0f;
  address = mixer_->handle.port_segment[0].address;
  mixer_->handle.port_segment[0].address = TAMB_SHM_NOT_ATTACHED;
  EXPECT_EQ(tamb_port_get_buffer(in, 64), nullptr);
  tamb_audio_port_mixdown(in, 64);
  for (int f = 0; f < 64; ++f) ASSERT_EQ(mixed[f], 0.0f) << f;  // silence, not the old mix
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);
  mixer_->handle.port_segment[0].address = address;
}

TEST_F(Ports, KernelSelectionFollowsCpuType) {
  int32_t saved = cpu_type;
  Mixed pair;
  ASSERT_NO_FATAL_FAILURE(mix_two(&pair));
  auto [a, b, in] = pair;
  float *fa = static_cast<float *>(tamb_port_get_buffer(a, 64));
  float *fb = static_cast<float *>(tamb_port_get_buffer(b, 64));
  for (int f = 0; f < 64; ++f) {
    fa[f] = static_cast<float>(f);
    fb[f] = 0.25f;
  }
  for (int32_t type : {0, 1, 1 | 0x100, 2, 2 | 0x100, 0xfe, 0x7fffff00}) {
    cpu_type = type;
    tamb_port_set_funcs();
    float *mixed = static_cast<float *>(tamb_port_get_buffer(in, 64));
    for (int f = 0; f < 64; ++f) ASSERT_EQ(mixed[f], static_cast<float>(f) + 0.25f) << type;
  }
  cpu_type = saved;
  tamb_port_set_funcs();
}

TEST_F(Ports, ConnectionListsLocalAndFromTheServer) {
  tamb_port_t *a = reg(synth_, "a", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *b = reg(synth_, "b", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *in = reg(mixer_, "in", audio, TAMB_PORT_IS_INPUT);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(tamb_port_connected(in), 0);
  EXPECT_EQ(tamb_port_get_connections(in), nullptr);
  EXPECT_EQ(tamb_port_get_all_connections(&mixer_->handle, in), nullptr);
  EXPECT_EQ(tamb_port_get_all_connections(&mixer_->handle, nullptr), nullptr);

  ASSERT_EQ(server_->connect(a->shared->id, in->shared->id), 0);
  ASSERT_EQ(server_->connect(b->shared->id, in->shared->id), 0);
  EXPECT_EQ(tamb_port_connected(in), 2);
  EXPECT_TRUE(tamb_port_connected_to(in, "synth:a"));
  EXPECT_FALSE(tamb_port_connected_to(in, "synth:c"));
  const char **names = tamb_port_get_connections(in);
  ASSERT_NE(names, nullptr);
  EXPECT_STREQ(names[0], "synth:a");
  EXPECT_STREQ(names[1], "synth:b");
  EXPECT_EQ(names[2], nullptr);
  EXPECT_EQ(names[0], a->shared->name);  // names point into shared memory
  free(names);

  // In the server's process the list the server built comes back as it is.
  const char **all = tamb_port_get_all_connections(&mixer_->handle, in);
  ASSERT_NE(all, nullptr);
  EXPECT_STREQ(all[0], "synth:a");
  EXPECT_STREQ(all[1], "synth:b");
  EXPECT_EQ(all[2], nullptr);
  free(all);

  // Through a request channel the ids arrive on the socket and are looked up here.
  server_->open_channel(synth_);
  all = tamb_port_get_all_connections(&synth_->handle, a);
  ASSERT_NE(all, nullptr);
  EXPECT_STREQ(all[0], "mixer:in");
  EXPECT_EQ(all[1], nullptr);
  free(all);
  EXPECT_EQ(synth_->handle.foreign_ports != nullptr, true);  // from connect, not the query

  ASSERT_EQ(server_->disconnect(a->shared->id, in->shared->id), 0);
  EXPECT_EQ(tamb_port_connected(in), 1);
  EXPECT_FALSE(tamb_port_connected_to(in, "synth:a"));
}

using PortsDeathTest = Ports;

// An id past the port table is the caller's broken promise: the process stops instead of
// reading a record beyond the control block.
TEST_F(PortsDeathTest, PortObjectOutsideThePortTableAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  tamb_control_t *control = synth_->handle.engine_control;
  EXPECT_DEATH(tamb_port_new(&synth_->handle, control->port_capacity, control),
               "tamb_port_new: Assertion `port_id < control->port_capacity' failed\\.");
}

// A server's answer to a connection query: the ids it writes on a client's request channel.
struct Answer {
  int server_fd;
  std::vector<uint32_t> ids;
};

int answer_ids(tamb_client_t *, tamb_request_t *request, void *arg) {
  const auto *answer = static_cast<const Answer *>(arg);
  request->body.connections.count = static_cast<uint32_t>(answer->ids.size());
  size_t bytes = answer->ids.size() * sizeof(uint32_t);
  ssize_t written = write(answer->server_fd, answer->ids.data(), bytes);
  return written == static_cast<ssize_t>(bytes) ? 0 : EIO;
}

int answer_short(tamb_client_t *, tamb_request_t *request, void *arg) {
  auto *server_fd = static_cast<int *>(arg);
  request->body.connections.count = 2;
  uint32_t id = 0;
  if (write(*server_fd, &id, sizeof id) != sizeof id) return EIO;
  shutdown(*server_fd, SHUT_WR);
  return 0;
}

TEST_F(Ports, ChannelAnswersWithUnknownIdsOrTooFewIds) {
  tamb_port_t *a = reg(synth_, "a", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *b = reg(synth_, "b", audio, TAMB_PORT_IS_OUTPUT);
  ASSERT_NE(b, nullptr);
  server_->open_channel(mixer_);
  Answer unknown{mixer_->server_fd, {0, 30, 1}};  // 30 names no port in use
  hooks::request_set_handler(TAMB_REQ_PORT_GET_CONNECTIONS, answer_ids, &unknown);
  const char **names = tamb_port_get_all_connections(&mixer_->handle, a);
  ASSERT_NE(names, nullptr);
  EXPECT_STREQ(names[0], "synth:a");
  EXPECT_STREQ(names[1], "synth:b");
  EXPECT_EQ(names[2], nullptr);
  free(names);
  EXPECT_EQ(mixer_->handle.foreign_ports, nullptr);  // temporary objects were freed

  hooks::request_set_handler(TAMB_REQ_PORT_GET_CONNECTIONS, answer_short, &mixer_->server_fd);
  EXPECT_EQ(tamb_port_get_all_connections(&mixer_->handle, a), nullptr);
  EXPECT_TRUE(hooks::log_has(hooks::Level::error, "cannot read port id from server"));
}

// A list that cannot be allocated still has its ids on the channel; left there, they would be
// read as the answer to the next query.
TEST_F(Ports, AnAnswerWithoutMemoryForItsListIsReadToTheEnd) {
  if (!support::HeapCounter::available()) GTEST_SKIP() << "sanitizer build owns the heap";
  tamb_port_t *a = reg(synth_, "a", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *b = reg(synth_, "b", audio, TAMB_PORT_IS_OUTPUT);
  ASSERT_NE(b, nullptr);
  server_->open_channel(mixer_);
  Answer many{mixer_->server_fd, std::vector<uint32_t>(1000, b->shared->id)};
  hooks::request_set_handler(TAMB_REQ_PORT_GET_CONNECTIONS, answer_ids, &many);
  {
    support::AllocationFailure no_list((many.ids.size() + 1) * sizeof(char *));
    EXPECT_EQ(tamb_port_get_all_connections(&mixer_->handle, a), nullptr);
  }
  EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);

  Answer one{mixer_->server_fd, {a->shared->id}};
  hooks::request_set_handler(TAMB_REQ_PORT_GET_CONNECTIONS, answer_ids, &one);
  const char **names = tamb_port_get_all_connections(&mixer_->handle, b);
  ASSERT_NE(names, nullptr);
  EXPECT_STREQ(names[0], "synth:a");
  EXPECT_EQ(names[1], nullptr);
  free(names);
}

TEST_F(Ports, BufferLookupAndMixdownsNeverTouchTheHeap) {
  if (!support::HeapCounter::available()) GTEST_SKIP() << "sanitizer build owns the heap";
  tamb_port_t *outs[8];
  tamb_port_t *in = reg(mixer_, "in", audio, TAMB_PORT_IS_INPUT);
  tamb_port_t *one = reg(mixer_, "one", audio, TAMB_PORT_IS_INPUT);
  tamb_port_t *idle = reg(mixer_, "idle", audio, TAMB_PORT_IS_INPUT);
  tamb_port_t *midi_outs[3];
  tamb_port_t *midi_in = reg(mixer_, "midi_in", midi, TAMB_PORT_IS_INPUT);
  ASSERT_NE(midi_in, nullptr);
  for (int i = 0; i < 8; ++i) {
    outs[i] = reg(synth_, ("o" + std::to_string(i)).c_str(), audio, TAMB_PORT_IS_OUTPUT);
    ASSERT_EQ(server_->connect(outs[i]->shared->id, in->shared->id), 0);
  }
  ASSERT_EQ(server_->connect(outs[0]->shared->id, one->shared->id), 0);
  for (int i = 0; i < 3; ++i) {
    midi_outs[i] = reg(synth_, ("m" + std::to_string(i)).c_str(), midi, TAMB_PORT_IS_OUTPUT);
    ASSERT_EQ(server_->connect(midi_outs[i]->shared->id, midi_in->shared->id), 0);
  }
  const uint8_t note[3] = {0x90, 60, 100};
  support::HeapCounter counter;
  for (int cycle = 0; cycle < 10; ++cycle) {
    for (tamb_port_t *m : midi_outs) {
      void *buffer = tamb_port_get_buffer(m, 64);
      tamb_midi_clear_buffer(buffer);
      tamb_midi_event_write(buffer, static_cast<tamb_nframes_t>(cycle), note, sizeof note);
    }
    EXPECT_NE(tamb_port_get_buffer(in, 64), nullptr);
    EXPECT_NE(tamb_port_get_buffer(one, 64), nullptr);
    EXPECT_NE(tamb_port_get_buffer(idle, 64), nullptr);
    EXPECT_NE(tamb_port_get_buffer(outs[3], 64), nullptr);
    void *merged = tamb_port_get_buffer(midi_in, 64);
    EXPECT_EQ(tamb_midi_get_event_count(merged), 3u);
  }
  EXPECT_EQ(counter.calls(), 0u);
}

TEST_F(Ports, AnotherProcessReadsTheSamplesAndEventsThroughTheRegistry) {
  tamb_port_t *out = reg(synth_, "out", audio, TAMB_PORT_IS_OUTPUT);
  tamb_port_t *notes = reg(synth_, "notes", midi, TAMB_PORT_IS_OUTPUT);
  ASSERT_NE(notes, nullptr);
  float *samples = static_cast<float *>(tamb_port_get_buffer(out, 64));
  for (int f = 0; f < 64; ++f) samples[f] = static_cast<float>(f) * 0.125f - 2.0f;
  void *events = tamb_port_get_buffer(notes, 64);
  const uint8_t on[3] = {0x90, 64, 90};
  const uint8_t sysex[6] = {0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7};
  ASSERT_EQ(tamb_midi_event_write(events, 3, on, 3), 0);
  ASSERT_EQ(tamb_midi_event_write(events, 17, sysex, 6), 0);

  int16_t engine_index = server_->control_index();
  int16_t audio_index = server_->port_segment_index(0);
  int16_t midi_index = server_->port_segment_index(1);
  uint32_t out_id = out->shared->id;
  uint32_t notes_id = notes->shared->id;
  int status = support::run_in_child([&] {
    // A process of its own: attach everything by registry index, as a client core does.
    tamb_shm_info_t engine{engine_index, TAMB_SHM_NOT_ATTACHED};
    tamb_shm_info_t segments[TAMB_PORT_TYPES_MAX] = {};
    segments[0] = {audio_index, TAMB_SHM_NOT_ATTACHED};
    segments[1] = {midi_index, TAMB_SHM_NOT_ATTACHED};
    if (tamb_attach_shm(&engine) != 0 || tamb_attach_shm(&segments[0]) != 0 ||
        tamb_attach_shm(&segments[1]) != 0) {
      return 1;
    }
    tamb_client_control_t me{};
    me.uuid = tamb_client_uuid_generate();
    tamb_client_t client{};
    client.engine_control = static_cast<tamb_control_t *>(engine.address);
    client.control = &me;
    client.request_fd = -1;
    client.port_segment = segments;
    tamb_port_t *seen_out = tamb_port_by_id(&client, out_id);
    tamb_port_t *seen_notes = tamb_port_by_name(&client, "synth:notes");
    if (seen_out == nullptr || seen_notes == nullptr || seen_notes->shared->id != notes_id) {
      return 2;
    }
    auto *read = static_cast<float *>(tamb_port_get_buffer(seen_out, 64));
    for (int f = 0; f < 64; ++f) {
      if (read[f] != static_cast<float>(f) * 0.125f - 2.0f) return 3;
    }
    void *buffer = tamb_port_get_buffer(seen_notes, 64);
    tamb_midi_event_t event;
    if (tamb_midi_get_event_count(buffer) != 2) return 4;
    if (tamb_midi_event_get(&event, buffer, 0) != 0 || event.time != 3 || event.size != 3 ||
        memcmp(event.buffer, on, 3) != 0) {
      return 5;
    }
    if (tamb_midi_event_get(&event, buffer, 1) != 0 || event.time != 17 || event.size != 6 ||
        memcmp(event.buffer, sysex, 6) != 0) {
      return 6;
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
