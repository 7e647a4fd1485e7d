// SPDX-License-Identifier: MIT
// Demo chapter: what this machine says about real-time readiness.
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "demo.h"
#include "tamb/sanity.h"
#include "tamb/system_checks.h"

namespace {

struct Outcome {
  bool finished;  // false: the test ended the process itself
  int status;
  std::string answer;
};

// Runs one test in a child: some tests end the process when the system refuses an answer, and
// the real-time test changes the thread's scheduling. The child's messages join the demo's
// output; its answer comes back through a pipe.
Outcome in_child(std::string (*test)()) {
  int channel[2];
  if (pipe(channel) != 0) return {false, -1, ""};
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(channel[0]);
    dup2(STDOUT_FILENO, STDERR_FILENO);
    std::string answer = test();
    fflush(stderr);
    bool sent =
        write(channel[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
    _exit(sent ? 0 : 2);
  }
  close(channel[1]);
  Outcome outcome{true, 0, ""};
  char buf[256];
  ssize_t got;
  while ((got = read(channel[0], buf, sizeof buf)) > 0) outcome.answer.append(buf, got);
  close(channel[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0) return {false, -1, ""};
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.finished = outcome.status == 0;
  return outcome;
}

std::string yes_no(int answer) { return answer ? "yes" : "no"; }

std::string bytes(uint64_t amount) {
  if (amount == UINT64_MAX) return "unlimited";
  char text[64];
  double mib = static_cast<double>(amount) / (1 << 20);
  if (mib >= 1024) {
    snprintf(text, sizeof text, "%" PRIu64 " bytes (%.1f GiB)", amount, mib / 1024);
  } else {
    snprintf(text, sizeof text, "%" PRIu64 " bytes (%.1f MiB)", amount, mib);
  }
  return text;
}

struct Test {
  const char *name;
  const char *question;
  std::string (*run)();
};

const Test tests[] = {
    {"system_has_frequencyscaling", "does the kernel offer frequency scaling?",
     [] { return yes_no(system_has_frequencyscaling()); }},
    {"system_uses_frequencyscaling", "can some processor's clock vary?",
     [] { return yes_no(system_uses_frequencyscaling()); }},
    {"system_has_rtprio_limits_conf", "does limits.conf grant an rtprio?",
     [] { return yes_no(system_has_rtprio_limits_conf()); }},
    {"system_has_audiogroup", "is there an audio group?",
     [] { return yes_no(system_has_audiogroup()); }},
    {"system_user_in_audiogroup", "is this process in it?",
     [] { return yes_no(system_user_in_audiogroup()); }},
    {"system_user_can_rtprio", "may it switch to SCHED_FIFO?",
     [] { return yes_no(system_user_can_rtprio()); }},
    {"system_memlock_amount", "how much may it lock (hard limit)?",
     [] { return bytes(system_memlock_amount()); }},
    {"system_memlock_is_unlimited", "is that unlimited?",
     [] { return yes_no(system_memlock_is_unlimited()); }},
    {"system_available_physical_mem", "how much memory has the machine?",
     [] { return bytes(system_available_physical_mem()); }},
    {"system_get_username", "who is logged in at the terminal?",
     [] {
       char *name = system_get_username();
       std::string answer = name != nullptr ? name : "(none: no terminal with a login name)";
       free(name);
       return answer;
     }},
};

// An account without allowances, as a root demo can make one: the advice it would read.
std::string check_as_nobody() {
  const rlimit none = {0, 0};
  setrlimit(RLIMIT_RTPRIO, &none);
  setrlimit(RLIMIT_MEMLOCK, &none);
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return "?";
  return std::to_string(sanitycheck(1, 0));
}

void show_report(const char *who, std::string (*check)()) {
  Outcome report = in_child(check);
  if (report.finished) {
    printf("\n  %s: sanitycheck counts %s problem(s) in the way of real-time audio\n", who,
           report.answer.c_str());
  } else {
    printf("\n  %s: sanitycheck ended the process with status %d\n", who, report.status);
  }
}

void show_system() {
  printf(
      "The server asks the machine a few questions before it runs in real time. Each test\n"
      "runs in a child process here, because some end the process when the system refuses\n"
      "an answer.\n\n");
  for (const Test &test : tests) {
    Outcome outcome = in_child(test.run);
    printf("  %-30s %-40s %s\n", test.name, test.question,
           outcome.finished ? outcome.answer.c_str() : "(ended the process)");
    if (!outcome.finished) printf("  %-30s exit status %d\n", "", outcome.status);
  }
  printf("\nThe sanity check combines them into advice, as the server prints it at start-up:\n");
  show_report("this process", [] { return std::to_string(sanitycheck(1, 1)); });
  if (geteuid() != 0) return;
  printf(
      "\nThe same check for the account nobody, without a real-time priority or locked memory:"
      "\n");
  show_report("nobody", check_as_nobody);
}

TAMB_DEMO_CHAPTER(90, "Real-time readiness", show_system);

}  // namespace
