// SPDX-License-Identifier: MIT
// The sanity check's advice, compared byte for byte with the whole standard error output. Each
// scenario is a machine built in a forked child: fixture files bound over /etc, /proc and /sys
// in a private mount namespace, the memory-lock limit lowered, and real-time scheduling refused
// by running as an unprivileged user without a real-time allowance.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "tamb/sanity.h"

namespace {

constexpr uid_t nobody = 65534;
constexpr int setup_failed = 90;

void must(bool ok, const std::string &what) {
  if (ok) return;
  fprintf(stderr, "fixture set-up failed: %s: %s\n", what.c_str(), strerror(errno));
  _exit(setup_failed);
}

// Binds content over target, readable by every user (the fixture file is created private).
void put_file(const std::string &target, const std::string &content) {
  std::string why;
  must(support::bind_fixture(content, target, &why), why);
  must(chmod(target.c_str(), 0644) == 0, "chmod " + target);
}

void put_tree_file(const std::string &path, const std::string &content) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  FILE *file = fopen(path.c_str(), "w");
  must(file != nullptr, "create " + path);
  fputs(content.c_str(), file);
  fclose(file);
}

// A machine as the sanity check sees it. The defaults have everything in place.
struct Machine {
  uid_t user = 0;  // anyone but root runs without a real-time allowance
  std::string limits = "@audio - rtprio 95\n";
  std::string group = "root:x:0:\naudio:x:29:\n";
  std::vector<gid_t> groups = {29};
  rlim_t memlock = 64 << 10;  // hard limit
  std::string meminfo = "MemTotal:       16318412 kB\nMemFree:          912345 kB\n";
  bool scaling = false;  // processor 0 on an on-demand governor with varying limits
};

void build(const Machine &m) {
  std::string why;
  must(support::enter_mount_namespace(&why), why);
  put_file("/etc/security/limits.conf", m.limits);
  put_file("/etc/group", m.group);
  put_file("/proc/meminfo", m.meminfo);
  const std::string cpu = "/sys/devices/system/cpu";
  must(mount("none", cpu.c_str(), "tmpfs", 0, "mode=0755") == 0, "tmpfs over " + cpu);
  put_tree_file(cpu + "/cpu0/cpufreq/scaling_available_governors", "ondemand performance\n");
  put_tree_file(cpu + "/cpu0/cpufreq/scaling_governor", m.scaling ? "ondemand\n" : "performance\n");
  put_tree_file(cpu + "/cpu0/cpufreq/scaling_min_freq", "800000\n");
  put_tree_file(cpu + "/cpu0/cpufreq/scaling_max_freq", "3600000\n");
  rlimit memlock = {m.memlock, m.memlock};
  must(setrlimit(RLIMIT_MEMLOCK, &memlock) == 0, "setrlimit RLIMIT_MEMLOCK");
  must(setgroups(m.groups.size(), m.groups.data()) == 0, "setgroups");
  // No terminal: the usermod advice then names the account, whatever terminal runs the tests.
  setsid();
  int null = open("/dev/null", O_RDONLY);
  must(null >= 0 && dup2(null, STDIN_FILENO) == 0, "stdin from /dev/null");
  if (m.user != 0) {
    rlimit none = {0, 0};
    must(setrlimit(RLIMIT_RTPRIO, &none) == 0, "setrlimit RLIMIT_RTPRIO");
    must(setgid(m.user) == 0 && setuid(m.user) == 0, "drop to an unprivileged user");
  }
}

struct Report {
  int status;    // exit status of the child
  int problems;  // sanitycheck's result, -1 when it did not return
  std::string advice;
};

Report run_sanitycheck(const Machine &m, int check_realtime, int check_frequency_scaling) {
  FILE *err = tmpfile();
  FILE *result = tmpfile();
  int status = support::run_in_child([&] {
    build(m);
    dup2(fileno(err), STDERR_FILENO);
    int problems = sanitycheck(check_realtime, check_frequency_scaling);
    fprintf(result, "%d", problems);
    fclose(result);
    return 0;
  });
  std::string problems = support::read_all(result);
  return {status, problems.empty() ? -1 : std::stoi(problems), support::read_all(err)};
}

// The name a login session gives its processes even without a terminal, or else the account.
std::string usermod_name(const char *account) {
  FILE *file = fopen("/proc/self/loginuid", "r");
  unsigned long id = 4294967295;
  if (file != nullptr) {
    if (fscanf(file, "%lu", &id) != 1) id = 4294967295;
    fclose(file);
  }
  if (id == 4294967295) return account;
  const passwd *entry = getpwuid(static_cast<uid_t>(id));
  return entry != nullptr ? entry->pw_name : account;
}

const std::string rule(80, '-');
const std::string realtime =
    "\nTAMB is running in realtime mode, but you are not allowed to use realtime scheduling.\n";
const std::string limits_advice =
    "Please check your /etc/security/limits.conf for the following line\n"
    "and correct/add it if necessary:\n\n"
    "  @audio          -       rtprio          99\n";
const std::string closing =
    "\nAfter applying these changes, please re-login in order for them to take effect.\n"
    "\nYou don't appear to have a sane system configuration. It is very likely that you\n"
    "encounter xruns. Please apply all the above mentioned changes and start tamb again!\n";
const std::string scaling_warning =
    "\n" + rule + "\n" +
    "WARNING: Your system seems to use frequency scaling.\n\n"
    "   This can have a serious impact on audio latency. You have two choices:\n"
    "\t(1)turn it off, e.g. by chosing the 'performance' governor.\n"
    "\t(2)Use the HPET clocksource by passing \"-c h\" to TAMB\n"
    "\t   (this second option only works on relatively recent computers)\n" +
    rule + "\n\n";

std::string group_advice(const std::string &user) {
  return "\nYour system has no audio group. Please add it by executing (as root):\n"
         "  groupadd -r audio\n"
         "  usermod -a -G audio " +
         user + "\n";
}

std::string membership_advice(const std::string &user) {
  return "\nYour system has an audio group, but you are not a member of it.\n"
         "Please add yourself to the audio group by executing (as root):\n"
         "  usermod -a -G audio " +
         user + "\n";
}

std::string memlock_advice(const std::string &amount) {
  return "\nYou are not allowed to lock memory. Please add a line\n"
         "  @audio   -  memlock    " +
         amount + "\nin your /etc/limits.conf.\n";
}

class SanityCheck : public testing::Test {
 protected:
  void SetUp() override {
    if (!support::mount_namespaces_available()) {
      GTEST_SKIP() << "mount namespaces are refused here";
    }
  }

  static void Expect(const Report &report, int problems, const std::string &advice) {
    EXPECT_EQ(report.status, 0) << report.advice;
    EXPECT_EQ(report.problems, problems);
    EXPECT_EQ(report.advice, advice);
  }
};

TEST_F(SanityCheck, MemlockAdviceIsThreeQuartersOfTheMachineInKilobytes) {
  Expect(run_sanitycheck(Machine{}, 0, 0), 0, "");

  Machine locked_out;
  locked_out.memlock = 0;
  Expect(run_sanitycheck(locked_out, 0, 0), 1, memlock_advice("12238809") + closing);

  // Any nonzero limit passes, however small.
  Machine one_page;
  one_page.memlock = 4096;
  Expect(run_sanitycheck(one_page, 0, 0), 0, "");

  // Memory that cannot be told makes the advised amount 0.
  locked_out.meminfo = "MemFree: 1 kB\n";
  Expect(run_sanitycheck(locked_out, 0, 0), 1, memlock_advice("0") + closing);
}

TEST_F(SanityCheck, RealtimeAdviceNamesTheFirstMissingPiece) {
  const std::string user = usermod_name("nobody");
  Machine refused;
  refused.user = nobody;
  Expect(run_sanitycheck(refused, 1, 0), 1, realtime + closing);

  Machine no_limits = refused;
  no_limits.limits = "@audio - memlock unlimited\n";
  Expect(run_sanitycheck(no_limits, 1, 0), 2, realtime + limits_advice + closing);

  Machine not_member = refused;
  not_member.groups = {};
  Expect(run_sanitycheck(not_member, 1, 0), 2, realtime + membership_advice(user) + closing);

  Machine no_group = refused;
  no_group.group = "root:x:0:\nwheel:x:10:\n";
  no_group.groups = {10};
  no_group.memlock = 0;
  Expect(run_sanitycheck(no_group, 1, 0), 3,
         realtime + group_advice(user) + memlock_advice("12238809") + closing);

  // The limits file is searched before the groups are looked at.
  no_limits.group = no_group.group;
  Expect(run_sanitycheck(no_limits, 1, 0), 2, realtime + limits_advice + closing);

  // Without check_realtime nothing of this is examined.
  Expect(run_sanitycheck(no_group, 0, 0), 1, memlock_advice("12238809") + closing);
}

TEST_F(SanityCheck, RealtimeAllowedSilencesLimitsAndGroups) {
  if (!support::may_use_fifo()) GTEST_SKIP() << "this sandbox refuses SCHED_FIFO even to root";
  Machine allowed;
  allowed.limits = "";
  allowed.group = "root:x:0:\n";
  allowed.groups = {};
  Expect(run_sanitycheck(allowed, 1, 0), 0, "");
}

TEST_F(SanityCheck, UsermodAdviceNamesAnAccountEvenWithoutALoginName) {
  // A user id without an account has no name to offer at all.
  Machine stranger;
  stranger.user = 4242;
  stranger.group = "root:x:0:\n";
  stranger.groups = {};
  Expect(run_sanitycheck(stranger, 1, 0), 2,
         realtime + group_advice(usermod_name("<your user name>")) + closing);
}

TEST_F(SanityCheck, FrequencyScalingIsWarnedAboutButNotCounted) {
  Machine scaling;
  scaling.scaling = true;
  Expect(run_sanitycheck(scaling, 0, 1), 0, scaling_warning);
  Expect(run_sanitycheck(scaling, 0, 0), 0, "");
  Expect(run_sanitycheck(Machine{}, 0, 1), 0, "");

  scaling.user = nobody;
  scaling.limits = "";
  scaling.memlock = 0;
  Expect(run_sanitycheck(scaling, 1, 1), 3,
         realtime + limits_advice + scaling_warning + memlock_advice("12238809") + closing);
}

TEST_F(SanityCheck, TambuserWithoutAudioGroupEndsTheProcessAfterTheRealtimeText) {
  Machine tambuser;
  tambuser.user = nobody;
  tambuser.group = "root:x:0:\ntambuser:x:1234:\n";
  tambuser.groups = {1234};
  Report report = run_sanitycheck(tambuser, 1, 0);
  EXPECT_EQ(report.status, 1);
  EXPECT_EQ(report.problems, -1);
  EXPECT_EQ(report.advice, realtime + "No audio group found\n");
}

}  // namespace
