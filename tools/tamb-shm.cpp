// SPDX-License-Identifier: MIT
// tamb-shm: shows the shared-memory registry and frees what dead processes left in it.
//
// Everything the tool does with the registry goes through the library: it attaches and
// validates the registry (tamb_initialize_shm, which also reports a registry it refuses), copies
// it under the registry semaphore (tamb_shm_snapshot), tells live processes from dead ones
// (tamb_shm_process_alive) and frees, or in a dry run finds, what dead processes left
// (tamb_shm_clean). The tool itself only asks the system about the segments it shows.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

struct Options {
  bool json = false;
  bool clean = false;
  bool dry_run = false;
};

int usage_error(const char *fmt, const char *what) {
  fprintf(stderr, "tamb-shm: ");
  fprintf(stderr, fmt, what);
  fprintf(stderr, "\nTry 'tamb-shm --help'.\n");
  return exit_usage;
}

enum class Presence { exists, missing, unknown };

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
  bool alive = tamb_shm_process_alive(slot.pid);
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
  bool alive = tamb_shm_process_alive(entry.owner_pid);
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
  tamb_shm_header_t header;
  tamb_shm_registry_t entries[TAMB_REGISTRY_MAX_SEGMENTS];
  if (tamb_shm_snapshot(&header, entries) != 0) return exit_nothing;
  if (options.json) {
    printf("{\"registry\":\"ok\",\"servers\":[");
  } else {
    printf("servers:\n  %-5s %-8s %-6s %s\n", "slot", "pid", "state", "prefix");
  }
  bool first = true;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
    if (header.servers[i].pid == 0) continue;
    print_slot(options, i, header.servers[i], first);
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
    if (entries[i].size == 0) continue;
    print_entry(options, entries[i], i, first);
    first = false;
  }
  if (options.json) printf("]}\n");
  return 0;
}

void print_unrecorded(const Options &options, const tamb_shm_segment_t &segment, bool first) {
  auto size = static_cast<unsigned long long>(segment.size);
  if (options.json) {
    printf("%s{\"shm_id\":%d,\"creator_pid\":%d,\"size\":%llu,\"attached\":%lld}", first ? "" : ",",
           static_cast<int>(segment.shm_id), static_cast<int>(segment.creator_pid), size,
           static_cast<long long>(segment.attached));
  } else {
    printf("%s unrecorded segment shm id %d of dead pid %d (%llu bytes)\n",
           options.dry_run ? "would free" : "freed", static_cast<int>(segment.shm_id),
           static_cast<int>(segment.creator_pid), size);
  }
}

// In the clean-up's report, slots and entries that were kept are all zero.
bool freed(const tamb_shm_server_t &slot) { return slot.pid != 0; }
bool freed(const tamb_shm_registry_t &entry) { return entry.owner_pid != 0 || entry.size != 0; }

void print_cleaned(const Options &options, const tamb_shm_clean_report_t &report) {
  const char *verb = options.dry_run ? "would free" : "freed";
  bool first = true;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
    const tamb_shm_server_t &slot = report.servers[i];
    if (!freed(slot)) continue;
    if (options.json) {
      print_slot(options, i, slot, first);
    } else {
      printf("%s server slot %d of dead pid %d (%s)\n", verb, i, static_cast<int>(slot.pid),
             prefix_text(slot).c_str());
    }
    first = false;
  }
  if (options.json) printf("],\"segments\":[");
  first = true;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    const tamb_shm_registry_t &entry = report.entries[i];
    if (!freed(entry)) continue;
    if (options.json) {
      print_entry(options, entry, i, first);
    } else {
      std::string owner = entry.owner_pid == 0
                              ? std::string("no owner")
                              : "dead pid " + std::to_string(static_cast<int>(entry.owner_pid));
      printf("%s segment entry %d of %s (%d bytes, shm id %d)\n", verb, i, owner.c_str(),
             static_cast<int>(entry.size), static_cast<int>(entry.shm_id));
    }
    first = false;
  }
  if (options.json) printf("],\"unrecorded\":[");
  for (int32_t i = 0; i < report.unrecorded_count; ++i) {
    print_unrecorded(options, report.unrecorded[i], i == 0);
  }
}

int run_clean(const Options &options) {
  tamb_shm_clean_report_t report;
  if (tamb_shm_clean(options.dry_run, &report) < 0) return exit_nothing;
  size_t servers = 0;
  size_t entries = 0;
  for (const tamb_shm_server_t &slot : report.servers) servers += freed(slot);
  for (const tamb_shm_registry_t &entry : report.entries) entries += freed(entry);
  size_t unrecorded = static_cast<size_t>(report.unrecorded_count);
  if (options.json) {
    printf("{\"registry\":\"ok\",\"dry_run\":%s,\"servers\":[", options.dry_run ? "true" : "false");
  }
  print_cleaned(options, report);
  free(report.unrecorded);
  const char *verb = options.dry_run ? "would free" : "freed";
  if (options.json) {
    printf("]}\n");
  } else if (servers == 0 && entries == 0 && unrecorded == 0) {
    printf("nothing to free\n");
  } else {
    // Without unrecorded segments the summary keeps the words it always had.
    std::string counts = std::to_string(servers) + " server slot" + (servers == 1 ? "" : "s") +
                         (unrecorded == 0 ? " and " : ", ") + std::to_string(entries) +
                         " segment entr" + (entries == 1 ? "y" : "ies");
    if (unrecorded != 0) {
      counts += " and " + std::to_string(unrecorded) + " unrecorded segment" +
                (unrecorded == 1 ? "" : "s");
    }
    printf("%s %s%s\n", verb, counts.c_str(), options.dry_run ? "; nothing changed" : "");
  }
  return servers == 0 && entries == 0 && unrecorded == 0 ? exit_nothing : 0;
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
  return options.clean ? run_clean(options) : run_list(options);
}
