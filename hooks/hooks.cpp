// The hooks libtamb expects from a program: log, server directory, request delivery,
// processor features.
#include "hooks.h"

#include <cpuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace hooks {
namespace {

// The log hooks may run inside a process cycle, so they format into fixed slots and never
// allocate; readers copy out under the same lock.
constexpr size_t log_slots = 256;
constexpr size_t log_text_max = 512;

struct Slot {
  Level level;
  char text[log_text_max];
};

std::mutex log_lock;
Slot log_ring[log_slots];
uint64_t log_next = 0;  // total messages written since the last clear
std::atomic<bool> log_echo{true};

void log_add(Level level, const char *fmt, va_list args) {
  char text[log_text_max];
  vsnprintf(text, sizeof text, fmt, args);
  if (level != Level::trace && log_echo.load(std::memory_order_relaxed)) {
    fprintf(stderr, "tamb %s: %s\n", level == Level::error ? "error" : "info", text);
  }
  std::lock_guard<std::mutex> guard(log_lock);
  Slot &slot = log_ring[log_next % log_slots];
  slot.level = level;
  memcpy(slot.text, text, sizeof text);
  ++log_next;
}

std::mutex dir_lock;
std::string dir_root;

struct Handler {
  RequestHandler fn;
  void *arg;
};

constexpr int32_t request_types = 64;
std::mutex request_lock;  // the server carries out one request at a time
Handler handlers[request_types];
std::atomic<uint64_t> requests_delivered{0};

std::atomic<RequestForward> request_forward{nullptr};

}  // namespace

std::vector<Message> log_messages() {
  std::lock_guard<std::mutex> guard(log_lock);
  std::vector<Message> out;
  uint64_t first = log_next > log_slots ? log_next - log_slots : 0;
  for (uint64_t i = first; i < log_next; ++i) {
    const Slot &slot = log_ring[i % log_slots];
    out.push_back({slot.level, slot.text});
  }
  return out;
}

bool log_has(Level level, std::string_view text) {
  for (const Message &m : log_messages()) {
    if (m.level == level && m.text == text) return true;
  }
  return false;
}

size_t log_count(Level level) {
  size_t n = 0;
  for (const Message &m : log_messages()) n += m.level == level;
  return n;
}

void log_clear() {
  std::lock_guard<std::mutex> guard(log_lock);
  log_next = 0;
}

void log_set_echo(bool echo) { log_echo.store(echo); }

void server_dir_set_root(const std::string &root) {
  std::lock_guard<std::mutex> guard(dir_lock);
  dir_root = root;
}

void request_set_handler(int32_t type, RequestHandler handler, void *arg) {
  if (type < 0 || type >= request_types) abort();
  std::lock_guard<std::mutex> guard(request_lock);
  handlers[type] = {handler, arg};
}

uint64_t request_count() { return requests_delivered.load(); }

void request_set_forward(RequestForward forward) { request_forward.store(forward); }

int32_t cpu_detect() {
  unsigned eax, ebx, ecx, edx;
  int32_t type = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    if (edx & bit_SSE) type |= 1 << 1;
    if (edx & bit_SSE2) type |= 1 << 2;
    if (ecx & bit_SSE3) type |= 1 << 3;
  }
  if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) && (edx & bit_3DNOW)) type |= 1 << 8;
  return type;
}

}  // namespace hooks

extern "C" {

int32_t cpu_type = hooks::cpu_detect();

void tamb_error(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  hooks::log_add(hooks::Level::error, fmt, args);
  va_end(args);
}

void tamb_info(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  hooks::log_add(hooks::Level::info, fmt, args);
  va_end(args);
}

void tamb_messagebuffer_add(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  hooks::log_add(hooks::Level::trace, fmt, args);
  va_end(args);
}

// Creates <root>/<name> with mode 0700 on the way; the caller learns of a failure when it
// opens something there.
char *tamb_server_dir(const char *server_name, char *buf) {
  std::string root;
  {
    std::lock_guard<std::mutex> guard(hooks::dir_lock);
    root = hooks::dir_root;
  }
  if (root.empty()) root = "/tmp/tamb-" + std::to_string(getuid());
  mkdir(root.c_str(), 0700);
  snprintf(buf, TAMB_PATH_MAX + 1, "%s/%s", root.c_str(),
           server_name != nullptr && server_name[0] != '\0' ? server_name : "default");
  mkdir(buf, 0700);
  return buf;
}

int tamb_client_deliver_request(tamb_client_t *client, tamb_request_t *request) {
  if (request == nullptr) return EINVAL;
  hooks::requests_delivered.fetch_add(1);
  // In a client process the server is at the other end of the request channel.
  if (hooks::RequestForward forward = hooks::request_forward.load()) return forward(request);
  int32_t type = request->type;
  std::lock_guard<std::mutex> guard(hooks::request_lock);
  int result = ENOSYS;
  if (type >= 0 && type < hooks::request_types && hooks::handlers[type].fn != nullptr) {
    result = hooks::handlers[type].fn(client, request, hooks::handlers[type].arg);
  }
  request->status = result;
  return result;
}

}  // extern "C"
