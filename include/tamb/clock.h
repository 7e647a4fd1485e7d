// SPDX-License-Identifier: MIT
/**
 * \defgroup clock Clock
 * The process-wide microsecond clock: the system's monotonic clock, or the HPET counter read
 * straight from a read-only mapping of the device. A process chooses its source once, before
 * the first reading, and every reader calls _tamb_get_microseconds.
 * @{
 */
#ifndef TAMB_CLOCK_H
#define TAMB_CLOCK_H

#include "types.h"

/** Clock source selector (int32). Any other value selects the system clock. */
typedef enum {
  TAMB_CLOCK_SYSTEM = 0, /**< CLOCK_MONOTONIC through clock_gettime */
  TAMB_CLOCK_HPET = 1    /**< the HPET counter of /dev/hpet */
} tamb_clock_source_t;

/** A reading of a clock source, in microseconds. */
typedef tamb_time_t (*tamb_clock_function_t)(void);

TAMB_BEGIN_DECLS

/**
 * The clock in use; null until tamb_set_clock_source runs. The library's own readers fall back
 * to the system clock while it is null. Any thread; no lock, no system call besides the clock
 * query of the system source.
 */
TAMB_API extern tamb_clock_function_t _tamb_get_microseconds;

/**
 * Points _tamb_get_microseconds at the HPET reader when source is TAMB_CLOCK_HPET and the
 * device can be opened and mapped (else, after the reason is reported, at the system clock),
 * and at the system clock for any other source. Once per process, from one thread, before the
 * first reading.
 */
TAMB_API void tamb_set_clock_source(int32_t source);

/** "system clock via clock_gettime", "hpet", or "unknown" for any other value. Any thread. */
TAMB_API const char *tamb_clock_source_name(int32_t source);

/**
 * Opens "/dev/hpet" read-only and maps its registers; the device stays open and mapped for the
 * life of the process. 0 on success; -1 after reporting why not. Once per process, from one
 * thread; tamb_set_clock_source calls it.
 */
TAMB_API int tamb_hpet_init(void);

/** CLOCK_MONOTONIC in microseconds, truncated. Any thread, the process thread included. */
TAMB_API tamb_time_t tamb_get_microseconds_from_system(void) TAMB_NONBLOCKING;

/** Kept for callers of older releases; it has no effect. Any thread. */
TAMB_API void tamb_init_time(void);

TAMB_END_DECLS

/** @} */

#endif
