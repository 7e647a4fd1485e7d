// SPDX-License-Identifier: MIT
// MIDI buffers: room and placement, refused events, records and data kept apart, readers that
// stay inside corrupt buffers, and the time-ordered merge of an input's connections.
#include <gtest/gtest.h>
#include <tamb/midi.h>
#include <tamb/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "support.h"

namespace {

constexpr uint8_t kUntouched = 0xee;
constexpr uint32_t kMidiSize = 2048;
constexpr tamb_nframes_t kFrames = 256;

// A buffer in a heap block of exactly its size, so that AddressSanitizer reports any access
// past its end; the bytes start as kUntouched.
struct Block {
  explicit Block(size_t size) : bytes(new uint8_t[size]), size(size) {
    std::memset(bytes.get(), kUntouched, size);
  }
  uint8_t *get() const { return bytes.get(); }
  tamb_midi_buffer_info_t *info() const {
    return reinterpret_cast<tamb_midi_buffer_info_t *>(bytes.get());
  }
  tamb_midi_event_record_t *record(uint32_t index) const {
    return reinterpret_cast<tamb_midi_event_record_t *>(bytes.get() + 20 + 8 * index);
  }
  std::unique_ptr<uint8_t[]> bytes;
  size_t size;
};

Block MidiBuffer(size_t size = kMidiSize, tamb_nframes_t frames = kFrames) {
  Block block(size);
  tamb_midi_buffer_init(block.get(), size, frames);
  return block;
}

struct Event {
  uint32_t time;
  std::vector<uint8_t> data;
  bool operator==(const Event &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Event &event) {
  out << "{t=" << event.time << " size=" << event.data.size() << " first=";
  return out << (event.data.empty() ? -1 : int{event.data[0]}) << "}";
}

Event MakeEvent(uint32_t time, size_t size, uint8_t first) {
  Event event{time, std::vector<uint8_t>(size)};
  for (size_t i = 0; i < size; ++i) event.data[i] = static_cast<uint8_t>(first + i);
  return event;
}

int Write(void *buffer, const Event &event) {
  return tamb_midi_event_write(buffer, event.time, event.data.data(), event.data.size());
}

std::vector<Event> ReadAll(void *buffer) {
  std::vector<Event> events;
  const uint32_t count = tamb_midi_get_event_count(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    tamb_midi_event_t event;
    const int result = tamb_midi_event_get(&event, buffer, i);
    EXPECT_EQ(result, 0) << "event " << i;
    if (result == 0) events.push_back({event.time, {event.buffer, event.buffer + event.size}});
  }
  return events;
}

TEST(MidiBuffer, ClearEmptiesTheBufferAndKeepsItsCycleAndSize) {
  Block block = MidiBuffer(kMidiSize, 300);
  EXPECT_EQ(block.get()[20], kUntouched) << "initialising touches only the header";
  ASSERT_EQ(Write(block.get(), MakeEvent(1, 3, 0x90)), 0);
  ASSERT_EQ(Write(block.get(), MakeEvent(2, 12, 0xf0)), 0);
  ASSERT_EQ(Write(block.get(), MakeEvent(300, 3, 0x80)), ENOBUFS);
  tamb_midi_clear_buffer(block.get());
  EXPECT_EQ(tamb_midi_get_event_count(block.get()), 0u);
  EXPECT_EQ(tamb_midi_get_lost_event_count(block.get()), 0u);
  EXPECT_EQ(tamb_midi_max_event_size(block.get()), 2020u);
  EXPECT_EQ(Write(block.get(), MakeEvent(299, 3, 0x80)), 0);
  EXPECT_EQ(Write(block.get(), MakeEvent(300, 3, 0x80)), ENOBUFS);
}

TEST(MidiBuffer, SmallEventsStayInTheirRecordAndLargeOnesGrowDownFromTheEnd) {
  Block block = MidiBuffer();
  EXPECT_EQ(tamb_midi_max_event_size(block.get()), 2020u);

  uint8_t *inline_space = tamb_midi_event_reserve(block.get(), 4, 3);
  ASSERT_EQ(inline_space, block.get() + 24) << "byte 4 of record 0";
  std::memcpy(inline_space, "\x90\x40\x7f", 3);
  EXPECT_EQ(block.info()->data_used, 0u);
  EXPECT_EQ(tamb_midi_max_event_size(block.get()), 2012u);

  const Event sysex = MakeEvent(9, 10, 0xf0);
  ASSERT_EQ(Write(block.get(), sysex), 0);
  EXPECT_EQ(block.record(1)->data_offset, 2037);
  EXPECT_EQ(block.info()->data_used, 10u);
  EXPECT_EQ(std::memcmp(block.get() + 2037, sysex.data.data(), 10), 0) << "bytes 2037..2046";
  EXPECT_EQ(block.get()[2036], kUntouched);
  EXPECT_EQ(block.get()[2047], kUntouched) << "the last byte is never used";
  EXPECT_EQ(tamb_midi_max_event_size(block.get()), 1994u);

  tamb_midi_event_t event;
  ASSERT_EQ(tamb_midi_event_get(&event, block.get(), 0), 0);
  EXPECT_EQ(event.time, 4u);
  EXPECT_EQ(event.size, 3u);
  EXPECT_EQ(event.buffer, block.get() + 20 + 4) << "inline data is read in place";
  ASSERT_EQ(tamb_midi_event_get(&event, block.get(), 1), 0);
  EXPECT_EQ(event.buffer, block.get() + 2037);
  EXPECT_EQ(ReadAll(block.get()), (std::vector<Event>{{4, {0x90, 0x40, 0x7f}}, sysex}));

  const Event second = MakeEvent(9, 5, 0x10);
  ASSERT_EQ(Write(block.get(), second), 0);
  EXPECT_EQ(block.record(2)->data_offset, 2032) << "each block lies just below the previous";
}

TEST(MidiBuffer, RefusedEventsAreNotStoredAndCountAsLost) {
  Block block = MidiBuffer(kMidiSize, 64);
  EXPECT_EQ(Write(block.get(), MakeEvent(64, 3, 1)), ENOBUFS) << "time equal to the cycle";
  EXPECT_EQ(tamb_midi_get_lost_event_count(block.get()), 1u);
  EXPECT_EQ(tamb_midi_event_reserve(block.get(), 3, 0), nullptr) << "no data";
  EXPECT_EQ(Write(block.get(), MakeEvent(7, 3, 2)), 0);
  EXPECT_EQ(Write(block.get(), MakeEvent(5, 3, 3)), ENOBUFS) << "earlier than the last";
  EXPECT_EQ(Write(block.get(), MakeEvent(7, 2, 4)), 0) << "equal times are kept";
  EXPECT_EQ(Write(block.get(), MakeEvent(7, 6, 5)), 0);
  EXPECT_EQ(tamb_midi_get_lost_event_count(block.get()), 3u);
  EXPECT_EQ(ReadAll(block.get()),
            (std::vector<Event>{MakeEvent(7, 3, 2), MakeEvent(7, 2, 4), MakeEvent(7, 6, 5)}));
  EXPECT_EQ(block.info()->data_used, 6u) << "refusals leave the data alone";

  tamb_midi_event_t event = {77, 77, nullptr};
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 3), ENODATA);
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), UINT32_MAX), ENODATA);
  EXPECT_EQ(event.time, 77u) << "a failed read leaves the event alone";
  EXPECT_EQ(event.size, 77u);

  // Times and sizes are stored in 16 bits: what would not read back as written is refused
  // rather than truncated.
  Block wide = MidiBuffer(100000, 100000);
  EXPECT_EQ(Write(wide.get(), MakeEvent(65536, 3, 0)), ENOBUFS);
  EXPECT_EQ(Write(wide.get(), MakeEvent(65535, 3, 0)), 0);
  Block large = MidiBuffer(100000, 64);
  EXPECT_EQ(tamb_midi_event_reserve(large.get(), 0, 65536), nullptr);
  EXPECT_NE(tamb_midi_event_reserve(large.get(), 0, 65535), nullptr);
  EXPECT_EQ(tamb_midi_get_lost_event_count(large.get()), 1u);
}

TEST(MidiBuffer, RecordsAndDataNeverShareAByte) {
  // An out-of-line event taking all the room would put its first data byte on its own record.
  Block full = MidiBuffer();
  ASSERT_EQ(tamb_midi_max_event_size(full.get()), 2020u);
  EXPECT_EQ(tamb_midi_event_reserve(full.get(), 0, 2020), nullptr);
  EXPECT_EQ(tamb_midi_get_lost_event_count(full.get()), 1u);
  uint8_t *space = tamb_midi_event_reserve(full.get(), 0, 2019);
  ASSERT_EQ(space, full.get() + 28) << "one byte less fits right after the record";
  EXPECT_EQ(tamb_midi_max_event_size(full.get()), 0u);
  EXPECT_EQ(tamb_midi_event_reserve(full.get(), 0, 1), nullptr) << "no room for a record";

  // 54 bytes: header, two records, 10 data bytes and the unused last byte leave room 0 for a
  // third record, whose last byte would be the lowest data byte.
  Block tight = MidiBuffer(54);
  ASSERT_EQ(Write(tight.get(), MakeEvent(0, 10, 0xf0)), 0);
  ASSERT_EQ(Write(tight.get(), MakeEvent(1, 3, 0x90)), 0);
  EXPECT_EQ(tamb_midi_max_event_size(tight.get()), 4u);
  EXPECT_EQ(Write(tight.get(), MakeEvent(2, 1, 0xf8)), ENOBUFS);
  EXPECT_EQ(tight.get()[43], 0xf0);
  EXPECT_EQ(ReadAll(tight.get()),
            (std::vector<Event>{MakeEvent(0, 10, 0xf0), {1, {0x90, 0x91, 0x92}}}));

  // Without out-of-line data a record may end on the last byte.
  Block inline_only = MidiBuffer(44);
  for (uint32_t t = 0; t < 3; ++t) EXPECT_EQ(Write(inline_only.get(), MakeEvent(t, 4, 1)), 0);
  EXPECT_EQ(tamb_midi_max_event_size(inline_only.get()), 0u);
  EXPECT_EQ(ReadAll(inline_only.get()).size(), 3u);

  // Filling buffers of many sizes with a mix of sizes, until no record fits: whatever was
  // accepted reads back intact, and once there is out-of-line data the last byte stays unused.
  std::mt19937_64 random(support::test_seed());
  for (size_t size = 28; size <= 400; ++size) {
    SCOPED_TRACE(size);
    Block block = MidiBuffer(size, 1000);
    std::vector<Event> written;
    for (uint32_t time = 0; time < 1000; ++time) {
      const uint64_t room = tamb_midi_max_event_size(block.get());
      const size_t want = random() % 3 == 0 ? room : 1 + random() % 12;
      const Event event = MakeEvent(time, std::max<size_t>(want, 1), static_cast<uint8_t>(time));
      if (Write(block.get(), event) == 0) {
        written.push_back(event);
      } else if (room == 0) {
        break;
      }
    }
    EXPECT_EQ(ReadAll(block.get()), written);
    if (block.info()->data_used > 0) {
      EXPECT_EQ(block.get()[size - 1], kUntouched);
      EXPECT_LE(20 + 8 * block.info()->event_count, size - 1 - block.info()->data_used);
    }
  }
}

TEST(MidiBuffer, ReadersStayInsideACorruptBuffer) {
  Block block = MidiBuffer(100);
  ASSERT_EQ(Write(block.get(), MakeEvent(0, 3, 0x90)), 0);
  ASSERT_EQ(Write(block.get(), MakeEvent(1, 6, 0xf0)), 0);
  ASSERT_EQ(Write(block.get(), MakeEvent(2, 6, 0xf0)), 0);
  ASSERT_EQ(block.record(1)->data_offset, 93);

  // A count beyond the buffer is cut to the records that fit; what lies there is read as it is,
  // and an out-of-line "event" made of leftover bytes points outside and is absent.
  block.info()->event_count = UINT32_MAX;
  EXPECT_EQ(tamb_midi_get_event_count(block.get()), 10u);
  tamb_midi_event_t event;
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 0), 0);
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 9), ENODATA);
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 10), ENODATA);
  EXPECT_EQ(tamb_midi_max_event_size(block.get()), 0u);
  EXPECT_EQ(Write(block.get(), MakeEvent(5, 3, 0)), ENOBUFS);
  block.info()->event_count = 3;

  // Out-of-line data must lie between the records and the last byte.
  const int32_t bad_offsets[] = {-1, INT32_MIN, 43, 20, 94, 99, 100, INT32_MAX};
  for (int32_t offset : bad_offsets) {
    block.record(1)->data_offset = offset;
    EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 1), ENODATA) << offset;
  }
  block.record(1)->data_offset = 44;
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 1), 0) << "just after the records";
  block.record(1)->data_offset = 93;
  block.record(2)->size = UINT16_MAX;
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 2), ENODATA);
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 1), 0) << "a bad record spoils only itself";

  // A size below the header's own leaves nothing to read or write.
  block.info()->buffer_size = 19;
  EXPECT_EQ(tamb_midi_get_event_count(block.get()), 0u);
  EXPECT_EQ(tamb_midi_event_get(&event, block.get(), 0), ENODATA);
  EXPECT_EQ(tamb_midi_max_event_size(block.get()), 0u);
  EXPECT_EQ(tamb_midi_event_reserve(block.get(), 0, 1), nullptr);

  // Counters at their limits do not wrap into room.
  block.info()->buffer_size = 100;
  block.info()->data_used = UINT32_MAX;
  EXPECT_EQ(tamb_midi_max_event_size(block.get()), 0u);
  EXPECT_EQ(tamb_midi_event_reserve(block.get(), 5, 1), nullptr);
  EXPECT_EQ(tamb_midi_event_reserve(block.get(), 5, 8), nullptr);
  block.info()->data_used = 0;
  block.info()->event_count = UINT32_MAX - 1;
  EXPECT_EQ(tamb_midi_event_reserve(block.get(), 5, 1), nullptr);

  // Data offsets are int32: a buffer claiming more than 2 GiB gets no out-of-line data whose
  // offset would read back negative. Nothing is written when the reservation fails.
  Block huge(64);
  tamb_midi_buffer_init(huge.get(), uint64_t{3} << 30, 64);
  EXPECT_EQ(tamb_midi_event_reserve(huge.get(), 0, 5), nullptr);
  EXPECT_EQ(huge.info()->events_lost, 1u);
}

// A MIDI input with hand-made connections: each source is a buffer at an offset into its own
// exactly-sized "segment", so that AddressSanitizer sees any read past a source. The input's own
// segment holds the type's silent buffer.
class Rig {
 public:
  static constexpr int32_t kOffset = 64;

  explicit Rig(int sources, size_t mix_size = kMidiSize)
      : control_(static_cast<tamb_control_t *>(std::calloc(1, TAMB_CONTROL_SIZE(sources + 1))),
                 std::free),
        mix_(mix_size),
        silence_(kMidiSize),
        input_segment_(silence_.get()) {
    tamb_port_type_info_t &midi = control_->port_types[1];
    std::strcpy(midi.type_name, TAMB_PORT_TYPE_MIDI);
    midi.size_factor = -1;
    midi.fixed_size = kMidiSize;
    tamb_midi_buffer_init(mix_.get(), mix_size, kFrames);
    tamb_midi_buffer_init(silence_.get(), kMidiSize, kFrames);
    ports_.resize(sources + 1);
    nodes_.resize(sources);
    for (int i = 0; i < sources; ++i) {
      segments_.emplace_back(kOffset + kMidiSize);
      addresses_.push_back(segments_.back().get());
      control_->port_table[i].offset = kOffset;
      control_->port_table[i].flags = TAMB_PORT_IS_OUTPUT;
      ports_[i].type_segment = &addresses_.back();
      ports_[i].type_info = &midi;
      ports_[i].shared = &control_->port_table[i];
      tamb_midi_buffer_init(source(i), kMidiSize, kFrames);
      nodes_[i] = {&ports_[i], i + 1 < sources ? &nodes_[i + 1] : nullptr};
    }
    tamb_port_t &in = ports_[sources];
    in.type_segment = &input_segment_;
    in.type_info = &midi;
    in.shared = &control_->port_table[sources];
    in.shared->flags = TAMB_PORT_IS_INPUT;
    in.mix_buffer = mix_.get();
    in.functions = tamb_builtin_midi_functions;
    in.connections = sources > 0 ? &nodes_[0] : nullptr;
  }

  uint8_t *source(int i) { return static_cast<uint8_t *>(addresses_[i]) + kOffset; }
  tamb_midi_buffer_info_t *source_info(int i) {
    return reinterpret_cast<tamb_midi_buffer_info_t *>(source(i));
  }
  tamb_midi_event_record_t *source_record(int i, uint32_t index) {
    return reinterpret_cast<tamb_midi_event_record_t *>(source(i) + 20 + 8 * index);
  }
  void detach(int i) { addresses_[i] = TAMB_SHM_NOT_ATTACHED; }
  tamb_port_t *input() { return &ports_.back(); }
  uint8_t *mix() { return mix_.get(); }
  void mixdown() { tamb_midi_port_mixdown(input(), kFrames); }

 private:
  std::unique_ptr<tamb_control_t, void (*)(void *)> control_;
  Block mix_;
  Block silence_;
  void *input_segment_;
  std::deque<Block> segments_;
  std::deque<void *> addresses_;
  std::vector<tamb_port_t> ports_;
  std::vector<tamb_slist_t> nodes_;
};

TEST(MidiMixdown, MergesByTimeThenListOrder) {
  Rig rig(2);
  ASSERT_EQ(Write(rig.source(0), MakeEvent(0, 3, 0x10)), 0);
  ASSERT_EQ(Write(rig.source(0), MakeEvent(5, 9, 0x20)), 0);
  ASSERT_EQ(Write(rig.source(1), MakeEvent(5, 3, 0x30)), 0);
  ASSERT_EQ(Write(rig.source(1), MakeEvent(9, 1, 0x40)), 0);
  rig.source_info(0)->events_lost = 2;
  rig.source_info(1)->events_lost = 1;
  ASSERT_EQ(Write(rig.mix(), MakeEvent(1, 3, 0x77)), 0) << "the mixdown starts from empty";

  rig.mixdown();
  EXPECT_EQ(ReadAll(rig.mix()), (std::vector<Event>{MakeEvent(0, 3, 0x10), MakeEvent(5, 9, 0x20),
                                                    MakeEvent(5, 3, 0x30), MakeEvent(9, 1, 0x40)}));
  EXPECT_EQ(tamb_midi_get_lost_event_count(rig.mix()), 3u) << "the sources' losses pass on";
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(rig.source_info(i)->data_used, rig.source_info(i)->event_count) << "source " << i;
  }

  // Mixing again reads the same events: the sources' cursors start over.
  rig.mixdown();
  EXPECT_EQ(tamb_midi_get_event_count(rig.mix()), 4u);
}

// The merge every mixdown must produce: all events by time, equal times in list order, each
// source's events in their own order.
std::vector<Event> ReferenceMerge(const std::vector<std::vector<Event>> &sources) {
  struct Tagged {
    Event event;
    size_t source;
  };
  std::vector<Tagged> all;
  for (size_t s = 0; s < sources.size(); ++s) {
    for (const Event &event : sources[s]) all.push_back({event, s});
  }
  std::stable_sort(all.begin(), all.end(), [](const Tagged &a, const Tagged &b) {
    return a.event.time != b.event.time ? a.event.time < b.event.time : a.source < b.source;
  });
  std::vector<Event> merged;
  for (const Tagged &tagged : all) merged.push_back(tagged.event);
  return merged;
}

std::vector<std::vector<Event>> FillSources(Rig &rig, int sources, std::mt19937_64 &random) {
  std::vector<std::vector<Event>> written(sources);
  for (int s = 0; s < sources; ++s) {
    const int count = static_cast<int>(random() % 40);
    std::vector<uint32_t> times(count);
    for (uint32_t &time : times) time = random() % 24;  // few distinct times: many ties
    std::sort(times.begin(), times.end());
    for (uint32_t time : times) {
      const Event event = MakeEvent(time, random() % 4 == 0 ? 5 + random() % 30 : 1 + random() % 4,
                                    static_cast<uint8_t>(random()));
      if (Write(rig.source(s), event) == 0) written[s].push_back(event);
    }
  }
  return written;
}

TEST(MidiMixdown, MatchesAStableSortForAnyNumberOfSources) {
  // Up to 256 sources merge with cursors of their own, whose tournament grows a level at every
  // power of two. Longer lists are shared out among 256 players: runs of two sources followed
  // by cursors (one run at 257, 255 at 511), then runs only, of two, and of three from 513.
  std::mt19937_64 random(support::test_seed());
  for (int sources : {2, 3, 63, 64, 65, 128, 129, 255, 256, 257, 300, 511, 512, 513}) {
    SCOPED_TRACE(sources);
    Rig rig(sources, 1 << 20);
    const std::vector<std::vector<Event>> written = FillSources(rig, sources, random);
    rig.mixdown();
    EXPECT_EQ(ReadAll(rig.mix()), ReferenceMerge(written));
    EXPECT_EQ(tamb_midi_get_lost_event_count(rig.mix()), 0u);
  }
}

// Where the few sources of a test lie in a list padded with empty ones: in a short list, with
// cursors in a list past 64, in the runs at the front of a list past 256 (two or three to a
// run), and among the cursors after those runs.
struct Placement {
  int first;
  int padding;
};
constexpr Placement kPlacements[] = {{0, 0}, {0, 200}, {0, 300}, {0, 600}, {300, 300}};

TEST(MidiMixdown, AFullOutputKeepsWhatWasMergedAndCountsTheRestAsLost) {
  // 253 records fit a 2048-byte buffer; the sources hold 4 x 64 inline events.
  for (const Placement place : kPlacements) {
    SCOPED_TRACE(testing::Message() << place.first << " of " << 4 + place.padding);
    Rig rig(4 + place.padding);
    auto source = [&](int s) { return place.first + s; };
    std::vector<std::vector<Event>> written(4);
    for (int s = 0; s < 4; ++s) {
      for (uint32_t i = 0; i < 64; ++i) {
        written[s].push_back(MakeEvent(i * 3 + s % 2, 3, static_cast<uint8_t>(s * 64 + i)));
        ASSERT_EQ(Write(rig.source(source(s)), written[s].back()), 0);
      }
    }
    rig.source_info(source(1))->events_lost = 5;
    rig.mixdown();
    std::vector<Event> expected = ReferenceMerge(written);
    expected.resize(253);
    EXPECT_EQ(ReadAll(rig.mix()), expected);
    EXPECT_EQ(tamb_midi_get_lost_event_count(rig.mix()), 3u + 5u);
    uint32_t cursors = 0;
    for (int s = 0; s < 4; ++s) cursors += rig.source_info(source(s))->data_used;
    EXPECT_EQ(cursors, 254u) << "the refused event was read too";
  }
}

TEST(MidiMixdown, CorruptSourcesGiveOnlyTheirValidEvents) {
  for (const Placement place : kPlacements) {
    SCOPED_TRACE(testing::Message() << place.first << " of " << 6 + place.padding);
    Rig rig(6 + place.padding, 1 << 16);
    auto source = [&](int s) { return place.first + s; };
    std::vector<std::vector<Event>> valid(6);
    // 0: as many inline events as 2048 bytes hold, then a header claiming far more records in
    // far more bytes: read beyond the type's size, the records would run past the buffer.
    for (uint32_t i = 0; i < 253; ++i) {
      valid[0].push_back(MakeEvent(i, 3, static_cast<uint8_t>(i)));
      ASSERT_EQ(Write(rig.source(source(0)), valid[0].back()), 0);
    }
    rig.source_info(source(0))->buffer_size = UINT32_MAX;
    rig.source_info(source(0))->event_count = UINT32_MAX;
    // The others have events at 10 t + s, the second out-of-line.
    auto original = [](int s, uint32_t t) {
      return MakeEvent(10 * t + s, t == 1 ? 8 : 3, static_cast<uint8_t>(16 * s + t));
    };
    for (int s = 1; s < 6; ++s) {
      for (uint32_t t = 0; t < 4; ++t) ASSERT_EQ(Write(rig.source(source(s)), original(s, t)), 0);
    }
    // 1: data of its second event beyond the end; 2: its third event goes back in time;
    // 3: an empty record; 4: a segment that is not attached; 5 stays whole.
    rig.source_record(source(1), 1)->data_offset = kMidiSize - 4;
    rig.source_record(source(2), 2)->time = 0;
    rig.source_record(source(3), 2)->size = 0;
    rig.detach(source(4));

    rig.mixdown();
    valid[1] = {original(1, 0)};
    valid[2] = {original(2, 0), original(2, 1)};
    valid[3] = {original(3, 0), original(3, 1)};
    for (uint32_t t = 0; t < 4; ++t) valid[5].push_back(original(5, t));
    EXPECT_EQ(ReadAll(rig.mix()), ReferenceMerge(valid));
    EXPECT_EQ(tamb_midi_get_lost_event_count(rig.mix()), 3u + 2u + 2u)
        << "the records that end sources 1, 2 and 3, and those after them";
  }
}

TEST(MidiRealTime, BufferOperationsAndMixdownMakeNoHeapCalls) {
  if (!support::HeapCounter::available()) GTEST_SKIP() << "sanitizer build owns the heap";
  Rig few(4, 1 << 16);
  Rig many(300, 1 << 16);  // events in runs and in cursors
  Block block(kMidiSize);
  const uint8_t data[8] = {0xf0, 1, 2, 3, 4, 5, 6, 0xf7};
  tamb_midi_event_t event;
  uint64_t calls;
  {
    support::HeapCounter counter;
    tamb_midi_buffer_init(block.get(), kMidiSize, kFrames);
    for (uint32_t t = 0; t < 40; ++t) {
      tamb_midi_event_write(block.get(), t, data, t % 2 == 0 ? 3 : 8);
      tamb_midi_event_reserve(block.get(), t, 2);
      tamb_midi_event_write(few.source(t % 4), t, data, 3);
      tamb_midi_event_write(many.source(t * 7 % 300), t, data, 8);
    }
    for (uint32_t i = 0; i < tamb_midi_get_event_count(block.get()); ++i) {
      tamb_midi_event_get(&event, block.get(), i);
    }
    tamb_midi_max_event_size(block.get());
    tamb_midi_get_lost_event_count(block.get());
    few.mixdown();
    many.mixdown();
    tamb_midi_clear_buffer(block.get());
    calls = counter.calls();
  }
  EXPECT_EQ(calls, 0u);
  EXPECT_EQ(tamb_midi_get_event_count(few.mix()), 40u);
  EXPECT_EQ(tamb_midi_get_event_count(many.mix()), 40u);
}

TEST(MidiMixdown, AnInputWithSeveralConnectionsHandsOutTheMerge) {
  Rig rig(3);
  for (int s = 0; s < 3; ++s) ASSERT_EQ(Write(rig.source(s), MakeEvent(3 - s, 3, s)), 0);
  EXPECT_EQ(tamb_port_get_buffer(rig.input(), kFrames), rig.mix());
  EXPECT_EQ(ReadAll(rig.mix()),
            (std::vector<Event>{MakeEvent(1, 3, 2), MakeEvent(2, 3, 1), MakeEvent(3, 3, 0)}));
}

}  // namespace
