// SPDX-License-Identifier: MIT
// The sanity check: runs the system tests in a fixed order and writes advice for every
// problem to standard error, each text in one piece so that advice from several processes
// does not interleave mid-line.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tamb/sanity.h"
#include "tamb/system_checks.h"

namespace {

// Eighty dashes frame the frequency-scaling warning.
#define TAMB_RULE "--------------------------------------------------------------------------------"

void say(const char *text) { fputs(text, stderr); }

// The usermod advice needs a name even when the process has no controlling terminal, as a
// server started by a service manager has not: the account of the real user id stands in, and
// a placeholder when that has no entry either.
void say_usermod() {
  char *login = system_get_username();
  const char *name = login;
  if (name == nullptr) {
    // The sanity check runs once, at start-up, before the program starts threads.
    const passwd *account = getpwuid(getuid());  // NOLINT(concurrency-mt-unsafe)
    name = account != nullptr ? account->pw_name : "<your user name>";
  }
  fprintf(stderr, "  usermod -a -G audio %s\n", name);
  free(login);
}

int check_realtime_block() {
  if (system_user_can_rtprio()) return 0;
  say("\nTAMB is running in realtime mode, but you are not allowed to use realtime scheduling.\n");
  if (!system_has_rtprio_limits_conf()) {
    say("Please check your /etc/security/limits.conf for the following line\n");
    say("and correct/add it if necessary:\n\n");
    say("  @audio          -       rtprio          99\n");
    return 2;
  }
  if (!system_has_audiogroup()) {
    say("\nYour system has no audio group. Please add it by executing (as root):\n");
    say("  groupadd -r audio\n");
    say_usermod();
    return 2;
  }
  if (!system_user_in_audiogroup()) {
    say("\nYour system has an audio group, but you are not a member of it.\n");
    say("Please add yourself to the audio group by executing (as root):\n");
    say_usermod();
    return 2;
  }
  return 1;
}

void check_frequency_scaling_block() {
  if (!system_has_frequencyscaling() || !system_uses_frequencyscaling()) return;
  say("\n" TAMB_RULE "\n");
  say("WARNING: Your system seems to use frequency scaling.\n\n");
  say("   This can have a serious impact on audio latency. You have two choices:\n");
  say("\t(1)turn it off, e.g. by chosing the 'performance' governor.\n");
  say("\t(2)Use the HPET clocksource by passing \"-c h\" to TAMB\n");
  say("\t   (this second option only works on relatively recent computers)\n");
  say(TAMB_RULE "\n\n");
}

int check_memlock_block() {
  if (system_memlock_amount() != 0) return 0;
  // Three quarters of the machine's memory, in kilobytes as the limits file counts.
  uint64_t advised = (system_available_physical_mem() * 3) >> 12;
  say("\nYou are not allowed to lock memory. Please add a line\n");
  fprintf(stderr, "  @audio   -  memlock    %llu\n", static_cast<unsigned long long>(advised));
  say("in your /etc/limits.conf.\n");
  return 1;
}

}  // namespace

extern "C" {

TAMB_API int sanitycheck(int check_realtime, int check_frequency_scaling) {
  int problems = 0;
  if (check_realtime) problems += check_realtime_block();
  if (check_frequency_scaling) check_frequency_scaling_block();
  problems += check_memlock_block();
  if (problems > 0) {
    say("\nAfter applying these changes, please re-login in order for them to take effect.\n");
    say("\nYou don't appear to have a sane system configuration. It is very likely that you\n");
    say("encounter xruns. Please apply all the above mentioned changes and start tamb "
        "again!\n");
  }
  return problems;
}

}  // extern "C"
