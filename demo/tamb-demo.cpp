// SPDX-License-Identifier: MIT
// A walk through libtamb for a newcomer: each chapter shows one family at work.
#include <sched.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "demo.h"
#include "kit.h"
#include "tamb/tamb.h"

namespace {

struct Chapter {
  int order;
  const char *title;
  demo::Run run;
};

std::vector<Chapter> &chapters() {
  static std::vector<Chapter> all;
  return all;
}

void show_identifiers() {
  kit::Server server;
  printf(
      "Every client and port carries a 64-bit id: kind in the upper half (1 port, 2 client),\n"
      "serial in the lower half. The server hands them out; their text form is decimal.\n\n");
  kit::Client *client = server.add_client("demo");
  char text[TAMB_UUID_STRING_SIZE];
  tamb_uuid_t id = client->handle.control->uuid;
  tamb_uuid_unparse(id, text);
  printf("  client \"%s\": id %s (kind %u, serial %u)\n", client->handle.control->name, text,
         static_cast<unsigned>(id >> 32), static_cast<unsigned>(id));
  for (uint32_t port_id = 0; port_id < 3; ++port_id) {
    tamb_uuid_t port = tamb_port_uuid_generate(port_id);
    tamb_uuid_unparse(port, text);
    tamb_uuid_t parsed = 0;
    int ok = tamb_uuid_parse(text, &parsed);
    printf("  port id %u: uuid %-12s back to index %u, parses back %s\n", port_id, text,
           tamb_uuid_to_index(port), ok == 0 && parsed == port ? "intact" : "CHANGED");
  }
  tamb_uuid_t plain = 0;
  int result = tamb_uuid_parse("12", &plain);
  printf("  the text \"12\" parses to %lu but is refused (result %d): it has no kind\n",
         static_cast<unsigned long>(plain), result);
}

void show_records() {
  printf(
      "Server and clients share packed, byte-exact records; these sizes and offsets are a\n"
      "format, fixed at compile time.\n\n");
  printf("  %-34s %6zu bytes\n", "transport position", sizeof(tamb_position_t));
  printf("  %-34s %6zu bytes\n", "frame timer", sizeof(tamb_frame_timer_t));
  printf("  %-34s %6zu bytes\n", "client control block", sizeof(tamb_client_control_t));
  printf("  %-34s %6zu bytes\n", "port type entry", sizeof(tamb_port_type_info_t));
  printf("  %-34s %6zu bytes\n", "port record", sizeof(tamb_port_shared_t));
  printf("  %-34s %6zu bytes\n", "request to the server", sizeof(tamb_request_t));
  printf("  %-34s %6zu bytes + 927 per port\n", "engine control block", sizeof(tamb_control_t));
  printf(
      "\n  in the engine control block: sync_timeout at %zu, buffer_size at %zu,\n"
      "  port_table at %zu; in a request: status at %zu\n",
      offsetof(tamb_control_t, sync_timeout), offsetof(tamb_control_t, buffer_size),
      offsetof(tamb_control_t, port_table), offsetof(tamb_request_t, status));
}

void show_pool() {
  void *block = tamb_pool_alloc(1000);
  printf("  a block of 1000 bytes at %p: %s\n", block,
         reinterpret_cast<uintptr_t>(block) % 64 == 0 ? "on a 64-byte boundary" : "MISALIGNED");
  tamb_pool_release(block);
}

void show_link_probe() {
  printf("linkprobe checks that the DSP-language library links and creates its context.\n\n");
  // NOLINTNEXTLINE(bugprone-command-processor): a constant command, the probe built beside us
  FILE *probe = popen(TAMB_LINKPROBE_PATH " 2>&1", "r");
  if (probe == nullptr) {
    printf("  cannot start %s\n", TAMB_LINKPROBE_PATH);
    return;
  }
  char line[256];
  while (fgets(line, sizeof line, probe) != nullptr) printf("  probe says: %s", line);
  int status = pclose(probe);
  printf("  exit status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

TAMB_DEMO_CHAPTER(10, "Identifiers", show_identifiers);
TAMB_DEMO_CHAPTER(20, "Shared records", show_records);
TAMB_DEMO_CHAPTER(30, "Aligned blocks", show_pool);
TAMB_DEMO_CHAPTER(1000, "Link probe", show_link_probe);

}  // namespace

bool demo::add_chapter(int order, const char *title, Run run) {
  chapters().push_back({order, title, run});
  return true;
}

int main() {
  printf("libtamb demo: the shared core of a low-latency audio connection server\n");
  // The demo's server registers in a System V namespace of its own where the system allows
  // it, so that it never meets a real server's registry.
  bool isolated = kit::ipc_namespace_enter_private(nullptr);
  printf("(running in %s System V IPC namespace)\n", isolated ? "a private" : "the machine's");
  std::stable_sort(chapters().begin(), chapters().end(),
                   [](const Chapter &a, const Chapter &b) { return a.order < b.order; });
  for (const Chapter &chapter : chapters()) {
    printf("\n== %s ==\n\n", chapter.title);
    fflush(stdout);
    chapter.run();
  }
  return 0;
}
