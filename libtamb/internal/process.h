// SPDX-License-Identifier: MIT
// Whether a process that some shared record names still runs.
#ifndef TAMB_PROCESS_H
#define TAMB_PROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <cerrno>

namespace tamb {

// A process is gone only when the system says there is no such process. One that belongs to
// another user (EPERM) runs, and what it holds is kept: freeing it would take a live process's
// memory away. Ids come from shared memory, so only a positive id names a process; kill() with 0
// or a negative id would probe a whole process group. A zombie still runs until it is reaped.
inline bool process_alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); }

}  // namespace tamb

#endif
