// SPDX-License-Identifier: MIT
/**
 * \defgroup types Basic types and macros
 * Basic types of libtamb and the macros every public header relies on.
 * @{
 */
#ifndef TAMB_TYPES_H
#define TAMB_TYPES_H

#include <stddef.h>
#include <stdint.h>

/** Marks a function or variable of the public interface; everything else stays hidden. */
#if defined(TAMB_BUILDING_LIBRARY)
#define TAMB_API __attribute__((visibility("default")))
#else
#define TAMB_API
#endif

/**
 * Marks a function that runs on a process thread: it allocates nothing, takes no lock and makes
 * no system call besides reading the clock (and the bounded sleep of a guarded copy that meets
 * a writer). With clang it is the function effect `nonblocking`, which `-Wfunction-effects`
 * checks at compile time and RealtimeSanitizer at run time; elsewhere it is empty. It is not
 * part of a function's type in C, so the ABI is the same either way.
 */
#if defined(__has_attribute)
#if __has_attribute(nonblocking)
#define TAMB_NONBLOCKING __attribute__((nonblocking))
#endif
#endif
#ifndef TAMB_NONBLOCKING
#define TAMB_NONBLOCKING
#endif

/** Shared records have no padding: their byte layout is a format shared between processes. */
#define TAMB_PACKED __attribute__((packed))

#ifdef __cplusplus
#define TAMB_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#define TAMB_BEGIN_DECLS extern "C" {
#define TAMB_END_DECLS }
#else
#define TAMB_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg) /**< checked at compile time */
#define TAMB_BEGIN_DECLS /**< opens declarations with C linkage (extern "C" in C++) */
#define TAMB_END_DECLS   /**< closes what TAMB_BEGIN_DECLS opened */
#endif

/** Pins a field of a shared record to its byte offset. */
#define TAMB_ASSERT_OFFSET(type, field, offset) \
  TAMB_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " must sit at " #offset)

/** Pins the size of a shared record. */
#define TAMB_ASSERT_SIZE(type, size) \
  TAMB_STATIC_ASSERT(sizeof(type) == (size), #type " must be " #size " bytes")

/** Client or port identifier: kind in bits 32-63 (1 port, 2 client), serial below; 0 = none. */
typedef uint64_t tamb_uuid_t;

/** A count of audio frames. */
typedef uint32_t tamb_nframes_t;

/** Microseconds read from the process-wide clock. */
typedef uint64_t tamb_time_t;

/** @} */

#endif
