// SPDX-License-Identifier: MIT
/**
 * \defgroup mlock Memory unlocking
 * Unlocking of library mappings that a process with locked memory need not keep in RAM.
 * @{
 */
#ifndef TAMB_MLOCK_H
#define TAMB_MLOCK_H

#include "types.h"

TAMB_BEGIN_DECLS

/**
 * Walks the process's memory map and unlocks the library mappings (paths under /lib, /usr/lib,
 * /usr/local/lib, /usr/X11R6/lib, /opt/lib or /opt/local/lib) of graphical toolkits and the
 * compatibility layer, and every such mapping above 1 MiB, except paths that contain "/libc-",
 * "/libc.so" (the C library, under either naming) or "/libvorplex". Reports each unlocked path
 * through tamb_info. Once, after locking memory, from one thread; not on a process thread (it reads
 * /proc and makes system calls).
 */
TAMB_API void cleanup_mlock(void);

TAMB_END_DECLS

/** @} */

#endif
