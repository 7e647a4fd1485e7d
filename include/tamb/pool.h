// SPDX-License-Identifier: MIT
/**
 * \defgroup pool Aligned blocks
 * Blocks of memory aligned to 64 bytes, straight from the system heap.
 * @{
 */
#ifndef TAMB_POOL_H
#define TAMB_POOL_H

#include "types.h"

TAMB_BEGIN_DECLS

/** A new uninitialised block of size bytes at a multiple of 64, or null. Any thread but a
 * process thread: it allocates. */
TAMB_API void *tamb_pool_alloc(uint64_t size);

/** Gives a block of tamb_pool_alloc back; null does nothing. Any thread but a process thread. */
TAMB_API void tamb_pool_release(void *block);

TAMB_END_DECLS

/** @} */

#endif
