// SPDX-License-Identifier: MIT
// Ports: the port region of the engine control block seen from a client, the zero-copy buffer
// lookup, the audio mixdown, registration, lookups, connection lists and port attributes.
//
// The port records live in shared memory that the server and other clients write; indexes read
// from there (type ids, port ids, names) are checked before they are used.
#include "tamb/port.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "nonblocking.h"
#include "outside.h"
#include "tamb/midi.h"
#include "tamb/uuid.h"

namespace {

typedef void (*Kernel)(float *, const float *, int) TAMB_NONBLOCKING;

// Longest chain of ties and single connections a buffer lookup follows. Ties may form a loop;
// no sane chain is anywhere near this long.
constexpr int max_buffer_hops = 4096;

// A port record's name and its two aliases: text fields of one size.
constexpr size_t record_text = sizeof(tamb_port_shared_t::name);
static_assert(sizeof(tamb_port_shared_t::alias1) == record_text &&
              sizeof(tamb_port_shared_t::alias2) == record_text);

// A new short name is cut so that the full name keeps at most this many characters: the name
// field's last byte stays unused.
constexpr size_t renamed_full_name_max = 287;
static_assert(renamed_full_name_max < record_text);

// The built-in types' ids, their places in tamb_builtin_port_types.
constexpr int32_t audio_type_id = 0;
constexpr int32_t midi_type_id = 1;

// An audio buffer holds size_factor samples per frame; a type with a negative size_factor has
// buffers of fixed_size bytes whatever the cycle's length, as the MIDI type has.
constexpr uint64_t sample_size = sizeof(float);
constexpr int32_t audio_size_factor = 1;
constexpr int32_t fixed_size_factor = -1;
constexpr int32_t midi_buffer_size = 2048;

// The kernels cpu_type asks for: any of bits 1-7 stands for SSE; without those, any of bits
// 8-31 stands for 3DNow!.
constexpr uint32_t cpu_sse_bits = 0x000000fe;
constexpr uint32_t cpu_3dnow_bits = 0xffffff00;

// Lookups find the ports of the ALSA bridge under the names that begin "ALSA:capture" or
// "ALSA:playback" as well: such a name stands for "alsa_pcm" followed by what follows its
// "ALSA", cut to alsa_mapped_max characters.
constexpr char alsa_capture[] = "ALSA:capture";
constexpr char alsa_playback[] = "ALSA:playback";
constexpr size_t alsa_replaced = sizeof "ALSA" - 1;
constexpr size_t alsa_mapped_max = 256;

// The portable kernels. Each gets a copy built for AVX2 beside the baseline one, chosen by the
// loader, so the compiler's vectorised loop runs as wide as the processor allows.
//
// The choice is written out rather than left to target_clones: the resolver runs while the
// loader applies relocations, before any sanitizer runtime is up, and the one that
// target_clones generates carries the sanitizers' instrumentation (ThreadSanitizer's crashes
// the program before main). Both copies of each kernel are the code target_clones built.
// clang-format off
#define TAMB_PORTABLE_KERNEL(name, body)                                                        \
  [[gnu::target("avx2")]] void name##_avx2(                                                     \
      float *__restrict dest, const float *__restrict src, int frames) TAMB_NONBLOCKING body    \
  void name##_any(float *__restrict dest, const float *__restrict src, int frames)              \
      TAMB_NONBLOCKING body                                                                     \
  extern "C" {                                                                                  \
  [[gnu::no_sanitize("address", "undefined", "thread"), gnu::used]] static auto                 \
  name##_resolve() {                                                                            \
    __builtin_cpu_init();                                                                       \
    return __builtin_cpu_supports("avx2") ? &name##_avx2 : &name##_any;                         \
  }                                                                                             \
  }                                                                                             \
  void name(float *__restrict dest, const float *__restrict src, int frames) TAMB_NONBLOCKING   \
      __attribute__((ifunc(#name "_resolve")));
// clang-format on

#if defined(__x86_64__)
TAMB_PORTABLE_KERNEL(gen_copyf, {
  if (frames > 0) memcpy(dest, src, static_cast<size_t>(frames) * sizeof(float));
})
TAMB_PORTABLE_KERNEL(gen_mixf, {
  for (int i = 0; i < frames; ++i) dest[i] += src[i];
})
#else
void gen_copyf(float *__restrict dest, const float *__restrict src, int frames) TAMB_NONBLOCKING {
  if (frames > 0) memcpy(dest, src, static_cast<size_t>(frames) * sizeof(float));
}

void gen_mixf(float *__restrict dest, const float *__restrict src, int frames) TAMB_NONBLOCKING {
  for (int i = 0; i < frames; ++i) dest[i] += src[i];
}
#endif
#undef TAMB_PORTABLE_KERNEL

Kernel opt_copy = nullptr;
Kernel opt_mix = nullptr;

void *segment_address(const tamb_port_t *port) {
  if (port->type_segment == nullptr) return nullptr;
  void *address = *port->type_segment;
  return address == TAMB_SHM_NOT_ATTACHED ? nullptr : address;
}

// A connected port's own buffer, or null while its type's segment is not attached.
const float *source_buffer(const tamb_port_t *port) {
  char *address = static_cast<char *>(segment_address(port));
  if (address == nullptr) return nullptr;
  return reinterpret_cast<const float *>(address + port->shared->offset);
}

template <size_t size>
bool starts_with(const char *text, const char (&prefix)[size]) {
  return strncmp(text, prefix, size - 1) == 0;
}

bool is_output(const tamb_port_shared_t *record) {
  return (record->flags & TAMB_PORT_IS_OUTPUT) != 0;
}

// A text field of a shared record equals text only when text fits in it with its NUL; the
// field itself need not be terminated.
bool field_equals(const char *field, size_t capacity, const char *text) TAMB_NONBLOCKING {
  // Both only read memory; clang knows strncmp as a builtin, but not where a sanitizer hooks it.
  size_t length = TAMB_NONBLOCKING_EXEMPT(strnlen(text, capacity));
  return length < capacity && TAMB_NONBLOCKING_EXEMPT(strncmp(field, text, length + 1)) == 0;
}

void port_free(tamb_port_t *port) {
  pthread_mutex_destroy(&port->connection_lock);
  free(port);
}

bool list_push(tamb_slist_t **list, void *data) {
  auto *node = static_cast<tamb_slist_t *>(calloc(1, sizeof(tamb_slist_t)));
  if (node == nullptr) return false;
  node->data = data;
  node->next = *list;
  *list = node;
  return true;
}

// A cached object outlives its port: after an unregistration the record may be free, or hold
// a port of another type whose buffer lies in another segment. Such an object is never handed
// out again, and an own object whose record went to another client is no longer own.
bool object_is_current(const tamb_client_t *client, const tamb_slist_t *list,
                       const tamb_port_t *port) {
  const tamb_port_shared_t *record = port->shared;
  int32_t type_id = record->type_id;
  if (record->in_use == 0 || type_id < 0 || type_id >= TAMB_PORT_TYPES_MAX) return false;
  if (port->type_info != &client->engine_control->port_types[type_id]) return false;
  return list != client->own_ports || record->client_id == client->control->uuid;
}

tamb_port_t *list_find_id(const tamb_client_t *client, tamb_slist_t *list, uint32_t port_id) {
  for (tamb_slist_t *node = list; node != nullptr; node = node->next) {
    auto *port = static_cast<tamb_port_t *>(node->data);
    if (port->shared->id == port_id && object_is_current(client, list, port)) return port;
  }
  return nullptr;
}

tamb_port_t *list_find_name(const tamb_client_t *client, tamb_slist_t *list, const char *name) {
  for (tamb_slist_t *node = list; node != nullptr; node = node->next) {
    auto *port = static_cast<tamb_port_t *>(node->data);
    if (tamb_port_name_equals(port->shared, name) && object_is_current(client, list, port)) {
      return port;
    }
  }
  return nullptr;
}

// Reads exactly size bytes; a pipe or socket may hand them over in pieces.
bool read_exactly(int fd, void *out, size_t size) {
  auto *bytes = static_cast<char *>(out);
  while (size > 0) {
    ssize_t got = read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Reads and drops the ids of an answer that cannot be used, so that the next answer on the
// channel starts where the server wrote it.
void discard_port_ids(int fd, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t port_id;
    if (!read_exactly(fd, &port_id, sizeof port_id)) {
      TAMB_ERROR("cannot read port id from server");
      return;
    }
  }
}

// A rename request carries each name in TAMB_PORT_NAME_MAX bytes with its NUL, one short of
// the field; a longer name is cut.
void request_name_write(char (&field)[sizeof(tamb_request_rename_t::old_name)], const char *name) {
  static_assert(TAMB_PORT_NAME_MAX <= sizeof field);
  snprintf(field, TAMB_PORT_NAME_MAX, "%.*s", TAMB_PORT_NAME_MAX - 1, name);
}

void monitor_count(tamb_port_shared_t *record, int onoff) {
  if (onoff) {
    record->monitor_requests = static_cast<uint8_t>(record->monitor_requests + 1);
  } else if (record->monitor_requests != 0) {
    record->monitor_requests = static_cast<uint8_t>(record->monitor_requests - 1);
  }
}

}  // namespace

extern "C" {

TAMB_API tamb_port_type_info_t tamb_builtin_port_types[3] = {
    {0, TAMB_PORT_TYPE_AUDIO, audio_size_factor, 0, 0, 0},
    {0, TAMB_PORT_TYPE_MIDI, fixed_size_factor, midi_buffer_size, 0, 0},
    {0, "", 0, 0, 0, 0},
};
// With its empty last entry, the table fits the control block's: a server copies it there.
static_assert(sizeof tamb_builtin_port_types <= sizeof(tamb_control_t::port_types));

TAMB_API extern const tamb_port_functions_t tamb_builtin_audio_functions = {
    tamb_generic_buffer_init, tamb_audio_port_mixdown};

TAMB_API extern const tamb_port_functions_t tamb_builtin_NULL_functions = {tamb_generic_buffer_init,
                                                                           nullptr};

// A program without the processor kernels gets the portable ones.
TAMB_API void tamb_port_set_funcs(void) {
  uint32_t type = &cpu_type != nullptr ? static_cast<uint32_t>(cpu_type) : 0;
  opt_copy = gen_copyf;
  opt_mix = gen_mixf;
  if ((type & cpu_sse_bits) != 0) {
    if (x86_sse_copyf != nullptr && x86_sse_add2f != nullptr) {
      opt_copy = x86_sse_copyf;
      opt_mix = x86_sse_add2f;
    }
  } else if ((type & cpu_3dnow_bits) != 0) {
    if (x86_3dnow_copyf != nullptr && x86_3dnow_add2f != nullptr) {
      opt_copy = x86_3dnow_copyf;
      opt_mix = x86_3dnow_add2f;
    }
  }
}

TAMB_API const tamb_port_functions_t *tamb_get_port_functions(int32_t type_id) {
  if (type_id == audio_type_id) return &tamb_builtin_audio_functions;
  if (type_id == midi_type_id) return &tamb_builtin_midi_functions;
  return nullptr;
}

// A record whose type id lies outside the type table gets no object: the id would index
// past the client's segment table.
TAMB_API tamb_port_t *tamb_port_new(tamb_client_t *client, uint32_t port_id,
                                    tamb_control_t *control) {
  TAMB_CHECK(port_id < control->port_capacity);
  tamb_port_shared_t *record = &control->port_table[port_id];
  int32_t type_id = record->type_id;
  if (type_id < 0 || type_id >= TAMB_PORT_TYPES_MAX) return nullptr;
  auto *port = static_cast<tamb_port_t *>(calloc(1, sizeof(tamb_port_t)));
  if (port == nullptr) return nullptr;
  port->shared = record;
  port->type_info = &client->engine_control->port_types[type_id];
  pthread_mutex_init(&port->connection_lock, nullptr);
  if (record->client_id == client->control->uuid) {
    const tamb_port_functions_t *functions = tamb_get_port_functions(type_id);
    port->functions = functions != nullptr ? *functions : tamb_builtin_NULL_functions;
    record->has_mixdown = port->functions.mixdown != nullptr ? 1 : 0;
  }
  port->type_segment = &client->port_segment[type_id].address;
  return port;
}

TAMB_API void *tamb_port_get_buffer(tamb_port_t *port, tamb_nframes_t nframes) {
  for (int hop = 0; hop < max_buffer_hops; ++hop) {
    if (is_output(port->shared)) {
      if (port->tied != nullptr) {
        port = port->tied;
        continue;
      }
      char *address = static_cast<char *>(segment_address(port));
      return address == nullptr ? nullptr : address + port->shared->offset;
    }
    tamb_slist_t *connections = port->connections;
    if (connections == nullptr) {
      char *address = static_cast<char *>(segment_address(port));
      return address == nullptr ? nullptr : address + port->type_info->silence_offset;
    }
    if (connections->next == nullptr) {
      port = static_cast<tamb_port_t *>(connections->data);
      continue;
    }
    if (segment_address(port) == nullptr) return nullptr;
    // The internal errors below are reported at once, whatever the cycle's deadline.
    if (port->mix_buffer == nullptr) {
      TAMB_NONBLOCKING_EXEMPT(TAMB_ERROR("internal tamb error: mix_buffer not allocated"));
      return nullptr;
    }
    if (port->functions.mixdown == nullptr) {
      TAMB_NONBLOCKING_EXEMPT(
          TAMB_ERROR("internal tamb error: port \"%s\" has several connections but no mixdown",
                     port->shared->name));
      return nullptr;
    }
    port->functions.mixdown(port, nframes);
    return port->mix_buffer;
  }
  TAMB_NONBLOCKING_EXEMPT(
      TAMB_ERROR("internal tamb error: port \"%s\" is tied in a loop", port->shared->name));
  return nullptr;
}

TAMB_API uint64_t tamb_port_type_buffer_size(const tamb_port_type_info_t *type, uint32_t nframes) {
  int32_t factor = type->size_factor;
  if (factor >= 0) {
    return static_cast<uint64_t>(nframes) * static_cast<uint64_t>(factor) * sample_size;
  }
  return static_cast<uint64_t>(static_cast<int64_t>(type->fixed_size));
}

TAMB_API uint64_t tamb_port_type_get_buffer_size(tamb_client_t *client, const char *type_name) {
  tamb_control_t *control = client->engine_control;
  int32_t count = control->port_type_count;
  if (count > TAMB_PORT_TYPES_MAX) count = TAMB_PORT_TYPES_MAX;
  for (int32_t i = 0; i < count; ++i) {
    const tamb_port_type_info_t *type = &control->port_types[i];
    if (field_equals(type->type_name, sizeof type->type_name, type_name)) {
      return tamb_port_type_buffer_size(type, control->buffer_size);
    }
  }
  return 0;
}

TAMB_API void tamb_generic_buffer_init(void *buffer, uint64_t size, tamb_nframes_t) {
  memset(buffer, 0, size);
}

// Kernels not chosen yet fall back to the portable pair instead of calling through null. A
// source whose segment is not attached has nothing to read and is left out; with none left, the
// mix is silence rather than the previous cycle's.
TAMB_API void tamb_audio_port_mixdown(tamb_port_t *port, tamb_nframes_t nframes) {
  Kernel copy = opt_copy != nullptr ? opt_copy : gen_copyf;
  Kernel mix = opt_mix != nullptr ? opt_mix : gen_mixf;
  auto *out = static_cast<float *>(port->mix_buffer);
  int frames = static_cast<int>(nframes);
  if (port->connections == nullptr) return;
  bool first = true;
  for (tamb_slist_t *node = port->connections; node != nullptr; node = node->next) {
    const float *source = source_buffer(static_cast<tamb_port_t *>(node->data));
    if (source == nullptr) continue;
    (first ? copy : mix)(out, source, frames);
    first = false;
  }
  if (first && frames > 0) memset(out, 0, static_cast<size_t>(frames) * sizeof(float));
}

TAMB_API tamb_port_t *tamb_port_register(tamb_client_t *client, const char *port_name,
                                         const char *type_name, unsigned long flags,
                                         unsigned long buffer_size) {
  const char *client_name = client->control->name;
  uint32_t length =
      static_cast<uint32_t>(strlen(client_name)) + static_cast<uint32_t>(strlen(port_name)) + 1;
  if (length > TAMB_PORT_NAME_MAX) {
    TAMB_ERROR(
        "\"%s:%s\" is too long to be used as a TAMB port name.\nPlease use %lu characters or "
        "less.",
        client_name, port_name, static_cast<unsigned long>(TAMB_PORT_NAME_MAX));
    return nullptr;
  }

  tamb_request_t request;
  memset(&request, 0, sizeof request);
  request.type = TAMB_REQ_PORT_REGISTER;
  snprintf(request.body.port.name, sizeof request.body.port.name, "%s:%s", client_name, port_name);
  snprintf(request.body.port.type_name, sizeof request.body.port.type_name, "%s", type_name);
  request.body.port.flags = static_cast<uint32_t>(flags);
  request.body.port.buffer_size = static_cast<uint32_t>(buffer_size);
  request.body.port.client_id = client->control->uuid;
  if (tamb::request_send(client, &request) != 0) {
    TAMB_ERROR("cannot deliver port registration request");
    return nullptr;
  }

  uint32_t port_id = request.body.port.port_id;
  if (port_id >= client->engine_control->port_capacity) {
    TAMB_ERROR("server answered port registration with invalid port id %u", port_id);
    return nullptr;
  }
  tamb_port_t *port = tamb_port_new(client, port_id, client->engine_control);
  if (port == nullptr || !list_push(&client->own_ports, port)) {
    if (port != nullptr) port_free(port);
    TAMB_ERROR("cannot allocate client side port structure");
    return nullptr;
  }
  return port;
}

TAMB_API int tamb_port_unregister(tamb_client_t *client, tamb_port_t *port) {
  tamb_request_t request;
  memset(&request, 0, sizeof request);
  request.type = TAMB_REQ_PORT_UNREGISTER;
  request.body.port.port_id = port->shared->id;
  request.body.port.client_id = client->control->uuid;
  return tamb::request_send(client, &request);
}

TAMB_API int tamb_port_name_equals(const tamb_port_shared_t *record, const char *name) {
  if (name == nullptr) return 0;
  char mapped[alsa_mapped_max + 1];
  if (starts_with(name, alsa_capture) || starts_with(name, alsa_playback)) {
    snprintf(mapped, sizeof mapped, "alsa_pcm%s", name + alsa_replaced);
    name = mapped;
  }
  return field_equals(record->name, record_text, name) ||
         field_equals(record->alias1, record_text, name) ||
         field_equals(record->alias2, record_text, name);
}

TAMB_API tamb_port_t *tamb_port_by_id_int(tamb_client_t *client, uint32_t port_id, int *made) {
  tamb_port_t *port = list_find_id(client, client->own_ports, port_id);
  if (port != nullptr) {
    *made = 0;
    return port;
  }
  tamb_control_t *control = client->engine_control;
  if (port_id >= control->port_capacity || control->port_table[port_id].in_use == 0) {
    return nullptr;
  }
  *made = 1;
  return tamb_port_new(client, port_id, control);
}

TAMB_API tamb_port_t *tamb_port_by_name_int(tamb_client_t *client, const char *port_name,
                                            int *made) {
  if (port_name == nullptr) return nullptr;
  tamb_port_t *port = list_find_name(client, client->own_ports, port_name);
  if (port != nullptr) {
    *made = 0;
    return port;
  }
  tamb_control_t *control = client->engine_control;
  for (uint32_t id = 0; id < control->port_capacity; ++id) {
    const tamb_port_shared_t *record = &control->port_table[id];
    if (record->in_use != 0 && tamb_port_name_equals(record, port_name)) {
      *made = 1;
      return tamb_port_new(client, id, control);
    }
  }
  return nullptr;
}

// An object that cannot be kept on foreign_ports is freed: the list owns every object a lookup
// hands out, so a caller must never receive one outside it.
static tamb_port_t *keep_foreign(tamb_client_t *client, tamb_port_t *port, int made) {
  if (port == nullptr || made == 0) return port;
  if (list_push(&client->foreign_ports, port)) return port;
  port_free(port);
  return nullptr;
}

TAMB_API tamb_port_t *tamb_port_by_id(tamb_client_t *client, uint32_t port_id) {
  tamb_port_t *port = list_find_id(client, client->foreign_ports, port_id);
  if (port != nullptr) return port;
  int made = 0;
  port = tamb_port_by_id_int(client, port_id, &made);
  return keep_foreign(client, port, made);
}

TAMB_API tamb_port_t *tamb_port_by_name(tamb_client_t *client, const char *port_name) {
  if (port_name == nullptr) return nullptr;
  tamb_port_t *port = list_find_name(client, client->foreign_ports, port_name);
  if (port != nullptr) return port;
  int made = 0;
  port = tamb_port_by_name_int(client, port_name, &made);
  return keep_foreign(client, port, made);
}

TAMB_API int tamb_port_connected(const tamb_port_t *port) {
  int count = 0;
  for (const tamb_slist_t *node = port->connections; node != nullptr; node = node->next) ++count;
  return count;
}

TAMB_API int tamb_port_connected_to(tamb_port_t *port, const char *port_name) {
  int found = 0;
  pthread_mutex_lock(&port->connection_lock);
  for (tamb_slist_t *node = port->connections; node != nullptr; node = node->next) {
    if (tamb_port_name_equals(static_cast<tamb_port_t *>(node->data)->shared, port_name)) {
      found = 1;
      break;
    }
  }
  pthread_mutex_unlock(&port->connection_lock);
  return found;
}

TAMB_API const char **tamb_port_get_connections(tamb_port_t *port) {
  pthread_mutex_lock(&port->connection_lock);
  const char **names = nullptr;
  size_t count = static_cast<size_t>(tamb_port_connected(port));
  if (count > 0) names = static_cast<const char **>(malloc((count + 1) * sizeof(char *)));
  if (names != nullptr) {
    size_t i = 0;
    for (tamb_slist_t *node = port->connections; node != nullptr; node = node->next) {
      // Counted under the same lock, the list cannot have grown since.
      TAMB_CHECK(i < count);
      names[i++] = static_cast<tamb_port_t *>(node->data)->shared->name;
    }
    names[count] = nullptr;
  }
  pthread_mutex_unlock(&port->connection_lock);
  return names;
}

// Ids that name no port in use are skipped, so the list holds only ports that exist; every id
// is still read, to keep the request channel in step with the server.
TAMB_API const char **tamb_port_get_all_connections(tamb_client_t *client, tamb_port_t *port) {
  if (port == nullptr) return nullptr;
  tamb_request_t request;
  memset(&request, 0, sizeof request);
  request.type = TAMB_REQ_PORT_GET_CONNECTIONS;
  request.body.port.port_id = port->shared->id;
  request.status = -1;
  tamb::request_send(client, &request);
  if (request.status != 0) return nullptr;
  uint32_t count = request.body.connections.count;
  if (count == 0) return nullptr;
  if (client->request_fd < 0) return request.body.connections.ports;

  auto *names =
      static_cast<const char **>(malloc((static_cast<size_t>(count) + 1) * sizeof(char *)));
  if (names == nullptr) {
    discard_port_ids(client->request_fd, count);
    return nullptr;
  }
  size_t found = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t port_id;
    if (!read_exactly(client->request_fd, &port_id, sizeof port_id)) {
      TAMB_ERROR("cannot read port id from server");
      free(static_cast<void *>(names));
      return nullptr;
    }
    int made = 0;
    tamb_port_t *other = tamb_port_by_id_int(client, port_id, &made);
    if (other == nullptr) continue;
    names[found++] = other->shared->name;
    if (made) port_free(other);
  }
  names[found] = nullptr;
  return names;
}

TAMB_API const char *tamb_port_name(const tamb_port_t *port) { return port->shared->name; }

// A name without the client part's ":" is its own short name.
TAMB_API const char *tamb_port_short_name(const tamb_port_t *port) {
  const char *colon = strchr(port->shared->name, ':');
  return colon != nullptr ? colon + 1 : port->shared->name;
}

TAMB_API tamb_uuid_t tamb_port_uuid(const tamb_port_t *port) { return port->shared->uuid; }

TAMB_API int tamb_port_flags(const tamb_port_t *port) {
  return static_cast<int>(port->shared->flags);
}

TAMB_API const char *tamb_port_type(const tamb_port_t *port) { return port->type_info->type_name; }

TAMB_API int tamb_port_is_mine(const tamb_client_t *client, const tamb_port_t *port) {
  return tamb_uuid_compare(port->shared->client_id, client->control->uuid) == 0;
}

TAMB_API int tamb_port_set_name(tamb_port_t *port, const char *port_name) {
  char *name = port->shared->name;
  if (port_name == nullptr || field_equals(name, record_text, port_name)) return 0;
  char *colon = static_cast<char *>(memchr(name, ':', record_text));
  if (colon == nullptr) return 0;
  size_t p = static_cast<size_t>(colon - name);
  if (p + 1 < renamed_full_name_max) {
    snprintf(colon + 1, renamed_full_name_max - p, "%s", port_name);
  }
  return 0;
}

TAMB_API int tamb_port_rename(tamb_client_t *client, tamb_port_t *port, const char *port_name) {
  char old_name[record_text + 1];
  snprintf(old_name, sizeof old_name, "%.*s", static_cast<int>(record_text), port->shared->name);
  int result = tamb_port_set_name(port, port_name);

  tamb_request_t request;
  memset(&request, 0, sizeof request);
  request.type = TAMB_REQ_PORT_RENAME;
  request_name_write(request.body.rename.old_name, old_name);
  request_name_write(request.body.rename.new_name, port_name != nullptr ? port_name : "");
  tamb::request_send(client, &request);
  return result;
}

TAMB_API int tamb_port_set_alias(tamb_port_t *port, const char *alias) {
  tamb_port_shared_t *record = port->shared;
  char *field = nullptr;
  if (record->alias1[0] == '\0') {
    field = record->alias1;
  } else if (record->alias2[0] == '\0') {
    field = record->alias2;
  } else {
    return -1;
  }
  snprintf(field, record_text, "%s", alias);
  return 0;
}

TAMB_API int tamb_port_unset_alias(tamb_port_t *port, const char *alias) {
  tamb_port_shared_t *record = port->shared;
  if (field_equals(record->alias1, record_text, alias)) {
    record->alias1[0] = '\0';
    return 0;
  }
  if (field_equals(record->alias2, record_text, alias)) {
    record->alias2[0] = '\0';
    return 0;
  }
  return -1;
}

TAMB_API int tamb_port_get_aliases(const tamb_port_t *port, char *const aliases[2]) {
  const tamb_port_shared_t *record = port->shared;
  int count = 0;
  if (record->alias1[0] != '\0') {
    snprintf(aliases[0], record_text, "%.*s", static_cast<int>(record_text), record->alias1);
    ++count;
  }
  if (record->alias2[0] != '\0') {
    snprintf(aliases[1], record_text, "%.*s", static_cast<int>(record_text), record->alias2);
    ++count;
  }
  return count;
}

TAMB_API uint32_t tamb_port_get_latency(const tamb_port_t *port) { return port->shared->latency; }

TAMB_API uint32_t tamb_port_get_total_latency(tamb_client_t *, const tamb_port_t *port) {
  return port->shared->total_latency;
}

TAMB_API void tamb_port_set_latency(tamb_port_t *port, uint32_t frames) {
  tamb_port_shared_t *record = port->shared;
  record->latency = frames;
  if (record->flags & TAMB_PORT_IS_OUTPUT) {
    record->capture_latency.min = frames;
    record->capture_latency.max = frames;
  }
  if (record->flags & TAMB_PORT_IS_INPUT) {
    record->playback_latency.min = frames;
    record->playback_latency.max = frames;
  }
}

TAMB_API void tamb_port_set_latency_range(tamb_port_t *port, tamb_latency_mode_t mode,
                                          const tamb_latency_range_t *range) {
  tamb_port_shared_t *record = port->shared;
  uint32_t end_flag;
  if (mode == TAMB_LATENCY_CAPTURE) {
    record->capture_latency = *range;
    end_flag = TAMB_PORT_IS_OUTPUT;
  } else {
    record->playback_latency = *range;
    end_flag = TAMB_PORT_IS_INPUT;
  }
  uint32_t physical_end = end_flag | TAMB_PORT_IS_PHYSICAL;
  if ((record->flags & physical_end) == physical_end) {
    record->latency = (range->min + range->max) / 2;
  }
}

TAMB_API void tamb_port_get_latency_range(const tamb_port_t *port, tamb_latency_mode_t mode,
                                          tamb_latency_range_t *range) {
  *range =
      mode == TAMB_LATENCY_CAPTURE ? port->shared->capture_latency : port->shared->playback_latency;
}

// The lock is held across the whole walk: a disconnection frees its node, so the walk may not
// step to a node's successor after letting go. The ports connected to an input are outputs,
// whose own requests end before they would lock, so the walk still holds one lock at a time.
TAMB_API int tamb_port_request_monitor(tamb_port_t *port, int onoff) {
  monitor_count(port->shared, onoff);
  if (is_output(port->shared)) return 0;
  pthread_mutex_lock(&port->connection_lock);
  for (tamb_slist_t *node = port->connections; node != nullptr; node = node->next) {
    tamb_port_request_monitor(static_cast<tamb_port_t *>(node->data), onoff);
  }
  pthread_mutex_unlock(&port->connection_lock);
  return 0;
}

TAMB_API int tamb_port_request_monitor_by_name(tamb_client_t *client, const char *port_name,
                                               int onoff) {
  if (port_name == nullptr) return -1;
  tamb_control_t *control = client->engine_control;
  for (uint32_t id = 0; id < control->port_capacity; ++id) {
    tamb_port_shared_t *record = &control->port_table[id];
    if (record->in_use != 0 && field_equals(record->name, record_text, port_name)) {
      monitor_count(record, onoff);
      return 0;
    }
  }
  return -1;
}

TAMB_API int tamb_port_ensure_monitor(tamb_port_t *port, int yn) {
  tamb_port_shared_t *record = port->shared;
  if (yn && record->monitor_requests == 0) {
    record->monitor_requests = 1;
  } else if (!yn && record->monitor_requests != 0) {
    record->monitor_requests = 0;
  }
  return 0;
}

TAMB_API int tamb_port_monitoring_input(const tamb_port_t *port) {
  return port->shared->monitor_requests != 0;
}

TAMB_API int tamb_port_tie(tamb_port_t *src, tamb_port_t *dst) {
  if (src->shared->client_id != dst->shared->client_id) {
    TAMB_ERROR("cannot tie ports not owned by the same client");
    return -1;
  }
  if (!is_output(dst->shared)) {
    TAMB_ERROR("cannot tie an input port");
    return -1;
  }
  dst->tied = src;
  return 0;
}

TAMB_API int tamb_port_untie(tamb_port_t *port) {
  if (port->tied == nullptr) {
    TAMB_ERROR("port \"%s\" is not tied", port->shared->name);
    return -1;
  }
  port->tied = nullptr;
  return 0;
}

}  // extern "C"
