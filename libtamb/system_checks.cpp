// SPDX-License-Identifier: MIT
// Tests of the running system's readiness for real-time audio.
//
// They write to standard error directly and several end the process: they run once, at
// start-up, before the log hooks of a server are of any use.
#include "tamb/system_checks.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Run once, before the program starts threads: the group enumeration, getlogin and exit need
// no guard against other threads here.
// NOLINTBEGIN(concurrency-mt-unsafe)

namespace {

constexpr const char *governor_list_path =
    "/sys/devices/system/cpu/cpu0/cpufreq/scaling_available_governors";
constexpr const char *governor_path = "/sys/devices/system/cpu/cpu%d/cpufreq/scaling_governor";
constexpr const char *min_freq_path = "/sys/devices/system/cpu/cpu%d/cpufreq/scaling_min_freq";
constexpr const char *max_freq_path = "/sys/devices/system/cpu/cpu%d/cpufreq/scaling_max_freq";
constexpr const char *limits_conf_path = "/etc/security/limits.conf";
constexpr const char *rtprio_search = "grep -q 'rtprio *[0-9][0-9]*' %s";
constexpr const char *meminfo_path = "/proc/meminfo";

constexpr size_t path_size = 256;
constexpr size_t governor_size = 256;
constexpr size_t int_text_size = 20;
constexpr size_t meminfo_size = 256;
constexpr size_t command_size = 100;
constexpr int group_list_max = 100;

static_assert(RLIM_INFINITY == UINT64_MAX, "an unlimited resource reads as all bits set");

// Reads the file once into buf, NUL-terminated and cut at size - 1 bytes. -1 when the file
// cannot be opened; a file that opens but cannot be read ends the process.
int read_string(const char *path, char *buf, size_t size) {
  memset(buf, 0, size);
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  ssize_t got;
  // A signal during the read is not the file's fault.
  do {
    got = read(fd, buf, size - 1);
  } while (got < 0 && errno == EINTR);
  int read_errno = errno;
  close(fd);
  if (got < 0) {
    fprintf(stderr, "Error while reading \"%s\": %s\n", path, strerror(read_errno));
    exit(1);
  }
  return static_cast<int>(got);
}

int read_int(const char *path, int *out) {
  char buf[int_text_size];
  if (read_string(path, buf, sizeof buf) <= 0) return 0;
  // The kernel writes the number.
  // NOLINTNEXTLINE(bugprone-unchecked-string-to-number-conversion)
  return sscanf(buf, "%d", out) == 1 ? 1 : 0;
}

// Group id 0 is the answer for "no such group", so a group with id 0 is passed over.
gid_t get_group_by_name(const char *name) {
  setgrent();
  while (const group *entry = getgrent()) {
    if (strcmp(entry->gr_name, name) == 0 && entry->gr_gid != 0) {
      gid_t id = entry->gr_gid;
      endgrent();
      return id;
    }
  }
  endgrent();
  return 0;
}

}  // namespace

extern "C" {

TAMB_API int system_has_frequencyscaling(void) {
  int fd = open(governor_list_path, O_RDONLY);
  if (fd < 0) return 0;
  close(fd);
  return 1;
}

TAMB_API int system_uses_frequencyscaling(void) {
  char path[path_size];
  char governor[governor_size];
  for (int cpu = 0;; ++cpu) {
    snprintf(path, sizeof path, governor_path, cpu);
    if (read_string(path, governor, sizeof governor) <= 0) return 0;
    // A prefix test: the file ends with a line feed.
    if (strncmp(governor, "performance", 11) == 0 || strncmp(governor, "powersave", 9) == 0) {
      continue;
    }
    int min_freq;
    int max_freq;
    snprintf(path, sizeof path, min_freq_path, cpu);
    if (!read_int(path, &min_freq)) continue;
    snprintf(path, sizeof path, max_freq_path, cpu);
    if (!read_int(path, &max_freq)) continue;
    if (min_freq != max_freq) return 1;
  }
}

TAMB_API int system_has_rtprio_limits_conf(void) {
  char command[command_size];
  snprintf(command, sizeof command, rtprio_search, limits_conf_path);
  // The command is made of constants only.
  // NOLINTNEXTLINE(bugprone-command-processor)
  return system(command) == 0 ? 1 : 0;
}

TAMB_API int system_has_audiogroup(void) {
  if (get_group_by_name("audio") != 0) return 1;
  return get_group_by_name("tambuser") != 0 ? 1 : 0;
}

TAMB_API int system_user_in_audiogroup(void) {
  auto *list = static_cast<gid_t *>(malloc(group_list_max * sizeof(gid_t)));
  if (list == nullptr) {
    perror("Cannot allocate group list structure");
    exit(1);
  }
  gid_t audio = get_group_by_name("audio");
  if (audio == 0) {
    fprintf(stderr, "No audio group found\n");
    exit(1);
  }
  int found = 0;
  int count = getgroups(group_list_max, list);
  for (int i = 0; i < count; ++i) {
    if (list[i] == audio) {
      found = 1;
      break;
    }
  }
  free(list);
  return found;
}

TAMB_API int system_user_can_rtprio(void) {
  int lowest = sched_get_priority_min(SCHED_FIFO);
  if (lowest == -1) {
    perror("sched_get_priority");
    exit(1);
  }
  sched_param param{};
  param.sched_priority = lowest;
  if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) return 0;
  param.sched_priority = 0;
  if (sched_setscheduler(0, SCHED_OTHER, &param) != 0) {
    perror("sched_setscheduler");
    exit(1);
  }
  return 1;
}

TAMB_API uint64_t system_memlock_amount(void) {
  rlimit limit{};
  if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) {
    perror("getrlimit on RLIMIT_MEMLOCK");
    exit(1);
  }
  return limit.rlim_max;
}

TAMB_API int system_memlock_is_unlimited(void) {
  return system_memlock_amount() == UINT64_MAX ? 1 : 0;
}

TAMB_API uint64_t system_available_physical_mem(void) {
  char text[meminfo_size];
  uint64_t kilobytes = 0;
  if (read_string(meminfo_path, text, sizeof text) <= 0) {
    perror("read from /proc/meminfo");
    return 0;
  }
  if (strncmp(text, "MemTotal:", 9) == 0) {
    unsigned long long total;
    // The kernel writes the number.
    // NOLINTNEXTLINE(bugprone-unchecked-string-to-number-conversion)
    if (sscanf(text, "%*s %llu", &total) == 1) {
      kilobytes = total;
    } else {
      perror("parse error in /proc/meminfo");
    }
  }
  return kilobytes << 10;
}

TAMB_API int system_kernel_version(void) { return 0; }

TAMB_API char *system_get_username(void) {
  const char *login = getlogin();
  return login != nullptr ? strdup(login) : nullptr;
}

}  // extern "C"

// NOLINTEND(concurrency-mt-unsafe)
