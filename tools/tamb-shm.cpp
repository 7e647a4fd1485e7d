// tamb-shm: shows the shared-memory registry and frees what dead processes left in it.
//
// The registry is attached and validated by the library (tamb_initialize_shm), which also
// reports a registry it refuses; segments of dead processes are freed by the library's own
// clean-up (tamb_cleanup_shm). The tool reads the registry under the registry semaphore, taken
// the way the library takes it, and frees the slots of dead servers under it itself, because
// the library frees only the caller's own slots. A dry run predicts what the clean-up frees with
// the clean-up's own rules, repeated here.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tamb/shm.h"

namespace {

constexpr int exit_nothing = 1;
constexpr int exit_usage = 2;

const char usage_text[] =
    "Usage: tamb-shm [--json] [clean [--dry-run]]\n"
    "\n"
    "Shows the System V shared-memory registry that every server and client shares: the\n"
    "registered servers and the segments allocated through it, with whether their processes\n"
    "are alive.\n"
    "\n"
    "Commands:\n"
    "  (none), list  print every server slot and segment entry in use\n"
    "  clean         free the segment entries and segments of dead processes (also segments\n"
    "                they created and never recorded) and the slots of dead servers, and\n"
    "                say what was freed; live processes' and other users' are kept\n"
    "\n"
    "Options:\n"
    "  --dry-run     with clean: say what would be freed and change nothing\n"
    "  --json        print one JSON object instead of text\n"
    "  -h, --help    show this text and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when there is nothing to free or the registry is absent,\n"
    "incompatible or not accessible, 2 when the command line is wrong.\n";

// The whole registry, copied under the lock.
struct Snapshot {
  tamb_shm_header_t header;
  tamb_shm_registry_t entries[TAMB_REGISTRY_MAX_SEGMENTS];
};
static_assert(sizeof(Snapshot) == TAMB_REGISTRY_SEGMENT_SIZE, "a snapshot is the segment");

enum class Presence { exists, missing, unknown };

// A private segment that a dead entry owner created and no entry names: it died between
// creating the segment and recording its id.
struct Unrecorded {
  int shm_id;
  int32_t creator;
  size_t size;
  long attached;
};

using Entries = std::vector<std::pair<int, tamb_shm_registry_t>>;

struct Options {
  bool json = false;
  bool clean = false;
  bool dry_run = false;
};

Snapshot *registry = nullptr;
int semid = -1;

int usage_error(const char *fmt, const char *what) {
  fprintf(stderr, "tamb-shm: ");
  fprintf(stderr, fmt, what);
  fprintf(stderr, "\nTry 'tamb-shm --help'.\n");
  return exit_usage;
}

// The library's test: a process is gone only when the system says there is no such process.
// One that belongs to another user (EPERM) is alive and its entries are kept.
bool process_is_alive(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); }

// The entry's id names its segment only while a segment of the entry's size has it: ids of
// removed segments are given out again.
Presence segment_presence(const tamb_shm_registry_t &entry, long *attached) {
  shmid_ds status{};
  *attached = -1;
  if (shmctl(entry.shm_id, IPC_STAT, &status) == -1) {
    return errno == EACCES ? Presence::unknown : Presence::missing;
  }
  if (status.shm_segsz != static_cast<size_t>(static_cast<uint32_t>(entry.size))) {
    return Presence::missing;
  }
  *attached = static_cast<long>(status.shm_nattch);
  return Presence::exists;
}

// The segment an entry names, when its id still names a private segment of the entry's size.
bool entry_segment(const tamb_shm_registry_t &entry, shmid_ds *status) {
  if (entry.shm_id < 0 || entry.size <= 0) return false;
  if (shmctl(entry.shm_id, IPC_STAT, status) == -1) return false;
  return status->shm_perm.__key == IPC_PRIVATE &&
         status->shm_segsz == static_cast<size_t>(entry.size);
}

// The clean-up frees the entries of dead owners, and those with a size and no owner (left by a
// process killed while it filled one) unless a live process created the segment they name.
bool entry_is_freed(const tamb_shm_registry_t &entry) {
  if (entry.owner_pid != 0) return !process_is_alive(entry.owner_pid);
  shmid_ds status{};
  return entry.size != 0 && !(entry_segment(entry, &status) && process_is_alive(status.shm_cpid));
}

bool segment_is_named(const Snapshot &snapshot, int id) {
  for (const tamb_shm_registry_t &entry : snapshot.entries) {
    if (entry.size != 0 && entry.shm_id == id) return true;
  }
  return false;
}

// The segments the clean-up frees besides those of entries: private segments of this user,
// not being removed already, that a dead entry owner created and no entry names.
std::vector<Unrecorded> unrecorded_find(const Snapshot &snapshot) {
  std::vector<int32_t> dead;
  for (const tamb_shm_registry_t &entry : snapshot.entries) {
    if (entry.owner_pid > 0 && !process_is_alive(entry.owner_pid)) dead.push_back(entry.owner_pid);
  }
  std::vector<Unrecorded> found;
  if (dead.empty()) return found;
  shm_info usage{};
  int last = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds *>(&usage));
  uid_t user = geteuid();
  for (int slot = 0; slot <= last; ++slot) {
    shmid_ds status{};
    int id = shmctl(slot, SHM_STAT, &status);
    if (id == -1 || status.shm_perm.__key != IPC_PRIVATE) continue;
    if (status.shm_perm.cuid != user || status.shm_perm.uid != user) continue;
    if ((status.shm_perm.mode & SHM_DEST) != 0 || segment_is_named(snapshot, id)) continue;
    int32_t creator = status.shm_cpid;
    if (std::find(dead.begin(), dead.end(), creator) == dead.end()) continue;
    found.push_back({id, creator, status.shm_segsz, static_cast<long>(status.shm_nattch)});
  }
  return found;
}

// Gone, or going once the last process that has it attached lets it go.
bool segment_is_removed(int id) {
  shmid_ds status{};
  return shmctl(id, IPC_STAT, &status) == -1 || (status.shm_perm.mode & SHM_DEST) != 0;
}

// Waits for the registry as long as it takes, resuming waits that signals interrupt; SEM_UNDO
// gives the lock back should the tool be killed while it holds it.
bool semaphore_change(short delta) {
  sembuf op = {0, delta, SEM_UNDO};
  while (semop(semid, &op, 1) == -1) {
    if (errno != EINTR) return false;
  }
  return true;
}

void registry_lock() {
  if (semaphore_change(-1)) return;
  fprintf(stderr, "tamb-shm: cannot take the registry lock (%s)\n", strerror(errno));
  exit(exit_nothing);
}

void registry_unlock() {
  if (semaphore_change(1)) return;
  fprintf(stderr, "tamb-shm: cannot give the registry lock back (%s)\n", strerror(errno));
  exit(exit_nothing);
}

Snapshot registry_read() {
  Snapshot copy;
  registry_lock();
  memcpy(&copy, registry, sizeof copy);
  registry_unlock();
  return copy;
}

void json_string(const char *text, size_t length) {
  putchar('"');
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      printf("\\%c", c);
    } else if (c < 0x20 || c >= 0x7f) {
      printf("\\u%04x", c);
    } else {
      putchar(c);
    }
  }
  putchar('"');
}

// The prefix comes from shared memory: it may lack its NUL or hold bytes a terminal should
// not receive.
std::string prefix_text(const tamb_shm_server_t &slot) {
  std::string text(slot.prefix, strnlen(slot.prefix, sizeof slot.prefix));
  for (char &c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return text;
}

void print_slot(const Options &options, int i, const tamb_shm_server_t &slot, bool first) {
  bool alive = process_is_alive(slot.pid);
  if (options.json) {
    printf("%s{\"slot\":%d,\"pid\":%d,\"alive\":%s,\"prefix\":", first ? "" : ",", i,
           static_cast<int>(slot.pid), alive ? "true" : "false");
    json_string(slot.prefix, strnlen(slot.prefix, sizeof slot.prefix));
    putchar('}');
  } else {
    printf("  %-5d %-8d %-6s %s\n", i, static_cast<int>(slot.pid), alive ? "alive" : "dead",
           prefix_text(slot).c_str());
  }
}

void print_entry(const Options &options, const tamb_shm_registry_t &entry, int i, bool first) {
  bool alive = process_is_alive(entry.owner_pid);
  long attached = -1;
  Presence presence = segment_presence(entry, &attached);
  static const char *const words[] = {"exists", "missing", "unknown"};
  static const char *const json_words[] = {"true", "false", "null"};
  int p = static_cast<int>(presence);
  if (options.json) {
    printf(
        "%s{\"index\":%d,\"owner_pid\":%d,\"alive\":%s,\"size\":%d,\"shm_id\":%d,"
        "\"exists\":%s,\"attached\":",
        first ? "" : ",", i, static_cast<int>(entry.owner_pid), alive ? "true" : "false",
        static_cast<int>(entry.size), static_cast<int>(entry.shm_id), json_words[p]);
    if (attached < 0) {
      printf("null}");
    } else {
      printf("%ld}", attached);
    }
  } else {
    std::string count = attached < 0 ? "-" : std::to_string(attached);
    printf("  %-5d %-8d %-6s %-10d %-8d %-8s %s\n", i, static_cast<int>(entry.owner_pid),
           alive ? "alive" : "dead", static_cast<int>(entry.size), static_cast<int>(entry.shm_id),
           count.c_str(), words[p]);
  }
}

int run_list(const Options &options) {
  Snapshot snapshot = registry_read();
  if (options.json) {
    printf("{\"registry\":\"ok\",\"servers\":[");
  } else {
    printf("servers:\n  %-5s %-8s %-6s %s\n", "slot", "pid", "state", "prefix");
  }
  bool first = true;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
    if (snapshot.header.servers[i].pid == 0) continue;
    print_slot(options, i, snapshot.header.servers[i], first);
    first = false;
  }
  if (options.json) {
    printf("],\"segments\":[");
  } else {
    printf("segments:\n  %-5s %-8s %-6s %-10s %-8s %-8s %s\n", "index", "owner", "state", "size",
           "shm id", "attached", "segment");
  }
  first = true;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    if (snapshot.entries[i].size == 0) continue;
    print_entry(options, snapshot.entries[i], i, first);
    first = false;
  }
  if (options.json) printf("]}\n");
  return 0;
}

// Frees the slots of dead servers under the lock; with dry_run only finds them. Returns the
// slots as they were.
std::vector<std::pair<int, tamb_shm_server_t>> servers_clean(bool dry_run) {
  std::vector<std::pair<int, tamb_shm_server_t>> dead;
  registry_lock();
  for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
    tamb_shm_server_t &slot = registry->header.servers[i];
    if (slot.pid == 0 || process_is_alive(slot.pid)) continue;
    dead.emplace_back(i, slot);
    if (!dry_run) memset(&slot, 0, sizeof slot);
  }
  registry_unlock();
  return dead;
}

// The library's clean-up frees entries of dead owners; what it freed is what was held by a dead
// owner (or half-filled) before and is no longer that same entry after. Of the unrecorded
// segments found before, those it freed are removed after.
Entries entries_clean(bool dry_run, std::vector<Unrecorded> *unrecorded) {
  Snapshot before = registry_read();
  *unrecorded = unrecorded_find(before);
  if (!dry_run) tamb_cleanup_shm();
  Snapshot after = dry_run ? before : registry_read();
  Entries freed;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    const tamb_shm_registry_t &was = before.entries[i];
    const tamb_shm_registry_t &now = after.entries[i];
    if (was.owner_pid == 0 && was.size == 0) continue;
    if (was.owner_pid != 0 && process_is_alive(was.owner_pid)) continue;
    bool kept = now.owner_pid == was.owner_pid && now.shm_id == was.shm_id && now.size == was.size;
    if (dry_run ? entry_is_freed(was) : !kept) freed.emplace_back(i, was);
  }
  if (!dry_run) {
    std::erase_if(*unrecorded,
                  [](const Unrecorded &segment) { return !segment_is_removed(segment.shm_id); });
  }
  return freed;
}

void print_unrecorded(const Options &options, const Unrecorded &segment, bool first) {
  if (options.json) {
    printf("%s{\"shm_id\":%d,\"creator_pid\":%d,\"size\":%zu,\"attached\":%ld}", first ? "" : ",",
           segment.shm_id, static_cast<int>(segment.creator), segment.size, segment.attached);
  } else {
    printf("%s unrecorded segment shm id %d of dead pid %d (%zu bytes)\n",
           options.dry_run ? "would free" : "freed", segment.shm_id,
           static_cast<int>(segment.creator), segment.size);
  }
}

int run_clean(const Options &options) {
  auto servers = servers_clean(options.dry_run);
  std::vector<Unrecorded> unrecorded;
  auto entries = entries_clean(options.dry_run, &unrecorded);
  const char *verb = options.dry_run ? "would free" : "freed";
  if (options.json) {
    printf("{\"registry\":\"ok\",\"dry_run\":%s,\"servers\":[", options.dry_run ? "true" : "false");
    for (size_t i = 0; i < servers.size(); ++i) {
      print_slot(options, servers[i].first, servers[i].second, i == 0);
    }
    printf("],\"segments\":[");
    for (size_t i = 0; i < entries.size(); ++i) {
      print_entry(options, entries[i].second, entries[i].first, i == 0);
    }
    printf("],\"unrecorded\":[");
    for (size_t i = 0; i < unrecorded.size(); ++i) print_unrecorded(options, unrecorded[i], i == 0);
    printf("]}\n");
  } else {
    for (const auto &[i, slot] : servers) {
      printf("%s server slot %d of dead pid %d (%s)\n", verb, i, static_cast<int>(slot.pid),
             prefix_text(slot).c_str());
    }
    for (const auto &[i, entry] : entries) {
      std::string owner = entry.owner_pid == 0
                              ? std::string("no owner")
                              : "dead pid " + std::to_string(static_cast<int>(entry.owner_pid));
      printf("%s segment entry %d of %s (%d bytes, shm id %d)\n", verb, i, owner.c_str(),
             static_cast<int>(entry.size), static_cast<int>(entry.shm_id));
    }
    for (const Unrecorded &segment : unrecorded) print_unrecorded(options, segment, false);
    if (servers.empty() && entries.empty() && unrecorded.empty()) {
      printf("nothing to free\n");
    } else {
      // Without unrecorded segments the summary keeps the words it always had.
      std::string counts = std::to_string(servers.size()) + " server slot" +
                           (servers.size() == 1 ? "" : "s") +
                           (unrecorded.empty() ? " and " : ", ") + std::to_string(entries.size()) +
                           " segment entr" + (entries.size() == 1 ? "y" : "ies");
      if (!unrecorded.empty()) {
        counts += " and " + std::to_string(unrecorded.size()) + " unrecorded segment" +
                  (unrecorded.size() == 1 ? "" : "s");
      }
      printf("%s %s%s\n", verb, counts.c_str(), options.dry_run ? "; nothing changed" : "");
    }
  }
  return servers.empty() && entries.empty() && unrecorded.empty() ? exit_nothing : 0;
}

// Reports a registry the tool will not use. The library has already said why when it refused
// the registry or could not reach it; a segment too small to be a registry it passes silently.
int refuse(const Options &options, int result) {
  const char *state = result == ENOENT                   ? "absent"
                      : result == EINVAL || result == -1 ? "incompatible"
                                                         : "inaccessible";
  if (result == ENOENT) {
    fprintf(stderr, "tamb-shm: no registry (key 0x%08x)\n", TAMB_REGISTRY_IPC_KEY);
  } else if (result == EINVAL) {
    fprintf(stderr, "tamb error: Incompatible shm registry, are tambd and libtamb in sync?\n");
  }
  if (result == EINVAL || result == -1) {
    fprintf(stderr, "tamb-shm: registry left alone; to delete, use `ipcrm -M 0x%08x'\n",
            TAMB_REGISTRY_IPC_KEY);
  }
  if (options.json) printf("{\"registry\":\"%s\"}\n", state);
  return exit_nothing;
}

// Attaches the registry the library validated; the library keeps its own attachment.
int registry_open() {
  int id = shmget(TAMB_REGISTRY_IPC_KEY, TAMB_REGISTRY_SEGMENT_SIZE, 0);
  void *address = id == -1 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, 0);
  semid = semget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  if (address == reinterpret_cast<void *>(-1) || semid == -1) {
    fprintf(stderr, "tamb-shm: unable to access shm registry (%s)\n", strerror(errno));
    return -1;
  }
  registry = static_cast<Snapshot *>(address);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  bool command_seen = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      fputs(usage_text, stdout);
      return 0;
    }
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--dry-run") {
      options.dry_run = true;
    } else if ((arg == "list" || arg == "clean") && !command_seen) {
      options.clean = arg == "clean";
      command_seen = true;
    } else if (arg[0] == '-') {
      return usage_error("unknown option '%s'", argv[i]);
    } else {
      return usage_error("unexpected argument '%s'", argv[i]);
    }
  }
  if (options.dry_run && !options.clean) return usage_error("%s goes with clean", "--dry-run");

  int result = tamb_initialize_shm(nullptr);
  if (result != 0) return refuse(options, result);
  if (registry_open() != 0) return refuse(options, EACCES);
  return options.clean ? run_clean(options) : run_list(options);
}
