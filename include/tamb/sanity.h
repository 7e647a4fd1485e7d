// SPDX-License-Identifier: MIT
/**
 * \defgroup sanity Sanity check
 * The sanity check: advice on standard error for every obstacle to real-time audio.
 * @{
 */
#ifndef TAMB_SANITY_H
#define TAMB_SANITY_H

#include "types.h"

TAMB_BEGIN_DECLS

/**
 * Runs the system tests and writes advice for each problem found to standard error. The
 * real-time tests run when check_realtime is nonzero, the frequency-scaling tests when
 * check_frequency_scaling is nonzero, the memory-lock test always. Returns the number of
 * problems, 0 to 3; frequency scaling is warned about but not counted. Inherits the ways the
 * system tests end the process. One thread, at start-up.
 */
TAMB_API int sanitycheck(int check_realtime, int check_frequency_scaling);

TAMB_END_DECLS

/** @} */

#endif
