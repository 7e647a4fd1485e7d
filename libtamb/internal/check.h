// SPDX-License-Identifier: MIT
// Invariants of the shared records and of the engine, checked in every build whatever NDEBUG
// says. A violated one is an internal error: it is reported as assert() reports it (the text of
// the condition, the file, the line and the plain function name) and stops the process. The
// report may run on a process thread, whose deadline no longer matters then: it is exempt from
// the nonblocking checks.
#ifndef TAMB_CHECK_H
#define TAMB_CHECK_H

#include <errno.h>

#include <cstdio>
#include <cstdlib>

#include "nonblocking.h"

namespace tamb {

[[noreturn, gnu::cold]] inline void check_failed(const char *condition, const char *file,
                                                 unsigned line, const char *function) {
  fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file,
          line, function, condition);
  abort();
}

}  // namespace tamb

#define TAMB_CHECK(condition) \
  ((condition)                \
       ? (void)0              \
       : TAMB_NONBLOCKING_EXEMPT(::tamb::check_failed(#condition, __FILE__, __LINE__, __func__)))

// The same, reported with text instead of the condition's own: for a condition that reads a
// shared field through an atomic access but is known to its readers by the field's name.
#define TAMB_CHECK_AS(condition, text) \
  ((condition)                         \
       ? (void)0                       \
       : TAMB_NONBLOCKING_EXEMPT(::tamb::check_failed(text, __FILE__, __LINE__, __func__)))

#endif
