// SPDX-License-Identifier: MIT
// The system tests against real system paths: each case runs in a forked child inside a private
// mount namespace, with fixture files bound over /sys, /proc and /etc, resource limits lowered
// with setrlimit, and refusals produced by an unprivileged user or a seccomp filter.
#include "tamb/system_checks.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace {

using testing::Eq;
using testing::ExitedWithCode;
using testing::StartsWith;

constexpr uid_t nobody = 65534;
constexpr const char *cpu_dir = "/sys/devices/system/cpu";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// A fixture that cannot be put in place fails the case loudly, with its own exit status.
constexpr int setup_failed = 90;

void must(bool ok, const std::string &what) {
  if (ok) return;
  fprintf(stderr, "fixture set-up failed: %s: %s\n", what.c_str(), strerror(errno));
  _exit(setup_failed);
}

void enter_namespace() {
  std::string why;
  must(support::enter_mount_namespace(&why), why);
}

// Binds content over target, readable by every user (the fixture file is created private).
void put_file(const std::string &target, const std::string &content) {
  std::string why;
  must(support::bind_fixture(content, target, &why), why);
  must(chmod(target.c_str(), 0644) == 0, "chmod " + target);
}

// Hides whatever lies under dir behind an empty directory.
void empty_dir(const std::string &dir) {
  must(mount("none", dir.c_str(), "tmpfs", 0, "mode=0755") == 0, "tmpfs over " + dir);
}

// Replaces the processor tree with the given files, paths relative to it; a path ending in
// "/" becomes a directory.
void cpu_tree(const std::vector<std::pair<std::string, std::string>> &files) {
  empty_dir(cpu_dir);
  for (const auto &[relative, content] : files) {
    std::string path = std::string(cpu_dir) + "/" + relative;
    for (size_t slash = path.find('/', strlen(cpu_dir) + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      std::string dir = path.substr(0, slash);
      must(mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + dir);
    }
    if (path.back() == '/') continue;
    FILE *file = fopen(path.c_str(), "w");
    must(file != nullptr, "create " + path);
    fputs(content.c_str(), file);
    fclose(file);
  }
}

std::vector<std::pair<std::string, std::string>> cpu(int n, const std::string &governor,
                                                     const std::string &min,
                                                     const std::string &max) {
  std::string dir = "cpu" + std::to_string(n) + "/cpufreq/";
  return {{dir + "scaling_governor", governor},
          {dir + "scaling_min_freq", min},
          {dir + "scaling_max_freq", max}};
}

std::vector<std::pair<std::string, std::string>> operator+(
    std::vector<std::pair<std::string, std::string>> a,
    const std::vector<std::pair<std::string, std::string>> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void set_groups(const std::vector<gid_t> &groups) {
  must(setgroups(groups.size(), groups.data()) == 0, "setgroups");
}

// Becomes an unprivileged user with no real-time allowance.
void drop_to_nobody() {
  rlimit none = {0, 0};
  must(setrlimit(RLIMIT_RTPRIO, &none) == 0, "setrlimit RLIMIT_RTPRIO");
  must(setgid(nobody) == 0, "setgid");
  must(setuid(nobody) == 0, "setuid");
}

// Makes system call nr fail with EPERM; with arg >= 0, only when that argument equals value.
void refuse_syscall(int nr, int arg = -1, uint32_t value = 0) {
  const uint8_t skip_to_allow = arg >= 0 ? 3 : 1;
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 1),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, skip_to_allow),
  };
  if (arg >= 0) {
    // The low half of the argument: system calls compare ints and small codes here.
    uint32_t offset = offsetof(seccomp_data, args) + arg * sizeof(uint64_t);
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  // The arch check jumps over the remaining tests straight to "allow".
  program[1].jf = static_cast<uint8_t>(program.size() - 3);
  sock_fprog filter = {static_cast<unsigned short>(program.size()), program.data()};
  must(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0, "no_new_privs");
  must(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0, "seccomp");
}

// Leaves the heap unable to serve a request of size bytes: no room for data may be added, and
// whatever the heap still holds is taken.
void exhaust_heap(size_t size) {
  rlimit none = {0, 0};
  must(setrlimit(RLIMIT_DATA, &none) == 0, "setrlimit RLIMIT_DATA");
  // The volatile store keeps the compiler from eliding the allocations.
  void *volatile block;
  do {
    block = malloc(size);
  } while (block != nullptr);
}

struct Outcome {
  int status;
  std::string out;  // what the body returned
  std::string err;  // everything written to standard error
};

// Runs body in a child inside a private mount namespace, with its standard error captured.
Outcome sandboxed(const std::function<std::string()> &body) {
  FILE *out = tmpfile();
  FILE *err = tmpfile();
  int status = support::run_in_child([&] {
    enter_namespace();
    dup2(fileno(err), STDERR_FILENO);
    std::string answer = body();
    fflush(stderr);
    return write(fileno(out), answer.data(), answer.size()) == static_cast<ssize_t>(answer.size())
               ? 0
               : setup_failed;
  });
  return {status, support::read_all(out), support::read_all(err)};
}

std::string text(uint64_t value) { return std::to_string(value); }

class SystemChecks : public testing::Test {
 protected:
  void SetUp() override {
    if (!support::mount_namespaces_available()) {
      GTEST_SKIP() << "mount namespaces are refused here";
    }
  }
};

using SystemChecksDeathTest = SystemChecks;

TEST_F(SystemChecks, FrequencyScalingSupportIsTheFirstProcessorsGovernorList) {
  Outcome without = sandboxed([] {
    cpu_tree({{"cpu0/", ""}, {"cpu1/", ""}});
    return text(system_has_frequencyscaling()) + text(system_uses_frequencyscaling());
  });
  EXPECT_EQ(without.status, 0) << without.err;
  EXPECT_EQ(without.out, "00");
  Outcome with = sandboxed([] {
    cpu_tree({{"cpu0/cpufreq/scaling_available_governors", "performance powersave\n"}});
    return text(system_has_frequencyscaling()) + text(system_uses_frequencyscaling());
  });
  EXPECT_EQ(with.status, 0) << with.err;
  EXPECT_EQ(with.out, "10");
}

TEST_F(SystemChecks, OnlyAVaryingGovernorWithDifferentLimitsCountsAsScaling) {
  struct Case {
    const char *name;
    std::vector<std::pair<std::string, std::string>> files;
    const char *expected;
  };
  const std::vector<Case> cases = {
      {"performance and powersave pass over different limits",
       cpu(0, "performance\n", "800000\n", "3600000\n") +
           cpu(1, "powersave\n", "800000\n", "3600000\n"),
       "0"},
      {"on-demand with different limits after a performance processor",
       cpu(0, "performance\n", "800000\n", "3600000\n") +
           cpu(1, "ondemand\n", "800000\n", "3600000\n"),
       "1"},
      {"on-demand with equal limits", cpu(0, "ondemand\n", "3600000\n", "3600000\n"), "0"},
      {"the scan stops at the first processor without a governor",
       cpu(0, "ondemand\n", "3600000\n", "3600000\n") +
           cpu(2, "ondemand\n", "800000\n", "3600000\n"),
       "0"},
      {"an empty governor file ends the scan",
       cpu(0, "", "", "") + cpu(1, "ondemand\n", "800000\n", "3600000\n"), "0"},
      {"a processor whose limits do not read as numbers is passed over",
       cpu(0, "schedutil\n", "fast\n", "3600000\n") + cpu(1, "schedutil\n", "800000\n", "") +
           cpu(2, "schedutil\n", "800000\n", "3600000\n"),
       "1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = sandboxed([&] {
      cpu_tree(c.files);
      return text(system_uses_frequencyscaling());
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, c.expected);
    EXPECT_EQ(outcome.err, "");
  }
}

TEST_F(SystemChecks, RtprioSearchCountsBlanksOnlyAndCommentedLines) {
  struct Case {
    const char *limits;
    const char *expected;
  };
  const std::vector<Case> cases = {
      {"#<domain> <type> <item> <value>\n@audio - rtprio 95\n", "1"},
      {"@audio - rtprio\t95\n", "0"},
      {"# @audio - rtprio 95\n", "1"},
      {"@audio - rtprio99\n", "1"},
      {"@audio - memlock unlimited\n@audio - rtprio -\n", "0"},
      {"", "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.limits);
    Outcome outcome = sandboxed([&] {
      put_file("/etc/security/limits.conf", c.limits);
      return text(system_has_rtprio_limits_conf());
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, c.expected);
  }
  Outcome missing = sandboxed([] {
    empty_dir("/etc/security");
    return text(system_has_rtprio_limits_conf());
  });
  EXPECT_EQ(missing.out, "0");
}

TEST_F(SystemChecks, AudioGroupExistsUnderEitherNameButNotWithIdZero) {
  struct Case {
    const char *group;
    const char *expected;
  };
  const std::vector<Case> cases = {
      {"root:x:0:\naudio:x:29:\n", "1"},
      {"root:x:0:\ntambuser:x:1234:\n", "1"},
      {"root:x:0:\naudio:x:0:\n", "0"},
      {"root:x:0:\naudio:x:0:\ntambuser:x:0:\nwheel:x:10:\n", "0"},
      {"root:x:0:\nAudio:x:29:\naudiox:x:30:\n", "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.group);
    Outcome outcome = sandboxed([&] {
      put_file("/etc/group", c.group);
      return text(system_has_audiogroup());
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, c.expected);
  }
}

TEST_F(SystemChecks, MembershipIsLookedUpAmongTheSupplementaryGroups) {
  struct Case {
    const char *name;
    const char *group;
    std::vector<gid_t> groups;
    const char *expected;
  };
  std::vector<gid_t> many;
  for (gid_t id = 1000; id < 1100; ++id) many.push_back(id);
  many.push_back(29);
  const std::vector<Case> cases = {
      {"member", "audio:x:29:\n", {5, 29}, "1"},
      {"not a member", "audio:x:29:\n", {5, 30}, "0"},
      {"an audio entry with id 0 is passed over for a later one",
       "audio:x:0:\naudio:x:29:\n",
       {29},
       "1"},
      {"more than 100 groups", "audio:x:29:\n", many, "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = sandboxed([&] {
      put_file("/etc/group", c.group);
      set_groups(c.groups);
      return text(system_user_in_audiogroup());
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, c.expected);
  }
}

TEST_F(SystemChecks, RealtimeSchedulingRefusedToAnUnprivilegedUserChangesNothing) {
  Outcome outcome = sandboxed([] {
    drop_to_nobody();
    int answer = system_user_can_rtprio();
    return text(answer) + text(sched_getscheduler(0));
  });
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "0" + text(SCHED_OTHER));
}

TEST_F(SystemChecks, RealtimeSchedulingTestLeavesTheThreadUnderTheNormalPolicy) {
  if (!support::may_use_fifo()) GTEST_SKIP() << "this sandbox refuses SCHED_FIFO even to root";
  Outcome outcome = sandboxed([] {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    must(sched_setscheduler(0, SCHED_FIFO, &param) == 0, "SCHED_FIFO");
    int answer = system_user_can_rtprio();
    return text(answer) + text(sched_getscheduler(0));
  });
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "1" + text(SCHED_OTHER));
}

TEST_F(SystemChecks, MemlockAmountIsTheHardLimit) {
  Outcome lowered = sandboxed([] {
    rlimit limit = {64 << 10, 1 << 20};
    must(setrlimit(RLIMIT_MEMLOCK, &limit) == 0, "setrlimit RLIMIT_MEMLOCK");
    return text(system_memlock_amount()) + " " + text(system_memlock_is_unlimited());
  });
  EXPECT_EQ(lowered.status, 0) << lowered.err;
  EXPECT_EQ(lowered.out, "1048576 0");

  Outcome none = sandboxed([] {
    rlimit limit = {0, 0};
    must(setrlimit(RLIMIT_MEMLOCK, &limit) == 0, "setrlimit RLIMIT_MEMLOCK");
    return text(system_memlock_amount()) + " " + text(system_memlock_is_unlimited());
  });
  EXPECT_EQ(none.out, "0 0");
}

TEST_F(SystemChecks, UnlimitedHardLimitReadsAsAllBitsSet) {
  Outcome unlimited = sandboxed([] {
    rlimit limit = {64 << 10, RLIM_INFINITY};
    if (setrlimit(RLIMIT_MEMLOCK, &limit) != 0) return std::string("refused");
    return text(system_memlock_amount()) + " " + text(system_memlock_is_unlimited());
  });
  if (unlimited.out == "refused") {
    GTEST_SKIP() << "raising the hard memory-lock limit needs CAP_SYS_RESOURCE, lacking here";
  }
  EXPECT_EQ(unlimited.out, text(UINT64_MAX) + " 1");
}

TEST_F(SystemChecks, PhysicalMemoryComesFromTheFirstFieldOfMeminfo) {
  struct Case {
    const char *meminfo;
    const char *expected;
    const char *message;  // start of the standard error output
  };
  const std::vector<Case> cases = {
      {"MemTotal:       16318412 kB\nMemFree:         1234567 kB\n", "16710053888", ""},
      {"MemTotal: 1\n", "1024", ""},
      {"MemFree:         1234567 kB\nMemTotal:       16318412 kB\n", "0", ""},
      {"MemTotal: kB\n", "0", "parse error in /proc/meminfo: "},
      {"", "0", "read from /proc/meminfo: "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.meminfo);
    Outcome outcome = sandboxed([&] {
      put_file("/proc/meminfo", c.meminfo);
      return text(system_available_physical_mem());
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, c.expected);
    if (*c.message == '\0') {
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_THAT(outcome.err, StartsWith(c.message));
    }
  }
}

TEST_F(SystemChecks, NoUsernameWithoutAControllingTerminal) {
  Outcome outcome = sandboxed([] {
    FILE *loginuid = fopen("/proc/self/loginuid", "r");
    unsigned long id = 0;
    bool unset = loginuid == nullptr || fscanf(loginuid, "%lu", &id) != 1 || id == 4294967295;
    if (loginuid != nullptr) fclose(loginuid);
    if (!unset) return std::string("login session");
    setsid();
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    char *name = system_get_username();
    std::string answer = name == nullptr ? "null" : name;
    free(name);
    return answer;
  });
  if (outcome.out == "login session") {
    GTEST_SKIP() << "this process belongs to a login session, which names its user";
  }
  EXPECT_EQ(outcome.out, "null");
}

TEST_F(SystemChecksDeathTest, ReadErrorOfAnOpenedFileEndsTheProcess) {
  EXPECT_EXIT(
      {
        enter_namespace();
        cpu_tree({{"cpu0/cpufreq/scaling_governor/", ""}});
        system_uses_frequencyscaling();
        exit(0);
      },
      ExitedWithCode(1),
      Eq("Error while reading \"/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor\": Is a "
         "directory\n"));
}

TEST_F(SystemChecksDeathTest, MembershipTestEndsTheProcessWithoutAnAudioGroup) {
  for (const char *group : {"root:x:0:\ntambuser:x:1234:\n", "root:x:0:\naudio:x:0:\n"}) {
    SCOPED_TRACE(group);
    EXPECT_EXIT(
        {
          enter_namespace();
          put_file("/etc/group", group);
          system_user_in_audiogroup();
          exit(0);
        },
        ExitedWithCode(1), Eq("No audio group found\n"));
  }
}

TEST(GroupListDeathTest, MembershipTestEndsTheProcessWhenTheListCannotBeAllocated) {
  if (sanitized) GTEST_SKIP() << "the sanitizer's allocator does not run out quietly";
  EXPECT_EXIT(
      {
        exhaust_heap(100 * sizeof(gid_t));
        system_user_in_audiogroup();
        exit(0);
      },
      ExitedWithCode(1), Eq("Cannot allocate group list structure: Cannot allocate memory\n"));
}

TEST(SchedulerDeathTest, RealtimeTestEndsTheProcessWhenTheSchedulerRefusesAnAnswer) {
  EXPECT_EXIT(
      {
        refuse_syscall(SYS_sched_get_priority_min);
        system_user_can_rtprio();
        exit(0);
      },
      ExitedWithCode(1), Eq("sched_get_priority: Operation not permitted\n"));
  if (!support::may_use_fifo()) GTEST_SKIP() << "this sandbox refuses SCHED_FIFO even to root";
  EXPECT_EXIT(
      {
        refuse_syscall(SYS_sched_setscheduler, 1, SCHED_OTHER);
        system_user_can_rtprio();
        exit(0);
      },
      ExitedWithCode(1), Eq("sched_setscheduler: Operation not permitted\n"));
}

TEST(MemlockDeathTest, MemlockTestsEndTheProcessWhenTheLimitCannotBeRead) {
  const auto refuse_memlock_limit = [] {
    refuse_syscall(SYS_prlimit64, 1, RLIMIT_MEMLOCK);
    refuse_syscall(SYS_getrlimit, 0, RLIMIT_MEMLOCK);
  };
  EXPECT_EXIT(
      {
        refuse_memlock_limit();
        system_memlock_amount();
        exit(0);
      },
      ExitedWithCode(1), Eq("getrlimit on RLIMIT_MEMLOCK: Operation not permitted\n"));
  EXPECT_EXIT(
      {
        refuse_memlock_limit();
        system_memlock_is_unlimited();
        exit(0);
      },
      ExitedWithCode(1), Eq("getrlimit on RLIMIT_MEMLOCK: Operation not permitted\n"));
}

}  // namespace
