// SPDX-License-Identifier: MIT
// Chapter: the shared-memory registry. A server registers, keeps its control blocks in segments
// listed in the registry, a second server dies without cleaning up, and the registry shows who
// holds what before and after another process tidies up.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <map>
#include <string>

#include "demo.h"
#include "kit.h"
#include "tamb/tamb.h"

namespace {

using Labels = std::map<int, std::string>;

// The registry is machine-wide unless the demo got an IPC namespace of its own at start-up
// (then its namespace differs from that of the program that started it). A demo must never
// register beside a real server.
bool ipc_namespace_is_private() {
  struct stat own;
  struct stat outside;
  std::string parent = "/proc/" + std::to_string(getppid()) + "/ns/ipc";
  return stat("/proc/self/ns/ipc", &own) == 0 && stat(parent.c_str(), &outside) == 0 &&
         own.st_ino != outside.st_ino;
}

// Runs body in a process of its own and returns its exit status (-1 when it did not exit).
template <typename Body>
int in_process(Body body) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    int result = body();
    fflush(stdout);
    _exit(result);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Prints the registry as any process sees it: attached read-only by its key.
void print_registry(const char *when, const Labels &labels) {
  int id = shmget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  void *address = id == -1 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, SHM_RDONLY);
  if (address == reinterpret_cast<void *>(-1)) {
    printf("  (no registry to show)\n");
    return;
  }
  const auto *header = static_cast<const tamb_shm_header_t *>(address);
  const auto *entries = reinterpret_cast<const tamb_shm_registry_t *>(
      static_cast<const char *>(address) + TAMB_REGISTRY_HEADER_SIZE);

  printf("  %s\n\n", when);
  printf("    %-4s  %-7s  %-5s  %s\n", "slot", "pid", "alive", "prefix");
  for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
    int32_t pid = header->servers[i].pid;
    if (pid == 0) continue;
    printf("    %-4d  %-7d  %-5s  %.256s\n", i, pid, tamb_shm_process_alive(pid) ? "yes" : "no",
           header->servers[i].prefix);
  }
  printf("\n    %-5s  %-7s  %-6s  %-6s  %s\n", "entry", "owner", "bytes", "shm id", "holds");
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    const tamb_shm_registry_t &entry = entries[i];
    if (entry.size == 0) continue;
    auto label = labels.find(i);
    const char *holds = label != labels.end()                      ? label->second.c_str()
                        : !tamb_shm_process_alive(entry.owner_pid) ? "left behind by a dead process"
                                                                   : "-";
    printf("    %-5d  %-7d  %-6d  %-6d  %s\n", i, entry.owner_pid, entry.size, entry.shm_id, holds);
  }
  printf("\n");
  shmdt(address);
}

int run_chapter() {
  hooks::log_set_echo(false);
  kit::Server server(16, 256, "demo");
  kit::Client *synth = server.add_client("synth");
  kit::Client *mixer = server.add_client("mixer");
  Labels labels = {{server.control_index(), "engine control block"},
                   {synth->control_segment.index, "client control block of \"synth\""},
                   {mixer->control_segment.index, "client control block of \"mixer\""}};
  const tamb_control_t *control = server.control();
  for (int type = 0; type < control->port_type_count; ++type) {
    const tamb_port_type_info_t &info = control->port_types[type];
    labels[info.segment_index] = "buffers of port type \"" + std::string(info.type_name) + "\"";
  }
  printf("  server \"demo\" registered (pid %d) and allocated its control blocks\n",
         static_cast<int>(getpid()));

  int crashed = in_process([] {
    tamb_shm_info_t segment = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
    if (tamb_register_server("studio", 0) != 0 || tamb_shmalloc(4096, &segment) != 0) return 1;
    return 0;  // ends without unregistering or freeing its segment
  });
  printf("  server \"studio\" registered, allocated 4096 bytes and died (status %d)\n", crashed);
  int twin = in_process([] { return tamb_register_server("demo", 0); });
  printf("  another live process registering as \"demo\" is refused with %d (EEXIST)\n\n", twin);

  print_registry("The registry while \"demo\" runs:", labels);

  int takeover = in_process([] {
    int result = tamb_register_server("studio", 0);
    tamb_cleanup_shm();
    tamb_unregister_server(nullptr);
    return result;
  });
  printf(
      "  a new \"studio\" takes over the dead one's slot (result %d); its clean-up removes\n"
      "  the segment the dead process left and keeps those of live processes, then it leaves\n\n",
      takeover);
  print_registry("The registry afterwards:", labels);
  return 0;
}

void show_registry() {
  printf(
      "A server registers under its name in one System V registry and keeps its shared records\n"
      "in segments listed there; clients attach each segment by its entry's index.\n\n");
  if (!ipc_namespace_is_private()) {
    printf(
        "  skipped: the demo has no IPC namespace of its own, so the registry is the\n"
        "  machine's, and the demo does not register beside a real server\n");
    return;
  }
  // The chapter's server runs in a process of its own, as a real one would; the demo's own
  // process stays unregistered for the chapters that follow.
  int status = in_process([] {
    try {
      return run_chapter();
    } catch (const std::exception &e) {
      printf("  the server could not start: %s\n", e.what());
      return 1;
    }
  });
  if (status != 0) printf("  (the chapter ended with status %d)\n", status);
}

TAMB_DEMO_CHAPTER(40, "Shared-memory registry", show_registry);

}  // namespace
