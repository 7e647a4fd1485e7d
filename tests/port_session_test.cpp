// SPDX-License-Identifier: MIT
// A session through the host's server over real shared memory: a synth feeds a mixer for a few
// process cycles, audio and MIDI, while the graph and the ports' attributes change under them.
// Every buffer the mixer reads comes through its own attachment of the type segments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine_checks.h"
#include "kit.h"
#include "support.h"
#include "tamb/midi.h"
#include "tamb/port.h"

namespace {

const char *const audio = TAMB_PORT_TYPE_AUDIO;
const char *const midi = TAMB_PORT_TYPE_MIDI;
constexpr tamb_nframes_t frames = 256;
constexpr unsigned long input = TAMB_PORT_IS_INPUT;
constexpr unsigned long output = TAMB_PORT_IS_OUTPUT;

// A 2048-byte MIDI buffer has room for this many events that fit in their records.
constexpr uint32_t midi_inline_capacity = (2048 - 20) / 8;

// One MIDI message as a sequencer wrote it or the mixer read it.
struct Note {
  tamb_nframes_t time;
  std::vector<uint8_t> bytes;
  bool operator==(const Note &) const = default;
};

void PrintTo(const Note &note, std::ostream *os) {
  *os << "t" << note.time << " [";
  for (uint8_t byte : note.bytes) *os << " " << std::hex << static_cast<int>(byte) << std::dec;
  *os << " ]";
}

std::vector<Note> read_events(void *buffer) {
  std::vector<Note> events;
  tamb_midi_event_t event;
  for (uint32_t i = 0; tamb_midi_event_get(&event, buffer, i) == 0; ++i) {
    events.push_back({event.time, {event.buffer, event.buffer + event.size}});
  }
  return events;
}

// The merge the mixer must see: every source's events in time order, equal times in the order
// of the input's connection list, each source's own order kept.
std::vector<Note> merge_in_list_order(const std::vector<std::vector<Note>> &sent,
                                      const std::vector<int> &list_order) {
  std::vector<Note> all;
  for (int source : list_order) all.insert(all.end(), sent[source].begin(), sent[source].end());
  std::stable_sort(all.begin(), all.end(),
                   [](const Note &a, const Note &b) { return a.time < b.time; });
  return all;
}

// Samples chosen so that every partial sum is exact in float: multiples of 1/8 well below 2^20.
float lead_sample(int cycle, uint32_t f) { return 1000.0f * (cycle + 1) + 0.25f * f; }
float pad_sample(int cycle, uint32_t f) { return -0.125f * f - static_cast<float>(cycle); }
float bass_sample(int, uint32_t f) { return 0.5f * static_cast<float>(f % 7) + 3.0f; }

std::vector<std::string> names_of(const char **names) {
  std::vector<std::string> out_names;
  for (size_t i = 0; names != nullptr && names[i] != nullptr; ++i) out_names.push_back(names[i]);
  free(names);
  return out_names;
}

class PortSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace";
    server_ = support::quiet_server(64, frames);
    synth_ = server_->add_client("synth");
    mixer_ = server_->add_client("mixer");
    server_->open_channel(mixer_);  // the mixer stands for a client in another process
    tamb_port_set_funcs();

    lead_ = reg(synth_, "lead", audio, output);
    pad_ = reg(synth_, "pad", audio, output);
    bass_ = reg(synth_, "bass", audio, output);
    for (int k = 0; k < 3; ++k) {
      seq_[k] = reg(synth_, ("seq_" + std::to_string(k + 1)).c_str(), midi, output);
    }
    bus_ = reg(mixer_, "bus", audio, input);
    monitor_ = reg(mixer_, "monitor", audio, input);
    rec_ = reg(mixer_, "rec", audio, input);
    meter_ = reg(mixer_, "meter", audio, input);
    notes_ = reg(mixer_, "notes", midi, input);
    ASSERT_FALSE(HasFailure());

    // lead feeds three inputs, bus mixes three outputs, and notes merges the sequencers in an
    // order unlike their registration, so ties show whose order the merge follows.
    for (tamb_port_t *source : {lead_, pad_, bass_}) connect(source, bus_);
    connect(lead_, monitor_);
    connect(lead_, rec_);
    for (int k : notes_order_) connect(seq_[k], notes_);
  }

  void TearDown() override {
    server_.reset();
    hooks::log_set_echo(true);
  }

  tamb_port_t *reg(kit::Client *client, const char *name, const char *type, unsigned long flags) {
    return support::register_port(client, name, type, flags);
  }

  void connect(tamb_port_t *source, tamb_port_t *sink) {
    ASSERT_EQ(server_->connect(source->shared->id, sink->shared->id), 0);
  }

  // Where a client's own attachment of a type segment shows an output's buffer.
  static void *view(kit::Client *client, const tamb_port_t *port) {
    int type = port->shared->type_id;
    return static_cast<char *>(client->handle.port_segment[type].address) + port->shared->offset;
  }

  // The synth's process callback for audio: each output gets this cycle's samples.
  void play_audio(int cycle) {
    struct Voice {
      tamb_port_t *port;
      float (*sample)(int, uint32_t);
    };
    for (Voice voice : {Voice{lead_, lead_sample}, Voice{pad_, pad_sample}, {bass_, bass_sample}}) {
      auto *buffer = static_cast<float *>(tamb_port_get_buffer(voice.port, frames));
      ASSERT_NE(buffer, nullptr);
      for (uint32_t f = 0; f < frames; ++f) buffer[f] = voice.sample(cycle, f);
    }
  }

  // The synth's process callback for MIDI: each sequencer clears its buffer and writes notes on
  // and off, controller changes that tie across sequencers, a SysEx message stored out of line,
  // a clock tick on the last frame, and two messages the buffer must refuse. Returns what each
  // sequencer stored.
  std::vector<std::vector<Note>> play_midi(int cycle) {
    std::vector<std::vector<Note>> sent(3);
    auto c = static_cast<uint8_t>(cycle);
    for (int k = 0; k < 3; ++k) {
      void *buffer = tamb_port_get_buffer(seq_[k], frames);
      tamb_midi_clear_buffer(buffer);
      auto n = static_cast<uint8_t>(k);
      std::vector<Note> &notes = sent[k];
      notes.push_back({0, {static_cast<uint8_t>(0x90 | n), static_cast<uint8_t>(60 + n), c}});
      notes.push_back({10u * (k + 1), {static_cast<uint8_t>(0x80 | n), 60, 0}});
      if (k == 1) notes.push_back({40, {0xf0, 0x7d, n, c, 0x01, 0xf7}});
      notes.push_back({100, {static_cast<uint8_t>(0xb0 | n), 7, c}});
      if (k == 2) notes.push_back({frames - 1, {0xf8}});
      for (const Note &note : notes) {
        EXPECT_EQ(tamb_midi_event_write(buffer, note.time, note.bytes.data(), note.bytes.size()),
                  0);
      }
      const uint8_t late[1] = {0xfe};
      if (k == 0) {
        EXPECT_EQ(tamb_midi_event_write(buffer, frames, late, 1), ENOBUFS);
      } else if (k == 2) {
        EXPECT_EQ(tamb_midi_event_write(buffer, 5, late, 1), ENOBUFS);
      }
    }
    return sent;
  }

  // The mixer's process callback: bus is the exact sum of the given voices, monitor and rec
  // hand out lead's own buffer, meter hears silence.
  void hear_audio(int cycle, bool with_pad, bool with_bass) {
    auto *mixed = static_cast<float *>(tamb_port_get_buffer(bus_, frames));
    ASSERT_EQ(mixed, bus_->mix_buffer);
    for (uint32_t f = 0; f < frames; ++f) {
      double expect = lead_sample(cycle, f);
      if (with_pad) expect += pad_sample(cycle, f);
      if (with_bass) expect += bass_sample(cycle, f);
      ASSERT_EQ(mixed[f], expect) << "frame " << f;
    }
    for (tamb_port_t *tap : {monitor_, rec_}) {
      auto *samples = static_cast<float *>(tamb_port_get_buffer(tap, frames));
      ASSERT_EQ(samples, view(mixer_, lead_)) << tamb_port_name(tap);
      EXPECT_EQ(samples[0], lead_sample(cycle, 0));
      EXPECT_EQ(samples[frames - 1], lead_sample(cycle, frames - 1));
    }
    auto *silence = static_cast<float *>(tamb_port_get_buffer(meter_, frames));
    ASSERT_NE(silence, nullptr);
    EXPECT_TRUE(std::all_of(silence, silence + frames, [](float s) { return s == 0.0f; }));
  }

  std::unique_ptr<kit::Server> server_;
  kit::Client *synth_ = nullptr;
  kit::Client *mixer_ = nullptr;
  tamb_port_t *lead_ = nullptr;
  tamb_port_t *pad_ = nullptr;
  tamb_port_t *bass_ = nullptr;
  tamb_port_t *seq_[3] = {};
  tamb_port_t *bus_ = nullptr;
  tamb_port_t *monitor_ = nullptr;
  tamb_port_t *rec_ = nullptr;
  tamb_port_t *meter_ = nullptr;
  tamb_port_t *notes_ = nullptr;
  const std::vector<int> notes_order_ = {1, 0, 2};
};

TEST_F(PortSession, CyclesCarryExactMixesAndMergesThroughGraphChanges) {
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    play_audio(cycle);
    std::vector<std::vector<Note>> sent = play_midi(cycle);
    hear_audio(cycle, true, true);
    void *merged = tamb_port_get_buffer(notes_, frames);
    ASSERT_EQ(merged, notes_->mix_buffer);
    EXPECT_EQ(read_events(merged), merge_in_list_order(sent, notes_order_));
    EXPECT_EQ(tamb_midi_get_lost_event_count(merged), 2u);  // what the sequencers lost
  }

  {
    SCOPED_TRACE("a busy cycle overflows the merge");
    std::vector<std::vector<Note>> sent(3);
    for (int k = 0; k < 3; ++k) {
      void *buffer = tamb_port_get_buffer(seq_[k], frames);
      tamb_midi_clear_buffer(buffer);
      for (uint32_t i = 0; i < 120; ++i) {
        sent[k].push_back({2 * i, {static_cast<uint8_t>(0x90 | k), static_cast<uint8_t>(i), 1}});
        const Note &note = sent[k].back();
        ASSERT_EQ(tamb_midi_event_write(buffer, note.time, note.bytes.data(), 3), 0);
      }
    }
    void *merged = tamb_port_get_buffer(notes_, frames);
    std::vector<Note> expect = merge_in_list_order(sent, notes_order_);
    expect.resize(midi_inline_capacity);  // the earliest events stay, the rest are counted
    EXPECT_EQ(read_events(merged), expect);
    EXPECT_EQ(tamb_midi_get_lost_event_count(merged), 360 - midi_inline_capacity);
  }

  // pad leaves the bus and the first sequencer in the merge's list leaves notes.
  ASSERT_EQ(server_->disconnect(pad_->shared->id, bus_->shared->id), 0);
  ASSERT_EQ(server_->disconnect(seq_[1]->shared->id, notes_->shared->id), 0);
  for (int cycle = 3; cycle < 5; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    play_audio(cycle);
    std::vector<std::vector<Note>> sent = play_midi(cycle);
    hear_audio(cycle, false, true);
    void *merged = tamb_port_get_buffer(notes_, frames);
    EXPECT_EQ(read_events(merged), merge_in_list_order(sent, {0, 2}));
    EXPECT_EQ(tamb_midi_get_lost_event_count(merged), 2u);
  }

  // Unregistering takes a port out of every connection: bus and notes each keep a single
  // source and hand out its buffer again instead of a mix.
  uint32_t bass_id = bass_->shared->id;
  uint32_t seq_3_id = seq_[2]->shared->id;
  ASSERT_EQ(tamb_port_unregister(&synth_->handle, bass_), 0);
  ASSERT_EQ(tamb_port_unregister(&synth_->handle, seq_[2]), 0);
  play_audio(5);
  std::vector<std::vector<Note>> sent = play_midi(5);
  EXPECT_EQ(tamb_port_connected(bus_), 1);
  auto *heard = static_cast<float *>(tamb_port_get_buffer(bus_, frames));
  EXPECT_EQ(heard, view(mixer_, lead_));
  EXPECT_EQ(heard[7], lead_sample(5, 7));
  void *notes = tamb_port_get_buffer(notes_, frames);
  EXPECT_EQ(notes, view(mixer_, seq_[0]));
  EXPECT_EQ(read_events(notes), sent[0]);
  EXPECT_EQ(names_of(tamb_port_get_connections(bus_)), std::vector<std::string>{"synth:lead"});
  EXPECT_EQ(names_of(tamb_port_get_all_connections(&mixer_->handle, bus_)),
            std::vector<std::string>{"synth:lead"});

  // A client that looks the ports up now finds the ones still registered only.
  kit::Client *viewer = server_->add_client("viewer");
  EXPECT_EQ(tamb_port_by_name(&viewer->handle, "synth:bass"), nullptr);
  EXPECT_EQ(tamb_port_by_id(&viewer->handle, bass_id), nullptr);
  EXPECT_EQ(tamb_port_by_name(&viewer->handle, "synth:seq_3"), nullptr);
  EXPECT_EQ(tamb_port_by_id(&viewer->handle, seq_3_id), nullptr);
  tamb_port_t *still = tamb_port_by_name(&viewer->handle, "synth:lead");
  ASSERT_NE(still, nullptr);
  EXPECT_EQ(tamb_port_get_buffer(still, frames), view(viewer, lead_));
}

TEST_F(PortSession, NamesAliasesLatencyAndMonitoringAreSharedAcrossClients) {
  // The mixer already holds an object for lead, made when the server connected it; every
  // lookup of that port hands out this one object.
  auto *known = static_cast<tamb_port_t *>(bus_->connections->data);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "synth:lead"), known);
  EXPECT_EQ(tamb_port_by_id(&mixer_->handle, lead_->shared->id), known);
  EXPECT_FALSE(tamb_port_is_mine(&mixer_->handle, known));

  ASSERT_EQ(tamb_port_set_alias(lead_, "system:capture_1"), 0);
  ASSERT_EQ(tamb_port_set_alias(lead_, "voice"), 0);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "system:capture_1"), known);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "voice"), known);
  EXPECT_TRUE(tamb_port_connected_to(monitor_, "voice"));

  // The synth renames lead: the server hears of it, and the mixer's views follow the record.
  size_t foreign_before = 0;
  for (tamb_slist_t *node = mixer_->handle.foreign_ports; node != nullptr; node = node->next) {
    ++foreign_before;
  }
  EXPECT_EQ(tamb_port_rename(&synth_->handle, lead_, "solo"), 0);
  EXPECT_EQ(server_->last_rename().old_name, "synth:lead");
  EXPECT_EQ(server_->last_rename().new_name, "solo");
  EXPECT_STREQ(tamb_port_name(known), "synth:solo");
  EXPECT_STREQ(tamb_port_short_name(known), "solo");
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "synth:lead"), nullptr);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "synth:solo"), known);
  EXPECT_EQ(tamb_port_by_name(&mixer_->handle, "voice"), known);
  size_t foreign_after = 0;
  for (tamb_slist_t *node = mixer_->handle.foreign_ports; node != nullptr; node = node->next) {
    ++foreign_after;
  }
  EXPECT_EQ(foreign_after, foreign_before);
  EXPECT_EQ(names_of(tamb_port_get_connections(monitor_)), std::vector<std::string>{"synth:solo"});
  EXPECT_EQ(names_of(tamb_port_get_all_connections(&mixer_->handle, known)),
            (std::vector<std::string>{"mixer:bus", "mixer:monitor", "mixer:rec"}));

  // Latency the owner sets is what every other client reads.
  tamb_port_set_latency(lead_, 256);
  tamb_latency_range_t range{};
  EXPECT_EQ(tamb_port_get_latency(known), 256u);
  tamb_port_get_latency_range(known, TAMB_LATENCY_CAPTURE, &range);
  EXPECT_EQ(range.min, 256u);
  EXPECT_EQ(range.max, 256u);
  tamb_port_t *mic = reg(synth_, "mic", audio, output | TAMB_PORT_IS_PHYSICAL);
  ASSERT_NE(mic, nullptr);
  const tamb_latency_range_t capture = {100, 201};
  tamb_port_set_latency_range(mic, TAMB_LATENCY_CAPTURE, &capture);
  EXPECT_EQ(tamb_port_get_latency(tamb_port_by_name(&mixer_->handle, "synth:mic")), 150u);

  // Monitoring asked for at the mixer's inputs reaches the synth's outputs behind them.
  EXPECT_EQ(tamb_port_request_monitor(bus_, 1), 0);
  EXPECT_EQ(tamb_port_request_monitor(monitor_, 1), 0);
  EXPECT_EQ(lead_->shared->monitor_requests, 2);
  EXPECT_TRUE(tamb_port_monitoring_input(pad_));
  EXPECT_TRUE(tamb_port_monitoring_input(bass_));
  EXPECT_FALSE(tamb_port_monitoring_input(mic));
  EXPECT_EQ(tamb_port_request_monitor(bus_, 0), 0);
  EXPECT_EQ(lead_->shared->monitor_requests, 1);
  EXPECT_FALSE(tamb_port_monitoring_input(pad_));
  EXPECT_EQ(tamb_port_request_monitor_by_name(&mixer_->handle, "synth:pad", 1), 0);
  EXPECT_TRUE(tamb_port_monitoring_input(pad_));
  EXPECT_EQ(tamb_port_request_monitor_by_name(&mixer_->handle, "synth:lead", 1), -1);  // renamed
  EXPECT_EQ(tamb_port_request_monitor(monitor_, 0), 0);
  EXPECT_FALSE(tamb_port_monitoring_input(lead_));
}

TEST_F(PortSession, ATiedOutputPassesTheBusOnWithinItsClient) {
  // The mixer passes its bus on through an output tied to it, and listens to that output
  // itself; the synth listens to the same output from outside.
  tamb_port_t *bus_out = reg(mixer_, "bus_out", audio, output);
  tamb_port_t *post = reg(mixer_, "post", audio, input);
  tamb_port_t *return_ = reg(synth_, "return", audio, input);
  ASSERT_NE(return_, nullptr);
  connect(bus_out, post);
  connect(bus_out, return_);
  ASSERT_EQ(tamb_port_tie(bus_, bus_out), 0);

  for (int cycle = 0; cycle < 2; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    play_audio(cycle);
    auto *passed = static_cast<float *>(tamb_port_get_buffer(post, frames));
    ASSERT_EQ(passed, bus_->mix_buffer);
    EXPECT_EQ(passed[9], lead_sample(cycle, 9) + pad_sample(cycle, 9) + bass_sample(cycle, 9));
    EXPECT_EQ(tamb_port_get_buffer(bus_out, frames), bus_->mix_buffer);
    // A tie lives in its owner's port object: other clients read the output's own buffer,
    // which the mixer never wrote.
    auto *outside = static_cast<float *>(tamb_port_get_buffer(return_, frames));
    EXPECT_EQ(static_cast<void *>(outside), view(synth_, bus_out));
    EXPECT_EQ(outside[9], 0.0f);
  }

  ASSERT_EQ(tamb_port_untie(bus_out), 0);
  EXPECT_EQ(tamb_port_get_buffer(post, frames), view(mixer_, bus_out));
}

}  // namespace
