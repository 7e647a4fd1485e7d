// SPDX-License-Identifier: MIT
/**
 * \defgroup midi MIDI buffers
 * MIDI port buffers: time-stamped messages in a byte-exact layout shared between clients.
 *
 * Layout (little-endian): a 20-byte header, then 8-byte event records growing upwards in
 * non-decreasing time order; data of events longer than 4 bytes grows downwards from the end,
 * the first ending just before the last byte, which is never used. Records and data never
 * overlap. The header and records may be written by other processes: readers never leave the
 * buffer, whatever they say.
 * @{
 */
#ifndef TAMB_MIDI_H
#define TAMB_MIDI_H

#include "port.h"

/** The header at the start of a MIDI buffer, 20 bytes. */
typedef struct TAMB_PACKED {
  uint32_t cycle_frames; /**< offset 0: every event time is below it */
  uint32_t buffer_size;  /**< offset 4: the whole buffer, header included */
  uint32_t event_count;  /**< offset 8: event records present */
  uint32_t data_used;    /**< offset 12: bytes of out-of-line data; a source's read cursor during a
                            mixdown */
  uint32_t events_lost;  /**< offset 16: events refused: bad time, size 0, no room */
} tamb_midi_buffer_info_t;

TAMB_ASSERT_OFFSET(tamb_midi_buffer_info_t, cycle_frames, 0);
TAMB_ASSERT_OFFSET(tamb_midi_buffer_info_t, buffer_size, 4);
TAMB_ASSERT_OFFSET(tamb_midi_buffer_info_t, event_count, 8);
TAMB_ASSERT_OFFSET(tamb_midi_buffer_info_t, data_used, 12);
TAMB_ASSERT_OFFSET(tamb_midi_buffer_info_t, events_lost, 16);
TAMB_ASSERT_SIZE(tamb_midi_buffer_info_t, 20);

/** An event record, 8 bytes; record i follows the header at byte 20 + 8 * i. */
typedef struct TAMB_PACKED {
  uint16_t time; /**< offset 0: frame offset within the cycle */
  uint16_t size; /**< offset 2: data bytes */
  union TAMB_PACKED {
    uint8_t inline_data[4]; /**< offset 4: size <= 4: the data itself */
    int32_t data_offset;    /**< offset 4: size > 4: offset of the data from the buffer start */
  };
} tamb_midi_event_record_t;

TAMB_ASSERT_OFFSET(tamb_midi_event_record_t, time, 0);
TAMB_ASSERT_OFFSET(tamb_midi_event_record_t, size, 2);
TAMB_ASSERT_OFFSET(tamb_midi_event_record_t, inline_data, 4);
TAMB_ASSERT_OFFSET(tamb_midi_event_record_t, data_offset, 4);
TAMB_ASSERT_SIZE(tamb_midi_event_record_t, 8);

/** An event as handed to callers. */
typedef struct {
  tamb_nframes_t time; /**< frame offset within the cycle */
  uint64_t size;       /**< data bytes */
  uint8_t *buffer;     /**< the data inside the port buffer; valid until it is rewritten */
} tamb_midi_event_t;

TAMB_BEGIN_DECLS

/** The MIDI type's functions: tamb_midi_buffer_init and tamb_midi_port_mixdown. */
TAMB_API extern const tamb_port_functions_t tamb_builtin_midi_functions;

/** Makes buffer an empty MIDI buffer of size bytes for cycles of nframes frames. The buffer's
 * writer, usually the process thread; no allocation, no lock, as everything below. */
TAMB_API void tamb_midi_buffer_init(void *buffer, uint64_t size, tamb_nframes_t nframes);

/** Removes every event; the cycle length and size stay. The buffer's writer. */
TAMB_API void tamb_midi_clear_buffer(void *buffer) TAMB_NONBLOCKING;

/** The number of events whose records lie inside the buffer. Any reader of the buffer. */
TAMB_API uint32_t tamb_midi_get_event_count(void *buffer) TAMB_NONBLOCKING;

/** The number of events refused since the buffer was last cleared. Any reader. */
TAMB_API uint32_t tamb_midi_get_lost_event_count(void *buffer) TAMB_NONBLOCKING;

/** Fills *event with event index: 0, or ENODATA when there is no such event. Any reader. */
TAMB_API int tamb_midi_event_get(tamb_midi_event_t *event, void *buffer,
                                 uint32_t index) TAMB_NONBLOCKING;

/** The largest data size that can still be stored. The buffer's writer. */
TAMB_API uint64_t tamb_midi_max_event_size(void *buffer) TAMB_NONBLOCKING;

/** Space for size data bytes of an event at time, or null (the event counts as lost). The
 * buffer's writer. */
TAMB_API uint8_t *tamb_midi_event_reserve(void *buffer, tamb_nframes_t time,
                                          uint64_t size) TAMB_NONBLOCKING;

/** Stores an event: 0, or ENOBUFS (the event counts as lost). The buffer's writer. */
TAMB_API int tamb_midi_event_write(void *buffer, tamb_nframes_t time, const uint8_t *data,
                                   uint64_t size) TAMB_NONBLOCKING;

/** Size of one event record: 8. Any thread. */
TAMB_API int tamb_midi_internal_event_size(void) TAMB_NONBLOCKING;

/** Merges the events of an input's connections into its mix_buffer in time order. Process
 * thread of the input's client, once the connected outputs are written for the cycle. */
TAMB_API void tamb_midi_port_mixdown(tamb_port_t *port, tamb_nframes_t nframes) TAMB_NONBLOCKING;

TAMB_END_DECLS

/** @} */

#endif
