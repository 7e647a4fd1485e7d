// SPDX-License-Identifier: MIT
// The shared-memory registry with arbitrary bytes in it: validation, server registration,
// segment allocation and the clean-up of dead processes' segments.
//
// Input: two control bytes, then the registry's 6200 bytes (a short input leaves the rest zero).
// Control byte 0: bits 0-2 pick a server slot, bit 3 writes this process's prefix into it and
// bit 4 its pid, so that the "already registered" and "held by a live process" paths are
// reached; bit 5 makes the entry picked by control byte 1 belong to this process. Control byte 1
// is also the entry index (as int8) handed to attach and release.
//
// Everything runs in a private IPC namespace, so shm ids taken from the input name only this
// process's segments. Process ids from the input are rewritten before use so that the state of
// the processes they name cannot change during the run, whatever else runs on the machine: an
// odd id names a helper child that lives as long as this process, an even one an id above any
// the kernel hands out; the control bits then add this process's own id. The library keeps the
// registry attached once it accepted it; every input is therefore written straight into the
// attached segment, through an attachment of our own, before the calls that read it. Validation
// runs for each input until the first one that passes it.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kit.h"
#include "tamb/shm.h"

namespace {

constexpr const char *kServer = "fuzz";

// The kernel's upper bound for /proc/sys/kernel/pid_max: no process ever has this id or above.
constexpr int32_t kNoProcess = 4194304;

void check(bool condition) {
  if (!condition) abort();
}

// A child that blocks on a pipe only this process writes to; it ends when this process does
// and the pipe closes, so its id stays taken for the whole run.
pid_t helper_pid() {
  static const pid_t pid = [] {
    int fds[2];
    check(pipe(fds) == 0);
    const pid_t child = fork();
    check(child != -1);
    if (child == 0) {
      close(fds[1]);
      char byte;
      ssize_t got;
      do {
        got = read(fds[0], &byte, 1);
      } while (got > 0 || (got < 0 && errno == EINTR));
      _exit(0);
    }
    close(fds[0]);
    return child;
  }();
  return pid;
}

// Ids that are not positive, or that no process can have, stay as they are.
int32_t stable_pid(int32_t pid) {
  if (pid <= 0 || pid >= kNoProcess) return pid;
  return (pid & 1) != 0 ? helper_pid() : kNoProcess + pid;
}

// Our own view of the registry segment; null when this system gives no private namespace.
uint8_t *registry_bytes() {
  static uint8_t *bytes = []() -> uint8_t * {
    std::string why;
    if (!kit::ipc_namespace_enter_private(&why)) {
      fprintf(stderr, "registry fuzzing skipped: %s\n", why.c_str());
      return nullptr;
    }
    hooks::log_set_echo(false);
    int id = shmget(TAMB_REGISTRY_IPC_KEY, TAMB_REGISTRY_SEGMENT_SIZE, IPC_CREAT | 0666);
    check(id != -1);
    void *address = shmat(id, nullptr, 0);
    check(address != reinterpret_cast<void *>(-1));
    return static_cast<uint8_t *>(address);
  }();
  return bytes;
}

tamb_shm_header_t *header() { return reinterpret_cast<tamb_shm_header_t *>(registry_bytes()); }

tamb_shm_registry_t *entry(int i) {
  return reinterpret_cast<tamb_shm_registry_t *>(registry_bytes() + TAMB_REGISTRY_HEADER_SIZE) + i;
}

std::string prefix() { return "/tamb-" + std::to_string(getuid()) + ":" + kServer + ":"; }

bool header_is_valid() {
  const tamb_shm_header_t *h = header();
  return h->magic == TAMB_REGISTRY_MAGIC && h->protocol == TAMB_REGISTRY_PROTOCOL &&
         h->shm_type == TAMB_SHM_TYPE_SYSV && h->segment_size == TAMB_REGISTRY_SEGMENT_SIZE &&
         h->header_size == TAMB_REGISTRY_HEADER_SIZE && h->entry_size == TAMB_REGISTRY_ENTRY_SIZE;
}

void registration() {
  const int result = tamb_register_server(kServer, 0);
  check(result == 0 || result == EEXIST || result == ENOSPC);
  int mine = 0;
  for (const tamb_shm_server_t &slot : header()->servers) {
    if (slot.pid == getpid() && strncmp(slot.prefix, prefix().c_str(), sizeof slot.prefix) == 0) {
      ++mine;
    }
  }
  if (result == 0) check(mine >= 1);
  check(tamb_unregister_server(kServer) == 0);
  for (const tamb_shm_server_t &slot : header()->servers) check(slot.pid != getpid());
}

// A segment of our own goes through its whole life on the registry as the input left it.
void allocation(int32_t size) {
  tamb_shm_info_t si = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  if (tamb_shmalloc(size, &si) != 0) return;
  check(si.index >= 0 && si.index < TAMB_REGISTRY_MAX_SEGMENTS);
  const tamb_shm_registry_t *taken = entry(si.index);
  check(taken->size == size && taken->owner_pid == getpid());
  if (tamb_attach_shm(&si) == 0) {
    static_cast<uint8_t *>(si.address)[size - 1] = 1;
    tamb_release_shm(&si);
  }
  tamb_destroy_shm(&si);
  check(entry(si.index)->size == 0);
}

// Attach and release by an index from the input: only an entry of this process may be freed.
void foreign_index(int16_t index) {
  tamb_shm_info_t si = {index, TAMB_SHM_NOT_ATTACHED};
  if (tamb_attach_shm(&si) == 0) tamb_release_shm(&si);
  const bool valid = index >= 0 && index < TAMB_REGISTRY_MAX_SEGMENTS;
  const tamb_shm_registry_t before = valid ? *entry(index) : tamb_shm_registry_t{};
  tamb_release_shm_info(index);
  if (valid && before.owner_pid != getpid()) {
    check(memcmp(entry(index), &before, sizeof before) == 0);
  }
}

// Clean-up frees exactly the entries of this process and of processes that are gone; of the
// entries with a size and no owner (left by a process killed while filling one) it may free
// those whose segment no live process made, and it keeps the rest as they were.
void cleanup() {
  tamb_shm_registry_t before[TAMB_REGISTRY_MAX_SEGMENTS];
  memcpy(before, entry(0), sizeof before);
  check(tamb_cleanup_shm() == 1);
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    const int32_t owner = before[i].owner_pid;
    const tamb_shm_registry_t *now = entry(i);
    if (owner == 0) {
      const bool freed = now->owner_pid == 0 && now->size == 0 && now->shm_id == 0;
      check((before[i].size != 0 && freed) || memcmp(now, &before[i], sizeof before[i]) == 0);
      continue;
    }
    const bool gone = owner != helper_pid();
    if (gone) {
      check(now->owner_pid == 0 && now->size == 0 && now->shm_id == 0);
    } else {
      check(memcmp(now, &before[i], sizeof before[i]) == 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool attached = false;
  if (registry_bytes() == nullptr || size < 2) return 0;
  const uint8_t control = data[0];
  const auto index = static_cast<int16_t>(static_cast<int8_t>(data[1]));
  data += 2;
  size -= 2;

  uint8_t *bytes = registry_bytes();
  memset(bytes, 0, TAMB_REGISTRY_SEGMENT_SIZE);
  memcpy(bytes, data, size < TAMB_REGISTRY_SEGMENT_SIZE ? size : TAMB_REGISTRY_SEGMENT_SIZE);
  for (tamb_shm_server_t &server : header()->servers) server.pid = stable_pid(server.pid);
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    entry(i)->owner_pid = stable_pid(entry(i)->owner_pid);
  }
  tamb_shm_server_t &slot = header()->servers[control & 7];
  if (control & 0x08) strncpy(slot.prefix, prefix().c_str(), sizeof slot.prefix);
  if (control & 0x10) slot.pid = getpid();
  if ((control & 0x20) && index >= 0) entry(index)->owner_pid = getpid();

  if (!attached) {
    // A registry that does not validate is refused, and is never reported as accepted.
    const int result = tamb_initialize_shm(kServer);
    check((result == 0) == header_is_valid());
    hooks::log_clear();
    if (result != 0) return 0;
    attached = true;
  }

  registration();
  allocation(1 + static_cast<int32_t>(control) * 16);
  foreign_index(index);
  cleanup();
  hooks::log_clear();
  return 0;
}
