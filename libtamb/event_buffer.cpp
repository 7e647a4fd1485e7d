// SPDX-License-Identifier: MIT
// MIDI port buffers: event records growing up from a 20-byte header, out-of-line data growing
// down from the end, and the time-ordered merge of several connected outputs into an input.
//
// Buffers lie in shared memory that other processes write. Every read is bounded by the size
// the reader knows before it follows a count, an offset or a size found in the buffer: a record
// that would leave the buffer does not exist, and an event whose data would leave it or touch
// the records reads as absent. Each record is copied out once before it is checked, so a writer
// that changes it meanwhile cannot make the checked and the used offset differ.
//
// Writers store only what reads back exactly: times and sizes that fit their 16-bit fields,
// data offsets that stay positive as int32, and data that never shares a byte with a record.

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "check.h"
#include "tamb/midi.h"
#include "tamb/shm.h"

namespace {

constexpr uint64_t header_size = sizeof(tamb_midi_buffer_info_t);
constexpr uint64_t record_size = sizeof(tamb_midi_event_record_t);
constexpr uint64_t inline_max = sizeof(tamb_midi_event_record_t::inline_data);
constexpr uint64_t field_max = UINT16_MAX;
constexpr uint64_t offset_max = INT32_MAX;

tamb_midi_buffer_info_t *info_of(void *buffer) {
  return static_cast<tamb_midi_buffer_info_t *>(buffer);
}

tamb_midi_event_record_t *record_at(void *buffer, uint32_t index) {
  return reinterpret_cast<tamb_midi_event_record_t *>(static_cast<uint8_t *>(buffer) + header_size +
                                                      record_size * index);
}

// The header, the records present, the next event's record and the out-of-line data.
uint64_t bytes_used(uint32_t event_count, uint32_t data_used) {
  return header_size + record_size * (uint64_t{event_count} + 1) + data_used;
}

// The header fields a store reads and changes, held apart from the buffer so that the mixdown
// can keep them in registers while it fills its output.
struct Fill {
  uint8_t *base;
  uint64_t buffer_size;
  uint32_t cycle_frames;
  uint32_t event_count;
  uint32_t data_used;
};

Fill fill_of(tamb_midi_buffer_info_t *info) {
  return {reinterpret_cast<uint8_t *>(info), info->buffer_size, info->cycle_frames,
          info->event_count, info->data_used};
}

// Every test of a store but the time order. Besides the basic ones (time within the cycle, size
// not 0, room) it refuses what would not read back as written: a time or size beyond 16
// bits, a data offset beyond int32, and data that would share a byte with the new record. The
// last case is an out-of-line event taking all the room, or an inline record reaching the
// lowest data byte; tamb_midi_max_event_size still reports that room, so callers keep their
// numbers. A pass also means the last record present lies inside the buffer.
[[gnu::always_inline]] inline bool fits(const Fill &fill, tamb_nframes_t time, uint64_t size) {
  if (time >= fill.cycle_frames || time > field_max || size == 0 || size > field_max) return false;
  const uint64_t used = bytes_used(fill.event_count, fill.data_used);
  if (used > fill.buffer_size) return false;
  if (size <= inline_max) return fill.data_used == 0 || used < fill.buffer_size;
  return size < fill.buffer_size - used &&
         fill.buffer_size - 1 - fill.data_used - size <= offset_max;
}

// Writes the record of an event that fits and returns the space for its data.
uint8_t *place(Fill &fill, tamb_nframes_t time, uint64_t size) {
  tamb_midi_event_record_t *record = record_at(fill.base, fill.event_count++);
  record->time = static_cast<uint16_t>(time);
  record->size = static_cast<uint16_t>(size);
  if (size <= inline_max) return record->inline_data;
  fill.data_used += static_cast<uint32_t>(size);
  const uint64_t offset = fill.buffer_size - 1 - fill.data_used;
  record->data_offset = static_cast<int32_t>(offset);
  return fill.base + offset;
}

uint8_t *reserve(tamb_midi_buffer_info_t *info, tamb_nframes_t time, uint64_t size) {
  Fill fill = fill_of(info);
  if (!fits(fill, time, size) ||
      (fill.event_count > 0 && record_at(info, fill.event_count - 1)->time > time)) {
    ++info->events_lost;
    return nullptr;
  }
  uint8_t *data = place(fill, time, size);
  info->event_count = fill.event_count;
  info->data_used = fill.data_used;
  return data;
}

// What a reader may trust of a buffer: bound is the number of bytes that really belong to it,
// count the records lying wholly inside them, data_low the end of those records.
struct View {
  uint8_t *base;
  uint64_t bound;
  uint32_t count;
  uint64_t data_low;
};

View view_of(void *buffer, uint64_t real_size) {
  const tamb_midi_buffer_info_t *info = info_of(buffer);
  View view = {static_cast<uint8_t *>(buffer), 0, 0, header_size};
  const uint64_t bound = std::min<uint64_t>(info->buffer_size, real_size);
  if (bound < header_size) return view;
  view.bound = bound;
  view.count = static_cast<uint32_t>(
      std::min<uint64_t>(info->event_count, (bound - header_size) / record_size));
  view.data_low = header_size + record_size * view.count;
  return view;
}

// Fills *event from record index (below view.count); false when its out-of-line data would
// leave the buffer, use its last byte or overlap the records.
bool view_event(const View &view, uint32_t index, tamb_midi_event_t *event) {
  uint8_t *at = view.base + header_size + record_size * index;
  tamb_midi_event_record_t record;
  std::memcpy(&record, at, sizeof record);
  event->time = record.time;
  event->size = record.size;
  if (record.size <= inline_max) {
    event->buffer = at + offsetof(tamb_midi_event_record_t, inline_data);
    return true;
  }
  const int64_t offset = record.data_offset;
  if (offset < static_cast<int64_t>(view.data_low) ||
      static_cast<uint64_t>(offset) + record.size > view.bound - 1) {
    return false;
  }
  event->buffer = view.base + offset;
  return true;
}

// A source's next event is usable when it passes the checks, is not empty (no writer stores
// one, and the output would refuse it and end the merge) and does not go back in time. The
// first record that fails ends the source: what a corrupt buffer holds beyond it is not trusted.
bool usable_event(const View &view, uint32_t index, uint32_t min_time, tamb_midi_event_t *event) {
  return index < view.count && view_event(view, index, event) && event->size != 0 &&
         event->time >= min_time;
}

// The mixdown's writer: the same tests and placement as tamb_midi_event_write, with the
// output's header kept locally until finish. The output is the port's own mix buffer, which
// nothing else writes while the mixdown runs.
class Output {
 public:
  explicit Output(tamb_midi_buffer_info_t *info)
      : info_(info), fill_(fill_of(info)), lost_(info->events_lost) {}

  // Copies an event; inline data is copied as the whole 4-byte field, which the source record
  // always has.
  bool append(const tamb_midi_event_t &event) {
    const bool in_order = fill_.event_count == 0 || event.time >= last_time_;
    if (!in_order || !fits(fill_, event.time, event.size)) {
      ++lost_;
      return false;
    }
    uint8_t *data = place(fill_, event.time, event.size);
    if (event.size <= inline_max) {
      std::memcpy(data, event.buffer, inline_max);
    } else {
      std::memcpy(data, event.buffer, event.size);
    }
    last_time_ = event.time;
    return true;
  }

  void finish() {
    info_->event_count = fill_.event_count;
    info_->data_used = fill_.data_used;
    info_->events_lost = lost_;
  }

 private:
  tamb_midi_buffer_info_t *info_;
  Fill fill_;
  uint32_t lost_;
  uint32_t last_time_ = 0;
};

// A connected port's own buffer, or null when its segment is not attached.
tamb_midi_buffer_info_t *source_buffer(const tamb_port_t *source) {
  if (source->type_segment == nullptr) return nullptr;
  void *segment = *source->type_segment;
  if (segment == nullptr || segment == TAMB_SHM_NOT_ATTACHED) return nullptr;
  return reinterpret_cast<tamb_midi_buffer_info_t *>(static_cast<uint8_t *>(segment) +
                                                     source->shared->offset);
}

tamb_midi_buffer_info_t *source_of(const tamb_slist_t *node) {
  return source_buffer(static_cast<const tamb_port_t *>(node->data));
}

struct MergeResult {
  uint64_t written;
  bool failed;      // a write was refused and the merge stopped
  uint64_t unread;  // records inside the sources that were not merged
};

// Sources merged with their cursors on the stack; longer lists are shared out among this many
// players (merge, below).
constexpr int cursor_capacity = 256;
constexpr uint32_t no_event = UINT32_MAX;
constexpr int key_index_bits = 8;
constexpr uint32_t key_index_mask = (1u << key_index_bits) - 1;
static_assert(cursor_capacity <= 1 << key_index_bits);

// An event already checked, as a cursor holds it: its data's place from the buffer's start and
// its size. Its time is in its key.
struct Slot {
  uint32_t offset;
  uint32_t size;
};

// A source's place in the merge, kept to 40 bytes so that a full array of them stays small on
// the stack and in the cache. The event after the pending one is read and checked ahead, while
// the tournament is played, so that a step waits only for a key already in memory.
struct Cursor {
  uint8_t *base;       // the source's buffer; null for a source without one
  uint32_t bound;      // bytes that may be read, as in View (below 2^32: a header's size bounds it)
  uint32_t count;      // records lying wholly inside them
  uint32_t next;       // index of the pending event
  uint32_t ahead_key;  // key of the event at next + 1, or no_event
  Slot pending;        // the event at next
  Slot ahead;          // the event at next + 1
};
static_assert(sizeof(Cursor) == 40);

// Each event in the merge has a key of its time above its player's list position, so the
// smallest key is the earliest event and, among equal times, the one first in the list.
uint32_t key_of(uint32_t time, int position) {
  return time << key_index_bits | static_cast<uint32_t>(position);
}

// The key of the cursor's record index when it is usable, with the event in *slot.
uint32_t load_key(const Cursor &cursor, uint32_t index, int position, uint32_t min_time,
                  Slot *slot) {
  const View view = {cursor.base, cursor.bound, cursor.count,
                     header_size + record_size * cursor.count};
  tamb_midi_event_t event;
  if (!usable_event(view, index, min_time, &event)) return no_event;
  slot->offset = static_cast<uint32_t>(event.buffer - cursor.base);
  slot->size = static_cast<uint32_t>(event.size);
  return key_of(event.time, position);
}

// A tournament over the players' keys: leaves from `leaves` on, each inner node the smaller of
// its two children, so the root is the next event to merge. Replacing one leaf replays only its
// path to the root, which keeps a step logarithmic in the number of players and free of
// unpredictable branches.
template <int capacity>
struct Tournament {
  explicit Tournament(int players) {
    while (leaves < players) leaves *= 2;
    std::fill(node + leaves, node + 2 * leaves, no_event);
  }
  // Plays every match once the leaves are set; returns the winner.
  uint32_t start() {
    for (int i = leaves - 1; i >= 1; --i) node[i] = std::min(node[2 * i], node[2 * i + 1]);
    return node[1];
  }
  // Returns the new winner. The path's value stays in a register; only the siblings are
  // loaded.
  uint32_t replace(int position, uint32_t key) {
    int i = leaves + position;
    node[i] = key;
    for (; i > 1; i /= 2) {
      key = std::min(key, node[i ^ 1]);
      node[i / 2] = key;
    }
    return key;
  }

  int leaves = 1;
  uint32_t node[2 * capacity];
};

// Reads a source's first two events into its cursor and returns the first one's key.
uint32_t cursor_start(Cursor &cursor, tamb_midi_buffer_info_t *info, int position,
                      uint64_t real_size) {
  const View view = info != nullptr ? view_of(info, real_size) : View{};
  cursor.base = view.base;
  cursor.bound = static_cast<uint32_t>(view.bound);
  cursor.count = view.count;
  cursor.next = 0;
  const uint32_t key = load_key(cursor, 0, position, 0, &cursor.pending);
  cursor.ahead_key = key == no_event
                         ? no_event
                         : load_key(cursor, 1, position, key >> key_index_bits, &cursor.ahead);
  return key;
}

// Makes the event read ahead, whose key was ahead_key, the pending one and reads the next.
void cursor_read_ahead(Cursor &cursor, int position, uint32_t key) {
  cursor.pending = cursor.ahead;
  cursor.ahead_key =
      load_key(cursor, cursor.next + 1, position, key >> key_index_bits, &cursor.ahead);
}

// The source's pending event, with the cursor kept in the source's own data_used; the previous
// record bounds the time from below.
bool scan_event(tamb_midi_buffer_info_t *info, uint64_t real_size, tamb_midi_event_t *event) {
  const View view = view_of(info, real_size);
  const uint32_t next = info->data_used;
  uint32_t min_time = 0;
  if (next > 0 && next - 1 < view.count) min_time = record_at(info, next - 1)->time;
  return usable_event(view, next, min_time, event);
}

// A run of neighbouring sources, for a list longer than the cursor array, with the earliest of
// their next events. The sources' cursors are their own data_used.
struct Run {
  const tamb_slist_t *first;
  int size;
  tamb_midi_buffer_info_t *best;  // the source of event; null when the run has none left
  Slot event;                     // already checked
};

// Looks at every source of the run; on equal times the first in the list keeps its place.
uint32_t run_load(Run &run, int position, uint64_t real_size) {
  run.best = nullptr;
  uint32_t best_time = 0;
  const tamb_slist_t *node = run.first;
  for (int i = 0; i < run.size; ++i, node = node->next) {
    tamb_midi_buffer_info_t *info = source_of(node);
    tamb_midi_event_t event;
    if (info == nullptr || !scan_event(info, real_size, &event)) continue;
    if (run.best == nullptr || event.time < best_time) {
      run.best = info;
      best_time = event.time;
      run.event = {static_cast<uint32_t>(event.buffer - reinterpret_cast<uint8_t *>(info)),
                   static_cast<uint32_t>(event.size)};
    }
  }
  return run.best != nullptr ? key_of(best_time, position) : no_event;
}

// One player of the tournament: a source with its cursor, or a run of sources.
union Player {
  Cursor cursor;
  Run run;
};

// Every source is a player with its own cursor, up to cursor_capacity of them. A longer list is
// shared out among cursor_capacity players of neighbouring sources, as evenly as it goes: the
// players below `runs` take several sources and look again at each of them whenever they give
// an event, the others keep a cursor. A list just past the capacity thus keeps a cursor for
// nearly every source, and the cost of an event grows with the list's length only once every
// player holds a run.
//
// The steps are bounded by the records present at the start, so a source whose header changes
// while a run reads it cannot keep the merge going. Cursors alone need no bound, and a list
// without runs takes a loop that has no test for them. The two loops are kept out of line so that
// the function's stack holds the players once.
template <bool with_runs>
[[gnu::noinline]] MergeResult merge(tamb_midi_buffer_info_t *out_info,
                                    const tamb_slist_t *connections, int sources,
                                    uint64_t real_size) {
  Player players[cursor_capacity];
  const int count = std::min(sources, cursor_capacity);
  const int per_player = sources / count;
  const int extra = sources % count;  // the first `extra` players take one source more
  const int runs = !with_runs ? 0 : per_player > 1 ? count : extra;
  Tournament<cursor_capacity> tournament(count);
  uint64_t steps_left = 0;
  const tamb_slist_t *node = connections;
  for (int p = 0; p < count; ++p) {
    uint32_t key;
    if (p < runs) {
      Run &run = players[p].run;
      run.first = node;
      run.size = per_player + (p < extra ? 1 : 0);
      for (int i = 0; i < run.size; ++i, node = node->next) {
        if (tamb_midi_buffer_info_t *info = source_of(node)) {
          steps_left += view_of(info, real_size).count;
        }
      }
      key = run_load(run, p, real_size);
    } else {
      Cursor &cursor = players[p].cursor;
      key = cursor_start(cursor, source_of(node), p, real_size);
      steps_left += cursor.count;
      node = node->next;
    }
    tournament.node[tournament.leaves + p] = key;
  }

  Output out(out_info);
  MergeResult result = {0, false, 0};
  for (uint32_t best = tournament.start(); best != no_event && (!with_runs || steps_left > 0);
       --steps_left) {
    const int position = static_cast<int>(best & key_index_mask);
    const uint32_t time = best >> key_index_bits;
    if (position >= runs) {
      Cursor &cursor = players[position].cursor;
      ++cursor.next;
      if (!out.append({time, cursor.pending.size, cursor.base + cursor.pending.offset})) {
        result.failed = true;
        break;
      }
      // The tournament is replayed with the key read ahead before the next event is read.
      const uint32_t key = cursor.ahead_key;
      best = tournament.replace(position, key);
      if (key != no_event) cursor_read_ahead(cursor, position, key);
    } else {
      Run &run = players[position].run;
      ++run.best->data_used;
      if (!out.append(
              {time, run.event.size, reinterpret_cast<uint8_t *>(run.best) + run.event.offset})) {
        result.failed = true;
        break;
      }
      best = tournament.replace(position, run_load(run, position, real_size));
    }
    ++result.written;
  }
  out.finish();

  for (int p = 0; p < count; ++p) {
    if (p < runs) {
      node = players[p].run.first;
      for (int i = 0; i < players[p].run.size; ++i, node = node->next) {
        if (tamb_midi_buffer_info_t *info = source_of(node)) {
          const uint32_t records = view_of(info, real_size).count;
          result.unread += records - std::min<uint32_t>(info->data_used, records);
        }
      }
    } else {
      Cursor &cursor = players[p].cursor;
      result.unread += cursor.count - std::min(cursor.next, cursor.count);
      if (cursor.base != nullptr) info_of(cursor.base)->data_used = cursor.next;
    }
  }
  return result;
}

uint32_t saturate(uint64_t value) {
  return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX));
}

}  // namespace

extern "C" {

TAMB_API extern const tamb_port_functions_t tamb_builtin_midi_functions = {tamb_midi_buffer_init,
                                                                           tamb_midi_port_mixdown};

TAMB_API void tamb_midi_buffer_init(void *buffer, uint64_t size, tamb_nframes_t nframes) {
  tamb_midi_buffer_info_t *info = info_of(buffer);
  info->cycle_frames = nframes;
  info->buffer_size = static_cast<uint32_t>(size);
  info->event_count = 0;
  info->data_used = 0;
  info->events_lost = 0;
}

TAMB_API void tamb_midi_clear_buffer(void *buffer) {
  tamb_midi_buffer_info_t *info = info_of(buffer);
  info->event_count = 0;
  info->data_used = 0;
  info->events_lost = 0;
}

// Counts only the records that lie inside the buffer, so that a reader looping up to the count
// never indexes past its end.
TAMB_API uint32_t tamb_midi_get_event_count(void *buffer) {
  return view_of(buffer, UINT64_MAX).count;
}

TAMB_API uint32_t tamb_midi_get_lost_event_count(void *buffer) {
  return info_of(buffer)->events_lost;
}

TAMB_API int tamb_midi_event_get(tamb_midi_event_t *event, void *buffer, uint32_t index) {
  const View view = view_of(buffer, UINT64_MAX);
  tamb_midi_event_t found;
  if (index >= view.count || !view_event(view, index, &found)) return ENODATA;
  *event = found;
  return 0;
}

TAMB_API uint64_t tamb_midi_max_event_size(void *buffer) {
  const tamb_midi_buffer_info_t *info = info_of(buffer);
  const uint64_t buffer_size = info->buffer_size;
  const uint64_t used = bytes_used(info->event_count, info->data_used);
  if (buffer_size < used) return 0;
  return std::max(buffer_size - used, inline_max);
}

TAMB_API uint8_t *tamb_midi_event_reserve(void *buffer, tamb_nframes_t time, uint64_t size) {
  return reserve(info_of(buffer), time, size);
}

TAMB_API int tamb_midi_event_write(void *buffer, tamb_nframes_t time, const uint8_t *data,
                                   uint64_t size) {
  uint8_t *space = reserve(info_of(buffer), time, size);
  if (space == nullptr) return ENOBUFS;
  std::memcpy(space, data, size);
  return 0;
}

TAMB_API int tamb_midi_internal_event_size(void) { return static_cast<int>(record_size); }

// The sources' buffers are bounded by the type's buffer size, whatever their headers claim;
// records beyond a source's first unusable one count as lost together with what the sources
// had lost. The output is the port's own mix buffer and trusted.
TAMB_API void tamb_midi_port_mixdown(tamb_port_t *port, tamb_nframes_t nframes) {
  tamb_midi_buffer_info_t *out_info = info_of(port->mix_buffer);
  if (out_info == nullptr) return;
  tamb_midi_clear_buffer(out_info);
  const uint64_t real_size = tamb_port_type_buffer_size(port->type_info, nframes);

  uint64_t lost_in = 0;
  int sources = 0;
  for (const tamb_slist_t *node = port->connections; node != nullptr; node = node->next) {
    if (tamb_midi_buffer_info_t *info = source_of(node)) {
      lost_in += info->events_lost;
      info->data_used = 0;
    }
    ++sources;
  }
  if (sources == 0) return;

  const MergeResult merged = sources <= cursor_capacity
                                 ? merge<false>(out_info, port->connections, sources, real_size)
                                 : merge<true>(out_info, port->connections, sources, real_size);

  // A refused write ends the merge; it and every record not yet merged count as lost.
  uint64_t num_events = merged.written;
  if (merged.failed) {
    num_events += 1 + merged.unread;
    out_info->events_lost = saturate(num_events - merged.written);
  } else {
    lost_in += merged.unread;
  }
  TAMB_CHECK(out_info->event_count == num_events - out_info->events_lost);
  out_info->events_lost = saturate(out_info->events_lost + lost_in);
}

}  // extern "C"
