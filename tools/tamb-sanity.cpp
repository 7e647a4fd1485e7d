// SPDX-License-Identifier: MIT
// tamb-sanity: tells a person whether this machine is ready for real-time audio, and how to
// make it so. The exit status is the number of problems found.
#include <sysexits.h>

#include <cstdio>
#include <cstring>

#include "tamb/sanity.h"

namespace {

void usage(FILE *out) {
  fputs(
      "usage: tamb-sanity [--help]\n"
      "\n"
      "Checks whether this machine and this user are ready for low-latency audio, and writes\n"
      "advice for every problem to standard error:\n"
      "\n"
      "  - real-time scheduling: may this user switch a thread to SCHED_FIFO? If not, does\n"
      "    /etc/security/limits.conf grant an rtprio, is there an audio group, and is the user\n"
      "    in it?\n"
      "  - frequency scaling: does any processor run a governor (other than performance or\n"
      "    powersave) that lets its clock vary? This is a warning, not counted as a problem.\n"
      "  - locked memory: may this user lock any memory at all (the hard RLIMIT_MEMLOCK)?\n"
      "    If not, the advice names an amount of three quarters of the machine's memory.\n"
      "\n"
      "The exit status is the number of problems found (0 to 3); 0 means ready. Changes to\n"
      "limits and groups take effect at the next login.\n",
      out);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1) {
    bool help = strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
    usage(help ? stdout : stderr);
    return help && argc == 2 ? 0 : EX_USAGE;
  }
  int problems = sanitycheck(1, 1);
  if (problems == 0) {
    printf("tamb-sanity: ready for real-time audio\n");
  } else {
    printf("tamb-sanity: %d problem%s found, see the advice above\n", problems,
           problems == 1 ? "" : "s");
  }
  return problems;
}
