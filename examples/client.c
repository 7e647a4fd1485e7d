// SPDX-License-Identifier: MIT
/*
 * A small C client of libtamb that needs no running server: identifiers, a MIDI buffer in a
 * local array, the aligned pool, the clock, and the log hooks a client core provides.
 * Exits 0 when every check passed.
 */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <tamb/tamb.h>

static int failures;
static char last_error[256];

#define CHECK(cond)                                                    \
  do {                                                                 \
    if (!(cond)) {                                                     \
      fprintf(stderr, "check failed, line %d: %s\n", __LINE__, #cond); \
      ++failures;                                                      \
    }                                                                  \
  } while (0)

/* The client core's log: libtamb calls these instead of writing to standard error. */
void tamb_error(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vsnprintf(last_error, sizeof last_error, fmt, args);
  va_end(args);
  printf("  [error hook] %s\n", last_error);
}

void tamb_info(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  printf("  [info hook] ");
  vprintf(fmt, args);
  putchar('\n');
  va_end(args);
}

static void identifiers(void) {
  tamb_uuid_t first = tamb_client_uuid_generate();
  tamb_uuid_t second = tamb_client_uuid_generate();
  tamb_uuid_t port = tamb_port_uuid_generate(5);
  char text[TAMB_UUID_STRING_SIZE];
  tamb_uuid_t parsed = 0;

  tamb_uuid_unparse(second, text);
  printf("client ids %llu and %s, port 5 is %llu\n", (unsigned long long)first, text,
         (unsigned long long)port);
  CHECK(first >> 32 == 2 && second == first + 1);
  CHECK(port >> 32 == 1 && tamb_uuid_to_index(port) == 5);
  CHECK(tamb_uuid_parse(text, &parsed) == 0 && tamb_uuid_compare(parsed, second) == 0);
  CHECK(tamb_uuid_parse("not a number", &parsed) == -1 && parsed == second);
}

static void midi(void) {
  _Alignas(8) uint8_t buffer[2048];
  const uint8_t note_on[3] = {0x90, 60, 100};
  const uint8_t sysex[6] = {0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7};
  tamb_midi_event_t event;

  tamb_midi_buffer_init(buffer, sizeof buffer, 256);
  CHECK(tamb_midi_event_write(buffer, 0, note_on, sizeof note_on) == 0);
  CHECK(tamb_midi_event_write(buffer, 10, sysex, sizeof sysex) == 0);
  /* Events go in time order and inside the cycle; anything else is counted as lost. */
  CHECK(tamb_midi_event_write(buffer, 5, note_on, sizeof note_on) == ENOBUFS);
  CHECK(tamb_midi_event_write(buffer, 256, note_on, sizeof note_on) == ENOBUFS);

  printf("MIDI buffer: %u events, %u lost, room for %llu more bytes\n",
         tamb_midi_get_event_count(buffer), tamb_midi_get_lost_event_count(buffer),
         (unsigned long long)tamb_midi_max_event_size(buffer));
  CHECK(tamb_midi_get_event_count(buffer) == 2 && tamb_midi_get_lost_event_count(buffer) == 2);
  CHECK(tamb_midi_event_get(&event, buffer, 0) == 0 && event.time == 0 && event.size == 3 &&
        memcmp(event.buffer, note_on, 3) == 0);
  CHECK(tamb_midi_event_get(&event, buffer, 1) == 0 && event.time == 10 && event.size == 6 &&
        memcmp(event.buffer, sysex, 6) == 0);
  CHECK(tamb_midi_event_get(&event, buffer, 2) == ENODATA);

  tamb_midi_clear_buffer(buffer);
  CHECK(tamb_midi_get_event_count(buffer) == 0);
}

static void pool_and_clock(void) {
  float *block = tamb_pool_alloc(4096 * sizeof(float));
  tamb_time_t before = tamb_get_microseconds_from_system();
  tamb_time_t after;

  CHECK(block != NULL && (uintptr_t)block % 64 == 0);
  if (block != NULL) memset(block, 0, 4096 * sizeof(float));
  tamb_pool_release(block);
  after = tamb_get_microseconds_from_system();
  printf("pool block at %p; clock: %s\n", (void *)block, tamb_clock_source_name(TAMB_CLOCK_SYSTEM));
  CHECK(after >= before);
}

static void hooks(void) {
  tamb_port_shared_t record;
  tamb_port_t port;

  memset(&record, 0, sizeof record);
  memset(&port, 0, sizeof port);
  strcpy(record.name, "example:out");
  port.shared = &record;
  CHECK(tamb_port_untie(&port) == -1);
  CHECK(strcmp(last_error, "port \"example:out\" is not tied") == 0);
}

int main(void) {
  identifiers();
  midi();
  pool_and_clock();
  hooks();
  printf("%s\n", failures == 0 ? "all checks passed" : "some checks failed");
  return failures == 0 ? 0 : 1;
}
