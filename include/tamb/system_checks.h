// SPDX-License-Identifier: MIT
/**
 * \defgroup system_checks System checks
 * Tests of the running system's readiness for real-time audio, one question each.
 *
 * They read /sys, /proc and /etc, the group database, resource limits and the scheduler, and
 * are meant for a one-off diagnosis at start-up from one thread. Several of them end the
 * process with exit status 1, after a message on standard error, when the system refuses an
 * answer. Yes is 1, no is 0.
 * @{
 */
#ifndef TAMB_SYSTEM_CHECKS_H
#define TAMB_SYSTEM_CHECKS_H

#include "types.h"

TAMB_BEGIN_DECLS

/** Yes when the kernel offers frequency scaling for the first processor. One thread, at start-up.
 */
TAMB_API int system_has_frequencyscaling(void);

/**
 * Yes when some processor's frequency can vary: a governor other than "performance" or
 * "powersave" with different lower and upper limits. Processors are examined from 0 up to the
 * first one without a readable governor. One thread, at start-up.
 */
TAMB_API int system_uses_frequencyscaling(void);

/**
 * Yes when /etc/security/limits.conf has a line with "rtprio", blanks and a number (commented
 * lines count too). Runs grep through the shell. One thread, at start-up.
 */
TAMB_API int system_has_rtprio_limits_conf(void);

/** Yes when the group "audio" or the group "tambuser" exists with an id other than 0. One
 * thread, at start-up. */
TAMB_API int system_has_audiogroup(void);

/**
 * Yes when the process's supplementary groups include "audio"; no as well when it has more
 * than 100 of them. Ends the process when there is no group "audio". One thread, at start-up.
 */
TAMB_API int system_user_in_audiogroup(void);

/**
 * Yes when the calling thread may switch to SCHED_FIFO. The thread leaves the test under
 * SCHED_OTHER whatever policy it had before. One thread, at start-up.
 */
TAMB_API int system_user_can_rtprio(void);

/** The hard limit on locked memory in bytes; all bits set means unlimited. Any thread. */
TAMB_API uint64_t system_memlock_amount(void);

/** Yes when the hard limit on locked memory is unlimited. Any thread. */
TAMB_API int system_memlock_is_unlimited(void);

/** The machine's total memory in bytes from /proc/meminfo, 0 when it cannot be read. Any
 * thread. */
TAMB_API uint64_t system_available_physical_mem(void);

/** Always 0. Any thread. */
TAMB_API int system_kernel_version(void);

/**
 * A copy of the login name of the user of the controlling terminal, which the caller
 * releases with free, or null when there is none. One thread, at start-up.
 */
TAMB_API char *system_get_username(void);

TAMB_END_DECLS

/** @} */

#endif
