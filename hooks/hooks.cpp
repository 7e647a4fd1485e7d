// SPDX-License-Identifier: MIT
// The hooks libtamb expects from a program besides the log: server directory, request delivery,
// processor features.
#include "hooks.h"

#include <cpuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace hooks {
namespace {

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
